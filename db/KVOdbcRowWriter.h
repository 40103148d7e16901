#pragma once
// Writing the current record of a recordset to its table: the row writers behind a recordset's apply,
// delete and refresh (IKVOdbcRowWriter in KVOdbcRecordset.h), and the few text helpers they share.
//
// Two writers exist, chosen by the connection's cursor origin when KVCreateRowWriter makes one:
//
// Cursor origin 0 and 1 (TKVOdbcStatementRowWriter). The drivers and the driver manager of this platform
// cannot be trusted with positioned writes (SQLSetPos): the cursor library pretends to write and does
// nothing, the SQLite driver writes the bytes of ignored columns and drops the seconds of timestamps, the
// MariaDB driver reports success for updates it did not make, and all of them run positioned inserts many
// times slower than a prepared INSERT. So this writer generates the statements itself:
//  - the table is the recordset's FROM clause, which must name one table (optionally qualified, optionally
//    with an alias); joins, subqueries and lists raise (KVSingleTableOfFromClause);
//  - identifiers are quoted with the driver's identifier quote (SQLGetInfo SQL_IDENTIFIER_QUOTE_CHAR);
//    column names are the fields' base column names (their names where the driver reports none);
//  - Insert: a prepared INSERT of the assigned fields only, so that the others get the database's
//    defaults, every value bound as a parameter in the field's C type (never as a literal), so that binary,
//    long, date-time and floating values arrive exactly. The statement and its bindings are kept and reused
//    while the next record assigns the same fields; a different set prepares a new one. Afterwards the
//    recordset shows the row as the database stored it, generated keys and defaults included, as an overlay
//    record: PostgreSQL returns it from the INSERT itself (RETURNING), SQLite is asked for the row of
//    last_insert_rowid(), MariaDB/MySQL for the row of LAST_INSERT_ID() when an unassigned auto-increment
//    key was generated, and any database for the row with the assigned primary key otherwise. Without any
//    of these (no key, unknown database), or when the recordset does not read inserted rows back
//    (TKVOdbcRecordsetBase::SetReadBackInserted), the record shows the values as written.
//  - Update and Delete: a prepared statement whose WHERE names the row by its primary key (SQLPrimaryKeys,
//    read once per opened recordset), or, for a table without one, by the values read ("col IS NULL" for
//    NULLs). Columns of floating types (Single, Double, Numeric) and long data (Memo, Wide Memo, Binary) are
//    left out of such a WHERE: drivers round floating values on the way back (the SQLite driver returns
//    1/3 as 0.33333333333333298), and long values make a slow and, for some types, impossible comparison.
//    The key values an edit changed are taken as they were read. The recordset property "Positioned update
//    simulation" decides about rows without a key: 0 "Allow Non-Unique Update" writes every matching row,
//    1 "Try Unique Update" counts the matches first and refuses to write when there are several, 2
//    "Guarantee Unique Update" refuses any write to a table without a primary key before touching it.
//    The recordset's update strategy adds to that WHERE what protects the write against other users:
//    "MinimalLock" nothing; "CompareValuesBeforeWrite" the value read of every other column of the table
//    (NULL as "IS NULL"; floating columns within the precision they are read with, "col BETWEEN ? AND ?",
//    since drivers round them on the way back and an exact comparison would refuse every write of a value
//    such as 1/3; long data is not compared); "CompareRecordVersionBeforeWrite" the row-version columns
//    (SQLSpecialColumns SQL_ROWVER) when the recordset reads them, the values otherwise. After such an
//    update the row is read back, so that the next write of the record compares what is stored now.
//    Under "read only" (or on a connection that may not modify data) nothing is written: the writers
//    raise as the recordset's edit, insert and delete do.
//    A statement that touches no row raises EODBCError "The record was changed or deleted by another user"
//    and changes nothing: a reported count of 0 is checked against the table once more, because MariaDB
//    counts only the rows whose values really changed.
//    Each statement text is prepared once per set of assigned columns, strategy and NULL pattern of the
//    values compared, with every value bound as a parameter.
//  - Refresh reads the row again by the same WHERE and shows it as an overlay record.
//
// Cursor origin 2 (TKVOdbcPositionedRowWriter): positioned operations through the driver for users who
// know theirs does them right (SQL_COLUMN_IGNORE for unassigned fields, long data sent at execution with
// SQLParamData/SQLPutData, a fetch before an insert into a cursor that has none, the row fetched again after
// an insert, 01001 "row changed or deleted" raised instead of passed as a warning).
//
// Errors of the writers leave the recordset's state and assigned values unchanged.
#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/KVOdbcRecordset.h"

