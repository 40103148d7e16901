#include "db/KVOdbcRowWriter.h"

#include <algorithm>
#include <cstring>

#include "foundation/KVConvert.h"

namespace {

constexpr const char* kApply = "InternalApplyChanges";
constexpr const char* kDelete = "Delete";
constexpr const char* kRefresh = "RefreshRecord";

bool StartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && KVSameText(text.substr(0, prefix.size()), prefix);
}

[[noreturn]] void RaiseNotSingleTable(std::string_view from, const TKVRefLifeObject* object) {
  throw EKVException("The data source \"" + std::string(from) +
                         "\" cannot be written: only the rows of a single table are updatable",
                     object, "KVSingleTableOfFromClause");
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// How a value goes into a parameter: the SQL type named to the driver, the column size and decimal digits.
// Variable-size types name the value's length (at least the column's), see BindParam.
struct TParamType {
  SQLSMALLINT SqlType;
  SQLULEN ColumnSize;
  SQLSMALLINT Digits;
  bool Variable;
};

TParamType ParamTypeOf(const TKVOdbcField& field) {
  switch (field.DataType()) {
    case fdtBool: return {SQL_BIT, 1, 0, false};
    // Narrow integers go up one size: not every database has a TINYINT or unsigned types, and the wider
    // type holds every value of the narrower one.
    case fdtInt8:
    case fdtUInt8:
    case fdtInt16: return {SQL_SMALLINT, 5, 0, false};
    case fdtUInt16:
    case fdtInt32: return {SQL_INTEGER, 10, 0, false};
    case fdtUInt32:
    case fdtInt64:
    case fdtUInt64: return {SQL_BIGINT, 20, 0, false};
    case fdtSingle: return {SQL_REAL, 7, 0, false};
    // Numeric fields hold doubles; the database converts into the column's precision and scale.
    case fdtDouble:
    case fdtNumeric: return {SQL_DOUBLE, 15, 0, false};
    case fdtDate: return {SQL_TYPE_DATE, 10, 0, false};
    case fdtTime: return {SQL_TYPE_TIME, 8, 0, false};
    // Milliseconds are the precision of the program's date values. MariaDB rounds a bound timestamp to
    // the decimal digits named here, so they must be named.
    case fdtDatetime: return {SQL_TYPE_TIMESTAMP, 23, 3, false};
    case fdtString: return {SQL_VARCHAR, 0, 0, true};
    case fdtWideString: return {SQL_WVARCHAR, 0, 0, true};
    case fdtMemo: return {SQL_LONGVARCHAR, 0, 0, true};
    case fdtWideMemo: return {SQL_WLONGVARCHAR, 0, 0, true};
    case fdtBinary:
      return {static_cast<SQLSMALLINT>(field.SqlType() == SQL_BINARY || field.SqlType() == SQL_VARBINARY
                                           ? SQL_VARBINARY
                                           : SQL_LONGVARBINARY),
              0, 0, true};
    case fdtGUID: return {SQL_GUID, 36, 0, false};
  }
  KVRaiseUnknownValue(field.DataType(), "TKVFieldDataType", &field, kApply);
}

// Columns that can identify a row by the value read: floating values do not survive the way back from
// every driver exactly, and long data is slow or impossible to compare.
bool UsableForValueIdentification(const TKVOdbcField& field) {
  switch (field.DataType()) {
    case fdtSingle:
    case fdtDouble:
    case fdtNumeric:
    case fdtMemo:
    case fdtWideMemo:
    case fdtBinary: return false;
    default: return true;
  }
}

// The SQLite driver describes BLOB columns as text (SQL_CHAR, type name "BLOB"): their values are sent as
// binary, or a zero byte would end them.
bool IsBinaryColumnDescribedAsText(const TKVOdbcField& field) {
  if (field.DataType() != fdtString && field.DataType() != fdtMemo) return false;
  std::string type = KVUpperCase(field.Description().TypeName);
  return type.find("BLOB") != std::string::npos || type.find("BINARY") != std::string::npos;
}

std::string ColumnNameOf(const TKVOdbcField& field) {
  const std::string& base = field.Description().BaseColumnName;
  return base.empty() ? field.Name() : base;
}

// One parameter of a prepared statement: a field's buffer (INSERT values, SET values, keys of an inserted
// row) or a copy of a value as it was read (the WHERE of an update, delete or refresh).
struct TParam {
  TKVOdbcField* Field = nullptr;
  bool FromCopy = false;
  std::vector<uint8_t> Copy;
  SQLLEN CopyIndicator = 0;
  // What the driver was last given; bound again only when one of them changes.
  const void* BoundData = nullptr;
  const SQLLEN* BoundIndicator = nullptr;
  SQLULEN BoundColumnSize = 0;
};

struct TStmt {
  SQLHSTMT Handle = SQL_NULL_HSTMT;
  bool Prepared = false;
  std::vector<uint8_t> Signature;
  std::vector<TParam> Params;

  void Free() {
    if (Handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, Handle);
    Handle = SQL_NULL_HSTMT;
    Prepared = false;
    Signature.clear();
    Params.clear();
  }
};

// Closes a statement's result set on every way out.
struct TCursorCloser {
  SQLHSTMT Handle;
  ~TCursorCloser() { SQLFreeStmt(Handle, SQL_CLOSE); }
};

}  // namespace

// --- Helpers ------------------------------------------------------------------------------------------------

