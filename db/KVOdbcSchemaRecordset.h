#pragma once
// Schema recordsets: the catalog of a data source (tables, columns, keys, privileges, ...) read through
// the same field interface as table data. The result set comes from an ODBC catalog function instead of a
// SELECT; its columns are those ODBC defines for that function, in that order, so readers (table pickers,
// the foreign-key dependency sort, the schema tree) take them by position.
//
//   auto rs = KVMakeRef<TKVOdbcSchemaRecordset>(connection);
//   rs->SchemaData().SetKind(slColumns);
//   rs->SchemaData().SetTableName("customers");
//   rs->Open();
//   for (; rs->HasCurrentRecord(); rs->MoveToNext()) use(rs->Field(3).Value());  // COLUMN_NAME
//
// Driver behaviour the class evens out:
//  - MariaDB reads a NULL catalog as "every database": when the database string is "<None>" the catalog
//    calls get the connection's current catalog instead, so lists stay inside the connected database.
//  - MariaDB matches the table type by the words TABLE and VIEW, so "SYSTEM TABLE" would list the user's
//    tables. MariaDB has no tables of that type; the System Tables list asks it for the type "SYSTEM",
//    which it answers with no rows.
// Left as the drivers answer (callers must expect them): SQLite lists no system tables and leaves
// FK_NAME/PK_NAME NULL; psqlODBC lists system tables only with a schema pattern ("%"), not with "<None>";
// MariaDB reports VARCHAR columns as SQL_WVARCHAR; SQLite and psqlODBC have no SQLColumnPrivileges (the
// call fails with IM001 and raises).
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "db/KVOdbcRecordset.h"

// The lists a schema recordset can produce, each answered by one catalog function.
enum TKVSchemaList : uint8_t {
  slSystemTables = 0,     // SQLTables, type "SYSTEM TABLE"
  slTables = 1,           // SQLTables, type "TABLE"
  slViews = 2,            // SQLTables, type "VIEW"
  slProcedures = 3,       // SQLProcedures
  slTablePrivileges = 4,  // SQLTablePrivileges
  slColumnPrivileges = 5, // SQLColumnPrivileges
  slStatistics = 6,       // SQLStatistics, all indexes, quick
  slColumns = 7,          // SQLColumns
  slProcedureColumns = 8, // SQLProcedureColumns
  slPrimaryKeys = 9,      // SQLPrimaryKeys
  slForeignKeys = 10,     // SQLForeignKeys
  slTypeInfo = 11         // SQLGetTypeInfo
};
constexpr int kSchemaListCount = 12;

// "System Tables", "Tables", "Views", "Procedures", "Table Privileges", "Column Privileges", "Statistics",
// "Columns", "Procedure Columns", "Primary Keys", "Foreign Keys", "Type Info"; "" outside 0..11.
const char* KVSchemaListCaption(int kind);
// The 1-based result column that names an item of the list (TABLE_NAME 3, PRIVILEGE 6/7, COLUMN_NAME 4,
// PK_NAME 6, FK_NAME 12, TYPE_NAME 1, ...); 0 outside 0..11.
int KVSchemaListNameColumn(int kind);

// What a schema recordset lists: the kind and seven strings. A string equal to "<None>" (any letter case)
// goes to ODBC as a null pointer with length 0, which means "not restricted" for the catalog and schema
// and "all" for a column pattern; every other value, "" included, is passed as it is.
//
// Defaults: kind Tables; database, schema, foreign-key database and foreign-key schema "<None>"; table,
// column and foreign-key table "%".
//
// A setter that changes a value tells the owning recordset, which re-executes at once when it is active
// and ReexecuteOnChange is on ("AfterPropertyValueChange"), and then calls the OnChange callback if set.
class TKVSchemaProperties : public TKVRefLifeObject {
 public:
  static constexpr TGUID IID = KVGuid("{C4E1B7A2-5D3F-4A8E-9B61-2F7D0E83A5C9}");
  static constexpr const char* kNone = "<None>";

  TKVSchemaProperties() = default;
  std::string ClassName() const override { return "TKVSchemaProperties"; }
  void* GetInterface(const TGUID& iid) override;

  TKVSchemaList Kind() const { return m_Kind; }
  // Any 8-bit value is kept; one outside the list kinds raises when the recordset executes.
  void SetKind(TKVSchemaList kind);

