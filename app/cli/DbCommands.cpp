// query: run one SQL text on a database and print what it returns.
#include <iostream>

#include "app/cli/CliCommands.h"
#include "db/KVOdbcConnection.h"
#include "db/KVOdbcRecordset.h"
#include "db/KVOdbcStatement.h"
#include "foundation/KVExceptions.h"

namespace {

const char* kQueryUsage =
    "Usage: dabrix-cli query CONNECTION SQL\n"
    "\n"
    "Runs SQL on the database CONNECTION names: a data source name, or an ODBC connection string\n"
    "(any text holding \"=\", e.g. \"Driver=SQLite3;Database=/tmp/a.db\").\n"
    "\n"
    "A SELECT prints a header line of the field names, then one line per record; fields are separated\n"
    "by tabs and shown as display texts (dates in ISO form), NULL as NULL. Any other statement prints\n"
    "the number of rows it affected (-1 when the driver cannot tell). The text is run as given: there\n"
    "are no parameters (:name) here. Database errors are printed with every diagnostic record; the exit\n"
    "code is then 1.\n";

// The text is run as the user typed it: a command line has no way to give parameter values, and a time
// literal's colons must not be read as parameters.
class TLiteralRecordset : public TKVOdbcRecordset {
 public:
  using TKVOdbcRecordset::TKVOdbcRecordset;
  std::string PreparedSQLText() const override { return Sql().Text(); }
};

// Tabs and line breaks inside values would break the line-per-record form.
std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return s;
}

int CliQuery(const std::vector<std::string>& args) {
  if (args.size() != 2) throw TCliUsageError{"expected CONNECTION and SQL"};
  const std::string& target = args[0];
  const std::string& sql = args[1];
  try {
    auto connection = CliConnection(target);
    connection->Activate();
    if (KVIsSelectStatement(sql)) {
      auto rs = KVMakeRef<TLiteralRecordset>(connection);
      rs->SetSimplestConfiguration();  // streams: the whole result is never held in memory
      rs->Sql().SetText(sql);
      rs->Open();
      for (size_t i = 0; i < rs->FieldCount(); ++i) std::cout << (i ? "\t" : "") << OneLine(rs->Field(i).Name());
      std::cout << "\n";
      for (; rs->HasCurrentRecord(); rs->MoveToNext()) {
        for (size_t i = 0; i < rs->FieldCount(); ++i) {
          TKVOdbcField& f = rs->Field(i);
          std::cout << (i ? "\t" : "") << (f.IsNull() ? std::string("NULL") : OneLine(f.DisplayText()));
        }
        std::cout << "\n";
      }
    } else {
      TKVOdbcStatement statement(connection);
      statement.ExecuteText(sql);
      std::cout << statement.AffectedRows() << "\n";
    }
  } catch (const EODBCError& e) {
    std::cerr << CliForTerminal(e.Message()) << "\n";
    return kExitFailed;
  } catch (const EKVException& e) {
    std::cerr << CliForTerminal(KVMessageText(e.Message())) << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

const TCliCommand kCliQuery = {"query", "run SQL on a database and print the result", kQueryUsage, CliQuery};
