#include "db/KVOdbcSchemaRecordset.h"

#include <cerrno>
#include <cstdlib>

#include "foundation/KVConvert.h"

namespace {

struct TSchemaListInfo {
  const char* Caption;
  int NameColumn;
};

constexpr TSchemaListInfo kLists[kSchemaListCount] = {
    {"System Tables", 3}, {"Tables", 3},     {"Views", 3},   {"Procedures", 3},
    {"Table Privileges", 6}, {"Column Privileges", 7}, {"Statistics", 3}, {"Columns", 4},
    {"Procedure Columns", 4}, {"Primary Keys", 6}, {"Foreign Keys", 12}, {"Type Info", 1}};

// One string argument of a catalog call: "<None>" is a null pointer with length 0, anything else the
// text with its length. The driver only reads the buffer, whatever the prototype says.
struct TCatalogArg {
  SQLCHAR* Text = nullptr;
  SQLSMALLINT Length = 0;
};

TCatalogArg Arg(const std::string& value) {
  if (TKVSchemaProperties::IsNone(value)) return {};
  return {reinterpret_cast<SQLCHAR*>(const_cast<char*>(value.c_str())), static_cast<SQLSMALLINT>(value.size())};
}

// The column string of a Type Info list as an ODBC data type: decimal text, else all types.
SQLSMALLINT DataTypeOf(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (end == begin || (end && *end) || errno == ERANGE || value < -32768 || value > 32767) return SQL_ALL_TYPES;
  return static_cast<SQLSMALLINT>(value);
}

const char* RoutineOf(TKVSchemaList kind) {
  switch (kind) {
    case slSystemTables:
    case slTables:
    case slViews: return "SQLTables";
    case slProcedures: return "SQLProcedures";
    case slTablePrivileges: return "SQLTablePrivileges";
    case slColumnPrivileges: return "SQLColumnPrivileges";
    case slStatistics: return "SQLStatistics";
    case slColumns: return "SQLColumns";
    case slProcedureColumns: return "SQLProcedureColumns";
    case slPrimaryKeys: return "SQLPrimaryKeys";
    case slForeignKeys: return "SQLForeignKeys";
    case slTypeInfo: return "SQLGetTypeInfo";
  }
  return "InternalExecute";
}

}  // namespace

const char* KVSchemaListCaption(int kind) {
  return kind >= 0 && kind < kSchemaListCount ? kLists[kind].Caption : "";
}

int KVSchemaListNameColumn(int kind) { return kind >= 0 && kind < kSchemaListCount ? kLists[kind].NameColumn : 0; }

// --- TKVSchemaProperties ----------------------------------------------------------------------------------

void* TKVSchemaProperties::GetInterface(const TGUID& iid) {
  if (iid == IID) return this;
  return TKVRefLifeObject::GetInterface(iid);
}

bool TKVSchemaProperties::IsNone(std::string_view value) { return KVSameText(value, kNone); }

void TKVSchemaProperties::SetKind(TKVSchemaList kind) {
  if (kind == m_Kind) return;
  m_Kind = kind;
  Changed();
}

void TKVSchemaProperties::SetString(std::string& field, const std::string& value) {
  // Exact comparison: catalog names may be case-sensitive, so a change of case is a different list.
  if (field == value) return;
  field = value;
  Changed();
}

void TKVSchemaProperties::Changed() {
  if (m_OwnerChanged) m_OwnerChanged();
  if (m_OnChange) m_OnChange();
}

void TKVSchemaProperties::Assign(const TKVSchemaProperties& other) {
  if (&other == this) return;
  bool changed = m_Kind != other.m_Kind || m_Database != other.m_Database || m_Schema != other.m_Schema ||
                 m_TableName != other.m_TableName || m_ColumnName != other.m_ColumnName ||
                 m_FKDatabase != other.m_FKDatabase || m_FKSchema != other.m_FKSchema ||
                 m_FKTableName != other.m_FKTableName;
  m_Reexecute = other.m_Reexecute;
  m_Kind = other.m_Kind;
  m_Database = other.m_Database;
  m_Schema = other.m_Schema;
  m_TableName = other.m_TableName;
  m_ColumnName = other.m_ColumnName;
  m_FKDatabase = other.m_FKDatabase;
  m_FKSchema = other.m_FKSchema;
  m_FKTableName = other.m_FKTableName;
  if (changed) Changed();
}

