#include "db/KVOdbcRowWriter.h"
#include "db/KVOdbcHandle.h"
#include "db/KVOdbcParamType.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "foundation/KVConvert.h"
#include "foundation/KVText.h"

namespace {

constexpr const char* kApply = "InternalApplyChanges";
constexpr const char* kDelete = "Delete";
constexpr const char* kRefresh = "RefreshRecord";

[[noreturn]] void RaiseNotSingleTable(std::string_view from, const TKVRefLifeObject* object) {
  throw EKVException("The data source \"" + std::string(from) +
                         "\" cannot be written: only the rows of a single table are updatable",
                     object, "KVSingleTableOfFromClause");
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

bool IsFloating(const TKVOdbcField& field) {
  return field.DataType() == fdtSingle || field.DataType() == fdtDouble || field.DataType() == fdtNumeric;
}

// How far a floating value read from the database may be from the value stored, relative to its size.
// The SQLite driver reads doubles through a text of 15 significant digits, psqlODBC sends bound doubles
// as text, and NUMERIC columns are read as doubles: a value read is within a few units of the 15th digit
// of the stored one (of the 7th for a single-precision column). Comparing within this distance detects
// every change a user can see in the value read, where an exact comparison would fail on values such as
// 1/3 and so refuse every write of the row.
double FloatingTolerance(const TKVOdbcField& field) {
  return field.DataType() == fdtSingle || field.SqlType() == SQL_REAL ? 1e-6 : 1e-13;
}

// One parameter of a prepared statement: a field's buffer (INSERT values, SET values, keys of an inserted
// row) or a copy of a value as it was read (the WHERE of an update, delete or refresh).
struct TParam {
  TKVOdbcField* Field = nullptr;
  bool FromCopy = false;
  // For a floating value compared within its read precision: -1 the lower, +1 the upper end of the range.
  int8_t RangeEnd = 0;
  std::vector<uint8_t> Copy;
  SQLLEN CopyIndicator = 0;
  // What the driver was last given; bound again only when one of them changes.
  const void* BoundData = nullptr;
  const SQLLEN* BoundIndicator = nullptr;
  SQLULEN BoundColumnSize = 0;
};

struct TStmt {
  TKVOdbcHandle Handle;
  bool Prepared = false;
  std::vector<uint8_t> Signature;
  std::vector<TParam> Params;

  void Free() {
    Handle.Reset();
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
  if (KVStartsWithText(dbmsName, "SQLite")) return TKVGeneratedKeyKind::LastInsertRowid;
  if (KVStartsWithText(dbmsName, "PostgreSQL")) return TKVGeneratedKeyKind::Returning;
  if (KVStartsWithText(dbmsName, "MariaDB") || KVStartsWithText(dbmsName, "MySQL"))
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
    if (KVIsBlank(c)) {
      ++i;
    } else if (c == '.') {
      tokens.push_back({".", false, true});
      ++i;
    } else {
      TKVTableNamePart part;
      if (!KVReadNamePart(from, i, part) || (part.Quoted && part.Text.empty())) RaiseNotSingleTable(from, object);
      // Lists, subqueries and anything with operators are no single table.
      if (!part.Quoted)
        for (char w : part.Text)
          if (!(isalnum(static_cast<unsigned char>(w)) || w == '_' || w == '$' || w == '#' ||
                static_cast<unsigned char>(w) >= 0x80))
            RaiseNotSingleTable(from, object);
      tokens.push_back({part.Text, part.Quoted, false});
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

bool KVReadNamePart(std::string_view text, size_t& i, TKVTableNamePart& part) {
  part = {};
  const char open = i < text.size() ? text[i] : '\0';
  if (open != '"' && open != '`' && open != '[') {
    const size_t start = i;
    while (i < text.size() && !KVIsBlank(text[i]) && !KVIsOneOf(text[i], ".\"`[")) ++i;
    part.Text = text.substr(start, i - start);
    return true;
  }
  const char close = open == '[' ? ']' : open;
  part.Quoted = true;
  for (++i; i < text.size(); ++i) {
    if (text[i] != close) {
      part.Text += text[i];
    } else if (close != ']' && i + 1 < text.size() && text[i + 1] == close) {
      part.Text += close;  // a doubled quote stands for one inside a name
      ++i;
    } else {
      ++i;
      return true;
    }
  }
  return false;
}

TKVTableName KVLeadingTableName(std::string_view text) {
  std::vector<TKVTableNamePart> parts;
  size_t i = text.size() - KVTrimLeft(text).size();
  while (i < text.size()) {
    parts.emplace_back();
    KVReadNamePart(text, i, parts.back());
    if (i >= text.size() || text[i] != '.') break;  // a blank (an alias follows), another word or the end
    ++i;
  }
  TKVTableName name;
  if (!parts.empty()) name.Table = parts.back();
  if (parts.size() >= 2) name.Schema = parts[parts.size() - 2];
  if (parts.size() >= 3) name.Catalog = parts[parts.size() - 3];
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
  bool TableNamesKnown = false;   // the driver names the base table of the columns it reads
  bool Loaded = false;
  // The columns the database changes with every write of a row (SQLSpecialColumns SQL_ROWVER: psqlODBC
  // names xmin, MariaDB a TIMESTAMP ... ON UPDATE column), as field indexes; looked up on first need.
  std::vector<size_t> RowVersionFields;
  bool RowVersionLoaded = false;
  std::vector<std::string> ColumnNames;  // per field: its column where the driver names it wrongly, else ""

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
    RowVersionFields.clear();
    RowVersionLoaded = false;
    for (size_t i = 0; i < rs.FieldCount(); ++i) Fields.push_back(&rs.Field(i));
    ColumnNames.assign(Fields.size(), std::string());
    TableNamesKnown = false;
    for (TKVOdbcField* f : Fields) TableNamesKnown = TableNamesKnown || !f->Description().BaseTableName.empty();
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

    BuildSelectList();
    Loaded = true;
  }

  // Every column in ordinal order, for reading a row back.
  void BuildSelectList() {
    SQLUSMALLINT maxOrdinal = 0;
    for (TKVOdbcField* f : Fields) maxOrdinal = std::max(maxOrdinal, f->Ordinal());
    SelectList.clear();
    for (SQLUSMALLINT ordinal = 1; ordinal <= maxOrdinal; ++ordinal) {
      if (ordinal > 1) SelectList += ", ";
      const TKVOdbcField* field = nullptr;
      for (TKVOdbcField* f : Fields)
        if (f->Ordinal() == ordinal) field = f;
      // Columns the recordset left out, and expressions of its select list (the table has no column of
      // their name), keep their place, so that each field reads its own ordinal.
      SelectList += field && IsTableColumn(*field) ? KVQuoteIdentifier(Column(*field), Quote) : std::string("NULL");
    }
  }

  // Whether a field reads a column of the table rather than an expression: a driver that names base
  // tables names none for expressions.
  bool IsTableColumn(const TKVOdbcField& field) const {
    return field.Ordinal() != 0 && (!TableNamesKnown || !field.Description().BaseTableName.empty());
  }

  // Runs a catalog function for the table under each spelling its name may have in the catalog (as
  // written, and folded to lower and upper case when it was not quoted) until one gives rows; returns the
  // rows as (sort key, column name).
  std::vector<std::pair<int, std::string>> CatalogColumns(
      TKVOdbcRecordsetBase& rs, const char* routine,
      const std::function<SQLRETURN(SQLHSTMT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*)>& call,
      SQLUSMALLINT nameColumn, SQLUSMALLINT sortColumn) {
    TKVOdbcHandle stmt = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, rs.Connection()->OdbcHandle(), SQL_HANDLE_DBC, &rs,
                                                 kApply);
    SQLHSTMT h = stmt.Get();
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
      SQLRETURN rc = call(h, arg(Table.Catalog), Table.Catalog.Text.empty() ? 0 : SQL_NTS, arg(Table.Schema),
                          Table.Schema.Text.empty() ? 0 : SQL_NTS,
                          reinterpret_cast<SQLCHAR*>(const_cast<char*>(tableName.c_str())));
      if (rc == SQL_NO_DATA) continue;
      KVOdbcCheck(rc, &rs, routine, h, SQL_HANDLE_STMT);
      TCursorCloser closer{h};
      while (true) {
        rc = SQLFetch(h);
        if (rc == SQL_NO_DATA) break;
        KVOdbcCheck(rc, &rs, routine, h, SQL_HANDLE_STMT);
        char name[512] = {};
        SQLLEN nameLen = 0, seqLen = 0;
        SQLSMALLINT seq = 0;
        KVOdbcCheck(SQLGetData(h, nameColumn, SQL_C_CHAR, name, sizeof name, &nameLen), &rs, routine, h,
                    SQL_HANDLE_STMT);
        if (sortColumn != 0)
          KVOdbcCheck(SQLGetData(h, sortColumn, SQL_C_SSHORT, &seq, 0, &seqLen), &rs, routine, h, SQL_HANDLE_STMT);
        if (nameLen != SQL_NULL_DATA) columns.emplace_back(seq, name);
      }
      if (!columns.empty()) break;
    }
    std::sort(columns.begin(), columns.end());
    return columns;
  }

  // The field indexes of `columns`, or nothing when one of them is not a field of the recordset. A field
  // named like a column whose base column the driver names otherwise takes the column's name: psqlODBC
  // reports the system column xmin with the base column "oid".
  std::vector<size_t> FieldsOfColumns(const std::vector<std::pair<int, std::string>>& columns,
                                      bool byFieldName) {
    std::vector<size_t> out;
    std::vector<std::pair<size_t, std::string>> renamed;
    for (const auto& [seq, name] : columns) {
      int found = -1;
      for (size_t i = 0; i < Fields.size(); ++i)
        if (KVSameText(Column(*Fields[i]), name)) found = static_cast<int>(i);
      for (size_t i = 0; byFieldName && found < 0 && i < Fields.size(); ++i)
        if (KVSameText(Fields[i]->Name(), name)) {
          found = static_cast<int>(i);
          renamed.emplace_back(i, name);
        }
      if (found < 0) return {};
      out.push_back(static_cast<size_t>(found));
    }
    for (auto& [index, name] : renamed) ColumnNames[index] = name;
    return out;
  }

  // The column a field writes and compares (its base column, its name where the driver reports none).
  std::string Column(const TKVOdbcField& field) const {
    for (size_t i = 0; i < Fields.size(); ++i)
      if (Fields[i] == &field && !ColumnNames[i].empty()) return ColumnNames[i];
    return KVColumnNameOfField(field);
  }

  // The primary key columns, when every one of them is a field of the recordset (a key the recordset
  // does not read cannot identify its rows).
  void LoadPrimaryKey(TKVOdbcRecordsetBase& rs) {
    KeyFields = FieldsOfColumns(CatalogColumns(
        rs, "SQLPrimaryKeys",
        [](SQLHSTMT h, SQLCHAR* catalog, SQLSMALLINT catalogLen, SQLCHAR* schema, SQLSMALLINT schemaLen,
           SQLCHAR* table) { return SQLPrimaryKeys(h, catalog, catalogLen, schema, schemaLen, table, SQL_NTS); },
        4, 5),
        false);
  }

  // The row-version columns, when the recordset reads every one of them.
  void LoadRowVersion(TKVOdbcRecordsetBase& rs) {
    if (RowVersionLoaded) return;
    RowVersionFields = FieldsOfColumns(CatalogColumns(
        rs, "SQLSpecialColumns",
        [](SQLHSTMT h, SQLCHAR* catalog, SQLSMALLINT catalogLen, SQLCHAR* schema, SQLSMALLINT schemaLen,
           SQLCHAR* table) {
          return SQLSpecialColumns(h, SQL_ROWVER, catalog, catalogLen, schema, schemaLen, table, SQL_NTS,
                                   SQL_SCOPE_CURROW, SQL_NULLABLE);
        },
        2, 0),
        true);
    RowVersionLoaded = true;
    BuildSelectList();  // a row-version column may have been renamed
  }

  // --- statements and parameters

  SQLHSTMT EnsureHandle(TKVOdbcRecordsetBase& rs, TStmt& s) {
    if (!s.Handle)
      s.Handle = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, rs.Connection()->OdbcHandle(), SQL_HANDLE_DBC, &rs, kApply);
    return s.Handle.Get();
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
      TKVParamType type = KVParamTypeOfField(field);
      SQLSMALLINT cType = field.CType();
      if (KVIsBinaryColumnDescribedAsText(field)) {
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
      KVOdbcCheck(SQLBindParameter(s.Handle.Get(), static_cast<SQLUSMALLINT>(n + 1), SQL_PARAM_INPUT, cType,
                                   type.SqlType, columnSize, type.Digits, data, capacity, indicator),
                  &rs, routine, s.Handle.Get(), SQL_HANDLE_STMT);
      p.BoundData = data;
      p.BoundIndicator = indicator;
      p.BoundColumnSize = columnSize;
    }
  }

  // --- identification of the current row

  // How a column of the WHERE is compared with the value read: equal, or (floating values) within the
  // precision the value was read with.
  enum class TCompare : uint8_t { Equal = 0, Range = 1 };

  struct TIdentification {
    std::vector<size_t> Fields;     // field indexes in the WHERE
    std::vector<TCompare> Compare;  // per entry of Fields
    bool Unique = false;            // by the primary key

    bool Has(size_t index) const { return std::find(Fields.begin(), Fields.end(), index) != Fields.end(); }
    void Add(size_t index, TCompare compare) {
      Fields.push_back(index);
      Compare.push_back(compare);
    }
  };

  // A column of the table that a WHERE can name: not an expression of the select list (a driver that
  // names base tables names none for those), not the bookmark, not long data (slow, and for some types
  // impossible, to compare).
  bool IsComparableColumn(const TKVOdbcField& field) const {
    return !field.IsLongData() && IsTableColumn(field);
  }

  // The WHERE that names the current row: its primary key, or for a table without one the values read
  // of the columns that compare exactly. `forWrite` adds what the update strategy protects the write
  // with: "CompareValuesBeforeWrite" every other column read (floating ones within their read precision),
  // "CompareRecordVersionBeforeWrite" the row-version columns, or, where the table has none or the
  // recordset does not read them, the values as well (the substitution ODBC drivers make for a row
  // version they cannot offer). A row another user changed in between then matches no more.
  TIdentification Identify(TKVOdbcRecordsetBase& rs, const char* routine, bool forWrite) {
    TIdentification id;
    if (!KeyFields.empty()) {
      for (size_t k : KeyFields) id.Add(k, TCompare::Equal);
      id.Unique = true;
    } else {
      if (rs.Properties().PositionedUpdateSimulation() == pusGuaranteeUniqueUpdate)
        throw EODBCError("The table \"" + TableSQL +
                             "\" has no primary key that identifies one row, so the write could change several "
                             "rows; refused by \"Guarantee Unique Update\"",
                         &rs, routine);
      for (size_t i = 0; i < Fields.size(); ++i)
        if (UsableForValueIdentification(*Fields[i]) && IsComparableColumn(*Fields[i])) id.Add(i, TCompare::Equal);
      if (id.Fields.empty())
        throw EODBCError("The record of \"" + TableSQL +
                             "\" cannot be identified: it has no primary key and no column that can be compared",
                         &rs, routine);
    }
    if (!forWrite) return id;
    TUpdateStrategy strategy = rs.Properties().UpdateStrategy();
    if (strategy == usCompareRecordVersionBeforeWrite) {
      LoadRowVersion(rs);
      if (!RowVersionFields.empty()) {
        for (size_t index : RowVersionFields)
          if (!id.Has(index)) id.Add(index, TCompare::Equal);
        return id;
      }
    }
    if (strategy == usCompareRecordVersionBeforeWrite || strategy == usCompareValuesBeforeWrite) {
      for (size_t i = 0; i < Fields.size(); ++i) {
        if (id.Has(i) || !IsComparableColumn(*Fields[i])) continue;
        id.Add(i, IsFloating(*Fields[i]) ? TCompare::Range : TCompare::Equal);
      }
    }
    return id;
  }

  // Whether a write under the recordset's strategy compares more than the row's identity.
  static bool ComparesBeforeWrite(const TKVOdbcRecordsetBase& rs) {
    TUpdateStrategy strategy = rs.Properties().UpdateStrategy();
    return strategy == usCompareRecordVersionBeforeWrite || strategy == usCompareValuesBeforeWrite;
  }

  // The value a field had when the record was read: an assigned field's value is the new one, the old is in
  // the snapshot the recordset took when the edit began. A range end is the value moved by its tolerance.
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
    if (p.RangeEnd != 0 && indicator != SQL_NULL_DATA) MoveToRangeEnd(field, p);
  }

