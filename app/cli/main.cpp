// dabrix-cli: the headless front end. No display and no Qt: everything here must run in CI and over ssh.
#include <algorithm>
#include <cstring>
#include <iostream>

#include "app/cli/CliCommands.h"
#include "foundation/KVConvert.h"
#include "db/KVOdbcConnection.h"
#include "foundation/KVExceptions.h"

namespace {

const char* kToolUsage =
    "Usage: dabrix-cli COMMAND [ARGUMENTS]\n"
    "\n"
    "Moves and reshapes data between databases as a reorganization definition (QXD document) says.\n"
    "\n"
    "Commands:\n";

void PrintToolHelp(std::ostream& out) {
  out << kToolUsage;
  for (const auto& c : CliCommands()) {
    std::string name = c.Name;
    name.resize(std::max<size_t>(name.size() + 2, 14), ' ');
    out << "  " << name << c.Summary << "\n";
  }
  out << "\nRun 'dabrix-cli COMMAND --help' for the arguments of a command.\n";
}


}  // namespace

std::string CliForTerminal(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) r += text[i];
  return r;
}

void CliPrintError(const std::exception& e) {
  std::cout.flush();
  std::cerr << CliForTerminal(KVMessageText(KVErrorText(e))) << "\n";
}

TKVRef<TKVOdbcConnection> CliConnection(const std::string& target) {
  auto connection = KVMakeRef<TKVOdbcConnection>();
  connection->Properties().SetConnectionString(target.find('=') == std::string::npos ? "DSN=" + target : target);
  connection->Properties().SetDriverDialogs(ddNoDriverDialogs);
  return connection;
}

const std::vector<TCliCommand>& CliCommands() {
  static const std::vector<TCliCommand> commands = {kCliDump, kCliConvert, kCliQuery,     kCliSources,
                                                     kCliSchema, kCliTree,   kCliSortTables,
                                                     kCliFunctions, kCliCall, kCliRun, kCliValidate};
  return commands;
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintToolHelp(std::cerr);
    return kExitBadInput;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintToolHelp(std::cout);
    return kExitOk;
  }
  const TCliCommand* command = nullptr;
  for (const auto& c : CliCommands())
    if (args[0] == c.Name) command = &c;
  if (!command) {
    std::cerr << "dabrix-cli: unknown command \"" << args[0] << "\"\n\n";
    PrintToolHelp(std::cerr);
    return kExitBadInput;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const auto& a : rest) {
    if (a == "--help" || a == "-h") {
      std::cout << command->Usage;
      return kExitOk;
    }
  }
  try {
    return command->Run(rest);
  } catch (const TCliUsageError& e) {
    std::cerr << "dabrix-cli " << command->Name << ": " << KVMessageText(e.Message) << "\n\n" << command->Usage;
    return kExitBadInput;
  } catch (const std::exception& e) {
    CliPrintError(e);
    return kExitBadInput;
  }
}
