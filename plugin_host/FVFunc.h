#pragma once
// The function registry and the binding of field-function nodes to plug-in functions.
//
// RebuildFunctionRegistry asks every loaded module (plugin_host/KVPluginMgr.h) for its functions and keeps
// them sorted by id (16-byte comparison of the ids as stored); the first module in discovery order wins
// a duplicate id. It installs the registry as the definition's function lookup (QXSetFunctionLookup), so
// TQXDFieldFuncData::SetFunctionId finds the functions and its CallFunction / CanLeave reach
// TFVFunction::Call / CheckArguments.
//
// During a call the plug-in sees the node's arguments through an argument list object (IKVGetIntfByIndex,
// one item per argument answering IKVQXGetArgValue and IKVQXSetArgValue; a plug-in must not keep them
// beyond the call). A value a plug-in stores through IKVQXSetArgValue goes through
// TQXDFieldFuncData::SetArgumentValue, which marks the document modified. The list given to CallFunction
// also answers IKVQXErrorReport: an error the plug-in reports there is raised after the call as
// EFVPluginError with the plug-in's message and routine name. Given a cancel check, it answers
// IKVQXCancelCheck too; an error reported after the plug-in was told of the cancel is raised as
// EQXCallCancelled instead.
#include <memory>
#include <string>
#include <vector>

#include "definition/QXDFunctions.h"
#include "definition/QXDTree.h"
#include "foundation/KVExceptions.h"
#include "plugin_api/PluginAPI.h"
#include "plugin_host/KVPluginMgr.h"

// An error a plug-in reported from CallFunction; it carries the plug-in's exception class name, so the
// class-name test (KVIsExceptionClass) recognises it as that class.
class EFVPluginError : public EKVException {
 public:
  EFVPluginError(std::string message, std::string pluginClassName, std::string functionName,
                 std::string routineName);
  std::string ClassName() const override;
  void ClassChain(std::vector<std::string>& chain) const override;
  const std::string& PluginClassName() const { return m_PluginClassName; }

 private:
  std::string m_PluginClassName;
};

TGUID FVToGuid(const GUID& g);
GUID FVFromGuid(const TGUID& g);

// A registered plug-in function. Name, Description and Parameters (with their defaults) are read from the
// plug-in when the function is registered; a plug-in's function objects never change afterwards. Keeps
// its module loaded.
class TFVFunction : public TQXFunctionInfo {
 public:
  // `function` must not be null (EKVException "AFVFunction <> nil").
  TFVFunction(IKVQXFVFunction* function, TKVRef<TKVPluginModule> module);
  ~TFVFunction() override;

  IKVQXFVFunction* PluginFunction() const { return m_Function.get(); }
  const TKVRef<TKVPluginModule>& Module() const { return m_Module; }
  // Live from the plug-in (string buffer protocol).
  std::string GetName() const;
  std::string GetDescription() const;
  // The type an argument was created with (its parameter's default type), which editors convert new
  // values back to; beyond the parameters (restored from a document) the stored value's type.
  static uint16_t CreatedType(const TQXDFieldFuncData& node, size_t index);

  // The plug-in's CallFunction on a copy of `value` with the node's arguments; a reported error is raised
  // as EFVPluginError, or as EQXCallCancelled when the plug-in stopped because `cancel` said so.
  TKVVariant Call(TQXDFieldFuncData& node, const TKVVariant& value, const IQXCancelCheck* cancel) const override;
  // CanLeave: validation, questions through KVMessageDialog and ApplyConfirmation; false keeps the
  // selection on the node. Never throws.
  bool CheckArguments(TQXDFieldFuncData& node) const override;
  // The plug-in's Validate, severity clamped to 0..4.
  TQXValidationResult Validate(TQXDFieldFuncData& node) const override;

 private:
  TPluginPtr<IKVQXFVFunction> m_Function;
  std::vector<TPluginPtr<IKVQXFVFParameter>> m_Parameters;
  TKVRef<TKVPluginModule> m_Module;
};

// The buttons of a confirmation question by the style a function names (the Windows button-set values:
// 1 OK/Cancel, 3 Yes/No/Cancel, 4 Yes/No; anything else OK only).
TKVMsgButtons FVConfirmButtons(int32_t confirmStyle);

// Empties the registry and fills it from all loaded modules in list order; a module whose
// CreateObject fails, and objects that are no functions, are skipped silently. Installs the registry as
// the definition's function lookup.
void RebuildFunctionRegistry();
// Empties the registry and removes it as the function lookup.
void FVClearFunctionRegistry();
// Search of the sorted registry; null when no loaded plug-in supplies the id.
std::shared_ptr<const TFVFunction> FindFunction(const TGUID& id);
// The registry in its order (by id).
std::vector<std::shared_ptr<const TFVFunction>> FVRegisteredFunctions();
// A function by its id text (braced GUID) or its name, letter case ignored; null when none.
std::shared_ptr<const TFVFunction> FVFindFunctionByText(const std::string& idOrName);

// Orders ids by their 16 bytes as stored (<0, 0, >0).
int KVCompareByGuid(const TGUID& a, const TGUID& b);

// The argument list object handed to a plug-in as Args (one reference for the caller). `errors` makes it
// answer IKVQXErrorReport as well (used for CallFunction), a `cancel` check IKVQXCancelCheck.
TPluginPtr<IUnknown> FVMakeArgumentList(TQXDFieldFuncData& node, bool errors,
                                        const IQXCancelCheck* cancel = nullptr);
// Whether the plug-in asked an argument list's IKVQXCancelCheck and was told to stop.
bool FVCancelAnswered(IUnknown* argumentList);
// What an argument list collected through IKVQXErrorReport; false when nothing was reported.
bool FVTakeReportedError(IUnknown* argumentList, std::string& message, std::string& className,
                         std::string& routineName);