std::string TKVSchemaProperties::Description() const {
  return std::string("List:\t") + KVSchemaListCaption(m_Kind) + "\r\rDatabase:\t" + m_Database +
         "\rSchema:\t" + m_Schema + "\rTable/Proc:\t" + m_TableName + "\rColumnname:\t" + m_ColumnName +
         "\rFK Database:\t" + m_FKDatabase + "\rFK Schema:\t" + m_FKSchema + "\rFK Table:\t" + m_FKTableName;
}

// --- TKVOdbcSchemaRecordset -------------------------------------------------------------------------------

TKVOdbcSchemaRecordset::TKVOdbcSchemaRecordset(TKVRef<TKVOdbcConnection> connection)
    : TKVOdbcRecordsetBase(std::move(connection), KVMakeRef<TKVOdbcRecordsetProperties>()),
      m_Schema(KVMakeRef<TKVSchemaProperties>()) {
  // A catalog result has no FROM clause a Count(*) could run on.
  Properties().SetCountStrategies(rcsUseDriverCount | rcsLogarithmicPositioning);
  m_Schema->m_OwnerChanged = [this] { AfterPropertyValueChange(); };
}

TKVOdbcSchemaRecordset::~TKVOdbcSchemaRecordset() {
  // The properties may outlive the recordset (another holder keeps a reference).
  m_Schema->m_OwnerChanged = nullptr;
}

std::string TKVOdbcSchemaRecordset::GetObjectName() const {
  std::string name = KVSchemaListCaption(m_Schema->Kind());
  const std::string& table = m_Schema->TableName();
  if (!table.empty() && table != "%" && !TKVSchemaProperties::IsNone(table)) name += ": " + table;
  return name;
}

TKVRefLifeObject* TKVOdbcSchemaRecordset::PropertyByName(std::string_view name) {
  if (KVSameText(name, "SchemaData")) return m_Schema.get();
  if (KVSameText(name, "SQL")) return &Sql();
  return nullptr;
}

void TKVOdbcSchemaRecordset::AfterPropertyValueChange() {
  // An inactive recordset picks the change up when it opens.
  if (!m_Schema->ReexecuteOnChange() || !Active()) return;
  ReExecute(false);
}

bool TKVOdbcSchemaRecordset::CatalogIsEverything() {
  std::string dbms = Connection()->DbmsName();
  return KVUpperCase(dbms).find("MARIADB") != std::string::npos ||
         KVUpperCase(dbms).find("MYSQL") != std::string::npos;
}

bool TKVOdbcSchemaRecordset::InternalExecute() {
  TKVSchemaList kind = m_Schema->Kind();
  if (static_cast<int>(kind) >= kSchemaListCount)
    throw EKVException("Unsupported value (" + std::to_string(static_cast<int>(kind)) +
                           ") for \"TKVSchemaList\"",
                       this, "InternalExecute");
  SQLRETURN rc = CallCatalogFunction(kind);
  if (rc == SQL_NO_DATA) return false;
  KVOdbcCheck(rc, this, RoutineOf(kind), Handle(), SQL_HANDLE_STMT);
  return true;
}