// How a database tells the key it generated for the row just inserted on a connection.
enum class TKVGeneratedKeyKind : uint8_t {
  None,             // not known: the row is read back by an assigned key only
  LastInsertRowid,  // SQLite: SELECT ... WHERE rowid = last_insert_rowid()
  Returning,        // PostgreSQL: INSERT ... RETURNING
  LastInsertId,     // MariaDB, MySQL: SELECT ... WHERE key = LAST_INSERT_ID()
};
// By the SQL_DBMS_NAME of the connection (case-insensitive prefix "SQLite", "PostgreSQL", "MariaDB",
// "MySQL").
TKVGeneratedKeyKind KVGeneratedKeyKindOfDbms(std::string_view dbmsName);

// The one table a FROM clause names, each part without its quotes: "sales"."Order Lines" o gives the
// schema "sales" and the table "Order Lines"; up to three parts (catalog.schema.table). Names may be
// quoted with "...", `...` or [...]. Anything but a single table with an optional alias ("t", "t x",
// "t AS x") raises EKVException naming the clause.
//
// A part written without quotes keeps that form in the statements this layer writes: databases fold such
// names (PostgreSQL to lower case), and the generated INSERT must name the table the user's SELECT reads.
struct TKVTableNamePart {
  std::string Text;
  bool Quoted = false;
};
struct TKVTableName {
  TKVTableNamePart Catalog, Schema, Table;  // Catalog/Schema empty when not given
};
TKVTableName KVSingleTableOfFromClause(std::string_view fromClause, const TKVRefLifeObject* object = nullptr);
// The qualified name at the start of `text` (blanks before it skipped), whatever follows it; never raises.
// A quoted part left open takes the rest of the text.
TKVTableName KVLeadingTableName(std::string_view text);
// Reads one part of a qualified name at text[i] and moves i past it: quoted with "", `` or [] (a doubled
// quote inside stands for one; false when the closing quote is missing), or plain up to a blank, a dot or
// a quote.
bool KVReadNamePart(std::string_view text, size_t& i, TKVTableNamePart& part);

// An identifier in the driver's quote: doubled quote characters inside, so that any name is safe. An empty
// or blank quote (drivers without quoting) returns the name as it is.
std::string KVQuoteIdentifier(std::string_view name, std::string_view quote);
// The parts present joined by "."; parts quoted in the FROM clause are quoted with `quote`, the others
// written as they were.
std::string KVTableNameSQL(const TKVTableName& name, std::string_view quote);

// The writer for origin 0/1 (see the header comment). Made through KVCreateRowWriter; public so that the
// engine and tests can choose it explicitly.
class TKVOdbcStatementRowWriter : public IKVOdbcRowWriter {
 public:
  TKVOdbcStatementRowWriter();
  ~TKVOdbcStatementRowWriter() override;
  void Insert(TKVOdbcRecordsetBase& recordset) override;
  void Update(TKVOdbcRecordsetBase& recordset) override;
  void Delete(TKVOdbcRecordsetBase& recordset) override;
  void Refresh(TKVOdbcRecordsetBase& recordset) override;

  // Statements prepared so far (each change of the assigned set or of the NULL pattern of a value WHERE
  // prepares one); lets callers check that records of the same shape reuse one statement.
  int PrepareCount() const { return m_PrepareCount; }

 private:
  struct TImpl;
  std::unique_ptr<TImpl> m_Impl;
  int m_PrepareCount = 0;
};

// The writer for origin 2 (positioned operations of the driver).
class TKVOdbcPositionedRowWriter : public IKVOdbcRowWriter {
 public:
  void Insert(TKVOdbcRecordsetBase& recordset) override;
  void Update(TKVOdbcRecordsetBase& recordset) override;
  void Delete(TKVOdbcRecordsetBase& recordset) override;
  void Refresh(TKVOdbcRecordsetBase& recordset) override;

 private:
  void PositionedOperation(TKVOdbcRecordsetBase& recordset, SQLUSMALLINT operation, const char* routine);
  std::vector<SQLLEN> m_Tokens;  // per field: its ordinal, handed back by SQLParamData
  std::vector<SQLLEN> m_SavedIndicators;
};
