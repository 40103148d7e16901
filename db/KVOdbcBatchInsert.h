#pragma once
// Batched inserts: the new records of an insert-only recordset collected and written with ODBC parameter
// arrays (SQL_ATTR_PARAMSET_SIZE, column-wise binding), one SQLExecute for up to a batch of rows, with the
// outcome of writing them one by one through the row writer.
//
// Contract of TKVOdbcBatchInserter:
//  - Made for one open recordset whose FROM clause names one table (KVSingleTableOfFromClause raises for
//    anything else).
//    The recordset must stay open while rows are pending; nothing reads the rows back (no generated keys,
//    no "shown as stored" record), so use it only where nothing reads the inserted rows.
//  - Add(recordset), while the recordset is Inserting with the new values assigned (the caller then cancels
//    the insert): copies the values of the ASSIGNED fields (bytes and indicator in the field's C type) into
//    column arrays. The INSERT names the assigned columns only, so the others get the database's defaults,
//    as with the row writer; all rows of a batch assign the same fields. A record that assigns nothing
//    raises, as does a recordset that may not write, just as its insert would. Returns the row's index in the pending batch (0, 1, ...), which the caller
//    uses to keep its own data of the row (source position, values for a report).
//  - NeedsFlushBefore(recordset): whether the pending rows must be written before this record can join
//    them: the batch is full (Capacity), the record assigns another set of fields, or its values would take
//    the batch's arrays past the memory budget (text and binary columns are laid out with the room of their
//    longest value; a single row always fits, however long). Add raises an EKVException when called while
//    this is true, so that no caller mixes rows of different statements into one batch by mistake.
//  - Flush(onRowError): writes the pending rows and empties the batch.
//      The whole batch goes as one prepared INSERT executed once over the arrays. When that fails, the
//      rows are written again one at a time, so that exactly the failing ones are left out and each gets its
//      own error (EODBCError with the driver's diagnostics, raised by the recordset with the routine
//      "InternalApplyChanges", as the row writer's). Before the array execute a SAVEPOINT is taken inside a
//      transaction (autocommit off); a failed array is rolled back to it. With autocommit on, the array runs
//      inside a transaction of its own (autocommit switched off for it, committed, switched on again), so a
//      failed array leaves nothing written and the rows are then written one at a time, each committed on
//      its own as in row-by-row writing. On PostgreSQL (and on a database this layer does not know) each
//      single row of that second pass runs under its own savepoint, since a failed statement there would
//      abort the whole transaction.
//      onRowError (optional) is told every failing row in row order during that pass; it returns true to
//      go on with the next row, false to stop: the rows after it are then not written (as row-by-row
//      writing that aborts at a failing record). Without it every good row is written.
//      Failures that are no row's own (connection lost, a savepoint refused) raise; the pending rows are then
//      dropped and may be partly written inside the open transaction, which the caller then rolls back.
//      The status array is read where a driver fills it: a SQL_SUCCESS_WITH_INFO with a row marked
//      SQL_PARAM_ERROR counts as a failed array.
//  - Clear(): drops the pending rows without writing (cancel, abort); not a batch in flight (below).
//  - FlushInBackground(): the same writing as Flush, its first pass (the savepoint or own transaction and
//      the statements over the whole batch) on the inserter's writer thread (started with the first such
//      batch, asleep between batches, ended by the destructor); the batch is empty at once and the next
//      rows gather in a second set of arrays and statements while the first pass runs. The connection
//      belongs to that thread until FinishBackgroundFlush: the caller uses it for nothing else meanwhile
//      (no other statement, commit, rollback or close on it; Add, NeedsFlushBefore and Pending touch
//      nothing but this object's memory). One batch at a time is in flight; Flush and FlushInBackground
//      raise while one is.
//  - FinishBackgroundFlush(onRowError, writeRow): waits for the first pass and completes the batch as Flush
//      would (the second pass on the calling thread, row by row, when the first failed); raises what Flush
//      would have raised. Without a batch in flight: an empty result. The destructor waits for a batch in
//      flight and leaves what it wrote in the open transaction, for the caller to commit or roll back.
//
// What the drivers do with a failing row inside a parameter array (measured with a CHECK violation and a
// duplicate key in a 10-row array, autocommit on and off):
//  - SQLite3 driver: stops at the failing row; the rows before it are written (and committed under
//    autocommit), those after it are not; SQL_ATTR_PARAMS_PROCESSED_PTR counts the rows before it; the
//    status array is left untouched.
//  - psqlODBC: writes none of the rows (the array is one statement to the server); every status is
//    SQL_PARAM_ERROR, the processed count is the whole array.
//  - MariaDB Connector/ODBC 3.1: writes none of the rows; the processed count is 0 and the status array
//    is filled with 257, which is no status value.
// So no driver tells which row failed, and one leaves the rows before it written: the savepoint and the
// second pass are what make the outcome equal to row-by-row writing on all three.
// On SQLite no array is used at all: its driver prepares the statement again at every execute (arrays
// included, once per row), so a batch there goes as INSERT statements of up to 200 rows each, every value
// bound on its own and run with SQLExecDirect (one prepare per statement); measured over a 300,000-row run
// it took 0.75 of the time of single-row inserts. Edits likewise go as one "UPDATE ... FROM (VALUES ...)" of
// up to 200 rows each (the prepare per row was a third of an upsert's time).
// On PostgreSQL no parameter array is used either: psqlODBC sends one as a bind and execute per row, which
// costs the server three times the work of one INSERT of many rows. There a batch goes as one statement
// with one parameter per column, the literal of an array of the batch's values, unnested into rows
// ("INSERT ... SELECT * FROM unnest(?::type[], ...)", "UPDATE ... FROM unnest(...)"). psqlODBC sends every
// parameter as text of no declared type, which the server reads with the input of the column's type; the
// elements are those very texts (a floating value in the fewest digits that give the same number back,
// which the server reads as the number psqlODBC's text gives), read by the same inputs, so the rows stored
// are the same. The array's type
// is the column's own without its modifier (varchar, not varchar(12)): the modifier applies when the row is
// stored, so a value too long fails as a parameter's would, never cut short. A column whose values would
// not spell the same (a floating value into a column of another type, a GUID, a text with a zero byte),
// or whose literals would pass the batch's byte budget, sends its batch the earlier way: INSERTs of up to
// a batch's rows (at most 7,000 values each: libpq 15 drops the connection when the description of more
// parameters comes back), the text of a full batch prepared once, the values bound last one first, as
// both drivers grow their parameter tables one reallocation per new highest number.
// DABRIX_NO_ARRAY_BATCHES=1 always goes that way, and sends MariaDB's edits as an array of UPDATEs, not
// through a staging table (see SetUpdateKey). The arrays took 1,000,000 rows into PostgreSQL from 7.58 s
// to 6.67 s (medians of 5, in turns; the client's CPU from 5.33 s to 4.58 s, the server's from 3.8 s to
// 3.25 s); the multi-row INSERTs had taken half the elapsed time of parameter arrays of 1,000.
// A full chunk's statement (SQLite and PostgreSQL) keeps its parameters bound from batch to batch: one is
// bound again only when the memory it points to moved or its description changed (a text column's size is
// that of its longest value, at least the column's), which for 1,000,000 rows into PostgreSQL took the
// run from 8.19 s to 7.44 s (medians of 5).
// Two more driver faults are worked around:
//  - the SQLite3 driver writes every binary value of an array with the first row's length (the others
//    cut or padded): on SQLite a batch with a binary column runs its first pass one row at a time, still
//    inside the batch's savepoint or transaction (SQLite's prepared single-row INSERT is nearly as fast);
//  - MariaDB Connector/ODBC keeps 40 bytes of every date, time or timestamp value of an array and never
//    frees them (40 MB per million rows): there such values are laid out as ISO text (to the microsecond,
//    the finest MariaDB stores), which the server converts into the column's type.
#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/KVOdbcRecordset.h"

