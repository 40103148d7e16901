#include "db/KVOdbcBatchInsert.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "db/KVOdbcHandle.h"
#include "db/KVOdbcParamType.h"
#include "foundation/KVConvert.h"
#include "foundation/KVScopeExit.h"
#include "db/KVOdbcRowWriter.h"
#include "foundation/KVText.h"
#include "foundation/KVTrace.h"

namespace {

// Errors of the writes carry the routine of the row writer's insert: a caller reports them the same way,
// whichever path wrote the record. A string made once: the checks of a flush take it for every value bound.
const std::string kApply = "InternalApplyChanges";

size_t RoundUp8(size_t n) { return (n + 7) & ~size_t{7}; }

// Parameters of one PostgreSQL statement at most. libpq (15) takes a server message of more than 30,000
// bytes for a lost connection unless it is of a few known kinds, and the description of a prepared
// statement's parameters (4 bytes each) is not among them: psqlODBC's prepare of a statement with 7,500
// parameters or more ended the session ("lost synchronization with server").
constexpr size_t kPgMaxParameters = 7000;


// A batch column: the values of one assigned field for every pending row, laid out as the driver reads
// column-wise arrays (Stride bytes per row, one indicator per row).
struct TColumn {
  const TKVOdbcField* Field = nullptr;  // compared with the fields of the next records, never read
  // The field's own C and data types when the batch began: with the same field they decide its parameter type
  // (ParamCType), which is too dear to work out again for every record.
  SQLSMALLINT FieldCType = 0;
  TKVFieldDataType FieldDataType{};
  SQLLEN FieldSize = 0;
  std::string Name;
  TKVParamType Type{};
  SQLSMALLINT CType = 0;
  size_t Terminator = 0;  // zero bytes after a text value
  bool DateAsText = false;  // a date/time value laid out as ISO text (see ParamCType)
  size_t Stride = 0;      // bytes per row
  size_t MaxLength = 0;   // longest value of the batch (variable types)
  std::vector<uint8_t> Data;
  std::vector<SQLLEN> Indicators;

  // The room a value of `length` bytes needs per row: a longer value widens the stride by half again at
  // least, so that slowly growing values do not lay the arrays out again for every row.
  size_t StrideFor(size_t length) const {
    if (!Type.Variable) return Stride;
    size_t needed = RoundUp8(std::max<size_t>(length + Terminator, 1));
    if (needed <= Stride) return Stride;
    return std::max(needed, RoundUp8(Stride + Stride / 2));
  }
};

// A date, time or timestamp buffer as ISO text (microseconds: the finest fraction MariaDB stores).
SQLLEN FormatDate(TKVFieldDataType type, const TKVOdbcValueBuffer& b, char* out, size_t room) {
  int n = 0;
  if (type == fdtDate) {
    SQL_DATE_STRUCT d;
    std::memcpy(&d, b.Data(), sizeof d);
    n = std::snprintf(out, room, "%04d-%02u-%02u", d.year, d.month, d.day);
  } else if (type == fdtTime) {
    SQL_TIME_STRUCT t;
    std::memcpy(&t, b.Data(), sizeof t);
    n = std::snprintf(out, room, "%02u:%02u:%02u", t.hour, t.minute, t.second);
  } else {
    SQL_TIMESTAMP_STRUCT t;
    std::memcpy(&t, b.Data(), sizeof t);
    n = std::snprintf(out, room, "%04d-%02u-%02u %02u:%02u:%02u.%06u", t.year, t.month, t.day, t.hour, t.minute,
                      t.second, static_cast<unsigned>(t.fraction / 1000));
  }
  return std::clamp<SQLLEN>(n, 0, static_cast<SQLLEN>(room) - 1);
}

size_t ValueLength(const TKVOdbcValueBuffer& b) { return b.Indicator() > 0 ? static_cast<size_t>(b.Indicator()) : 0; }

}  // namespace

struct TKVOdbcBatchInserter::TImpl {
  TKVOdbcBatchInserter& Owner;
  TKVRef<TKVOdbcRecordsetBase> Rs;
  std::string TableSQL, Quote;
  bool SavepointPerRow = true;
  bool SQLite = false, MariaDB = false, PostgreSQL = false;
  std::string UpdateKey;  // update mode: the column whose value names the row
  size_t KeyColumn = 0;   // its index in Columns (update mode)
  size_t ByteBudget;

  std::vector<TColumn> Columns;
  size_t Rows = 0;

  TKVOdbcHandle Stmt;       // the INSERT
  TKVOdbcHandle Ctl;        // savepoints
  TKVOdbcHandle Multi;      // SQLite: the statement of a batch's last rows; PostgreSQL: the UPDATE of a full batch
  TKVOdbcHandle MultiTail;  // PostgreSQL: the shorter INSERT or UPDATE of a batch's last rows
  size_t MultiPreparedRows = 0;  // rows of the UPDATE prepared on Multi (0: none)
  bool MultiPreparedRanged = false;  // the UPDATE prepared on Multi names a key range
  // A statement handle for each full chunk of a batch (chunk k: rows [k * n, (k + 1) * n); PostgreSQL's one
  // chunk prepared), keeping its parameters bound from batch to batch; binding costs the drivers more than
  // the values' copies do. A parameter is bound again only when what it points to moved or its description
  // changed.
  struct TBoundParameter {
    SQLPOINTER Data = nullptr;
    SQLLEN* Indicator = nullptr;
    SQLLEN Stride = 0;
    SQLULEN ColumnSize = 0;
    SQLSMALLINT CType = 0, SqlType = 0, Digits = 0;
    bool operator==(const TBoundParameter&) const = default;
  };
  struct TChunkStatement {
    TKVOdbcHandle Handle;
    std::string Text;  // the INSERT its parameters were bound for
    std::vector<TBoundParameter> Bound;
  };
  std::vector<TChunkStatement> Chunks;
  bool Prepared = false;
  std::vector<SQLSMALLINT> PreparedShape;
  std::string PreparedText;
  std::vector<SQLUSMALLINT> Status;
  SQLULEN Processed = 0;

  TImpl(TKVOdbcBatchInserter& owner, TKVOdbcRecordsetBase& rs, size_t budget)
      : Owner(owner), Rs(&rs), ByteBudget(budget) {}

  TKVOdbcConnection& Conn() { return *Rs->Connection(); }
  SQLHDBC Dbc() { return Conn().OdbcHandle(); }