TKVGeneratedKeyKind KVGeneratedKeyKindOfDbms(std::string_view dbmsName) {
  if (StartsWithText(dbmsName, "SQLite")) return TKVGeneratedKeyKind::LastInsertRowid;
  if (StartsWithText(dbmsName, "PostgreSQL")) return TKVGeneratedKeyKind::Returning;
  if (StartsWithText(dbmsName, "MariaDB") || StartsWithText(dbmsName, "MySQL"))
    return TKVGeneratedKeyKind::LastInsertId;
  return TKVGeneratedKeyKind::None;
}

TKVTableName KVSingleTableOfFromClause(std::string_view from, const TKVRefLifeObject* object) {
  // Tokens: names (plain or quoted) and the dots between them.
  struct TToken {
    std::string Text;
    bool Quoted = false;
    bool Dot = false;
  };
  std::vector<TToken> tokens;
  size_t i = 0;
  while (i < from.size()) {
    char c = from[i];
    if (IsBlank(c)) {
      ++i;
    } else if (c == '.') {
      tokens.push_back({".", false, true});
      ++i;
    } else if (c == '"' || c == '`' || c == '[') {
      char close = c == '[' ? ']' : c;
      std::string text;
      size_t j = i + 1;
      bool closed = false;
      while (j < from.size()) {
        if (from[j] == close) {
          // A doubled quote stands for one inside a name.
          if (close != ']' && j + 1 < from.size() && from[j + 1] == close) {
            text += close;
            j += 2;
            continue;
          }
          closed = true;
          break;
        }
        text += from[j++];
      }
      if (!closed || text.empty()) RaiseNotSingleTable(from, object);
      tokens.push_back({text, true, false});
      i = j + 1;
    } else {
      size_t j = i;
      while (j < from.size() && !IsBlank(from[j]) && from[j] != '.' && from[j] != '"' && from[j] != '`' &&
             from[j] != '[')
        ++j;
      std::string word(from.substr(i, j - i));
      // Lists, subqueries and anything with operators are no single table.
      for (char w : word)
        if (!(isalnum(static_cast<unsigned char>(w)) || w == '_' || w == '$' || w == '#' ||
              static_cast<unsigned char>(w) >= 0x80))
          RaiseNotSingleTable(from, object);
      tokens.push_back({word, false, false});
      i = j;
    }
  }
  // name ( "." name ){0,2} [ [AS] alias ]
  std::vector<TKVTableNamePart> parts;
  size_t t = 0;
  if (t >= tokens.size() || tokens[t].Dot) RaiseNotSingleTable(from, object);
  parts.push_back({tokens[t].Text, tokens[t].Quoted});
  ++t;
  while (t + 1 < tokens.size() && tokens[t].Dot && !tokens[t + 1].Dot) {
    parts.push_back({tokens[t + 1].Text, tokens[t + 1].Quoted});
    t += 2;
  }
  if (parts.size() > 3 || (t < tokens.size() && tokens[t].Dot)) RaiseNotSingleTable(from, object);
  size_t rest = tokens.size() - t;
  if (rest > 0) {
    bool hasAs = !tokens[t].Quoted && KVSameText(tokens[t].Text, "AS");
    if (rest != (hasAs ? 2u : 1u)) RaiseNotSingleTable(from, object);
    const TToken& alias = tokens[t + (hasAs ? 1 : 0)];
    if (alias.Dot) RaiseNotSingleTable(from, object);
    if (!alias.Quoted) {
      static const char* const kNotAlias[] = {"JOIN", "LEFT", "RIGHT", "INNER", "OUTER", "CROSS",
                                              "NATURAL", "FULL", "ON", "USING", "AS"};
      for (const char* k : kNotAlias)
        if (KVSameText(alias.Text, k)) RaiseNotSingleTable(from, object);
    }
  }
  TKVTableName name;
  name.Table = parts.back();
  if (parts.size() >= 2) name.Schema = parts[parts.size() - 2];
  if (parts.size() == 3) name.Catalog = parts[0];
  return name;
}

std::string KVQuoteIdentifier(std::string_view name, std::string_view quote) {
  if (quote.empty() || quote == " ") return std::string(name);
  std::string out(quote);
  for (char c : name) {
    out += c;
    if (quote.size() == 1 && c == quote[0]) out += c;
  }
  out += quote;
  return out;
}

std::string KVTableNameSQL(const TKVTableName& name, std::string_view quote) {
  std::string out;
  for (const TKVTableNamePart* part : {&name.Catalog, &name.Schema, &name.Table}) {
    if (part->Text.empty()) continue;
    if (!out.empty()) out += '.';
    out += part->Quoted ? KVQuoteIdentifier(part->Text, quote) : part->Text;
  }
  return out;
}

// --- Statement row writer -----------------------------------------------------------------------------------

struct TKVOdbcStatementRowWriter::TImpl {
  TKVOdbcStatementRowWriter& Owner;
  explicit TImpl(TKVOdbcStatementRowWriter& owner) : Owner(owner) {}
  ~TImpl() { FreeStatements(); }

  // What the statements were made for; a change of any of it starts over.
  SQLHSTMT RecordsetHandle = SQL_NULL_HSTMT;
  std::vector<TKVOdbcField*> Fields;
  std::string From;

  // The table.
  TKVTableName Table;
  std::string TableSQL;
  std::string Quote;
  TKVGeneratedKeyKind KeyKind = TKVGeneratedKeyKind::None;
  std::vector<size_t> KeyFields;  // field indexes of the primary key columns; empty without a full key
  int AutoKeyField = -1;          // an auto-increment column the database fills in
  std::string SelectList;         // every column in ordinal order, NULL for gaps (read-back of a row)
  bool Loaded = false;