// A row of a flushed batch that was not written, and why.
struct TKVBatchInsertFailure {
  size_t Row = 0;             // index in the batch, as Add returned it
  std::exception_ptr Error;   // the EODBCError (or other EKVException) its INSERT raised
};

// What a Flush did.
struct TKVBatchFlushResult {
  size_t Rows = 0;                              // rows the batch held
  size_t Written = 0;                           // rows written
  std::vector<TKVBatchInsertFailure> Failures;  // rows left out by their own error, in row order
  // When onRowError asked to stop: the index of the first row not attempted (that row and all after it
  // were not written); otherwise Rows.
  size_t StoppedAt = 0;
};

class TKVOdbcBatchInserter {
 public:
  static constexpr size_t kDefaultCapacity = 1000;
  static constexpr size_t kDefaultByteBudget = 64u << 20;  // bytes of value arrays per batch

  // Raises as KVSingleTableOfFromClause for a FROM clause that is no single table; the recordset must be
  // open. Capacity 0 counts as 1.
  explicit TKVOdbcBatchInserter(TKVOdbcRecordsetBase& recordset, size_t capacity = kDefaultCapacity,
                                size_t byteBudget = kDefaultByteBudget);
  ~TKVOdbcBatchInserter();
  TKVOdbcBatchInserter(const TKVOdbcBatchInserter&) = delete;
  TKVOdbcBatchInserter& operator=(const TKVOdbcBatchInserter&) = delete;

