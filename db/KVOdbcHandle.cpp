#include "db/KVOdbcHandle.h"

#include "db/KVOdbcError.h"

TKVOdbcHandle& TKVOdbcHandle::operator=(TKVOdbcHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    m_Type = other.m_Type;
    m_Handle = other.Release();
  }
  return *this;
}

TKVOdbcHandle TKVOdbcHandle::Environment(const TKVRefLifeObject* object, const std::string& routineName) {
  SQLHANDLE h = SQL_NULL_HANDLE;
  if (!KVOdbcSucceeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h)))
    throw EODBCError("The ODBC driver manager cannot allocate an environment", object, routineName);
  return TKVOdbcHandle(SQL_HANDLE_ENV, h);
}

TKVOdbcHandle TKVOdbcHandle::Allocate(SQLSMALLINT type, SQLHANDLE parent, SQLSMALLINT parentType,
                                      const TKVRefLifeObject* object, const std::string& routineName) {
  SQLHANDLE h = SQL_NULL_HANDLE;
  KVOdbcCheck(SQLAllocHandle(type, parent, &h), object, routineName, parent, parentType);
  return TKVOdbcHandle(type, h);
}

void TKVOdbcHandle::Check(SQLRETURN rc, const TKVRefLifeObject* object, const std::string& routineName) const {
  KVOdbcCheck(rc, object, routineName, m_Handle, m_Type);
}

void TKVOdbcHandle::Reset() {
  if (m_Handle != SQL_NULL_HANDLE) SQLFreeHandle(m_Type, m_Handle);
  m_Handle = SQL_NULL_HANDLE;
}