  TStmt InsertStmt, UpdateStmt, DeleteStmt, RefreshStmt, CountStmt, ReadBackStmt;
  std::vector<uint8_t> Signature;  // scratch, reused

  void FreeStatements() {
    for (TStmt* s : {&InsertStmt, &UpdateStmt, &DeleteStmt, &RefreshStmt, &CountStmt, &ReadBackStmt}) s->Free();
  }

  // --- set-up

  void Sync(TKVOdbcRecordsetBase& rs) {
    bool same = Loaded && rs.Handle() == RecordsetHandle && Fields.size() == rs.FieldCount();
    for (size_t i = 0; same && i < Fields.size(); ++i) same = Fields[i] == &rs.Field(i);
    if (same) return;
    FreeStatements();
    Loaded = false;
    RecordsetHandle = rs.Handle();
    Fields.clear();
    for (size_t i = 0; i < rs.FieldCount(); ++i) Fields.push_back(&rs.Field(i));
    From = rs.Sql().Clause(TKVSqlClause::From);
    Table = KVSingleTableOfFromClause(From, &rs);

    TKVOdbcConnection& conn = *rs.Connection();
    char quote[8] = {};
    SQLSMALLINT len = 0;
    KVOdbcCheck(SQLGetInfo(conn.OdbcHandle(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &len), &rs, kApply,
                conn.OdbcHandle(), SQL_HANDLE_DBC);
    Quote = quote;
    TableSQL = KVTableNameSQL(Table, Quote);
    KeyKind = KVGeneratedKeyKindOfDbms(conn.DbmsName());

    LoadPrimaryKey(rs);
    AutoKeyField = -1;
    for (size_t k : KeyFields)
      if (Fields[k]->AutoIncrementing()) AutoKeyField = static_cast<int>(k);
    if (KeyFields.empty())
      for (size_t i = 0; i < Fields.size() && AutoKeyField < 0; ++i)
        if (Fields[i]->AutoIncrementing()) AutoKeyField = static_cast<int>(i);

    SQLUSMALLINT maxOrdinal = 0;
    for (TKVOdbcField* f : Fields) maxOrdinal = std::max(maxOrdinal, f->Ordinal());
    SelectList.clear();
    for (SQLUSMALLINT ordinal = 1; ordinal <= maxOrdinal; ++ordinal) {
      if (ordinal > 1) SelectList += ", ";
      const TKVOdbcField* field = nullptr;
      for (TKVOdbcField* f : Fields)
        if (f->Ordinal() == ordinal) field = f;
      // Columns the recordset left out keep their place, so that each field reads its own ordinal.
      SelectList += field ? KVQuoteIdentifier(ColumnNameOf(*field), Quote) : std::string("NULL");
    }
    Loaded = true;
  }

  // The primary key columns, when every one of them is a field of the recordset. Unquoted names are
  // looked up as written and then in the case the database folds them to.
  void LoadPrimaryKey(TKVOdbcRecordsetBase& rs) {
    KeyFields.clear();
    SQLHSTMT h = SQL_NULL_HSTMT;
    SQLHDBC dbc = rs.Connection()->OdbcHandle();
    KVOdbcCheck(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h), &rs, kApply, dbc, SQL_HANDLE_DBC);
    struct TFree {
      SQLHSTMT H;
      ~TFree() { SQLFreeHandle(SQL_HANDLE_STMT, H); }
    } guard{h};
    std::vector<std::string> candidates{Table.Table.Text};
    if (!Table.Table.Quoted) {
      candidates.push_back(KVLowerCase(Table.Table.Text));
      candidates.push_back(KVUpperCase(Table.Table.Text));
    }
    std::vector<std::pair<int, std::string>> columns;
    for (const std::string& tableName : candidates) {
      auto arg = [](const TKVTableNamePart& p) {
        return p.Text.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(const_cast<char*>(p.Text.c_str()));
      };
      SQLRETURN rc = SQLPrimaryKeys(h, arg(Table.Catalog), Table.Catalog.Text.empty() ? 0 : SQL_NTS,
                                    arg(Table.Schema), Table.Schema.Text.empty() ? 0 : SQL_NTS,
                                    reinterpret_cast<SQLCHAR*>(const_cast<char*>(tableName.c_str())), SQL_NTS);
      if (rc == SQL_NO_DATA) continue;
      KVOdbcCheck(rc, &rs, "SQLPrimaryKeys", h, SQL_HANDLE_STMT);
      TCursorCloser closer{h};
      while (true) {
        rc = SQLFetch(h);
        if (rc == SQL_NO_DATA) break;
        KVOdbcCheck(rc, &rs, "SQLPrimaryKeys", h, SQL_HANDLE_STMT);
        char name[512] = {};
        SQLLEN nameLen = 0, seqLen = 0;
        SQLSMALLINT seq = 0;
        KVOdbcCheck(SQLGetData(h, 4, SQL_C_CHAR, name, sizeof name, &nameLen), &rs, "SQLPrimaryKeys", h,
                    SQL_HANDLE_STMT);
        KVOdbcCheck(SQLGetData(h, 5, SQL_C_SSHORT, &seq, 0, &seqLen), &rs, "SQLPrimaryKeys", h, SQL_HANDLE_STMT);
        columns.emplace_back(seq, name);
      }
      if (!columns.empty()) break;
    }
    std::sort(columns.begin(), columns.end());
    for (const auto& [seq, name] : columns) {
      int found = -1;
      for (size_t i = 0; i < Fields.size(); ++i)
        if (KVSameText(ColumnNameOf(*Fields[i]), name)) found = static_cast<int>(i);
      if (found < 0) {  // a key the recordset does not read cannot identify its rows
        KeyFields.clear();
        return;
      }
      KeyFields.push_back(static_cast<size_t>(found));
    }
  }