  bool NeedsFlushBefore(TKVOdbcRecordsetBase& recordset) const;
  size_t Add(TKVOdbcRecordsetBase& recordset);

  // Called with (row index, error) for each failing row of the row-by-row pass; true = go on.
  using TOnRowError = std::function<bool(size_t row, const std::exception_ptr& error)>;
  // Writes one row in the row-by-row pass instead of the batch's own single-row statement; what it raises
  // is the row's error.
  using TWriteRow = std::function<void(size_t row)>;
  TKVBatchFlushResult Flush(const TOnRowError& onRowError = nullptr, const TWriteRow& writeRow = nullptr);
  void Clear();

  void FlushInBackground();
  TKVBatchFlushResult FinishBackgroundFlush(const TOnRowError& onRowError = nullptr,
                                            const TWriteRow& writeRow = nullptr);
  bool InFlight() const;
  size_t PendingInFlight() const;  // rows of the batch in flight (0: none)

  size_t Pending() const;

  // Update mode (before the first Add): every row is the edit of an existing row, named by the value of
  // the assigned field whose column is `column` (a unique key: the caller queues a key once per batch); the
  // other assigned fields are written into it.
  //  - MariaDB stages the batch in a temporary table of the edited columns' types (in memory where they
  //    allow) with one array INSERT, and runs one UPDATE that joins the table's range of the batch's keys to
  //    it ("UPDATE table STRAIGHT_JOIN stage ON ... SET ... WHERE column BETWEEN ? AND ?"), or, for keys
  //    spread wider than four times the batch's rows, the staging table to the table. Where the staging
  //    table cannot be made, or after a staged batch failed whose rows then all went alone: "UPDATE table
  //    SET ... WHERE column = ?" over the arrays.
  //  - SQLite runs "UPDATE table SET ... FROM (VALUES ...)" for every 200 rows.
  //  - PostgreSQL runs one "UPDATE table SET ... FROM unnest(...)" per batch (or, where the arrays do not
  //    serve, FROM (VALUES ...) with the first row cast to the columns' types read from pg_attribute,
  //    without their modifiers), limited to the batch's key range so that the planner reads the key's index
  //    instead of the whole table.
  // A batch whose driver counts fewer rows changed than it holds (a row gone; MariaDB counts only rows whose
  // values differ, and there a lower count asks the table whether every key has its row) is treated as
  // failed, as is a failing execute: the savepoint is rolled back and the row-by-row pass runs (through
  // Flush's writeRow where given, which lets the caller write each edit as it would have at once). The
  // rows are never counted into the recordset's records. Empty: insert mode.
  void SetUpdateKey(const std::string& column);
  size_t Capacity() const { return m_Capacity; }

  // Array executes (one per flushed batch), single-row executes of the second pass, and statements
  // prepared, since construction.
  size_t ArrayExecuteCount() const { return m_ArrayExecutes; }
  size_t RowExecuteCount() const { return m_RowExecutes; }
  size_t PrepareCount() const { return m_Prepares; }

 private:
  struct TImpl;
  struct TFlight;
  std::unique_ptr<TImpl> m_Impl;    // the arrays the next rows join
  std::unique_ptr<TImpl> m_Spare;   // the lane of the last batch written in the background, for the next
  std::unique_ptr<TFlight> m_Flight;
  size_t m_Capacity;
  size_t m_ArrayExecutes = 0, m_RowExecutes = 0, m_Prepares = 0;
};