  const std::string& Database() const { return m_Database; }
  void SetDatabase(const std::string& value) { SetString(m_Database, value); }
  const std::string& Schema() const { return m_Schema; }
  void SetSchema(const std::string& value) { SetString(m_Schema, value); }
  // The table or, for the procedure lists, the procedure name (pattern).
  const std::string& TableName() const { return m_TableName; }
  void SetTableName(const std::string& value) { SetString(m_TableName, value); }
  // The column pattern; for Type Info the ODBC data type as decimal text (0 or no number: all types).
  const std::string& ColumnName() const { return m_ColumnName; }
  void SetColumnName(const std::string& value) { SetString(m_ColumnName, value); }
  // The foreign-key table of the Foreign Keys list (the first three strings name the primary-key table).
  // With the table set and the FK strings at "<None>" the list shows the keys that reference the table;
  // with the table "<None>" and the FK table set, the keys that table holds.
  const std::string& FKDatabase() const { return m_FKDatabase; }
  void SetFKDatabase(const std::string& value) { SetString(m_FKDatabase, value); }
  const std::string& FKSchema() const { return m_FKSchema; }
  void SetFKSchema(const std::string& value) { SetString(m_FKSchema, value); }
  const std::string& FKTableName() const { return m_FKTableName; }
  void SetFKTableName(const std::string& value) { SetString(m_FKTableName, value); }

  // Whether a change re-executes an active recordset (default on).
  bool ReexecuteOnChange() const { return m_Reexecute; }
  void SetReexecuteOnChange(bool on) { m_Reexecute = on; }

  // Called after every change, after the owner's re-execution.
  void SetOnChange(std::function<void()> handler) { m_OnChange = std::move(handler); }

  // Copies the kind, the seven strings and the flag; tells the owner once when anything changed.
  void Assign(const TKVSchemaProperties& other);

  // "List:\t%s\r\rDatabase:\t%s\rSchema:\t%s\rTable/Proc:\t%s\rColumnname:\t%s\rFK Database:\t%s\r
  // FK Schema:\t%s\rFK Table:\t%s" (tooltips, reports).
  std::string Description() const;

  // Whether a string stands for "no value": "<None>" in any letter case.
  static bool IsNone(std::string_view value);

 private:
  friend class TKVOdbcSchemaRecordset;
  void SetString(std::string& field, const std::string& value);
  void Changed();

  TKVSchemaList m_Kind = slTables;
  std::string m_Database = kNone, m_Schema = kNone, m_TableName = "%", m_ColumnName = "%";
  std::string m_FKDatabase = kNone, m_FKSchema = kNone, m_FKTableName = "%";
  bool m_Reexecute = true;
  std::function<void()> m_OnChange;
  std::function<void()> m_OwnerChanged;  // set by the owning recordset
};

// A recordset whose rows come from a catalog function. Everything after the call (fields, first record,
// moves, record count) is the recordset base's; the record count uses the driver's count and positioning,
// never a SELECT Count(*), since there is no table to count.
class TKVOdbcSchemaRecordset : public TKVOdbcRecordsetBase {
 public:
  explicit TKVOdbcSchemaRecordset(TKVRef<TKVOdbcConnection> connection = nullptr);
  ~TKVOdbcSchemaRecordset() override;
  std::string ClassName() const override { return "TKVOdbcSchemaRecordset"; }
  // The list caption, followed by ": " and the table name when one is set ("Columns: customers").
  std::string GetObjectName() const override;

  TKVSchemaProperties& SchemaData() { return *m_Schema; }
  const TKVSchemaProperties& SchemaData() const { return *m_Schema; }

  // Settings reached by name, as dialogs and the engine address them: "SchemaData" gives the schema
  // properties, "SQL" the SQL property (unused by the catalog calls); nullptr for any other name.
  TKVRefLifeObject* PropertyByName(std::string_view name);

  // The SQL text plays no part here and is not stored.
  bool KeepsSQL() const override { return false; }

 protected:
  // Calls the catalog function of the list kind ("InternalExecute"). SQL_NO_DATA is an empty result (an
  // open recordset with no fields and no records); any other failure raises EODBCError with the function's
  // name as routine; a kind outside the list raises EKVException.
  bool InternalExecute() override;
  // The catalog call itself on Handle(); returns its return code unchecked.
  virtual SQLRETURN CallCatalogFunction(TKVSchemaList kind);

 private:
  void AfterPropertyValueChange();
  bool CatalogIsEverything();

  TKVRef<TKVSchemaProperties> m_Schema;
};

// The field of an open recordset that holds result column `ordinal` (1-based), or nullptr: catalog
// readers take columns by position, and a column the recordset could not describe is left out of the
// field list, so the list index is not always the column number.
TKVOdbcField* KVFieldByOrdinal(TKVOdbcRecordsetBase& recordset, int ordinal);
// The field's value as text, "" for NULL.
std::string KVFieldText(TKVOdbcField* field);

// The names of the tables of a recordset's data source, appended to `into`: a forward-only, read-only
// schema recordset of kind Tables with the table name "%" on the recordset's connection (activated when it
// is not), TABLE_NAME of every row.
void KVListTables(TKVOdbcRecordsetBase& recordset, std::vector<std::string>& into);
// The names of the fields of an open recordset, in column order, appended to `into` (nothing while the
// recordset is closed).
void KVListFieldNames(TKVOdbcRecordsetBase& recordset, std::vector<std::string>& into);