  void Init() {
    TKVOdbcRecordsetBase& rs = *Rs;
    if (!rs.Active() || !rs.Connection())
      throw EKVException("The recordset must be open before its records can be inserted in batches", &rs,
                         "TKVOdbcBatchInserter");
    TKVTableName table = KVSingleTableOfFromClause(rs.Sql().Clause(TKVSqlClause::From), &rs);
    char quote[8] = {};
    SQLSMALLINT len = 0;
    KVOdbcCheck(SQLGetInfo(Dbc(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &len), &rs, kApply, Dbc(),
                SQL_HANDLE_DBC);
    Quote = quote;
    TableSQL = KVTableNameSQL(table, Quote);
    // A failed statement rolls back only itself on these; elsewhere (PostgreSQL) it aborts the transaction.
    std::string dbms = Conn().DbmsName();
    SQLite = KVStartsWithText(dbms, "SQLite");
    MariaDB = KVStartsWithText(dbms, "MariaDB") || KVStartsWithText(dbms, "MySQL");
    PostgreSQL = KVStartsWithText(dbms, "PostgreSQL");
    if (const char* off = std::getenv("DABRIX_NO_ARRAY_BATCHES"); off && *off && *off != '0') ArraysAllowed = false;
    SavepointPerRow = !(KVStartsWithText(dbms, "SQLite") || KVStartsWithText(dbms, "MariaDB") ||
                        KVStartsWithText(dbms, "MySQL"));
  }

  // --- shape of a record

  // Whether the record assigns exactly the fields of the pending batch.
  bool SameShape(TKVOdbcRecordsetBase& rs) const {
    size_t c = 0;
    for (size_t i = 0; i < rs.FieldCount(); ++i) {
      const TKVOdbcField& f = rs.Field(i);
      if (!f.Assigned()) continue;
      if (c >= Columns.size()) return false;
      const TColumn& col = Columns[c];
      if (col.Field != &f || col.FieldCType != f.CType() || col.FieldDataType != f.DataType()) return false;
      ++c;
    }
    return c == Columns.size();
  }

  // MariaDB Connector/ODBC keeps 40 bytes of every date, time or timestamp value of a parameter array
  // (never freed: 40 MB per million rows), so there they go as ISO text, which the server converts.
  bool DateAsText(const TKVOdbcField& f) const {
    return MariaDB && (f.DataType() == fdtDate || f.DataType() == fdtTime || f.DataType() == fdtDatetime);
  }

  SQLSMALLINT ParamCType(const TKVOdbcField& f) const {
    if (DateAsText(f)) return SQL_C_CHAR;
    return KVIsBinaryColumnDescribedAsText(f) ? SQL_C_BINARY : f.CType();
  }

  void StartBatch(TKVOdbcRecordsetBase& rs) {
    // The columns are described anew for every batch: a field of the last batch may have been made anew
    // since (a re-execution) at the same address, and naming another column. Only their memory is kept for
    // the next batch; the room per row starts small again, as one long value must not make every later batch
    // as wide.
    std::vector<TColumn> previous;
    previous.swap(Columns);
    for (size_t i = 0; i < rs.FieldCount(); ++i) {
      const TKVOdbcField& f = rs.Field(i);
      if (!f.Assigned()) continue;
      TColumn col;
      col.Field = &f;
      col.FieldSize = f.Size();
      col.Name = KVColumnNameOfField(f);
      col.Type = KVParamTypeOfField(f);
      col.CType = ParamCType(f);
      col.FieldCType = f.CType();
      col.FieldDataType = f.DataType();
      col.Terminator = col.CType == SQL_C_CHAR ? 1 : col.CType == SQL_C_WCHAR ? 2 : 0;
      col.Stride = col.Type.Variable ? 8 : static_cast<size_t>(KVFixedBufferSizeOfFieldDataType(f.DataType()));
      if (DateAsText(f)) {
        col.DateAsText = true;
        col.Type = {SQL_VARCHAR, 26, 0, false};
        col.Stride = 32;
      } else if (col.CType != f.CType()) {
        col.Type.SqlType = SQL_LONGVARBINARY;
      }
      if (Columns.size() < previous.size()) {
        col.Data.swap(previous[Columns.size()].Data);
        col.Indicators.swap(previous[Columns.size()].Indicators);
      }
      Columns.push_back(std::move(col));
    }
  }

  size_t BytesWith(TKVOdbcRecordsetBase& rs, size_t rows) const {
    size_t total = 0, c = 0;
    for (size_t i = 0; i < rs.FieldCount() && c < Columns.size(); ++i) {
      TKVOdbcField& f = rs.Field(i);
      if (!f.Assigned()) continue;
      total += (Columns[c].StrideFor(ValueLength(f.RawBuffer())) + sizeof(SQLLEN)) * rows;
      ++c;
    }
    return total;
  }

  bool NeedsFlushBefore(TKVOdbcRecordsetBase& rs) const {
    if (Rows == 0) return false;
    if (Rows >= Owner.m_Capacity || !SameShape(rs)) return true;
    return BytesWith(rs, Rows + 1) > ByteBudget;
  }

  size_t Add(TKVOdbcRecordsetBase& rs) {
    if (&rs != Rs.get())
      throw EKVException("The batch was made for another recordset", &rs, "TKVOdbcBatchInserter.Add");
    rs.CheckMayWrite(UpdateKey.empty() ? roInsert : roEdit);
    if (!rs.AnyFieldAssigned())
      throw EKVException("No Field Value has been set before inserting a new Record", &rs, kApply);
    if (NeedsFlushBefore(rs))
      throw EKVException("The pending rows of the batch must be written before this record can join them", &rs,
                         "TKVOdbcBatchInserter.Add");
    if (Rows == 0) StartBatch(rs);
    size_t row = Rows;
    size_t c = 0;
    for (size_t i = 0; i < rs.FieldCount(); ++i) {
      TKVOdbcField& f = rs.Field(i);
      if (!f.Assigned()) continue;
      TColumn& col = Columns[c++];
      const TKVOdbcValueBuffer& b = f.RawBuffer();
      size_t length = ValueLength(b);
      if (!col.Type.Variable && !col.DateAsText && !b.IsNull() && b.Capacity() < static_cast<SQLLEN>(col.Stride))
        throw EKVException("The value of field '" + f.Name() + "' does not fill its type's buffer", &rs,
                           "TKVOdbcBatchInserter.Add");
      size_t stride = col.StrideFor(length);
      if (stride != col.Stride && row == 0) {
        col.Stride = stride;  // nothing to lay out again: the memory of the last batch is kept
      } else if (stride != col.Stride) {
        // Lays the rows so far out again with the wider stride, in place (last row first), so that the
        // memory, and with it what the statements of the last batch are bound to, stays where it is.
        const size_t narrow = col.Stride;
        col.Data.resize(stride * (row + 1));
        for (size_t r = row; r-- > 0;) {
          std::memmove(&col.Data[r * stride], &col.Data[r * narrow], narrow);
          std::memset(&col.Data[r * stride + narrow], 0, stride - narrow);
        }
        col.Stride = stride;
      }
      col.Data.resize(stride * (row + 1));
      col.Indicators.resize(row + 1);
      uint8_t* at = &col.Data[row * stride];
      std::memset(at, 0, stride);
      if (b.IsNull()) {
        col.Indicators[row] = SQL_NULL_DATA;
      } else if (col.Type.Variable) {
        if (length > 0) std::memcpy(at, b.Data(), length);
        col.Indicators[row] = static_cast<SQLLEN>(length);
        col.MaxLength = std::max(col.MaxLength, length);
      } else if (col.DateAsText) {
        col.Indicators[row] = FormatDate(f.DataType(), b, reinterpret_cast<char*>(at), col.Stride);
      } else {
        std::memcpy(at, b.Data(), col.Stride);
        col.Indicators[row] = 0;
      }
    }
    return Rows++;
  }

  // --- writing

  SQLHSTMT Handle(TKVOdbcHandle& h) {
    if (!h) h = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, Dbc(), SQL_HANDLE_DBC, Rs.get(), kApply);
    return h.Get();
  }

