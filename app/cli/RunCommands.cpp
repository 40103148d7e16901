// run / validate: a reorganization definition carried out, or tried, without a display. The run happens
// on the engine's worker thread exactly as in the desktop program; this file only supplies the terminal's
// sinks and turns the outcome into an exit code.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>

#include "app/cli/CliCommands.h"
#include "definition/QXDocument.h"
#include "definition/QXSettings.h"
#include "engine/DMExecute.h"
#include "engine/QXReport.h"
#include "engine/QXValidate.h"
#include "engine/TerminalSinks.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "plugin_host/FVFunc.h"
#include "app/cli/CliPlugins.h"
#include "plugin_host/KVPluginMgr.h"

namespace {

const char* kRunUsage =
    "Usage: dabrix-cli run DOC [--error-action continue|ask|abort] [--param NAME=VALUE]... [--report FILE]\n"
    "                          [--no-progress]\n"
    "\n"
    "Carries out the reorganization definition DOC with the plug-ins beside the program.\n"
    "\n"
    "  --error-action ACTION  what a failed record does: continue (report it and go on), ask (ask on the\n"
    "                         terminal; without one, stop), abort (stop). Default: the user setting\n"
    "                         \"ErrorAction\".\n"
    "  --param NAME=VALUE     the value of the SQL parameter NAME, an SQL literal inserted into the SQL text\n"
    "                         as it is (quote strings). Parameters not given are asked for when standard\n"
    "                         input is a terminal, offering the value entered last time; otherwise the run\n"
    "                         ends before reading with an error naming the parameter.\n"
    "  --report FILE          also write the operation report to FILE: RTF for \".rtf\", plain text otherwise.\n"
    "  --no-progress          no progress bar on standard error.\n"
    "\n"
    "The report goes to standard output (coloured when it is a terminal). Ctrl-C cancels the run: what was\n"
    "written is committed, everything is closed and the statistics are reported.\n"
    "Exit codes: 0 the run ended normally and no record failed, 1 it ended by an error or a record failed\n"
    "(also under --error-action continue; standard error then ends with a line counting the failed\n"
    "records), 2 DOC could not be loaded or the arguments are wrong, 3 it was cancelled.\n";

const char* kValidateUsage =
    "Usage: dabrix-cli validate DOC\n"
    "\n"
    "Tries every node of the reorganization definition DOC the way a run prepares it (connections opened,\n"
    "recordsets executed, function arguments checked) and prints the validation block of the report.\n"
    "Nothing is written to the databases. Exit codes: 0 no node has a warning or an error, 1 one has,\n"
    "2 DOC could not be loaded.\n";

// A document for reading only: a run or a validation never saves it.
TKVRef<TQXDocument> LoadDocument(const std::string& fileName) {
  if (!TestFileFormat(fileName))
    throw EKVException("Unsupported file format \"" + fileName + "\"", nullptr, "LoadQXDFromFile");
  auto document = KVMakeRef<TQXDocument>();
  if (!document->LoadFromFile(fileName))
    throw EKVException("The document \"" + fileName + "\" could not be loaded", nullptr, "LoadQXDFromFile");
  return document;
}

// The settings file, or null when it cannot be opened (a read-only home must not stop a run that was
// given everything on the command line).
TQXSettings* TrySettings() {
  try {
    return &QXSettings();
  } catch (const std::exception& e) {
    std::cerr << "dabrix-cli: the user settings cannot be used: " << CliForTerminal(KVMessageText(KVErrorText(e)))
              << "\n";
    return nullptr;
  }
}

struct TRunArguments {
  std::string Document;
  int ErrorAction = -1;  // -1: from the settings
  std::map<std::string, std::string> Parameters;
  std::string ReportFile;
  bool Progress = true;
};

int ParseErrorAction(const std::string& text) {
  if (text == "continue") return 0;
  if (text == "ask") return 1;
  if (text == "abort") return 2;
  throw TCliUsageError{"unknown error action \"" + text + "\" (continue, ask or abort)"};
}

TRunArguments ParseRunArguments(const std::vector<std::string>& args) {
  TRunArguments r;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // Both "--option VALUE" and "--option=VALUE".
    auto value = [&](const std::string& option) -> std::string {
      if (a.size() > option.size() && a.compare(0, option.size() + 1, option + "=") == 0)
        return a.substr(option.size() + 1);
      if (i + 1 >= args.size()) throw TCliUsageError{option + " needs a value"};
      return args[++i];
    };
    auto is = [&](const std::string& option) { return a == option || a.rfind(option + "=", 0) == 0; };
    if (is("--error-action")) {
      r.ErrorAction = ParseErrorAction(value("--error-action"));
    } else if (is("--param")) {
      std::string p = value("--param");
      size_t eq = p.find('=');
      if (eq == std::string::npos || eq == 0) throw TCliUsageError{"--param wants NAME=VALUE, got \"" + p + "\""};
      std::string name = p.substr(0, eq);
      if (name[0] == ':') name.erase(0, 1);  // as written in the SQL text
      for (const auto& [given, v] : r.Parameters)
        if (KVSameText(given, name)) throw TCliUsageError{"the parameter \"" + name + "\" is given twice"};
      r.Parameters[name] = p.substr(eq + 1);
    } else if (is("--report")) {
      r.ReportFile = value("--report");
      if (r.ReportFile.empty()) throw TCliUsageError{"--report needs a file name"};
    } else if (a == "--no-progress") {
      r.Progress = false;
    } else if (a.size() > 1 && a[0] == '-') {
      throw TCliUsageError{"unknown option \"" + a + "\""};
    } else if (r.Document.empty()) {
      r.Document = a;
    } else {
      throw TCliUsageError{"expected exactly one DOC"};
    }
  }
  if (r.Document.empty()) throw TCliUsageError{"expected exactly one DOC"};
  return r;
}

