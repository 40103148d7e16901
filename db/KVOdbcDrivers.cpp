#include "db/KVOdbcDrivers.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "db/KVOdbcError.h"
#include "db/KVOdbcHandle.h"

std::vector<TKVOdbcDriverInfo> KVInstalledOdbcDrivers() {
  TKVOdbcHandle env = TKVOdbcHandle::Environment(nullptr, "SQLDrivers");
  SQLSetEnvAttr(env.Get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  std::vector<TKVOdbcDriverInfo> drivers;
  SQLCHAR description[512], attributes[2048];
  SQLSMALLINT descriptionLength = 0, attributesLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (KVOdbcSucceeded(SQLDrivers(env.Get(), direction, description, sizeof description, &descriptionLength,
                                    attributes, sizeof attributes, &attributesLength))) {
    direction = SQL_FETCH_NEXT;
    TKVOdbcDriverInfo& driver = drivers.emplace_back();
    driver.Description = reinterpret_cast<const char*>(description);
    // "key=value" pairs, each ended by a NUL; a list cut off by the buffer ends where the buffer does.
    const char* a = reinterpret_cast<const char*>(attributes);
    const char* end = a + std::clamp<int>(attributesLength, 0, static_cast<int>(sizeof attributes) - 1);
    while (a < end && *a) {
      const std::string_view pair(a, strnlen(a, static_cast<size_t>(end - a)));
      if (pair.rfind("Driver=", 0) == 0) driver.Library = std::string(pair.substr(7));
      a += pair.size() + 1;
    }
  }
  return drivers;
}