  void Control(const std::string& sql) {
    SQLHSTMT h = Handle(Ctl);
    KVOdbcCheck(SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                              static_cast<SQLINTEGER>(sql.size())),
                Rs.get(), kApply, h, SQL_HANDLE_STMT);
    SQLFreeStmt(h, SQL_CLOSE);
  }

  // Control for a statement whose failure has a way round: whether it succeeded.
  bool TryControl(const std::string& sql) {
    SQLHSTMT h = Handle(Ctl);
    SQLRETURN rc = SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                                 static_cast<SQLINTEGER>(sql.size()));
    SQLFreeStmt(h, SQL_CLOSE);
    return KVOdbcSucceeded(rc);
  }

  bool Autocommit() {
    SQLULEN value = SQL_AUTOCOMMIT_ON;
    KVOdbcCheck(SQLGetConnectAttr(Dbc(), SQL_ATTR_AUTOCOMMIT, &value, 0, nullptr), Rs.get(), kApply, Dbc(),
                SQL_HANDLE_DBC);
    return value == SQL_AUTOCOMMIT_ON;
  }

  void SetAutocommit(bool on) {
    KVOdbcCheck(SQLSetConnectAttr(Dbc(), SQL_ATTR_AUTOCOMMIT,
                                  reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(on ? SQL_AUTOCOMMIT_ON
                                                                                         : SQL_AUTOCOMMIT_OFF)),
                                  0),
                Rs.get(), kApply, Dbc(), SQL_HANDLE_DBC);
  }

  void EnsurePrepared() {
    // Told apart by the text and the C types, not by the fields: a field made anew may sit where another was.
    std::vector<SQLSMALLINT> shape;
    for (const TColumn& col : Columns) shape.push_back(col.CType);
    std::string text;
    if (UpdateKey.empty()) {
      std::string columns, values;
      for (const TColumn& col : Columns) {
        if (!columns.empty()) {
          columns += ", ";
          values += ", ";
        }
        columns += KVQuoteIdentifier(col.Name, Quote);
        values += '?';
      }
      text = "INSERT INTO " + TableSQL + " (" + columns + ") VALUES (" + values + ")";
    } else {
      // The key is bound last (see ParameterNumber); the columns to set keep their order.
      KeyColumn = Columns.size();
      std::string set;
      for (size_t n = 0; n < Columns.size(); ++n) {
        if (KeyColumn == Columns.size() && KVSameText(Columns[n].Name, UpdateKey)) {
          KeyColumn = n;
          continue;
        }
        if (!set.empty()) set += ", ";
        set += KVQuoteIdentifier(Columns[n].Name, Quote) + " = ?";
      }
      if (KeyColumn == Columns.size() || set.empty())
        throw EKVException("A batched edit needs the key column \"" + UpdateKey + "\" and a column to set", Rs.get(),
                           "TKVOdbcBatchInserter");
      text = "UPDATE " + TableSQL + " SET " + set + " WHERE " + KVQuoteIdentifier(Columns[KeyColumn].Name, Quote) +
             " = ?";
    }
    if (Prepared && shape == PreparedShape && text == PreparedText) return;
    SQLHSTMT h = Handle(Stmt);
    Prepared = false;
    MultiPreparedRows = 0;
    SQLFreeStmt(h, SQL_CLOSE);
    SQLFreeStmt(h, SQL_RESET_PARAMS);
    KVOdbcCheck(SQLSetStmtAttr(h, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0),
                Rs.get(), kApply, h, SQL_HANDLE_STMT);
    KVOdbcCheck(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                           static_cast<SQLINTEGER>(text.size())),
                Rs.get(), kApply, h, SQL_HANDLE_STMT);
    Prepared = true;
    PreparedShape = std::move(shape);
    PreparedText = std::move(text);
    ++Owner.m_Prepares;
  }

  // A variable-length value's column size: its own length, at least the field's size (a driver may size its
  // conversion buffer by it), never 0.
  static SQLULEN ColumnSizeAt(const TColumn& col, size_t at) {
    if (!col.Type.Variable) return col.Type.ColumnSize;
    return std::max<SQLULEN>({col.Indicators[at] > 0 ? static_cast<SQLULEN>(col.Indicators[at]) : 0,
                              static_cast<SQLULEN>(std::max<SQLLEN>(col.FieldSize, 0)), 1});
  }

  // Prepares the statement of `count` rows on `h`; the full chunk's statement once for the run (Multi), a
  // batch's shorter tail every time.
  template <class TText>
  void PrepareMultiRow(SQLHSTMT h, bool full, size_t count, const TText& textOf) {
    if (full && MultiPreparedRows == count) return;
    if (full) MultiPreparedRows = 0;
    std::string text = textOf(count);
    KVOdbcCheck(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())), Rs.get(),
                kApply, h, SQL_HANDLE_STMT);
    ++Owner.m_Prepares;
    if (full) MultiPreparedRows = count;
  }

  // The marker of Columns[n] in the statement: in order, but in update mode the key's comes last.
  SQLUSMALLINT ParameterNumber(size_t n) const {
    if (UpdateKey.empty()) return static_cast<SQLUSMALLINT>(n + 1);
    if (n == KeyColumn) return static_cast<SQLUSMALLINT>(Columns.size());
    return static_cast<SQLUSMALLINT>(n < KeyColumn ? n + 1 : n);
  }

  // Binds every column's array from `row` on and sets the number of rows an execute writes.
  void Bind(size_t row, size_t count, SQLHSTMT h = nullptr) {
    if (!h) h = Stmt.Get();
    KVOdbcCheck(SQLSetStmtAttr(h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(count), 0), Rs.get(),
                kApply, h, SQL_HANDLE_STMT);
    Status.assign(std::max<size_t>(count, 1), SQL_PARAM_UNUSED);
    Processed = 0;
    KVOdbcCheck(SQLSetStmtAttr(h, SQL_ATTR_PARAM_STATUS_PTR, Status.data(), 0), Rs.get(), kApply, h,
                SQL_HANDLE_STMT);
    KVOdbcCheck(SQLSetStmtAttr(h, SQL_ATTR_PARAMS_PROCESSED_PTR, &Processed, 0), Rs.get(), kApply, h,
                SQL_HANDLE_STMT);
    for (size_t n = 0; n < Columns.size(); ++n) {
      TColumn& col = Columns[n];
      SQLULEN columnSize = col.Type.ColumnSize;
      if (col.Type.Variable) {
        // The longest value of the rows bound, at least the column's size, as the row writer names it.
        size_t longest = 0;
        for (size_t r = row; r < row + count; ++r)
          if (col.Indicators[r] > 0) longest = std::max(longest, static_cast<size_t>(col.Indicators[r]));
        columnSize = std::max<SQLULEN>({longest, static_cast<SQLULEN>(std::max<SQLLEN>(col.FieldSize, 0)), 1});
      }
      KVOdbcCheck(SQLBindParameter(h, ParameterNumber(n), SQL_PARAM_INPUT, col.CType,
                                   col.Type.SqlType, columnSize, col.Type.Digits, &col.Data[row * col.Stride],
                                   static_cast<SQLLEN>(col.Stride), &col.Indicators[row]),
                  Rs.get(), kApply, h, SQL_HANDLE_STMT);
    }
  }

  // One execute of the whole batch; true when every row was written.
  bool ExecuteArray() {
    // The SQLite driver writes every binary value of an array with the length of the first row's: such a
    // batch goes row by row (still inside the savepoint or transaction of the batch, so that a failure is
    // handled as that of an array).
    bool rowWise = SQLite && std::any_of(Columns.begin(), Columns.end(),
                                         [](const TColumn& col) { return col.CType == SQL_C_BINARY; });
    if (PostgreSQL)
      if (TArrayOutcome arrays = ExecuteAsArrays(); arrays != TArrayOutcome::NotPossible)
        return arrays == TArrayOutcome::Written;
    if (MariaDB && !UpdateKey.empty())
      if (TArrayOutcome staged = ExecuteUpdateThroughStage(); staged != TArrayOutcome::NotPossible)
        return staged == TArrayOutcome::Written;
    if ((SQLite && !rowWise) || (PostgreSQL && UpdateKey.empty())) return ExecuteMultiRow();
    if (PostgreSQL && !UpdateKey.empty()) return ExecuteUpdateFromValues();
    if (rowWise) {
      ++Owner.m_ArrayExecutes;
      for (size_t r = 0; r < Rows; ++r) {
        Bind(r, 1);
        SQLRETURN rc = SQLExecute(Stmt.Get());
        SQLLEN changed = -1;
        if (!UpdateKey.empty() && KVOdbcSucceeded(rc) && !KVOdbcSucceeded(SQLRowCount(Stmt.Get(), &changed)))
          changed = -1;
        SQLFreeStmt(Stmt.Get(), SQL_CLOSE);
        if (!KVOdbcSucceeded(rc) && rc != SQL_NO_DATA) return false;
        if (rc == SQL_NO_DATA && !UpdateKey.empty()) return false;  // an edit whose row is gone
        if (changed == 0) return false;
      }
      return true;
    }
    Bind(0, Rows);
    SQLRETURN rc = SQLExecute(Stmt.Get());
    ++Owner.m_ArrayExecutes;
    SQLLEN changed = -1;
    if (!UpdateKey.empty() && KVOdbcSucceeded(rc) && !KVOdbcSucceeded(SQLRowCount(Stmt.Get(), &changed)))
      changed = -1;
    SQLFreeStmt(Stmt.Get(), SQL_CLOSE);
    // An edit whose row is gone touched nothing, which its own write reports as an error: fewer rows than
    // edits send the batch through the row-by-row pass. MariaDB counts only rows whose values changed, so
    // there a lower count only asks whether every key still has its row.
    if (!UpdateKey.empty() && changed >= 0 && static_cast<size_t>(changed) < Rows &&
        (!MariaDB || (KVOdbcSucceeded(rc) && !EveryKeyHasItsRow())))
      return false;
    if (rc == SQL_SUCCESS || rc == SQL_NO_DATA) return true;
    if (rc != SQL_SUCCESS_WITH_INFO) return false;
    // Some rows may have failed while others were written: only a driver's status array tells.
    return std::none_of(Status.begin(), Status.end(), [](SQLUSMALLINT s) { return s == SQL_PARAM_ERROR; });
  }

  // Binds rows [first, first + count) of every column to the markers of one statement of many rows, row by
  // row in column order. Last parameter first: the drivers grow their parameter tables to the highest number
  // bound, one reallocation per new highest number (quadratic over thousands of parameters). With `chunk`,
  // a parameter bound as wanted already by an earlier batch is left as it is.
  void BindRows(SQLHSTMT h, size_t first, size_t count, TChunkStatement* chunk) {
    for (size_t r = count; r-- > 0;)
      for (size_t n = Columns.size(); n-- > 0;) {
        TColumn& col = Columns[n];
        const size_t at = first + r;
        const TBoundParameter wanted{&col.Data[at * col.Stride], &col.Indicators[at],
                                     static_cast<SQLLEN>(col.Stride), ColumnSizeAt(col, at), col.CType,
                                     col.Type.SqlType, col.Type.Digits};
        TBoundParameter* kept = chunk ? &chunk->Bound[r * Columns.size() + n] : nullptr;
        // The driver takes a binary value's length when it is bound (see the row writer): those are always
        // bound again.
        if (kept && *kept == wanted && col.CType != SQL_C_BINARY) continue;
        if (kept) *kept = TBoundParameter{};  // unknown until the call succeeds
        KVOdbcCheck(SQLBindParameter(h, static_cast<SQLUSMALLINT>(r * Columns.size() + n + 1), SQL_PARAM_INPUT,
                                     wanted.CType, wanted.SqlType, wanted.ColumnSize, wanted.Digits, wanted.Data,
                                     wanted.Stride, wanted.Indicator),
                    Rs.get(), kApply, h, SQL_HANDLE_STMT);
        if (kept) *kept = wanted;
      }
  }

  // The SQLite driver prepares its statement again at every execute, arrays included (a prepare per row, 40%
  // of a run's time): one INSERT of many rows, each value bound on its own, pays one prepare for all of
  // them. psqlODBC sends an array as one execute per row, which costs the server a planned statement per row;
  // one INSERT of many rows, prepared once and executed again for every full chunk, costs it a third of that
  // and one round trip per chunk. A failing statement writes none of its rows; the caller's savepoint undoes
  // the chunks before it.
  bool ExecuteMultiRow() {
    const size_t columns = std::max<size_t>(Columns.size(), 1);
    // SQLite allows 32,766 parameters per statement, and a text of a few hundred rows keeps its parse short.
    const size_t perStatement = std::max<size_t>(
        1, std::min<size_t>(SQLite ? 200 : Owner.m_Capacity, (SQLite ? 32766 : kPgMaxParameters) / columns));
    // Edits (SQLite): one UPDATE joined to the rows' values, its key column searched by each value row; the
    // values take the columns' affinities as bound values would. The count of rows it changed tells whether
    // every key had its row.
    const bool update = !UpdateKey.empty();
    std::string head = update ? "UPDATE " + TableSQL + " SET " : "INSERT INTO " + TableSQL + " (", row = "(", tail;
    for (size_t n = 0, set = 0; n < Columns.size(); ++n) {
      row += n ? ", ?" : "?";
      if (!update) {
        head += (n ? ", " : "") + KVQuoteIdentifier(Columns[n].Name, Quote);
      } else if (n != KeyColumn) {
        head += (set++ ? ", " : "") + KVQuoteIdentifier(Columns[n].Name, Quote) + " = dabrix_v.column" +
                std::to_string(n + 1);
      }
    }
    head += update ? " FROM (VALUES " : ") VALUES ";
    row += ")";
    if (update)
      tail = ") AS dabrix_v WHERE " + TableSQL + "." + KVQuoteIdentifier(Columns[KeyColumn].Name, Quote) +
             " = dabrix_v.column" + std::to_string(KeyColumn + 1);
    auto textOf = [&](size_t count) {
      std::string text = head;
      text.reserve(head.size() + count * (row.size() + 2) + tail.size());
      for (size_t r = 0; r < count; ++r) {
        if (r) text += ", ";
        text += row;
      }
      return text + tail;
    };
    ++Owner.m_ArrayExecutes;
    for (size_t first = 0; first < Rows; first += perStatement) {
      const size_t count = std::min(perStatement, Rows - first);
      // SQLite: bound first and run with SQLExecDirect, as SQLPrepare would make its driver prepare the text
      // twice. PostgreSQL: prepared (psqlODBC's SQLExecDirect spells some bound types wrongly), the full
      // chunk's text once for the run.
      SQLHSTMT h = SQL_NULL_HSTMT;
      std::string text;
      TChunkStatement* chunk = nullptr;
      if (count == perStatement) {
        // A full chunk keeps its statement and its bindings from batch to batch (PostgreSQL: a batch is one
        // chunk, its text prepared once).
        const size_t k = first / perStatement;
        if (Chunks.size() <= k) Chunks.resize(k + 1);
        chunk = &Chunks[k];
        h = Handle(chunk->Handle);
        text = textOf(count);
        SQLFreeStmt(h, SQL_CLOSE);
        if (chunk->Text != text) {
          SQLFreeStmt(h, SQL_RESET_PARAMS);
          chunk->Bound.assign(count * Columns.size(), TBoundParameter{});
          chunk->Text.clear();
          if (!SQLite) {
            KVOdbcCheck(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())),
                        Rs.get(), kApply, h, SQL_HANDLE_STMT);
            ++Owner.m_Prepares;
          }
          chunk->Text = text;
        }
      } else if (SQLite) {
        h = Handle(Multi);
        text = textOf(count);
        SQLFreeStmt(h, SQL_CLOSE);
        SQLFreeStmt(h, SQL_RESET_PARAMS);
      } else {
        h = Handle(MultiTail);
        SQLFreeStmt(h, SQL_CLOSE);
        PrepareMultiRow(h, false, count, textOf);
      }
      BindRows(h, first, count, chunk);
      SQLRETURN rc = SQLite ? SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(text.data()),
                                            static_cast<SQLINTEGER>(text.size()))
                            : SQLExecute(h);
      SQLLEN changed = -1;
      if (update && KVOdbcSucceeded(rc) && !KVOdbcSucceeded(SQLRowCount(h, &changed))) changed = -1;
      SQLFreeStmt(h, SQL_CLOSE);
      if (!KVOdbcSucceeded(rc) && rc != SQL_NO_DATA) return false;
      if (update && (rc == SQL_NO_DATA || (changed >= 0 && static_cast<size_t>(changed) < count))) return false;
    }
    return true;
  }

  // PostgreSQL: a column of the table as its catalog names it. The type is named by its schema and its
  // own name, without its modifier, which applies when the value is stored (lengths checked, numbers and
  // fractions of seconds rounded) as it does to a parameter; the grammar's spellings would not do ("bit"
  // and "character" alone mean one character or bit). `Arrays`: an array of the type exists and is no
  // array of arrays (a base type, domain or enum).
  struct TPgColumn {
    std::string Type;      // "pg_catalog"."varchar"
    std::string TypeName;  // varchar
    bool Arrays = false;
  };
  std::map<std::string, TPgColumn> PgColumns;  // by column name
  bool PgColumnsLoaded = false;

  static std::string Literal(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
      if (c == '\'') out += '\'';
      out += c;
    }
    return out + "'";
  }

  // Once per lane: the table does not change under a run.
  void LoadPgColumns() {
    if (PgColumnsLoaded) return;
    PgColumnsLoaded = true;
    std::string sql =
        "SELECT a.attname, '\"' || replace(n.nspname, '\"', '\"\"') || '\".\"' || replace(t.typname, '\"', "
        "'\"\"') || '\"', t.typname, CASE WHEN t.typtype IN ('b', 'd', 'e') AND t.typcategory <> 'A' AND "
        "t.typarray <> 0 THEN 1 ELSE 0 END FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = "
        "a.atttypid JOIN pg_catalog.pg_namespace n ON n.oid = t.typnamespace WHERE a.attrelid = " +
        Literal(TableSQL) + "::regclass AND a.attnum > 0 AND NOT a.attisdropped";
    SQLHSTMT h = Handle(Ctl);
    if (!KVOdbcSucceeded(SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(sql.data()), static_cast<SQLINTEGER>(sql.size())))) {
      SQLFreeStmt(h, SQL_CLOSE);
      return;  // without the catalog every batch goes with its values bound one by one
    }
    auto text = [h](SQLUSMALLINT column) {
      char buffer[520] = {};
      SQLLEN length = 0;
      if (!KVOdbcSucceeded(SQLGetData(h, column, SQL_C_CHAR, buffer, sizeof buffer, &length)) || length <= 0)
        return std::string();
      return std::string(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
    };
    while (KVOdbcSucceeded(SQLFetch(h))) {
      TPgColumn column;
      std::string name = text(1);
      column.Type = text(2);
      column.TypeName = text(3);
      column.Arrays = text(4) == "1";
      if (!name.empty() && !column.Type.empty()) PgColumns[name] = std::move(column);
    }
    SQLFreeStmt(h, SQL_CLOSE);
  }

  const TPgColumn* PgColumn(const TColumn& col) {
    LoadPgColumns();
    auto it = PgColumns.find(col.Name);
    return it == PgColumns.end() ? nullptr : &it->second;
  }

  // The integer in a key column's row, for the key range of a batch; false for a C type that is no integer.
  // Whether each row of the batch (distinct keys) still finds its row in the table: the edits' own count
  // cannot tell on MariaDB. A key that is not an integer answers no, and its batch is written row by row.
  bool EveryKeyHasItsRow() {
    std::string sql = "SELECT COUNT(*) FROM " + TableSQL + " WHERE " +
                      KVQuoteIdentifier(Columns[KeyColumn].Name, Quote) + " IN (";
    for (size_t r = 0; r < Rows; ++r) {
      SQLBIGINT key = 0;
      if (!KeyOf(Columns[KeyColumn], r, key)) return false;
      if (r) sql += ", ";
      sql += std::to_string(key);
    }
    sql += ")";
    SQLHSTMT h = Handle(Ctl);
    KVOdbcCheck(SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(sql.data()), static_cast<SQLINTEGER>(sql.size())),
                Rs.get(), kApply, h, SQL_HANDLE_STMT);
    SQLBIGINT count = -1;
    SQLLEN ind = 0;
    SQLRETURN rc = SQLFetch(h);
    if (KVOdbcSucceeded(rc)) rc = SQLGetData(h, 1, SQL_C_SBIGINT, &count, 0, &ind);
    SQLFreeStmt(h, SQL_CLOSE);
    KVOdbcCheck(rc, Rs.get(), kApply, h, SQL_HANDLE_STMT);
    return ind != SQL_NULL_DATA && count == static_cast<SQLBIGINT>(Rows);
  }

  bool KeyOf(const TColumn& col, size_t row, SQLBIGINT& out) const {
    if (col.Indicators[row] == SQL_NULL_DATA) return false;
    const uint8_t* at = &col.Data[row * col.Stride];
    auto get = [&](auto value) {
      std::memcpy(&value, at, sizeof value);
      out = static_cast<SQLBIGINT>(value);
      return true;
    };
    switch (col.CType) {
      case SQL_C_SBIGINT: return get(int64_t{});
      case SQL_C_SLONG: case SQL_C_LONG: return get(int32_t{});
      case SQL_C_ULONG: return get(uint32_t{});
      case SQL_C_SSHORT: case SQL_C_SHORT: return get(int16_t{});
      case SQL_C_USHORT: return get(uint16_t{});
      case SQL_C_STINYINT: case SQL_C_TINYINT: return get(int8_t{});
      case SQL_C_UTINYINT: case SQL_C_BIT: return get(uint8_t{});
      default: return false;
    }
  }

  // The smallest and largest key of rows [first, first + count) of the batch, for the key range of an
  // UPDATE; false when a key is NULL or of a C type that is no integer.
  bool KeyRange(size_t first, size_t count, SQLBIGINT& low, SQLBIGINT& high) const {
    for (size_t r = first; r < first + count; ++r) {
      SQLBIGINT key = 0;
      if (!KeyOf(Columns[KeyColumn], r, key)) return false;
      low = r == first ? key : std::min(low, key);
      high = r == first ? key : std::max(high, key);
    }
    return count > 0;
  }

  // PostgreSQL: psqlODBC runs an array as one execute per row and reports the count of the last row only.
  // One UPDATE joined to the batch's values is one statement for the server, and its count tells whether
  // every row was there. The first row's values are cast to the columns' types, which gives the value list
  // its column types (the others follow them). A batch never holds a key twice (the caller writes it
  // first), so each row is matched at most once. The join alone is planned as a scan of the whole table
  // hashed against the values (a batch would read every row of the table); the range of the batch's keys
  // lets the planner read just that range through the key's index, which for keys that come in order is
  // about the batch's rows.
  bool ExecuteUpdateFromValues() {
    SQLBIGINT low = 0, high = 0;
    const size_t columns = std::max<size_t>(Columns.size(), 1);
    const size_t perStatement =
        std::max<size_t>(1, std::min<size_t>(Owner.m_Capacity, (kPgMaxParameters - 2) / columns));
    std::string head = "UPDATE " + TableSQL + " SET ", names, first = "(", row = "(";
    bool any = false;
    for (size_t n = 0; n < Columns.size(); ++n) {
      const std::string v = "dabrix_v.c" + std::to_string(n + 1);
      names += (n ? ", c" : "c") + std::to_string(n + 1);
      first += n ? ", " : "";
      const TPgColumn* type = PgColumn(Columns[n]);
      first += type ? "CAST(? AS " + type->Type + ")" : std::string("?");
      row += n ? ", ?" : "?";
      if (n == KeyColumn) continue;
      head += (any ? ", " : "") + KVQuoteIdentifier(Columns[n].Name, Quote) + " = " + v;
      any = true;
    }
    first += ")";
    row += ")";
    const std::string keySQL = TableSQL + "." + KVQuoteIdentifier(Columns[KeyColumn].Name, Quote);
    // Whether every key has an integer C type decides the text once for all chunks.
    const bool ranged = KeyRange(0, Rows, low, high);
    const std::string tail = ") AS dabrix_v (" + names + ") WHERE " + keySQL + " = dabrix_v.c" +
                             std::to_string(KeyColumn + 1) + (ranged ? " AND " + keySQL + " BETWEEN ? AND ?" : "");
    auto textOf = [&](size_t count) {
      std::string text = head + " FROM (VALUES " + first;
      text.reserve(text.size() + count * (row.size() + 2) + tail.size());
      for (size_t r = 1; r < count; ++r) text += ", " + row;
      return text + tail;
    };
    ++Owner.m_ArrayExecutes;
    for (size_t start = 0; start < Rows; start += perStatement) {
      const size_t count = std::min(perStatement, Rows - start);
      const bool full = count == perStatement;
      SQLHSTMT h = Handle(full ? Multi : MultiTail);
      SQLFreeStmt(h, SQL_CLOSE);
      // A full chunk's text is kept with the key range or without it: a changed form prepares again.
      if (full && MultiPreparedRanged != ranged) MultiPreparedRows = 0;
      MultiPreparedRanged = ranged;
      if (ranged) {
        KeyRange(start, count, low, high);
        const auto last = static_cast<SQLUSMALLINT>(count * Columns.size());
        KVOdbcCheck(SQLBindParameter(h, static_cast<SQLUSMALLINT>(last + 2), SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                     SQL_BIGINT, 0, 0, &high, 0, nullptr),
                    Rs.get(), kApply, h, SQL_HANDLE_STMT);
        KVOdbcCheck(SQLBindParameter(h, static_cast<SQLUSMALLINT>(last + 1), SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                     SQL_BIGINT, 0, 0, &low, 0, nullptr),
                    Rs.get(), kApply, h, SQL_HANDLE_STMT);
      }
      PrepareMultiRow(h, full, count, textOf);
      BindRows(h, start, count, nullptr);
      SQLRETURN rc = SQLExecute(h);
      SQLLEN changed = -1;
      if (KVOdbcSucceeded(rc) && !KVOdbcSucceeded(SQLRowCount(h, &changed))) changed = -1;
      SQLFreeStmt(h, SQL_CLOSE);
      if (!KVOdbcSucceeded(rc) && rc != SQL_NO_DATA) return false;
      if (changed >= 0 && static_cast<size_t>(changed) < count) return false;
    }
    return true;
  }

  // --- PostgreSQL: one array parameter per column

  // psqlODBC sends every parameter as text of no declared type, which the server reads with the input of
  // the column's type. A batch can go the same way as one array per column, unnested into its rows: the
  // same texts, read by the same inputs, but one parameter per column instead of one per value. That takes
  // the driver's work per value away (a third of a run's CPU in psqlODBC) and spares the server a
  // parameter per value. Measured over 300,000 rows (6 columns): the server's CPU 0.92 s against 1.02 s.
  enum class TArrayOutcome { Written, Failed, NotPossible };

  bool ArraysAllowed = true;  // off: DABRIX_NO_ARRAY_BATCHES, for comparison
  std::vector<std::string> Arrays;  // per column: the array literal of the batch's values
  std::vector<SQLLEN> ArrayLengths;
  TKVOdbcHandle ArrayStmt;
  std::string ArrayText;  // the statement prepared on ArrayStmt

  // The array type for a column's values: the column's own, where its values' texts are those the driver
  // would send for them. Floating values only into columns of their own type (any exact text then gives
  // the same number, while into text or numeric columns the digits themselves would count). Empty: the
  // batch goes with its values bound one by one.
  std::string ArrayTypeOf(const TColumn& col) {
    const TPgColumn* type = PgColumn(col);
    if (!type || !type->Arrays) return {};
    switch (col.CType) {
      case SQL_C_CHAR:
      case SQL_C_WCHAR:
      case SQL_C_STINYINT:
      case SQL_C_UTINYINT:
      case SQL_C_SSHORT:
      case SQL_C_USHORT:
      case SQL_C_SLONG:
      case SQL_C_ULONG:
      case SQL_C_SBIGINT:
      case SQL_C_UBIGINT:
      case SQL_C_TYPE_DATE:
      case SQL_C_TYPE_TIME:
      case SQL_C_TYPE_TIMESTAMP: return type->Type;
      case SQL_C_DOUBLE: return type->TypeName == "float8" ? type->Type : std::string();
      case SQL_C_FLOAT: return type->TypeName == "float4" ? type->Type : std::string();
      case SQL_C_BIT: return type->TypeName == "bool" ? type->Type : std::string();
      case SQL_C_BINARY: return type->TypeName == "bytea" ? type->Type : std::string();
      default: return {};
    }
  }

  // Appends row r of col to an array literal, quoted, in the text psqlODBC sends for such a value
  // (measured: dates as 0033-01-02, fractions of seconds cut to microseconds without trailing zeros,
  // bytes as \x and lower-case hex, bits as 1 and 0). False for a value not spelled here: a zero byte
  // in a text, ill-formed UTF-16, a non-finite number, a bit that is neither 0 nor 1.
  std::u16string WideScratch;  // a wide value's units, then as UTF-8: kept from value to value
  std::string TextScratch;
  bool AppendElement(std::string& out, const TColumn& col, size_t r) {
    const SQLLEN indicator = col.Indicators[r];
    if (indicator == SQL_NULL_DATA) {
      out += "NULL";
      return true;
    }
    const uint8_t* at = &col.Data[r * col.Stride];
    auto quoted = [&out](std::string_view text) {
      out += '"';
      for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      out += '"';
    };
    auto integer = [&out, at](auto value) {
      std::memcpy(&value, at, sizeof value);
      char buffer[24];
      out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
      return true;
    };
    char buffer[64];
    // The fewest digits that give the same number back, which the server reads as the number psqlODBC's
    // text gives. snprintf's "%.17g" took half the time of making a batch's literals, which lies on the
    // batch writer's path; the server also reads the shorter texts faster (2.64 s of its CPU against 2.93 s
    // for 1,000,000 rows).
    auto floating = [&out, &buffer, at](auto value) {
      std::memcpy(&value, at, sizeof value);
      if (!std::isfinite(value)) return false;
      out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
      return true;
    };
    // A date or time in the server's own spelling, quoted.
    auto printed = [&quoted, &buffer](const char* format, auto... parts) {
      const int n = std::snprintf(buffer, sizeof buffer, format, static_cast<int>(parts)...);
      quoted(std::string_view(buffer, static_cast<size_t>(std::max(n, 0))));
      return true;
    };
    switch (col.CType) {
      case SQL_C_CHAR: {
        std::string_view text(reinterpret_cast<const char*>(at), static_cast<size_t>(std::max<SQLLEN>(indicator, 0)));
        if (text.find('\0') != std::string_view::npos) return false;
        quoted(text);
        return true;
      }
      case SQL_C_WCHAR: {
        WideScratch.resize(static_cast<size_t>(std::max<SQLLEN>(indicator, 0)) / 2);
        if (!WideScratch.empty()) std::memcpy(WideScratch.data(), at, WideScratch.size() * 2);
        if (!KVTryUtf16ToUtf8(WideScratch, TextScratch) || TextScratch.find('\0') != std::string::npos) return false;
        quoted(TextScratch);
        return true;
      }
      case SQL_C_BINARY: {
        static const char kHex[] = "0123456789abcdef";
        out += "\"\\\\x";
        for (SQLLEN i = 0; i < indicator; ++i) {
          out += kHex[at[i] >> 4];
          out += kHex[at[i] & 15];
        }
        out += '"';
        return true;
      }
      case SQL_C_BIT:
        if (*at > 1) return false;
        out += *at ? '1' : '0';
        return true;
      case SQL_C_STINYINT: return integer(int8_t{});
      case SQL_C_UTINYINT: return integer(uint8_t{});
      case SQL_C_SSHORT: return integer(int16_t{});
      case SQL_C_USHORT: return integer(uint16_t{});
      case SQL_C_SLONG: return integer(int32_t{});
      case SQL_C_ULONG: return integer(uint32_t{});
      case SQL_C_SBIGINT: return integer(int64_t{});
      case SQL_C_UBIGINT: return integer(uint64_t{});
      case SQL_C_DOUBLE: return floating(double{});
      case SQL_C_FLOAT: return floating(float{});
      case SQL_C_TYPE_DATE: {
        SQL_DATE_STRUCT d;
        std::memcpy(&d, at, sizeof d);
        return printed("%.4d-%.2d-%.2d", d.year, d.month, d.day);
      }
      case SQL_C_TYPE_TIME: {
        SQL_TIME_STRUCT t;
        std::memcpy(&t, at, sizeof t);
        return printed("%.2d:%.2d:%.2d", t.hour, t.minute, t.second);
      }
      case SQL_C_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT t;
        std::memcpy(&t, at, sizeof t);
        size_t n = 0;
        if (t.year >= 0 && t.year <= 9999 && t.month <= 99 && t.day <= 99 && t.hour <= 99 && t.minute <= 99 &&
            t.second <= 99) {
          // Spelled by hand: snprintf was a third of the time of making a batch's literals.
          auto digits = [&](unsigned value, int width, char after) {
            for (size_t i = static_cast<size_t>(width); i-- > 0; value /= 10)
              buffer[n + i] = static_cast<char>('0' + value % 10);
            n += static_cast<size_t>(width);
            if (after) buffer[n++] = after;
          };
          digits(static_cast<unsigned>(t.year), 4, '-');
          digits(t.month, 2, '-');
          digits(t.day, 2, ' ');
          digits(t.hour, 2, ':');
          digits(t.minute, 2, ':');
          digits(t.second, 2, 0);
        } else {
          n = static_cast<size_t>(std::max(0, std::snprintf(buffer, 40, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", t.year,
                                                            t.month, t.day, t.hour, t.minute, t.second)));
          n = std::min<size_t>(n, 39);
        }
        // Microseconds, at least six digits, without trailing zeros.
        if (const unsigned micro = static_cast<unsigned>(t.fraction / 1000); micro != 0) {
          char micros[16];
          const size_t length = static_cast<size_t>(std::to_chars(micros, micros + sizeof micros, micro).ptr - micros);
          buffer[n++] = '.';
          for (size_t i = length; i < 6; ++i) buffer[n++] = '0';
          std::memcpy(buffer + n, micros, length);
          n += length;
          while (buffer[n - 1] == '0') --n;
        }
        quoted(std::string_view(buffer, n));
        return true;
      }
      default: return false;
    }
  }

  // The batch as one statement over one array per column: an INSERT of the unnested rows, or an UPDATE
  // joined to them by the key (limited to the batch's key range, as ExecuteUpdateFromValues is). Every
  // literal is made before anything runs, so that a batch not possible this way goes the other way whole.
  TArrayOutcome ExecuteAsArrays() {
    if (!ArraysAllowed) return TArrayOutcome::NotPossible;
    const bool update = !UpdateKey.empty();
    std::string names, unnest, set;
    for (size_t n = 0; n < Columns.size(); ++n) {
      std::string type = ArrayTypeOf(Columns[n]);
      if (type.empty()) return TArrayOutcome::NotPossible;
      unnest += (n ? ", ?::" : "?::") + type + "[]";
      if (update) {
        names += (n ? ", c" : "c") + std::to_string(n + 1);
        if (n != KeyColumn)
          set += (set.empty() ? "" : ", ") + KVQuoteIdentifier(Columns[n].Name, Quote) + " = dabrix_v.c" +
                 std::to_string(n + 1);
      } else {
        names += (n ? ", " : "") + KVQuoteIdentifier(Columns[n].Name, Quote);
      }
    }
    Arrays.resize(Columns.size());
    ArrayLengths.resize(Columns.size());
    size_t literals = 0;
    for (size_t n = 0; n < Columns.size(); ++n) {
      std::string& literal = Arrays[n];
      literal.assign(1, '{');
      for (size_t r = 0; r < Rows; ++r) {
        if (r) literal += ',';
        if (!AppendElement(literal, Columns[n], r)) return TArrayOutcome::NotPossible;
      }
      literal += '}';
      ArrayLengths[n] = static_cast<SQLLEN>(literal.size());
      // Bytes spelled as hex take twice their room: past the batch's budget the values go bound one by one.
      literals += literal.size();
      if (literals > ByteBudget) return TArrayOutcome::NotPossible;
    }
    SQLBIGINT low = 0, high = 0;
    const bool ranged = update && KeyRange(0, Rows, low, high);
    std::string text;
    if (update) {
      const std::string keySQL = TableSQL + "." + KVQuoteIdentifier(Columns[KeyColumn].Name, Quote);
      text = "UPDATE " + TableSQL + " SET " + set + " FROM unnest(" + unnest + ") AS dabrix_v (" + names +
             ") WHERE " + keySQL + " = dabrix_v.c" + std::to_string(KeyColumn + 1) +
             (ranged ? " AND " + keySQL + " BETWEEN ? AND ?" : "");
    } else {
      text = "INSERT INTO " + TableSQL + " (" + names + ") SELECT * FROM unnest(" + unnest + ")";
    }
    SQLHSTMT h = Handle(ArrayStmt);
    SQLFreeStmt(h, SQL_CLOSE);
    if (text != ArrayText) {
      ArrayText.clear();
      SQLFreeStmt(h, SQL_RESET_PARAMS);
      ++Owner.m_Prepares;
      if (!KVOdbcSucceeded(
              SQLPrepare(h, reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())))) {
        // A server without unnest of several arrays (before 9.4): this batch goes row by row after the
        // rollback to its savepoint, the next ones bound one value at a time.
        ArraysAllowed = false;
        return TArrayOutcome::Failed;
      }
      ArrayText = std::move(text);
    }
    // Bound again for every batch: a literal's memory moves as it grows.
    for (size_t n = 0; n < Columns.size(); ++n)
      KVOdbcCheck(SQLBindParameter(h, static_cast<SQLUSMALLINT>(n + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR,
                                   static_cast<SQLULEN>(ArrayLengths[n]), 0, Arrays[n].data(), ArrayLengths[n],
                                   &ArrayLengths[n]),
                  Rs.get(), kApply, h, SQL_HANDLE_STMT);
    if (ranged) {
      const auto next = static_cast<SQLUSMALLINT>(Columns.size() + 1);
      KVOdbcCheck(SQLBindParameter(h, next, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &ArrayLow, 0, nullptr),
                  Rs.get(), kApply, h, SQL_HANDLE_STMT);
      KVOdbcCheck(SQLBindParameter(h, static_cast<SQLUSMALLINT>(next + 1), SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT,
                                   0, 0, &ArrayHigh, 0, nullptr),
                  Rs.get(), kApply, h, SQL_HANDLE_STMT);
      ArrayLow = low;
      ArrayHigh = high;
    }
    ++Owner.m_ArrayExecutes;
    SQLRETURN rc = SQLExecute(h);
    SQLLEN changed = -1;
    if (update && KVOdbcSucceeded(rc) && !KVOdbcSucceeded(SQLRowCount(h, &changed))) changed = -1;
    SQLFreeStmt(h, SQL_CLOSE);
    if (!KVOdbcSucceeded(rc) && rc != SQL_NO_DATA) return TArrayOutcome::Failed;
    // An edit whose row is gone changes nothing: the count tells, as for the other forms of the batch.
    if (update && (rc == SQL_NO_DATA || (changed >= 0 && static_cast<size_t>(changed) < Rows)))
      return TArrayOutcome::Failed;
    return TArrayOutcome::Written;
  }
  SQLBIGINT ArrayLow = 0, ArrayHigh = 0;

  // --- MariaDB: edits through a staging table

  // The server runs every row of a parameter array as a statement of its own. The batch's rows go instead
  // into a temporary table of the edited columns' own types (one array INSERT, which the server takes as
  // cheaply as any insert), and one UPDATE joined to it writes them all. The server's CPU for 100,000
  // edits of 6 columns: 1.03 s as arrays of UPDATEs, 0.47 s staged in memory (medians of 3, in turns);
  // staged in an InnoDB table it saved nothing. Every value is converted into its column's type when it is
  // staged, as a parameter of the UPDATE would be when it is stored (a value too long fails there, and its
  // batch goes row by row), and it is then copied into a column of that very type, so the rows stored are
  // the same. A list of values in the statement itself would not do: MariaDB types such a list by its first
  // row, and cuts or refuses a longer value in a later one. The keys are integers (the caller batches edits
  // only then), so the join matches exactly the rows "key = ?" would.
  enum class TStage { Unknown, Ready, Unavailable };
  TStage Stage = TStage::Unknown;
  std::string StageSQL;      // the staging table's quoted name
  std::string StageColumns;  // the columns it was made with
  TKVOdbcHandle StageInsert, StageUpdate, StageUpdateRanged;
  std::string StageInsertText, StageUpdateText, StageUpdateRangedText;
  SQLBIGINT StageLow = 0, StageHigh = 0;  // the key range StageUpdateRanged is bound to
  std::vector<SQLSMALLINT> StageInsertShape;
  bool StageBatchFailed = false;  // the last batch failed in the staging table or in the joined UPDATE
  bool StageDirty = false;        // rows may be left in the staging table (a batch that raised)

  // A failed statement leaves nothing behind: the staging table emptied (the caller's rollback to the
  // batch's savepoint would empty it too where the table keeps transactions).
  TArrayOutcome StageFailed() {
    StageBatchFailed = true;
    StageDirty = !TryControl("DELETE FROM " + StageSQL);
    return TArrayOutcome::Failed;
  }

  // Makes the staging table for the batch's columns (again when they changed); false where it cannot be
  // made (no right to make temporary tables, or no such table for this table's columns): the edits then go
  // as an array of UPDATEs.
  bool EnsureStage() {
    if (Stage == TStage::Unavailable) return false;
    std::string columns;
    for (size_t n = 0; n <= Columns.size(); ++n) {
      if (n == KeyColumn) continue;  // the key last, as the UPDATE binds it
      const TColumn& col = Columns[n == Columns.size() ? KeyColumn : n];
      if (!columns.empty()) columns += ", ";
      columns += KVQuoteIdentifier(col.Name, Quote);
    }
    if (Stage == TStage::Ready && columns == StageColumns) return true;
    static std::atomic<unsigned> serial{0};
    std::string name = KVQuoteIdentifier("dabrix_stage_" + std::to_string(++serial), Quote);
    try {
      if (Stage == TStage::Ready) Control("DROP TEMPORARY TABLE IF EXISTS " + StageSQL);
      Stage = TStage::Unknown;
      // A temporary table commits nothing, unlike any other CREATE TABLE, and LIMIT 0 reads no row.
      // In memory where the columns allow (no BLOB or TEXT): staging and deleting a batch there cost the
      // server a fifth of what it did in an InnoDB table. The table keeps no transaction; each batch
      // empties it, written or not.
      // Its key lets the table's rows find their values (see ExecuteUpdateThroughStage).
      const std::string head = "CREATE TEMPORARY TABLE " + name + " (PRIMARY KEY (" +
                               KVQuoteIdentifier(Columns[KeyColumn].Name, Quote) + "))";
      const std::string select = " AS SELECT " + columns + " FROM " + TableSQL + " LIMIT 0";
      if (!TryControl(head + " ENGINE=MEMORY" + select)) Control(head + select);
    } catch (const std::exception& e) {
      KVTrace(TKVTraceCategory::Warning, std::string("batched edits without a staging table: ") + e.what());
      Stage = TStage::Unavailable;
      return false;
    }
    Stage = TStage::Ready;
    StageDirty = false;
    StageSQL = std::move(name);
    StageColumns = std::move(columns);
    return true;
  }

  TArrayOutcome ExecuteUpdateThroughStage() {
    if (!ArraysAllowed || !EnsureStage()) return TArrayOutcome::NotPossible;
    std::vector<SQLSMALLINT> shape;
    for (const TColumn& col : Columns) shape.push_back(col.CType);
    std::string values;
    for (size_t n = 0; n < Columns.size(); ++n) values += n ? ", ?" : "?";
    std::string insert = "INSERT INTO " + StageSQL + " (" + StageColumns + ") VALUES (" + values + ")";
    // MariaDB writes a table that is not the first of a join through a temporary table of its own (the
    // rows' positions and new values, then each row sought again): where the batch's keys lie close
    // together, as in a copy in key order, the table's range of them drives the join instead, each row
    // finding its values by the staging table's key and written as it is read. That took the UPDATEs of
    // 100,000 edits from 0.54 s to 0.42 s (medians of 4, in turns), the run from 1.01 s to 0.92 s.
    // Elsewhere the staging table drives, one lookup by key per row; left to itself the optimizer may read
    // the whole table.
    const std::string key = KVQuoteIdentifier(Columns[KeyColumn].Name, Quote);
    const std::string on = " ON " + TableSQL + "." + key + " = " + StageSQL + "." + key + " SET ";
    std::string set;
    for (size_t n = 0; n < Columns.size(); ++n) {
      if (n == KeyColumn) continue;
      const std::string column = KVQuoteIdentifier(Columns[n].Name, Quote);
      set += (set.empty() ? "" : ", ") + TableSQL + "." + column + " = " + StageSQL + "." + column;
    }
    SQLBIGINT low = 0, high = 0;
    const bool ranged = KeyRange(0, Rows, low, high) &&
                        static_cast<uint64_t>(high) - static_cast<uint64_t>(low) < 4 * static_cast<uint64_t>(Rows);
    const std::string update =
        ranged ? "UPDATE " + TableSQL + " STRAIGHT_JOIN " + StageSQL + on + set + " WHERE " + TableSQL + "." + key +
                     " BETWEEN ? AND ?"
               : "UPDATE " + StageSQL + " STRAIGHT_JOIN " + TableSQL + on + set;
    std::string& updateText = ranged ? StageUpdateRangedText : StageUpdateText;
    SQLHSTMT ins = Handle(StageInsert), upd = Handle(ranged ? StageUpdateRanged : StageUpdate);
    try {
      if (insert != StageInsertText || shape != StageInsertShape) {
        StageInsertText.clear();
        SQLFreeStmt(ins, SQL_RESET_PARAMS);
        KVOdbcCheck(SQLSetStmtAttr(ins, SQL_ATTR_PARAM_BIND_TYPE,
                                   reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0),
                    Rs.get(), kApply, ins, SQL_HANDLE_STMT);
        KVOdbcCheck(SQLPrepare(ins, reinterpret_cast<SQLCHAR*>(insert.data()), static_cast<SQLINTEGER>(insert.size())),
                    Rs.get(), kApply, ins, SQL_HANDLE_STMT);
        ++Owner.m_Prepares;
        StageInsertText = std::move(insert);
        StageInsertShape = std::move(shape);
      }
      if (update != updateText) {
        updateText.clear();
        KVOdbcCheck(SQLPrepare(upd, reinterpret_cast<SQLCHAR*>(const_cast<char*>(update.data())),
                               static_cast<SQLINTEGER>(update.size())),
                    Rs.get(), kApply, upd, SQL_HANDLE_STMT);
        ++Owner.m_Prepares;
        if (ranged)
          for (SQLUSMALLINT n = 1; n <= 2; ++n)
            KVOdbcCheck(SQLBindParameter(upd, n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                         n == 1 ? &StageLow : &StageHigh, 0, nullptr),
                        Rs.get(), kApply, upd, SQL_HANDLE_STMT);
        updateText = update;
      }
    } catch (const std::exception& e) {
      // A table the joined UPDATE may not name (a view of several tables): the edits go as before.
      KVTrace(TKVTraceCategory::Warning, std::string("batched edits without a staging table: ") + e.what());
      Stage = TStage::Unavailable;
      return TArrayOutcome::NotPossible;
    }

    ++Owner.m_ArrayExecutes;
    // The staging table keeps no transaction: rows of a batch that raised half-way would be written again.
    if (StageDirty) Control("DELETE FROM " + StageSQL);
    StageDirty = true;
    Bind(0, Rows, ins);
    SQLRETURN rc = SQLExecute(ins);
    SQLFreeStmt(ins, SQL_CLOSE);
    if (!KVOdbcSucceeded(rc) ||
        std::any_of(Status.begin(), Status.end(), [](SQLUSMALLINT s) { return s == SQL_PARAM_ERROR; }))
      return StageFailed();
    StageLow = low;
    StageHigh = high;
    rc = SQLExecute(upd);
    SQLLEN changed = -1;
    if (KVOdbcSucceeded(rc) && !KVOdbcSucceeded(SQLRowCount(upd, &changed))) changed = -1;
    SQLFreeStmt(upd, SQL_CLOSE);
    if (!KVOdbcSucceeded(rc) && rc != SQL_NO_DATA) return StageFailed();
    // MariaDB counts only the rows whose values changed; a lower count asks whether every key has its row.
    if (changed >= 0 && static_cast<size_t>(changed) < Rows && !EveryKeyHasItsRow()) return StageFailed();
    Control("DELETE FROM " + StageSQL);
    StageDirty = false;
    return TArrayOutcome::Written;
  }

  // The second pass: each row on its own, its error kept.
  void WriteRowByRow(bool inTransaction, const TOnRowError& onRowError, const TWriteRow& writeRow,
                     TKVBatchFlushResult& result) {
    bool savepoints = inTransaction && SavepointPerRow;
    for (size_t r = 0; r < Rows; ++r) {
      if (!writeRow) Bind(r, 1);
      if (savepoints) Control("SAVEPOINT dabrix_batch_row");
      std::exception_ptr error;
      if (writeRow) {
        ++Owner.m_RowExecutes;
        try {
          writeRow(r);
        } catch (...) {
          error = std::current_exception();
        }
      } else {
        SQLRETURN rc = SQLExecute(Stmt.Get());
        ++Owner.m_RowExecutes;
        try {
          KVOdbcCheck(rc, Rs.get(), kApply, Stmt.Get(), SQL_HANDLE_STMT);
        } catch (...) {
          error = std::current_exception();
        }
        SQLFreeStmt(Stmt.Get(), SQL_CLOSE);
      }
      if (!error) {
        if (savepoints) Control("RELEASE SAVEPOINT dabrix_batch_row");
        ++result.Written;
        continue;
      }
      if (savepoints) {
        Control("ROLLBACK TO SAVEPOINT dabrix_batch_row");
        Control("RELEASE SAVEPOINT dabrix_batch_row");
      }
      result.Failures.push_back({r, error});
      if (onRowError && !onRowError(r, error)) {
        result.StoppedAt = r + 1;
        return;
      }
    }
  }

  // What the first pass left for the second: whether every row was written, and how.
  struct TFirstPass {
    bool Autocommit = false;
    bool Written = false;
  };

  // The whole batch in one go: inside a savepoint (in a transaction), or as a transaction of its own
  // (autocommit), so that a failure leaves none of its rows written. Touches nothing but this lane and the
  // connection, so it may run on a thread of its own while the next rows gather in another lane.
  TFirstPass FirstPass() {
    TFirstPass pass;
    EnsurePrepared();
    pass.Autocommit = Autocommit();
    if (pass.Autocommit) {
      SetAutocommit(false);
      try {
        pass.Written = ExecuteArray() && KVOdbcSucceeded(SQLEndTran(SQL_HANDLE_DBC, Dbc(), SQL_COMMIT));
        if (!pass.Written) SQLEndTran(SQL_HANDLE_DBC, Dbc(), SQL_ROLLBACK);
      } catch (...) {
        SQLEndTran(SQL_HANDLE_DBC, Dbc(), SQL_ROLLBACK);
        SetAutocommit(true);
        throw;
      }
      SetAutocommit(true);
      return pass;
    }
    // psqlODBC rolls a whole transaction back when a statement fails and the transaction holds nothing but
    // what that statement's batch began with (our SAVEPOINT sent together with its BEGIN): the savepoint
    // would be gone. A first statement of its own makes it roll back to its per-statement savepoint.
    if (SavepointPerRow) Control("SELECT 1");
    Control("SAVEPOINT dabrix_batch");
    pass.Written = ExecuteArray();
    if (pass.Written) Control("RELEASE SAVEPOINT dabrix_batch");
    return pass;
  }

  // After the first pass: a failed batch row by row, and the batch emptied whatever happens.
  TKVBatchFlushResult Complete(const TFirstPass& pass, const TOnRowError& onRowError, const TWriteRow& writeRow) {
    struct TEmpty {
      size_t& Rows;
      ~TEmpty() { Rows = 0; }
    } empty{Rows};
    TKVBatchFlushResult result;
    result.Rows = result.StoppedAt = Rows;
    if (pass.Written) {
      result.Written = Rows;
    } else if (pass.Autocommit) {
      WriteRowByRow(false, onRowError, writeRow, result);
    } else {
      Control("ROLLBACK TO SAVEPOINT dabrix_batch");
      WriteRowByRow(true, onRowError, writeRow, result);
      Control("RELEASE SAVEPOINT dabrix_batch");
    }
    // A staged batch that failed where every row then went alone failed for a reason of its own (a staging
    // table too small for a batch of long values, a server that refuses such UPDATEs, an order of rows it
    // met a unique key in): the next batches go as an array of UPDATEs.
    if (!pass.Written && StageBatchFailed && result.Failures.empty() && result.StoppedAt == Rows)
      Stage = TStage::Unavailable;
    StageBatchFailed = false;
    if (UpdateKey.empty()) Rs->AdjustRecordCount(static_cast<int32_t>(result.Written));
    return result;
  }

  TKVBatchFlushResult Flush(const TOnRowError& onRowError, const TWriteRow& writeRow) {
    if (Rows == 0) return {};
    TFirstPass pass;
    try {
      pass = FirstPass();
    } catch (...) {
      Rows = 0;
      throw;
    }
    return Complete(pass, onRowError, writeRow);
  }
};