SQLRETURN TKVOdbcSchemaRecordset::CallCatalogFunction(TKVSchemaList kind) {
  const TKVSchemaProperties& p = *m_Schema;
  std::string currentCatalog;
  bool restrict = (TKVSchemaProperties::IsNone(p.Database()) || TKVSchemaProperties::IsNone(p.FKDatabase())) &&
                  CatalogIsEverything();
  if (restrict) {
    char buffer[512] = {0};
    SQLINTEGER length = 0;
    SQLRETURN rc = SQLGetConnectAttr(Connection()->OdbcHandle(), SQL_ATTR_CURRENT_CATALOG, buffer,
                                     sizeof buffer - 1, &length);
    if (KVOdbcSucceeded(rc)) currentCatalog = buffer;
  }
  auto catalogArg = [&](const std::string& value) {
    if (TKVSchemaProperties::IsNone(value) && !currentCatalog.empty()) return Arg(currentCatalog);
    return Arg(value);
  };
  TCatalogArg db = catalogArg(p.Database()), schema = Arg(p.Schema()), table = Arg(p.TableName()),
              column = Arg(p.ColumnName());
  SQLHSTMT h = Handle();
  switch (kind) {
    case slSystemTables:
    case slTables:
    case slViews: {
      std::string type = kind == slTables ? "TABLE" : kind == slViews ? "VIEW" : "SYSTEM TABLE";
      if (kind == slSystemTables && CatalogIsEverything()) type = "SYSTEM";
      return SQLTables(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length,
                       reinterpret_cast<SQLCHAR*>(type.data()), static_cast<SQLSMALLINT>(type.size()));
    }
    case slProcedures:
      return SQLProcedures(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length);
    case slTablePrivileges:
      return SQLTablePrivileges(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length);
    case slColumnPrivileges:
      return SQLColumnPrivileges(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length,
                                 column.Text, column.Length);
    case slStatistics:
      return SQLStatistics(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length,
                           SQL_INDEX_ALL, SQL_QUICK);
    case slColumns:
      return SQLColumns(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length, column.Text,
                        column.Length);
    case slProcedureColumns:
      return SQLProcedureColumns(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length,
                                 column.Text, column.Length);
    case slPrimaryKeys:
      return SQLPrimaryKeys(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length);
    case slForeignKeys: {
      TCatalogArg fkDb = catalogArg(p.FKDatabase()), fkSchema = Arg(p.FKSchema()), fkTable = Arg(p.FKTableName());
      return SQLForeignKeys(h, db.Text, db.Length, schema.Text, schema.Length, table.Text, table.Length,
                            fkDb.Text, fkDb.Length, fkSchema.Text, fkSchema.Length, fkTable.Text, fkTable.Length);
    }
    case slTypeInfo:
      return SQLGetTypeInfo(h, DataTypeOf(p.ColumnName()));
  }
  return SQL_ERROR;  // not reached: InternalExecute checked the kind
}

// --- Listings ---------------------------------------------------------------------------------------------

TKVOdbcField* KVFieldByOrdinal(TKVOdbcRecordsetBase& recordset, int ordinal) {
  for (size_t i = 0; i < recordset.FieldCount(); ++i)
    if (recordset.Field(i).Ordinal() == ordinal) return &recordset.Field(i);
  return nullptr;
}

std::string KVFieldText(TKVOdbcField* field) {
  if (!field || field->IsNull()) return {};
  return field->Value().AsString();
}

void KVListTables(TKVOdbcRecordsetBase& recordset, std::vector<std::string>& into) {
  auto tables = KVMakeRef<TKVOdbcSchemaRecordset>(recordset.ConnectionRef());
  tables->PerformOperation(roSetSimplestConfiguration);
  tables->SchemaData().SetKind(slTables);
  tables->SchemaData().SetTableName("%");
  tables->Open();
  TKVOdbcField* name = KVFieldByOrdinal(*tables, KVSchemaListNameColumn(slTables));
  for (; name && tables->HasCurrentRecord(); tables->MoveToNext())
    if (!name->IsNull()) into.push_back(name->Value().AsString());
  tables->Close();
}

void KVListFieldNames(TKVOdbcRecordsetBase& recordset, std::vector<std::string>& into) {
  for (size_t i = 0; i < recordset.FieldCount(); ++i) into.push_back(recordset.Field(i).Name());
}
