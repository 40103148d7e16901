#pragma once
// What the definition needs to know about field value functions: a function found by its id gives its
// name, description and parameters. The plug-in host implements the lookup and installs it once at
// start-up; until then (and in every headless tool that loads no plug-ins) there is none, and function
// nodes behave as nodes whose plug-in is not loaded.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "foundation/KVExceptions.h"
#include "foundation/KVGuid.h"
#include "foundation/KVVariant.h"

class TQXDFieldFuncData;

// Asked during a long function call whether the run making it has been cancelled (on the run's thread).
class IQXCancelCheck {
 public:
  virtual ~IQXCancelCheck() = default;
  virtual bool CancelRequested() const = 0;
};

// A function call that stopped early because the run making it was cancelled: the run ends as cancelled.
class EQXCallCancelled : public EAbort {
 public:
  EQXCallCancelled() : EAbort("Function call cancelled") {}
  KV_EXCEPTION_CLASS(EQXCallCancelled, EAbort)
};

// One parameter a function describes; a new argument starts with the default value.
struct TQXFunctionParameter {
  std::string Name;
  std::string Description;
  TKVVariant Default;
};

// What a check says: a message (empty: nothing to say) and its severity.
struct TQXValidationResult {
  std::string Message;
  TKVSeverity Severity = TKVSeverity::None;
};

// A registered function. The plug-in host derives from it to keep its own function object behind the
// description and to implement the call.
class TQXFunctionInfo {
 public:
  virtual ~TQXFunctionInfo() = default;

  TGUID Id;
  std::string Name;
  std::string Description;
  std::vector<TQXFunctionParameter> Parameters;

  // Computes the function's value from `value` with the node's arguments; a call that `cancel` (may be
  // null) stops early raises EQXCallCancelled. Without a host behind the description there is nothing to
  // call.
  virtual TKVVariant Call(TQXDFieldFuncData& /*node*/, const TKVVariant& /*value*/,
                          const IQXCancelCheck* /*cancel*/) const {
    throw EKVException("The function \"" + Name + "\" has no implementation", nullptr, "TQXFunctionInfo.Call");
  }
  // Lets the function check the node's arguments before the selection leaves the node; false keeps it.
  virtual bool CheckArguments(TQXDFieldFuncData& /*node*/) const { return true; }
  // The function's check of the node's arguments, asked by validation. Without a host behind the
  // description there is no check to ask, and nothing to say.
  virtual TQXValidationResult Validate(TQXDFieldFuncData& /*node*/) const { return {}; }
};

using TQXFunctionRef = std::shared_ptr<const TQXFunctionInfo>;

class IQXFunctionLookup {
 public:
  virtual ~IQXFunctionLookup() = default;
  // The function registered under `id`, or null when no loaded plug-in supplies it.
  virtual TQXFunctionRef FindFunction(const TGUID& id) const = 0;
  // Every registered function, in the order a function list shows them.
  virtual std::vector<TQXFunctionRef> Functions() const { return {}; }
};

namespace qxd_detail {
inline std::atomic<IQXFunctionLookup*> g_FunctionLookup{nullptr};
}

// The process-wide lookup; null until a host installs one.
inline IQXFunctionLookup* QXFunctionLookup() { return qxd_detail::g_FunctionLookup.load(); }
// Installs a lookup (null removes it) and returns the previous one. The caller keeps the object alive for
// as long as it is installed.
inline IQXFunctionLookup* QXSetFunctionLookup(IQXFunctionLookup* lookup) {
  return qxd_detail::g_FunctionLookup.exchange(lookup);
}
// Finds a function through the installed lookup; null when there is no lookup or no such function.
inline TQXFunctionRef QXFindFunction(const TGUID& id) {
  IQXFunctionLookup* lookup = QXFunctionLookup();
  return lookup ? lookup->FindFunction(id) : nullptr;
}