// A batch written on a thread of its own: its lane, and what its first pass left or raised. One writer
// thread serves every batch of the inserter, asleep between them: a thread started afresh for each batch
// waited for a time slice of its own whenever both cores were busy (the reader and the server), up to 3 ms
// before a batch of 5 ms began, where a sleeping thread that is woken runs at once.
struct TKVOdbcBatchInserter::TFlight {
  std::unique_ptr<TImpl> Lane;
  TImpl::TFirstPass Pass;
  std::exception_ptr Error;

  enum class TState { Idle, Queued, Done };
  std::thread Thread;
  std::mutex Mutex;
  std::condition_variable Changed;
  TState State = TState::Idle;
  bool Quit = false;

  void FirstPass() {
    try {
      Pass = Lane->FirstPass();
    } catch (...) {
      Error = std::current_exception();
    }
  }

  void Serve() {
    std::unique_lock<std::mutex> lock(Mutex);
    for (;;) {
      Changed.wait(lock, [this] { return State == TState::Queued || Quit; });
      if (State != TState::Queued) return;
      lock.unlock();
      FirstPass();
      lock.lock();
      State = TState::Done;
      Changed.notify_all();
    }
  }

  // Hands the lane to the writer; where no thread can be had, writes it here and now, to be finished as any
  // other.
  void Start() {
    Pass = {};
    Error = nullptr;
    if (!Thread.joinable()) {
      try {
        Thread = std::thread([this] { Serve(); });
      } catch (const std::system_error&) {
        FirstPass();
        State = TState::Done;
        return;
      }
    }
    {
      std::lock_guard<std::mutex> lock(Mutex);
      State = TState::Queued;
    }
    Changed.notify_all();
  }