  static void MoveToRangeEnd(const TKVOdbcField& field, TParam& p) {
    double value;
    if (field.CType() == SQL_C_FLOAT) {
      float f;
      std::memcpy(&f, p.Copy.data(), sizeof f);
      value = f;
    } else {
      std::memcpy(&value, p.Copy.data(), sizeof value);
    }
    if (!std::isfinite(value)) return;  // infinities and NaN compare as themselves
    double limit = field.CType() == SQL_C_FLOAT ? std::numeric_limits<float>::max()
                                                : std::numeric_limits<double>::max();
    value = std::clamp(value + p.RangeEnd * std::fabs(value) * FloatingTolerance(field), -limit, limit);
    if (field.CType() == SQL_C_FLOAT) {
      float f = static_cast<float>(value);
      std::memcpy(p.Copy.data(), &f, sizeof f);
    } else {
      std::memcpy(p.Copy.data(), &value, sizeof value);
    }
  }

  bool OldValueIsNull(TKVOdbcRecordsetBase& rs, size_t index) {
    TKVOdbcField& field = *Fields[index];
    const TKVOdbcRecordsetState& snapshot = rs.EditSnapshot();
    if (field.Assigned() && index < snapshot.Fields.size())
      return snapshot.Fields[index].Indicator == SQL_NULL_DATA;
    return field.Buffer().IsNull();
  }

