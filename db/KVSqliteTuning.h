#pragma once
// Process-wide settings of the SQLite library that the SQLite ODBC driver loads, made before the driver
// opens its first database.
//
// KVTuneSqliteLibrary(): idempotent and thread-safe; does nothing where the library is not installed or
// was initialised already (a setting made too late is refused by the library and changes nothing). What it
// sets changes no result of any statement:
//  - memory statistics off. With them on, every allocation of every SQLite connection in the process takes
//    one global lock to keep the count; a source read on one thread while a batch is written on another
//    then spends a fifth of its time waiting at that lock. Nothing here reads those statistics.
// Returns whether the settings were made (for the tests).
bool KVTuneSqliteLibrary();
