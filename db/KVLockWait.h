#pragma once
// How long a statement waits for a lock another connection holds. Left to the drivers this is anything
// from 100 s (the SQLite driver's busy timeout) through 50 s per row lock and a year per table lock
// (MariaDB) to forever (PostgreSQL), and a run blocked by another writer would sit there without a word.
// Every connection of the program therefore gets a bounded wait, unless its connection string says how long
// to wait itself:
//   SQLite      "Timeout=<ms>" (the driver's busy timeout), added to the string handed to the driver;
//   PostgreSQL  "lock_timeout" anywhere in the string (e.g. "ConnSettings={SET lock_timeout = 2000}"),
//               else "SET lock_timeout" once connected;
//   MariaDB     "lock_wait_timeout" anywhere in the string (e.g. "InitStmt={SET innodb_lock_wait_timeout=2,
//               lock_wait_timeout=2}"), else the same SET once connected (row and table locks).
// A data source name hides the driver: SQLite through a DSN keeps the DSN's (or the driver's) timeout.
#include <sql.h>

#include <cstdint>
#include <string>

// The wait the program sets when the connection string says nothing.
inline constexpr int32_t kKVDefaultLockWaitMilliseconds = 30000;

// The string handed to the driver at connect: for the SQLite driver named by "Driver" and without a
// "Timeout", with "Timeout=<default>" appended. Any other string comes back as it is.
std::string KVConnectionStringWithLockWait(const std::string& connectionString);

// Right after connecting (on the connected handle, before the connection counts as active): sets the server's lock wait for this session where the connection string did not
// (PostgreSQL, MariaDB/MySQL), committing at once when autocommit is off so that a later rollback keeps it.
// Returns the bound in milliseconds as far as it is known (set here, or the SQLite "Timeout" given or
// added), -1 when the user's own setting decides. A server that refuses the setting is only traced.
int32_t KVApplyLockWait(SQLHDBC connection, bool autocommit, const std::string& connectionString);