  // The WHERE text for the identification and the NULL pattern of the values read.
  std::string WhereText(TKVOdbcRecordsetBase& rs, const TIdentification& id) {
    std::string where;
    for (size_t n = 0; n < id.Fields.size(); ++n) {
      size_t index = id.Fields[n];
      if (!where.empty()) where += " AND ";
      where += KVQuoteIdentifier(Column(*Fields[index]), Quote);
      if (OldValueIsNull(rs, index))
        where += " IS NULL";
      else
        where += id.Compare[n] == TCompare::Range ? " BETWEEN ? AND ?" : " = ?";
    }
    return where;
  }

  // Adds what the WHERE text depends on to the signature: the columns, how each is compared, and which
  // values read were NULL.
  void AppendIdentification(TKVOdbcRecordsetBase& rs, const TIdentification& id) {
    Signature.push_back(0xFF);
    for (size_t n = 0; n < id.Fields.size(); ++n) {
      Signature.push_back(static_cast<uint8_t>(id.Fields[n] & 0xFF));
      Signature.push_back(static_cast<uint8_t>(id.Fields[n] >> 8));
      Signature.push_back(static_cast<uint8_t>((OldValueIsNull(rs, id.Fields[n]) ? 2 : 0) |
                                               static_cast<uint8_t>(id.Compare[n])));
    }
  }