  // --- statements and parameters

  SQLHSTMT EnsureHandle(TKVOdbcRecordsetBase& rs, TStmt& s) {
    if (s.Handle == SQL_NULL_HSTMT) {
      SQLHDBC dbc = rs.Connection()->OdbcHandle();
      KVOdbcCheck(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s.Handle), &rs, kApply, dbc, SQL_HANDLE_DBC);
    }
    return s.Handle;
  }

  void Prepare(TKVOdbcRecordsetBase& rs, TStmt& s, const std::string& text, const char* routine) {
    SQLHSTMT h = EnsureHandle(rs, s);
    s.Prepared = false;
    SQLFreeStmt(h, SQL_CLOSE);
    SQLFreeStmt(h, SQL_RESET_PARAMS);
    for (TParam& p : s.Params) p.BoundData = nullptr;
    KVOdbcCheck(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                           static_cast<SQLINTEGER>(text.size())),
                &rs, routine, h, SQL_HANDLE_STMT);
    s.Prepared = true;
    ++Owner.m_PrepareCount;
  }

  // Binds every parameter whose memory, indicator or needed column size changed since the last time;
  // a record like the previous one binds nothing.
  void BindParams(TKVOdbcRecordsetBase& rs, TStmt& s, const char* routine) {
    for (size_t n = 0; n < s.Params.size(); ++n) {
      TParam& p = s.Params[n];
      const TKVOdbcField& field = *p.Field;
      void* data;
      SQLLEN* indicator;
      SQLLEN capacity;
      if (p.FromCopy) {
        data = p.Copy.data();
        indicator = &p.CopyIndicator;
        capacity = static_cast<SQLLEN>(p.Copy.size());
      } else {
        TKVOdbcValueBuffer& b = p.Field->RawBuffer();
        data = b.Data();
        indicator = b.IndicatorPtr();
        capacity = b.Capacity();
      }
      TParamType type = ParamTypeOf(field);
      SQLSMALLINT cType = field.CType();
      if (IsBinaryColumnDescribedAsText(field)) {
        cType = SQL_C_BINARY;
        type.SqlType = SQL_LONGVARBINARY;
      }
      SQLULEN columnSize = type.ColumnSize;
      if (type.Variable) {
        SQLULEN length = *indicator > 0 ? static_cast<SQLULEN>(*indicator) : 0;
        SQLULEN needed = std::max<SQLULEN>({length, static_cast<SQLULEN>(std::max<SQLLEN>(field.Size(), 0)), 1});
        // Grows in steps, so that rows of growing length do not rebind every time.
        columnSize = needed <= p.BoundColumnSize ? p.BoundColumnSize : std::max(needed, p.BoundColumnSize * 2);
      }
      // The SQLite driver takes a binary parameter's length when it is bound, not when the statement runs:
      // a shorter value after a longer one would be written with the longer one's tail. Binary parameters
      // are therefore bound again for every record (one cheap call).
      if (data == p.BoundData && indicator == p.BoundIndicator && columnSize == p.BoundColumnSize &&
          cType != SQL_C_BINARY)
        continue;
      KVOdbcCheck(SQLBindParameter(s.Handle, static_cast<SQLUSMALLINT>(n + 1), SQL_PARAM_INPUT, cType,
                                   type.SqlType, columnSize, type.Digits, data, capacity, indicator),
                  &rs, routine, s.Handle, SQL_HANDLE_STMT);
      p.BoundData = data;
      p.BoundIndicator = indicator;
      p.BoundColumnSize = columnSize;
    }
  }

  // --- identification of the current row

  struct TIdentification {
    std::vector<size_t> Fields;  // field indexes in the WHERE
    bool Unique = false;         // by the primary key
  };

  TIdentification Identify(TKVOdbcRecordsetBase& rs, const char* routine) {
    TIdentification id;
    if (!KeyFields.empty()) {
      id.Fields = KeyFields;
      id.Unique = true;
      return id;
    }
    if (rs.Properties().PositionedUpdateSimulation() == pusGuaranteeUniqueUpdate)
      throw EODBCError("The table \"" + TableSQL +
                           "\" has no primary key that identifies one row, so the write could change several "
                           "rows; refused by \"Guarantee Unique Update\"",
                       &rs, routine);
    for (size_t i = 0; i < Fields.size(); ++i)
      if (UsableForValueIdentification(*Fields[i])) id.Fields.push_back(i);
    if (id.Fields.empty())
      throw EODBCError("The record of \"" + TableSQL +
                           "\" cannot be identified: it has no primary key and no column that can be compared",
                       &rs, routine);
    return id;
  }

  // The value a field had when the record was read: an assigned field's value is the new one, the old is in
  // the snapshot the recordset took when the edit began.
  void CopyOldValue(TKVOdbcRecordsetBase& rs, size_t index, TParam& p) {
    TKVOdbcField& field = *Fields[index];
    const uint8_t* bytes;
    SQLLEN indicator;
    const TKVOdbcRecordsetState& snapshot = rs.EditSnapshot();
    if (field.Assigned() && index < snapshot.Fields.size()) {
      const TKVOdbcValueBuffer::TSnapshot& old = snapshot.Fields[index];
      bytes = old.Bytes.data();
      indicator = old.Indicator;
    } else {
      TKVOdbcValueBuffer& b = field.Buffer();
      bytes = b.Data();
      indicator = b.Indicator();
    }
    size_t size = indicator > 0 ? static_cast<size_t>(indicator) : 0;
    // Fixed types take their whole structure; room for a terminator keeps text parameters well-formed.
    size_t fixed = KVIsGrowableDataType(field.DataType())
                       ? 0
                       : static_cast<size_t>(KVFixedBufferSizeOfFieldDataType(field.DataType(), 0));
    size_t copy = std::max(size, fixed);
    if (p.Copy.size() < copy + 2) p.Copy.resize(copy + 2);
    if (copy > 0 && bytes) std::memcpy(p.Copy.data(), bytes, copy);
    p.Copy[copy] = 0;
    p.Copy[copy + 1] = 0;
    p.CopyIndicator = indicator == SQL_NULL_DATA ? SQL_NULL_DATA : (KVIsGrowableDataType(field.DataType())
                                                                        ? static_cast<SQLLEN>(size)
                                                                        : indicator);
  }

  bool OldValueIsNull(TKVOdbcRecordsetBase& rs, size_t index) {
    TKVOdbcField& field = *Fields[index];
    const TKVOdbcRecordsetState& snapshot = rs.EditSnapshot();
    if (field.Assigned() && index < snapshot.Fields.size())
      return snapshot.Fields[index].Indicator == SQL_NULL_DATA;
    return field.Buffer().IsNull();
  }

  // Adds the identification's NULL pattern to the signature and returns the WHERE text for it.
  std::string WhereText(TKVOdbcRecordsetBase& rs, const TIdentification& id) {
    std::string where;
    for (size_t index : id.Fields) {
      if (!where.empty()) where += " AND ";
      where += KVQuoteIdentifier(ColumnNameOf(*Fields[index]), Quote);
      where += OldValueIsNull(rs, index) ? " IS NULL" : " = ?";
    }
    return where;
  }

  void AppendNullPattern(TKVOdbcRecordsetBase& rs, const TIdentification& id) {
    Signature.push_back(0xFF);
    for (size_t index : id.Fields) Signature.push_back(OldValueIsNull(rs, index) ? 1 : 0);
  }

  // Appends the WHERE parameters (non-NULL identification values, copied as read) to `s`.
  void AddWhereParams(TKVOdbcRecordsetBase& rs, TStmt& s, const TIdentification& id, size_t first) {
    size_t n = first;
    for (size_t index : id.Fields) {
      if (OldValueIsNull(rs, index)) continue;
      if (s.Params.size() <= n) s.Params.emplace_back();
      TParam& p = s.Params[n++];
      p.Field = Fields[index];
      p.FromCopy = true;
      CopyOldValue(rs, index, p);
    }
    s.Params.resize(n);
  }

  // Makes `s` the statement `head` + " WHERE " + the identification of the current row, prepared again only
  // when the identifying columns or their NULL pattern changed, with the current values bound.
  void PrepareIdentified(TKVOdbcRecordsetBase& rs, TStmt& s, const std::string& head, const TIdentification& id,
                         const char* routine) {
    Signature.clear();
    for (size_t index : id.Fields) Signature.push_back(static_cast<uint8_t>(index));
    AppendNullPattern(rs, id);
    if (!s.Prepared || s.Signature != Signature) {
      Prepare(rs, s, head + " WHERE " + WhereText(rs, id), routine);
      s.Signature = Signature;
    }
    AddWhereParams(rs, s, id, 0);
    BindParams(rs, s, routine);
  }

  // Rows the WHERE of `id` matches now (for "Try Unique Update" and to tell an unchanged row from a
  // vanished one).
  SQLLEN CountMatches(TKVOdbcRecordsetBase& rs, const TIdentification& id, const char* routine) {
    PrepareIdentified(rs, CountStmt, "SELECT COUNT(*) FROM " + TableSQL, id, routine);
    SQLHSTMT h = CountStmt.Handle;
    KVOdbcCheck(SQLExecute(h), &rs, routine, h, SQL_HANDLE_STMT);
    TCursorCloser closer{h};
    KVOdbcCheck(SQLFetch(h), &rs, routine, h, SQL_HANDLE_STMT);
    SQLBIGINT count = 0;
    SQLLEN ind = 0;
    KVOdbcCheck(SQLGetData(h, 1, SQL_C_SBIGINT, &count, 0, &ind), &rs, routine, h, SQL_HANDLE_STMT);
    return ind == SQL_NULL_DATA ? 0 : static_cast<SQLLEN>(count);
  }

  void CheckTryUnique(TKVOdbcRecordsetBase& rs, const TIdentification& id, const char* routine) {
    if (id.Unique || rs.Properties().PositionedUpdateSimulation() != pusTryUniqueUpdate) return;
    SQLLEN n = CountMatches(rs, id, routine);
    if (n > 1)
      throw EODBCError(std::to_string(n) + " rows of \"" + TableSQL +
                           "\" match the record, so the write would change all of them; refused by \"Try Unique "
                           "Update\"",
                       &rs, routine);
  }

  [[noreturn]] void RaiseVanished(TKVOdbcRecordsetBase& rs, const char* routine) {
    throw EODBCError("The record was changed or deleted by another user: no row of \"" + TableSQL +
                         "\" matches it any more",
                     &rs, routine);
  }

  SQLLEN Execute(TKVOdbcRecordsetBase& rs, TStmt& s, const char* routine) {
    SQLRETURN rc = SQLExecute(s.Handle);
    if (rc == SQL_NO_DATA) return 0;
    KVOdbcCheck(rc, &rs, routine, s.Handle, SQL_HANDLE_STMT);
    SQLLEN rows = -1;
    if (!KVOdbcSucceeded(SQLRowCount(s.Handle, &rows))) rows = -1;
    return rows;
  }

  // --- reading a row into the fields

  // Fills every field from the current row of `h` (columns in ordinal order) and shows it as the record.
  void ShowRow(TKVOdbcRecordsetBase& rs, SQLHSTMT h) {
    rs.NotifyRecordChanging();
    rs.NotifyRecordChanged();
    for (TKVOdbcField* f : Fields) {
      TKVOdbcValueBuffer& b = f->RawBuffer();
      const uint8_t* before = b.Data();
      b.ReadFromCursor(h, &rs);
      b.SetFetched(true);
      b.SetAssigned(false);
      if (b.Data() != before && b.Bound()) f->Rebind();
    }
    rs.SetOverlayRecord(true);
    rs.NotifyDataChanged(nullptr);
  }

  // The written values are the record (nothing could be read back).
  void ShowWritten(TKVOdbcRecordsetBase& rs) {
    for (TKVOdbcField* f : Fields) f->RawBuffer().SetFetched(true);
    rs.ClearAssigned();
    rs.SetOverlayRecord(true);
    rs.NotifyDataChanged(nullptr);
  }

  bool FetchRow(TKVOdbcRecordsetBase& rs, SQLHSTMT h, const char* routine) {
    SQLRETURN rc = SQLFetch(h);
    if (rc == SQL_NO_DATA) return false;
    KVOdbcCheck(rc, &rs, routine, h, SQL_HANDLE_STMT);
    return true;
  }

  // --- operations

  void Insert(TKVOdbcRecordsetBase& rs) {
    Sync(rs);
    Signature.clear();
    bool any = false;
    for (TKVOdbcField* f : Fields) {
      Signature.push_back(f->Assigned() ? 1 : 0);
      any = any || f->Assigned();
    }
    if (!any) throw EKVException("No Field Value has been set before inserting a new Record", &rs, kApply);
    bool returning = KeyKind == TKVGeneratedKeyKind::Returning;
    if (!InsertStmt.Prepared || InsertStmt.Signature != Signature) {
      std::string columns, values;
      InsertStmt.Params.clear();
      for (TKVOdbcField* f : Fields) {
        if (!f->Assigned()) continue;
        if (!columns.empty()) {
          columns += ", ";
          values += ", ";
        }
        columns += KVQuoteIdentifier(ColumnNameOf(*f), Quote);
        values += '?';
        TParam p;
        p.Field = f;
        InsertStmt.Params.push_back(std::move(p));
      }
      std::string text = "INSERT INTO " + TableSQL + " (" + columns + ") VALUES (" + values + ")";
      if (returning) text += " RETURNING " + SelectList;
      Prepare(rs, InsertStmt, text, kApply);
      InsertStmt.Signature = Signature;
    }
    BindParams(rs, InsertStmt, kApply);
    SQLHSTMT h = InsertStmt.Handle;
    KVOdbcCheck(SQLExecute(h), &rs, kApply, h, SQL_HANDLE_STMT);
    rs.AdjustRecordCount(+1);
    if (returning) {
      TCursorCloser closer{h};
      if (FetchRow(rs, h, kApply)) return ShowRow(rs, h);
      return ShowWritten(rs);
    }
    ReadBackInserted(rs);
  }

  // After an INSERT without RETURNING: the row by the identity the connection generated, or by the key the
  // record assigned.
  void ReadBackInserted(TKVOdbcRecordsetBase& rs) {
    bool keyAssigned = !KeyFields.empty();
    for (size_t k : KeyFields) keyAssigned = keyAssigned && Fields[k]->Assigned();
    std::string where;
    uint8_t mode;
    if (KeyKind == TKVGeneratedKeyKind::LastInsertRowid) {
      where = "rowid = last_insert_rowid()";
      mode = 1;
    } else if (KeyKind == TKVGeneratedKeyKind::LastInsertId && AutoKeyField >= 0 &&
               !Fields[static_cast<size_t>(AutoKeyField)]->Assigned()) {
      where = KVQuoteIdentifier(ColumnNameOf(*Fields[static_cast<size_t>(AutoKeyField)]), Quote) +
              " = LAST_INSERT_ID()";
      mode = 2;
    } else if (keyAssigned) {
      for (size_t k : KeyFields) {
        if (!where.empty()) where += " AND ";
        where += KVQuoteIdentifier(ColumnNameOf(*Fields[k]), Quote) + " = ?";
      }
      mode = 3;
    } else {
      return ShowWritten(rs);
    }
    if (!ReadBackStmt.Prepared || ReadBackStmt.Signature.size() != 1 || ReadBackStmt.Signature[0] != mode) {
      ReadBackStmt.Params.clear();
      if (mode == 3)
        for (size_t k : KeyFields) {
          TParam p;
          p.Field = Fields[k];
          ReadBackStmt.Params.push_back(std::move(p));
        }
      Prepare(rs, ReadBackStmt, "SELECT " + SelectList + " FROM " + TableSQL + " WHERE " + where, kApply);
      ReadBackStmt.Signature.assign(1, mode);
    }
    BindParams(rs, ReadBackStmt, kApply);
    SQLHSTMT h = ReadBackStmt.Handle;
    KVOdbcCheck(SQLExecute(h), &rs, kApply, h, SQL_HANDLE_STMT);
    TCursorCloser closer{h};
    if (FetchRow(rs, h, kApply)) return ShowRow(rs, h);
    ShowWritten(rs);
  }

  void Update(TKVOdbcRecordsetBase& rs) {
    Sync(rs);
    if (!rs.AnyFieldAssigned()) return;
    TIdentification id = Identify(rs, kApply);
    CheckTryUnique(rs, id, kApply);
    Signature.clear();
    for (TKVOdbcField* f : Fields) Signature.push_back(f->Assigned() ? 1 : 0);
    AppendNullPattern(rs, id);
    if (!UpdateStmt.Prepared || UpdateStmt.Signature != Signature) {
      std::string set;
      UpdateStmt.Params.clear();
      for (TKVOdbcField* f : Fields) {
        if (!f->Assigned()) continue;
        if (!set.empty()) set += ", ";
        set += KVQuoteIdentifier(ColumnNameOf(*f), Quote) + " = ?";
        TParam p;
        p.Field = f;
        UpdateStmt.Params.push_back(std::move(p));
      }
      Prepare(rs, UpdateStmt, "UPDATE " + TableSQL + " SET " + set + " WHERE " + WhereText(rs, id), kApply);
      UpdateStmt.Signature = Signature;
    }
    size_t setCount = 0;
    for (TKVOdbcField* f : Fields) setCount += f->Assigned() ? 1 : 0;
    AddWhereParams(rs, UpdateStmt, id, setCount);
    BindParams(rs, UpdateStmt, kApply);
    SQLLEN rows = Execute(rs, UpdateStmt, kApply);
    // MariaDB counts changed rows only: an update that wrote the values the row already had reports 0.
    // The row is still there when its old identification still matches.
    if (rows == 0 && CountMatches(rs, id, kApply) == 0) RaiseVanished(rs, kApply);
    rs.ClearAssigned();
  }

  void Delete(TKVOdbcRecordsetBase& rs) {
    Sync(rs);
    TIdentification id = Identify(rs, kDelete);
    CheckTryUnique(rs, id, kDelete);
    PrepareIdentified(rs, DeleteStmt, "DELETE FROM " + TableSQL, id, kDelete);
    if (Execute(rs, DeleteStmt, kDelete) == 0) RaiseVanished(rs, kDelete);
    rs.AdjustRecordCount(-1);
    rs.NotifyRecordChanging();
    rs.FetchAbsolute(rs.Position());
    rs.NotifyRecordChanged();
  }

  void Refresh(TKVOdbcRecordsetBase& rs) {
    Sync(rs);
    TIdentification id = Identify(rs, kRefresh);
    PrepareIdentified(rs, RefreshStmt, "SELECT " + SelectList + " FROM " + TableSQL, id, kRefresh);
    SQLHSTMT h = RefreshStmt.Handle;
    KVOdbcCheck(SQLExecute(h), &rs, kRefresh, h, SQL_HANDLE_STMT);
    TCursorCloser closer{h};
    if (!FetchRow(rs, h, kRefresh)) RaiseVanished(rs, kRefresh);
    ShowRow(rs, h);
  }
};