  void Wait() {
    std::unique_lock<std::mutex> lock(Mutex);
    Changed.wait(lock, [this] { return State != TState::Queued; });
    State = TState::Idle;
  }

  ~TFlight() {
    if (!Thread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Quit = true;
    }
    Changed.notify_all();
    Thread.join();
  }
};

TKVOdbcBatchInserter::TKVOdbcBatchInserter(TKVOdbcRecordsetBase& recordset, size_t capacity, size_t byteBudget)
    : m_Impl(std::make_unique<TImpl>(*this, recordset, byteBudget)), m_Capacity(std::max<size_t>(capacity, 1)) {
  m_Impl->Init();
}

TKVOdbcBatchInserter::~TKVOdbcBatchInserter() {
  // The writer uses the statements of its lane: they are freed only after it ends (the flight goes first).
  // What it wrote stays in the open transaction, for the caller's commit or rollback.
  if (m_Flight && m_Flight->Lane) m_Flight->Wait();
  m_Flight.reset();
}

bool TKVOdbcBatchInserter::NeedsFlushBefore(TKVOdbcRecordsetBase& recordset) const {
  return m_Impl->NeedsFlushBefore(recordset);
}

size_t TKVOdbcBatchInserter::Add(TKVOdbcRecordsetBase& recordset) { return m_Impl->Add(recordset); }

