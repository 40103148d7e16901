#include "db/KVSqliteTuning.h"

#include <dlfcn.h>

#include <mutex>

namespace {

constexpr int kSqliteOk = 0;
constexpr int kSqliteConfigMemStatus = 9;  // SQLITE_CONFIG_MEMSTATUS, a boolean

bool Tune() {
  // The soname the Debian driver links: loaded here first, the driver then finds it already in the process
  // and uses the same, tuned, library. Never closed, so that the setting lives as long as the process.
  void* library = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_GLOBAL);
  if (!library) return false;
  using TConfig = int (*)(int, ...);
  auto config = reinterpret_cast<TConfig>(dlsym(library, "sqlite3_config"));
  if (!config) return false;
  return config(kSqliteConfigMemStatus, 0) == kSqliteOk;
}

}  // namespace

bool KVTuneSqliteLibrary() {
  static std::once_flag once;
  static bool tuned = false;
  std::call_once(once, [] { tuned = Tune(); });
  return tuned;
}
