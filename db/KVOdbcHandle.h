#pragma once
// TKVOdbcHandle: the one owner of an ODBC environment, connection or statement handle.
#include <sql.h>
#include <sqlext.h>

#include <string>

class TKVRefLifeObject;

// Move-only; frees its handle when it goes, is reset or is assigned another. A child must go before its
// parent (statements before their connection, connections before their environment): the classes that
// hold these keep a reference to the parent's owner, so members and references come down in that order.
class TKVOdbcHandle {
 public:
  TKVOdbcHandle() = default;
  ~TKVOdbcHandle() { Reset(); }
  TKVOdbcHandle(TKVOdbcHandle&& other) noexcept : m_Type(other.m_Type), m_Handle(other.Release()) {}
  TKVOdbcHandle& operator=(TKVOdbcHandle&& other) noexcept;
  TKVOdbcHandle(const TKVOdbcHandle&) = delete;
  TKVOdbcHandle& operator=(const TKVOdbcHandle&) = delete;

  // An environment handle. A driver manager that cannot give one leaves no diagnostics to read, so the
  // failure is the layer's own EODBCError, raised on behalf of `object`.
  static TKVOdbcHandle Environment(const TKVRefLifeObject* object, const std::string& routineName);
  // A connection or statement handle under `parent`; a failure raises EODBCError with the parent's
  // diagnostics on behalf of `object`.
  static TKVOdbcHandle Allocate(SQLSMALLINT type, SQLHANDLE parent, SQLSMALLINT parentType,
                                const TKVRefLifeObject* object, const std::string& routineName);

  SQLHANDLE Get() const { return m_Handle; }
  SQLSMALLINT Type() const { return m_Type; }
  explicit operator bool() const { return m_Handle != SQL_NULL_HANDLE; }

  // Raises EODBCError with this handle's diagnostics unless `rc` reports success (KVOdbcCheck).
  void Check(SQLRETURN rc, const TKVRefLifeObject* object, const std::string& routineName) const;

  // Frees the handle now (nothing when there is none).
  void Reset();

 private:
  TKVOdbcHandle(SQLSMALLINT type, SQLHANDLE handle) : m_Type(type), m_Handle(handle) {}
  SQLHANDLE Release() {
    SQLHANDLE h = m_Handle;
    m_Handle = SQL_NULL_HANDLE;
    return h;
  }

  SQLSMALLINT m_Type = 0;
  SQLHANDLE m_Handle = SQL_NULL_HANDLE;
};