TKVBatchFlushResult TKVOdbcBatchInserter::Flush(const TOnRowError& onRowError, const TWriteRow& writeRow) {
  if (InFlight())
    throw EKVException("The batch written in the background must be finished first", m_Impl->Rs.get(),
                       "TKVOdbcBatchInserter.Flush");
  return m_Impl->Flush(onRowError, writeRow);
}

void TKVOdbcBatchInserter::FlushInBackground() {
  if (InFlight())
    throw EKVException("The batch written in the background must be finished first", m_Impl->Rs.get(),
                       "TKVOdbcBatchInserter.FlushInBackground");
  if (m_Impl->Rows == 0) return;
  std::unique_ptr<TImpl> next = std::move(m_Spare);
  if (!next) {
    next = std::make_unique<TImpl>(*this, *m_Impl->Rs, m_Impl->ByteBudget);
    next->Init();
  }
  next->UpdateKey = m_Impl->UpdateKey;
  if (!m_Flight) m_Flight = std::make_unique<TFlight>();
  TFlight& flight = *m_Flight;
  flight.Lane = std::move(m_Impl);
  m_Impl = std::move(next);
  flight.Start();
}

bool TKVOdbcBatchInserter::InFlight() const { return m_Flight && m_Flight->Lane; }

size_t TKVOdbcBatchInserter::PendingInFlight() const { return InFlight() ? m_Flight->Lane->Rows : 0; }

