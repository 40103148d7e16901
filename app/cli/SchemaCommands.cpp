// sources and schema: what ODBC data sources exist, and the catalog of one of them as the schema tree
// shows it, without a display.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/CliCommands.h"
#include "db/KVSchemaCatalog.h"
#include "db/KVOdbcConnection.h"
#include "db/KVOdbcRecordset.h"
#include "db/KVOdbcSchemaRecordset.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"

namespace {

const char* kSourcesUsage =
    "Usage: dabrix-cli sources [--user|--system]\n"
    "\n"
    "Lists the ODBC data sources the driver manager knows, one per line as \"NAME - DESCRIPTION\".\n"
    "Without an option the user data sources come first, then the system data sources.\n";

const char* kSchemaUsage =
    "Usage: dabrix-cli schema CONNECTION [--lists LIST[,LIST...]]\n"
    "\n"
    "Prints the catalog of a data source as the schema tree shows it. CONNECTION is a data source name\n"
    "or an ODBC connection string (anything containing \"=\"); the connection is opened read-only.\n"
    "LIST is one of tables, views, systables, procedures (default: tables,views); lists are printed in\n"
    "the order system tables, tables, views, procedures, whatever order they are given in.\n"
    "\n"
    "Each list prints as \"CAPTION: ITEMS\"; under it, indented by two blanks, each table, view or\n"
    "procedure as \"NAME: N records\" (just NAME when the records cannot be counted), and under each item\n"
    "its \"Columns: N\" (\"Procedure Columns: N\") list with one line per column:\n"
    "NAME<TAB>DATA TYPE<TAB>SIZE Byte(s)<TAB>NULLABLE, where NULLABLE is \"Not Null\", \"Nulls Allowed\"\n"
    "or \"?\".\n"
    "\n"
    "Exit code 1 when the data source cannot be read; the driver's diagnostics are printed.\n";

int RunSources(const std::vector<std::string>& args) {
  bool user = true, system = true;
  for (const auto& a : args) {
    if (a == "--user") {
      system = false;
    } else if (a == "--system") {
      user = false;
    } else {
      throw TCliUsageError{"unexpected argument \"" + a + "\""};
    }
  }
  if (!user && !system) throw TCliUsageError{"--user and --system exclude each other"};
  auto environment = KVMakeRef<TKVOdbcEnvironment>();
  auto print = [](const std::string& line) { std::cout << line << "\n"; };
  try {
    if (user) environment->EnumDataSources(dsnUser, "%s - %s", print);
    if (system) environment->EnumDataSources(dsnSystem, "%s - %s", print);
  } catch (const std::exception& e) {
    CliPrintError(e);
    return kExitFailed;
  }
  return kExitOk;
}

// --- schema -----------------------------------------------------------------------------------------------

// The result columns a column line is made of: COLUMN_NAME, TYPE_NAME, BUFFER_LENGTH, NULLABLE.
struct TColumnLayout {
  int Name, Type, Size, Nullable;
};
constexpr TColumnLayout kColumnsLayout{4, 6, 8, 11}, kProcedureColumnsLayout{4, 7, 9, 12};

class TSchemaPrinter {
 public:
  TSchemaPrinter(TKVRef<TKVOdbcConnection> connection, std::ostream& out)
      : m_Connection(std::move(connection)), m_Out(out) {
    m_Schema = KVMakeRef<TKVOdbcSchemaRecordset>(m_Connection);
    m_Schema->PerformOperation(roSetSimplestConfiguration);
    m_Count = KVMakeRef<TKVOdbcRecordset>(m_Connection);
    m_Count->PerformOperation(roSetSimplestConfiguration);
  }

  void PrintRootList(TKVSchemaList kind) {
    std::vector<std::pair<std::string, std::string>> items;  // title, hint
    ReadList(kind, "%", [&] {
      std::string title = KVFieldText(KVFieldByOrdinal(*m_Schema, KVSchemaListNameColumn(kind)));
      items.emplace_back(title, std::string());
    });
    // The counts run after the catalog cursor is closed: some drivers allow one open cursor per connection.
    for (auto& [title, hint] : items) hint = RecordHint(title);
    m_Out << KVSchemaListCaption(kind) << ": " << items.size() << "\n";
    for (const auto& [title, hint] : items) {
      m_Out << "  " << (hint.empty() ? title : hint) << "\n";
      PrintColumns(kind == slProcedures ? slProcedureColumns : slColumns, title);
    }
  }