  // Appends the WHERE parameters (non-NULL identification values, copied as read) to `s`.
  void AddWhereParams(TKVOdbcRecordsetBase& rs, TStmt& s, const TIdentification& id, size_t first) {
    size_t n = first;
    for (size_t e = 0; e < id.Fields.size(); ++e) {
      size_t index = id.Fields[e];
      if (OldValueIsNull(rs, index)) continue;
      bool range = id.Compare[e] == TCompare::Range;
      for (int8_t end : {int8_t{-1}, int8_t{1}}) {
        if (s.Params.size() <= n) s.Params.emplace_back();
        TParam& p = s.Params[n++];
        p.Field = Fields[index];
        p.FromCopy = true;
        p.RangeEnd = range ? end : int8_t{0};
        CopyOldValue(rs, index, p);
        if (!range) break;
      }
    }
    s.Params.resize(n);
  }

  // Makes `s` the statement `head` + " WHERE " + the identification of the current row, prepared again only
  // when the identifying columns or their NULL pattern changed, with the current values bound.
  void PrepareIdentified(TKVOdbcRecordsetBase& rs, TStmt& s, const std::string& head, const TIdentification& id,
                         const char* routine) {
    Signature.clear();
    AppendIdentification(rs, id);
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
    SQLHSTMT h = CountStmt.Handle.Get();
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
    SQLRETURN rc = SQLExecute(s.Handle.Get());
    if (rc == SQL_NO_DATA) return 0;
    s.Handle.Check(rc, &rs, routine);
    SQLLEN rows = -1;
    if (!KVOdbcSucceeded(SQLRowCount(s.Handle.Get(), &rows))) rows = -1;
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
      // An expression of the select list keeps the value it had: the table cannot give it.
      if (IsTableColumn(*f)) b.ReadFromCursor(h, &rs);
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
    rs.CheckMayWrite(roInsert);
    Sync(rs);
    Signature.clear();
    bool any = false;
    for (TKVOdbcField* f : Fields) {
      Signature.push_back(f->Assigned() ? 1 : 0);
      any = any || f->Assigned();
    }
    if (!any) throw EKVException("No Field Value has been set before inserting a new Record", &rs, kApply);
    const bool readBack = rs.ReadsBackInserted();
    bool returning = readBack && KeyKind == TKVGeneratedKeyKind::Returning;
    Signature.push_back(returning ? 1 : 0);
    if (!InsertStmt.Prepared || InsertStmt.Signature != Signature) {
      std::string columns, values;
      InsertStmt.Params.clear();
      for (TKVOdbcField* f : Fields) {
        if (!f->Assigned()) continue;
        if (!columns.empty()) {
          columns += ", ";
          values += ", ";
        }
        columns += KVQuoteIdentifier(Column(*f), Quote);
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
    SQLHSTMT h = InsertStmt.Handle.Get();
    KVOdbcCheck(SQLExecute(h), &rs, kApply, h, SQL_HANDLE_STMT);
    rs.AdjustRecordCount(+1);
    if (returning) {
      TCursorCloser closer{h};
      if (FetchRow(rs, h, kApply)) return ShowRow(rs, h);
      return ShowWritten(rs);
    }
    if (!readBack) return ShowWritten(rs);
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
      where = KVQuoteIdentifier(Column(*Fields[static_cast<size_t>(AutoKeyField)]), Quote) +
              " = LAST_INSERT_ID()";
      mode = 2;
    } else if (keyAssigned) {
      for (size_t k : KeyFields) {
        if (!where.empty()) where += " AND ";
        where += KVQuoteIdentifier(Column(*Fields[k]), Quote) + " = ?";
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
    SQLHSTMT h = ReadBackStmt.Handle.Get();
    KVOdbcCheck(SQLExecute(h), &rs, kApply, h, SQL_HANDLE_STMT);
    TCursorCloser closer{h};
    if (FetchRow(rs, h, kApply)) return ShowRow(rs, h);
    ShowWritten(rs);
  }

  void Update(TKVOdbcRecordsetBase& rs) {
    rs.CheckMayWrite(roEdit);
    Sync(rs);
    if (!rs.AnyFieldAssigned()) return;
    TIdentification id = Identify(rs, kApply, true);
    CheckTryUnique(rs, id, kApply);
    Signature.clear();
    for (TKVOdbcField* f : Fields) Signature.push_back(f->Assigned() ? 1 : 0);
    AppendIdentification(rs, id);
    if (!UpdateStmt.Prepared || UpdateStmt.Signature != Signature) {
      std::string set;
      UpdateStmt.Params.clear();
      for (TKVOdbcField* f : Fields) {
        if (!f->Assigned()) continue;
        if (!set.empty()) set += ", ";
        set += KVQuoteIdentifier(Column(*f), Quote) + " = ?";
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
    // The row is still there, unchanged by others, when its old identification still matches.
    if (rows == 0 && CountMatches(rs, id, kApply) == 0) RaiseVanished(rs, kApply);
    rs.ClearAssigned();
    // The next write of this record compares what the database holds now: the new row version, and the
    // values as stored (rounded into the column's scale, padded, set by triggers).
    if (id.Unique && ComparesBeforeWrite(rs)) ReadBackUpdated(rs);
  }

  // Shows the row just updated as the database stores it, found by its key (the new key values). A row
  // that cannot be read back keeps the values written.
  void ReadBackUpdated(TKVOdbcRecordsetBase& rs) {
    TIdentification id = Identify(rs, kApply, false);
    PrepareIdentified(rs, RefreshStmt, "SELECT " + SelectList + " FROM " + TableSQL, id, kApply);
    SQLHSTMT h = RefreshStmt.Handle.Get();
    KVOdbcCheck(SQLExecute(h), &rs, kApply, h, SQL_HANDLE_STMT);
    TCursorCloser closer{h};
    if (FetchRow(rs, h, kApply)) ShowRow(rs, h);
  }

  void Delete(TKVOdbcRecordsetBase& rs) {
    rs.CheckMayWrite(roDelete);
    Sync(rs);
    TIdentification id = Identify(rs, kDelete, true);
    CheckTryUnique(rs, id, kDelete);
    PrepareIdentified(rs, DeleteStmt, "DELETE FROM " + TableSQL, id, kDelete);
    if (Execute(rs, DeleteStmt, kDelete) == 0) RaiseVanished(rs, kDelete);
  }

  void Refresh(TKVOdbcRecordsetBase& rs) {
    Sync(rs);
    TIdentification id = Identify(rs, kRefresh, false);
    PrepareIdentified(rs, RefreshStmt, "SELECT " + SelectList + " FROM " + TableSQL, id, kRefresh);
    SQLHSTMT h = RefreshStmt.Handle.Get();
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
  rs.CheckMayWrite(roInsert);
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
  rs.CheckMayWrite(roEdit);
  if (!rs.AnyFieldAssigned()) return;
  PositionedOperation(rs, SQL_UPDATE, kApply);
  rs.ClearAssigned();
}

void TKVOdbcPositionedRowWriter::Delete(TKVOdbcRecordsetBase& rs) {
  rs.CheckMayWrite(roDelete);
  PositionedOperation(rs, SQL_DELETE, kDelete);
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

// --- Parameter types (KVOdbcParamType.h) ---------------------------------------------------------------

TKVParamType KVParamTypeOfField(const TKVOdbcField& field) {
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
    // the decimal digits named here, so they must be named; a column with finer fractions (a row version
    // kept in microseconds) is compared with its own digits, or the value read would never match again.
    case fdtDatetime: {
      SQLSMALLINT digits = static_cast<SQLSMALLINT>(std::clamp<SQLLEN>(field.Scale(), 3, 9));
      return {SQL_TYPE_TIMESTAMP, static_cast<SQLULEN>(20 + digits), digits, false};
    }
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
  KVRaiseUnknownValue(field.DataType(), "TKVFieldDataType", &field, "InternalApplyChanges");
}

bool KVIsBinaryColumnDescribedAsText(const TKVOdbcField& field) {
  if (field.DataType() != fdtString && field.DataType() != fdtMemo) return false;
  std::string type = KVUpperCase(field.Description().TypeName);
  return type.find("BLOB") != std::string::npos || type.find("BINARY") != std::string::npos;
}

std::string KVColumnNameOfField(const TKVOdbcField& field) {
  const std::string& base = field.Description().BaseColumnName;
  return base.empty() ? field.Name() : base;
}