TKVBatchFlushResult TKVOdbcBatchInserter::FinishBackgroundFlush(const TOnRowError& onRowError,
                                                                const TWriteRow& writeRow) {
  if (!InFlight()) return {};
  TFlight& flight = *m_Flight;
  flight.Wait();
  std::unique_ptr<TImpl> lane = std::move(flight.Lane);
  TKVOdbcBatchInserter::TImpl& done = *lane;
  // The lane serves again for the batch after next, its statements prepared and bound.
  TKVOnExit keep("keeping a written batch's lane", [&] { m_Spare = std::move(lane); });
  if (flight.Error) {
    done.Rows = 0;
    std::rethrow_exception(flight.Error);
  }
  return done.Complete(flight.Pass, onRowError, writeRow);
}

void TKVOdbcBatchInserter::SetUpdateKey(const std::string& column) {
  if (m_Impl->Rows > 0 || InFlight())
    throw EKVException("The batch's statement cannot change while rows are pending", m_Impl->Rs.get(),
                       "TKVOdbcBatchInserter.SetUpdateKey");
  m_Impl->UpdateKey = column;
  m_Impl->Prepared = false;
  m_Spare.reset();
}

void TKVOdbcBatchInserter::Clear() { m_Impl->Rows = 0; }

size_t TKVOdbcBatchInserter::Pending() const { return m_Impl->Rows; }
