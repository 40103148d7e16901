// functions / call: the field value functions the plug-in modules beside dabrix-cli register, loaded
// exactly as the program loads them at start-up.
#include <iostream>

#include "app/cli/CliCommands.h"
#include "definition/QXDTree.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "plugin_host/FVFunc.h"
#include "app/cli/CliPlugins.h"
#include "plugin_host/KVPluginMgr.h"

namespace {

// A default as the call command takes it back: switches as true/false, texts in double quotes.
std::string DefaultText(const TKVVariant& v) {
  if (v.IsNull()) return "NULL";
  if (v.IsEmpty()) return "(empty)";
  if (v.VarType() == varBoolean) return v.AsBoolean() ? "true" : "false";
  if (v.IsString()) {
    // Control characters (separator sets hold tabs and line ends) are shown as escapes, one default a line.
    std::string text = "\"";
    for (char c : v.AsString()) {
      if (c == '\t') text += "\\t";
      else if (c == '\n') text += "\\n";
      else if (c == '\r') text += "\\r";
      else if (c == '\\') text += "\\\\";
      else text += c;
    }
    return text + "\"";
  }
  return v.AsString();
}

int RunFunctions(const std::vector<std::string>& args) {
  if (!args.empty()) throw TCliUsageError{"functions takes no arguments"};
  TCliPlugins plugins;
  for (const auto& f : FVRegisteredFunctions()) {
    std::cout << f->Id.ToString() << "  " << f->Name << "\n";
    if (!f->Description.empty()) std::cout << "    " << f->Description << "\n";
    for (const auto& p : f->Parameters) std::cout << "    " << p.Name << " = " << DefaultText(p.Default) << "\n";
  }
  return kExitOk;
}

// The command-line text as a value of the argument's created type.
TKVVariant ArgumentValue(const std::string& text, uint16_t createdType) {
  switch (createdType) {
    case varEmpty:
    case varNull:
    case varString: return TKVVariant::FromString(text);
    case varOleStr: return TKVVariant::FromString(text).ChangeType(varOleStr);
    case varBoolean:
      if (KVSameText(text, "true")) return TKVVariant::FromBoolean(true);
      if (KVSameText(text, "false")) return TKVVariant::FromBoolean(false);
      throw TCliUsageError{"\"" + text + "\" is no switch value (true or false)"};
    default: return TKVVariant::FromText(createdType, text);
  }
}

int RunCall(const std::vector<std::string>& args) {
  if (args.size() < 2) throw TCliUsageError{"call needs a FUNCTION and a VALUE"};
  TCliPlugins plugins;
  std::shared_ptr<const TFVFunction> function = FVFindFunctionByText(args[0]);
  if (!function) throw TCliUsageError{"No loaded plugin has a function \"" + args[0] + "\""};

  auto node = KVMakeRef<TQXDFieldFuncData>();
  node->SetFunctionId(function->Id);
  size_t given = args.size() - 2;
  if (given > node->ArgumentCount())
    throw TCliUsageError{"\"" + function->Name + "\" takes " + std::to_string(node->ArgumentCount()) +
                         " arguments, not " + std::to_string(given)};
  for (size_t i = 0; i < given; ++i)
    node->SetArgumentValue(i, ArgumentValue(args[2 + i], TFVFunction::CreatedType(*node, i)));

  TQXValidationResult check = node->ValidateFunction();
  if (!check.Message.empty()) {
    std::cout.flush();
    const char* caption = KVSeverityCaption(check.Severity);
    std::cerr << (*caption ? caption : "Message") << ": " << CliForTerminal(KVMessageText(check.Message)) << "\n";
  }

  TKVVariant value = args[1] == "--null" ? TKVVariant::Null() : TKVVariant::FromString(args[1]);
  try {
    value = node->CallFunction(value);
  } catch (const std::exception& e) {
    CliPrintError(e);
    return kExitFailed;
  }
  std::cout << (value.IsNull() ? std::string("NULL") : value.AsString()) << "\n";
  return kExitOk;
}

}  // namespace

const TCliCommand kCliFunctions = {
    "functions", "List the field value functions of the loaded plug-ins",
    "Usage: dabrix-cli functions\n"
    "\n"
    "Lists the field value functions the plug-in modules (*.qxp) beside dabrix-cli register, in registry\n"
    "order (by id): id and name, the description, and each parameter with its default.\n",
    RunFunctions};

const TCliCommand kCliCall = {
    "call", "Run one field value function on a value",
    "Usage: dabrix-cli call FUNCTION VALUE [ARG ...]\n"
    "\n"
    "Runs the field value function FUNCTION (its name, letter case ignored, or its id) on the text VALUE\n"
    "(--null passes NULL) and prints the result, or NULL. The arguments start with the function's defaults;\n"
    "the ARGs given replace the first ones, converted to each argument's type (switches: true or false).\n"
    "A message of the function's argument check is printed to standard error first.\n"
    "\n"
    "Exit codes: 0 done, 1 the function failed on the value, 2 wrong arguments.\n",
    RunCall};