void PrintRunError(const std::exception& e) {
  std::cout.flush();
  std::cerr << CliForTerminal(KVDetailedErrorText(e)) << "\n";
}

int RunDocument(const std::vector<std::string>& args) {
  TRunArguments a = ParseRunArguments(args);
  TCliPlugins plugins;
  TKVRef<TQXDocument> document = LoadDocument(a.Document);  // errors: exit code 2 through main

  TQXSettings* settings = TrySettings();
  int errorAction = a.ErrorAction;
  if (errorAction < 0) errorAction = settings ? settings->ErrorAction() : 1;

  const bool stdinTerminal = QXIsTerminal(STDIN_FILENO), stderrTerminal = QXIsTerminal(STDERR_FILENO);
  TQXInterruptGuard interrupt;
  TQXTerminalProgress progress(stderr, a.Progress && stderrTerminal, &TQXInterruptGuard::CancelRequest());
  TQXReport kept;
  TQXTerminalReport report(stdout, QXIsTerminal(STDOUT_FILENO), &progress, a.ReportFile.empty() ? nullptr : &kept);
  TQXTerminalAskUser ask(stdinTerminal && stderrTerminal, &progress);
  TQXTerminalParameterPrompt prompt(a.Parameters, stdinTerminal && stderrTerminal, settings, &progress);

  auto executer = KVMakeRef<TQXExecuter>(&document->Tree());
  executer->SetErrorAction(errorAction);
  executer->SetReportSink(&report);
  executer->SetAskUser(&ask);
  executer->SetParameterPrompt(&prompt);

  int code = kExitOk;
  try {
    executer->RunOnThread(&progress);
    switch (executer->Result()) {
      case TQXRunResult::Cancelled:
      case TQXRunResult::ParametersCancelled: code = kExitCancelled; break;
      case TQXRunResult::Failed: code = kExitFailed; break;
      default: code = kExitOk;
    }
  } catch (const std::exception& e) {
    progress.Clear();
    PrintRunError(e);
    code = kExitFailed;
  }
  progress.Clear();
  for (const auto& name : prompt.UnusedNames())
    std::cerr << "dabrix-cli run: the definition has no SQL parameter \"" << name << "\"; its value was not used\n";

  if (!a.ReportFile.empty()) {
    try {
      QXSaveReport(kept, a.ReportFile);
    } catch (const std::exception& e) {
      CliPrintError(e);
      if (code == kExitOk) code = kExitFailed;
    }
  }
  std::cout.flush();
  // A script or scheduler must be able to tell a clean run from one that went on past failed records.
  if (int64_t failed = executer->RecordErrors(); failed > 0) {
    std::cerr << "dabrix-cli run: " << failed << (failed == 1 ? " record" : " records") << " failed\n";
    if (code == kExitOk) code = kExitFailed;
  }
  return code;
}

int ValidateDocument(const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) throw TCliUsageError{"expected exactly one DOC"};
  TCliPlugins plugins;
  TKVRef<TQXDocument> document = LoadDocument(args[0]);
  TQXReport block;
  TKVSeverity worst = QXValidateTree(document->Tree(), block);
  std::string text = QXIsTerminal(STDOUT_FILENO) ? QXReportAnsiText(block) : QXReportPlainText(block);
  std::cout << text;
  std::cout.flush();
  if (!std::cout) return kExitFailed;
  return worst >= TKVSeverity::Warning ? kExitFailed : kExitOk;
}

}  // namespace

const TCliCommand kCliValidate = {"validate", "try every node of a definition and print the validation",
                                  kValidateUsage, ValidateDocument};
const TCliCommand kCliRun = {"run", "carry out a reorganization definition", kRunUsage, RunDocument};
