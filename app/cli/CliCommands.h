#pragma once
// The subcommands of dabrix-cli. Each runs with its own arguments (without the subcommand name) and
// returns the process exit code; errors it does not handle itself reach main, which prints them in the
// message text form and exits with code 2.
#include <exception>
#include <string>
#include <vector>

struct TCliCommand {
  const char* Name;
  const char* Summary;  // one line for the tool's help
  const char* Usage;    // the subcommand's own help text
  int (*Run)(const std::vector<std::string>& args);
};

const std::vector<TCliCommand>& CliCommands();

// Exit codes shared by all subcommands.
constexpr int kExitOk = 0, kExitFailed = 1, kExitBadInput = 2, kExitCancelled = 3;

// Raised for wrong arguments; main prints the message and the subcommand's usage.
struct TCliUsageError {
  std::string Message;
};

// Terminal output wants plain line ends; the program's texts use "\r\n".
std::string CliForTerminal(const std::string& text);
// Prints an error in the message text form to standard error.
void CliPrintError(const std::exception& e);

class TKVOdbcConnection;
template <class T>
class TKVRef;
// A connection for a command-line CONNECTION argument: a data source name, or a connection string when it
// contains "=". No driver dialogs (nobody is there to answer them); not yet opened.
TKVRef<TKVOdbcConnection> CliConnection(const std::string& target);

extern const TCliCommand kCliDump, kCliConvert;
// query: run SQL on a database (app/cli/DbCommands.cpp).
extern const TCliCommand kCliQuery;
extern const TCliCommand kCliSources, kCliSchema;
extern const TCliCommand kCliTree;
extern const TCliCommand kCliSortTables;
// functions, call: the field value functions of the plug-ins beside the program (app/cli/FunctionCommands.cpp).
extern const TCliCommand kCliFunctions, kCliCall;
// run, validate: carry out or try a reorganization definition (app/cli/RunCommands.cpp).
extern const TCliCommand kCliRun, kCliValidate;