 private:
  // Opens the schema recordset on one list and calls `row` for every record.
  template <class F>
  void ReadList(TKVSchemaList kind, const std::string& object, F row) {
    m_Schema->Close();
    TKVSchemaProperties& p = m_Schema->SchemaData();
    p.SetKind(kind);
    p.SetTableName(object);
    m_Schema->Open();
    for (; m_Schema->HasCurrentRecord(); m_Schema->MoveToNext()) row();
    m_Schema->Close();
  }

  void PrintColumns(TKVSchemaList kind, const std::string& object) {
    const TColumnLayout& layout = kind == slProcedureColumns ? kProcedureColumnsLayout : kColumnsLayout;
    std::vector<std::string> lines;
    ReadList(kind, object, [&] {
      auto text = [&](int column) { return KVFieldText(KVFieldByOrdinal(*m_Schema, column)); };
      lines.push_back(text(layout.Name) + "\t" + text(layout.Type) + "\t" + text(layout.Size) + " Byte(s)\t" +
                      KVSchemaNullableText(text(layout.Nullable)));
    });
    m_Out << "    " << KVSchemaListCaption(kind) << ": " << lines.size() << "\n";
    for (const auto& line : lines) m_Out << "      " << line << "\n";
  }

  // "NAME: N records", or "" when the table cannot be counted (a view over a missing table, a procedure,
  // no rights): the tree shows no hint then and reports nothing.
  std::string RecordHint(const std::string& table) {
    if (m_Quote.empty()) m_Quote = KVIdentifierQuote(*m_Connection);
    return KVSchemaRecordHint(*m_Count, m_Quote, table);
  }

  TKVRef<TKVOdbcConnection> m_Connection;
  std::ostream& m_Out;
  TKVRef<TKVOdbcSchemaRecordset> m_Schema;
  TKVRef<TKVOdbcRecordset> m_Count;
  std::string m_Quote;
};

bool ParseLists(const std::string& text, bool (&shown)[4]) {
  for (auto& s : shown) s = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (KVSameText(item, "systables")) {
      shown[slSystemTables] = true;
    } else if (KVSameText(item, "tables")) {
      shown[slTables] = true;
    } else if (KVSameText(item, "views")) {
      shown[slViews] = true;
    } else if (KVSameText(item, "procedures")) {
      shown[slProcedures] = true;
    } else {
      return false;
    }
    start = end + 1;
  }
  return true;
}

int RunSchema(const std::vector<std::string>& args) {
  std::string connection;
  bool shown[4] = {false, true, true, false};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--lists") {
      if (i + 1 >= args.size()) throw TCliUsageError{"--lists needs a value"};
      if (!ParseLists(args[++i], shown)) throw TCliUsageError{"unknown list in \"" + args[i] + "\""};
    } else if (a.rfind("--lists=", 0) == 0) {
      if (!ParseLists(a.substr(8), shown)) throw TCliUsageError{"unknown list in \"" + a.substr(8) + "\""};
    } else if (a.rfind("--", 0) == 0 || !connection.empty()) {
      throw TCliUsageError{"unexpected argument \"" + a + "\""};
    } else {
      connection = a;
    }
  }
  if (connection.empty()) throw TCliUsageError{"a data source name or connection string is needed"};

  try {
    auto c = CliConnection(connection);
    c->Properties().SetAccessMode(amReadonly);
    c->Activate();
    {
      TSchemaPrinter printer(c, std::cout);
      for (int kind = slSystemTables; kind <= slProcedures; ++kind)
        if (shown[kind]) printer.PrintRootList(static_cast<TKVSchemaList>(kind));
    }
    c->Deactivate();
  } catch (const std::exception& e) {
    CliPrintError(e);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

const TCliCommand kCliSources{"sources", "list the ODBC data sources", kSourcesUsage, RunSources};
const TCliCommand kCliSchema{"schema", "print the catalog of a data source as the schema tree shows it",
                             kSchemaUsage, RunSchema};
