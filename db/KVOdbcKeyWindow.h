#pragma once
// Finding rows by an integer key without a round trip per key: the keys of the table from a given key on,
// read a window at a time ("SELECT key FROM table WHERE key >= ? ORDER BY key LIMIT n"), answer whether a
// key inside the window's range exists. Meant for a writer that looks up key after key in ascending (or
// nearly ascending) order, as a copy sorted by its key does.
//
// Contract of TKVOdbcKeyWindow:
//  - Made for a connection of SQLite, PostgreSQL, MariaDB or MySQL (LIMIT), a table (as KVTableNameSQL
//    writes it) and a column of an integer type; Supported(dbmsName) tells the databases.
//  - Contains(key): whether a row with that key exists, as a "WHERE column = key" would have found, taking
//    into account the rows the caller told it about with Added. A key outside the current range reads a new
//    window starting at that key (one statement). The range is [first key asked, last key read]; a window
//    with fewer rows than asked for reaches to the end of the key space.
//  - Size: a window starts at `rows` keys; a read that goes on beyond the end of a window that answered at
//    least 8 lookups (keys in ascending order) reads twice as many keys as that one did, up to `maxRows`.
//    The size never shrinks: keys in no useful order keep reading `rows` keys, and soon stop paying.
//  - Answers(key): whether Contains(key) answers without reading (the key is inside the current range).
//  - Added(key): the caller inserted a row with that key (or will before anything else reads the table).
//  - Reset(): forgets the window, so the next Contains reads from the table again (after a commit, or after
//    writes that may have failed).
//  - Worthwhile(): false once the reads stop paying: many windows were read for few lookups (keys in no
//    useful order). The caller then goes back to looking up each key on its own.
//  Errors raise EODBCError on behalf of `owner` with the routine "KeyWindow".
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/KVOdbcHandle.h"

class TKVRefLifeObject;

class TKVOdbcKeyWindow {
 public:
  static constexpr size_t kDefaultRows = 1000;
  static constexpr size_t kMaxRows = 16384;
  static bool Supported(const std::string& dbmsName);

  // `tableSQL` and `columnSQL` as they go into the statement (quoted where needed).
  TKVOdbcKeyWindow(SQLHDBC connection, std::string tableSQL, std::string columnSQL, const TKVRefLifeObject* owner,
                   size_t rows = kDefaultRows, size_t maxRows = kDefaultRows);

  bool Contains(int64_t key);
  // Whether Contains(key) answers from the window in memory, without a statement.
  bool Answers(int64_t key) const { return m_Valid && key >= m_First && key <= m_Last; }
  void Added(int64_t key);
  void Reset() { m_Valid = false; }
  bool Worthwhile() const;

  size_t Reads() const { return m_Reads; }
  size_t Lookups() const { return m_Lookups; }
  size_t Rows() const { return m_Rows; }  // how many keys the next read asks for

 private:
  void Read(int64_t from);

  SQLHDBC m_Connection;
  std::string m_TableSQL, m_ColumnSQL;
  const TKVRefLifeObject* m_Owner;
  size_t m_Rows, m_MaxRows;
  TKVOdbcHandle m_Stmt;
  bool m_Prepared = false;
  bool m_Valid = false;
  int64_t m_First = 0, m_Last = 0;  // the range the window answers for
  std::vector<int64_t> m_Keys;      // ascending
  size_t m_Reads = 0, m_Lookups = 0;
  size_t m_LookupsAtRead = 0;  // m_Lookups when the current window was read
};

struct TKVTableName;
// The primary key columns of a table in key order (SQLPrimaryKeys), empty for a table without one. A name
// part written without quotes is also tried in lower and in upper case, as databases fold such names.
std::vector<std::string> KVPrimaryKeyColumns(SQLHDBC connection, const TKVTableName& table,
                                             const TKVRefLifeObject* owner);