TKVOdbcStatementRowWriter::TKVOdbcStatementRowWriter() : m_Impl(std::make_unique<TImpl>(*this)) {}
TKVOdbcStatementRowWriter::~TKVOdbcStatementRowWriter() = default;
void TKVOdbcStatementRowWriter::Insert(TKVOdbcRecordsetBase& recordset) { m_Impl->Insert(recordset); }
void TKVOdbcStatementRowWriter::Update(TKVOdbcRecordsetBase& recordset) { m_Impl->Update(recordset); }
void TKVOdbcStatementRowWriter::Delete(TKVOdbcRecordsetBase& recordset) { m_Impl->Delete(recordset); }
void TKVOdbcStatementRowWriter::Refresh(TKVOdbcRecordsetBase& recordset) { m_Impl->Refresh(recordset); }

// --- Positioned row writer ----------------------------------------------------------------------------------

void TKVOdbcPositionedRowWriter::PositionedOperation(TKVOdbcRecordsetBase& rs, SQLUSMALLINT operation,
                                                     const char* routine) {
  SQLHSTMT h = rs.Handle();
  size_t n = rs.FieldCount();
  m_Tokens.assign(n, 0);
  m_SavedIndicators.assign(n, 0);
  // Columns bound for the operation only: assigned long data and text too long for a bound buffer, sent at
  // execution. Unbound columns are left alone by the driver anyway.
  std::vector<bool> boundHere(n, false);
  auto restore = [&] {
    for (size_t i = 0; i < n; ++i) {
      TKVOdbcValueBuffer& b = rs.Field(i).RawBuffer();
      b.Indicator() = m_SavedIndicators[i];
      if (boundHere[i]) SQLBindCol(h, b.Ordinal(), b.CType(), nullptr, 0, nullptr);
      boundHere[i] = false;
    }
  };
  try {
    for (size_t i = 0; i < n; ++i) {
      TKVOdbcField& f = rs.Field(i);
      TKVOdbcValueBuffer& b = f.RawBuffer();
      m_SavedIndicators[i] = b.Indicator();
      if (operation == SQL_DELETE) continue;
      if (!b.Bound()) {
        if (!f.Assigned()) continue;
        m_Tokens[i] = b.Ordinal();
        KVOdbcCheck(SQLBindCol(h, b.Ordinal(), b.CType(), &m_Tokens[i], 4, b.IndicatorPtr()), &rs, "BindBlobBuffer",
                    h, SQL_HANDLE_STMT);
        boundHere[i] = true;
        b.Indicator() =
            m_SavedIndicators[i] <= 0 ? SQL_NULL_DATA : SQL_LEN_DATA_AT_EXEC(m_SavedIndicators[i]);
      } else if (!f.Assigned()) {
        b.Indicator() = SQL_COLUMN_IGNORE;
      }
    }
    SQLRETURN rc = SQLSetPos(h, 1, operation, SQL_LOCK_NO_CHANGE);
    while (rc == SQL_NEED_DATA) {
      SQLPOINTER token = nullptr;
      rc = SQLParamData(h, &token);
      if (rc != SQL_NEED_DATA) break;
      SQLLEN ordinal = token ? *static_cast<SQLLEN*>(token) : -1;
      size_t index = n;
      for (size_t i = 0; i < n && index == n; ++i)
        if (boundHere[i] && rs.Field(i).Ordinal() == ordinal) index = i;
      if (index == n)
        throw EODBCError("Unable to send BLOB data, no Field with ordinal position: " + std::to_string(ordinal), &rs,
                         "PutBlobData");
      TKVOdbcValueBuffer& b = rs.Field(index).RawBuffer();
      KVOdbcCheck(SQLPutData(h, b.Data(), m_SavedIndicators[index]), &rs, "PutBlobData", h, SQL_HANDLE_STMT);
    }
    KVOdbcCheck(rc, &rs, routine, h, SQL_HANDLE_STMT);
    // A row changed or deleted since its fetch comes back as a warning (01001) and was not written.
    if (rc == SQL_SUCCESS_WITH_INFO && operation != SQL_ADD) {
      EODBCError info(SQL_ERROR, SQL_HANDLE_STMT, h, &rs, routine);
      if (info.HasSqlState("01001")) throw info;
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

void TKVOdbcPositionedRowWriter::Insert(TKVOdbcRecordsetBase& rs) {
  if (!rs.AnyFieldAssigned())
    throw EKVException("No Field Value has been set before inserting a new Record", &rs, kApply);
  SQLHSTMT h = rs.Handle();
  if (rs.Position() == 0 && !KVOdbcSucceeded(rs.LastFetchReturnCode())) {
    // Drivers refuse an insert into a cursor that was never fetched from, even an empty one. The fetch
    // writes into the bound buffers, which hold the new record: they are put back afterwards.
    std::vector<TKVOdbcValueBuffer::TSnapshot> saved(rs.FieldCount());
    for (size_t i = 0; i < rs.FieldCount(); ++i) rs.Field(i).RawBuffer().SaveTo(saved[i]);
    SQLRETURN rc = rs.Scrollable() ? SQLFetchScroll(h, SQL_FETCH_FIRST, 0) : SQLFetch(h);
    for (size_t i = 0; i < rs.FieldCount(); ++i)
      if (rs.Field(i).RawBuffer().RestoreFrom(saved[i])) rs.Field(i).Rebind();
    if (rc != SQL_NO_DATA) KVOdbcCheck(rc, &rs, kApply, h, SQL_HANDLE_STMT);
  }
  PositionedOperation(rs, SQL_ADD, kApply);
  if (!rs.Scrollable()) {
    rs.ClearAssigned();
    return;
  }
  rs.AdjustRecordCount(+1);
  SQLLEN sameRow = 0;
  bool atCurrent = KVOdbcSucceeded(SQLGetStmtAttr(h, 11000, &sameRow, 0, nullptr)) && sameRow == 1;
  rs.NotifyRecordChanging();
  if (atCurrent) {
    rs.FetchAbsolute(rs.Position());
  } else {
    int32_t last = rs.RecordCount();
    rs.FetchAbsolute(last > 0 ? last : 1);
  }
  rs.NotifyRecordChanged();
}

void TKVOdbcPositionedRowWriter::Update(TKVOdbcRecordsetBase& rs) {
  if (!rs.AnyFieldAssigned()) return;
  PositionedOperation(rs, SQL_UPDATE, kApply);
  rs.ClearAssigned();
}

void TKVOdbcPositionedRowWriter::Delete(TKVOdbcRecordsetBase& rs) {
  PositionedOperation(rs, SQL_DELETE, kDelete);
  rs.AdjustRecordCount(-1);
  rs.NotifyRecordChanging();
  rs.FetchAbsolute(rs.Position());
  rs.NotifyRecordChanged();
}

void TKVOdbcPositionedRowWriter::Refresh(TKVOdbcRecordsetBase& rs) {
  SQLHSTMT h = rs.Handle();
  rs.NotifyRecordChanging();
  KVOdbcCheck(SQLSetPos(h, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE), &rs, kRefresh, h, SQL_HANDLE_STMT);
  rs.NotifyRecordChanged();
}

std::unique_ptr<IKVOdbcRowWriter> KVCreateRowWriter(TKVOdbcRecordsetBase& recordset) {
  const TKVOdbcConnection* connection = recordset.Connection();
  if (connection && connection->Properties().CursorOrigin() == coUseDriverCursors)
    return std::make_unique<TKVOdbcPositionedRowWriter>();
  return std::make_unique<TKVOdbcStatementRowWriter>();
}
