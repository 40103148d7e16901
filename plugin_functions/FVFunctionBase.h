#pragma once
// The building blocks of the module's objects: reference counting behind the contract's IUnknown, the
// parameter description, the function base class with its error traps, and the value and argument
// helpers every function uses.
//
// Texts (values and arguments) are handled as UTF-16, the form a BSTR carries, so that a value the module
// reads and writes back is never re-encoded on the way; "character" below is one UTF-16 code unit. The
// program's 8-bit strings (UTF-8) are widened when read.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/KVExceptions.h"
#include "foundation/KVVariant.h"
#include "plugin_api/PluginAPI.h"

// Base of every reference-counted object of the module. The count is thread-safe; the object deletes
// itself when the last reference goes. Subclasses list their interfaces in FindInterface and pull in
// the three IUnknown methods with PLUGIN_IUNKNOWN_METHODS.
class TPluginRefLifeObject {
 public:
  TPluginRefLifeObject() = default;
  TPluginRefLifeObject(const TPluginRefLifeObject&) = delete;
  TPluginRefLifeObject& operator=(const TPluginRefLifeObject&) = delete;
  virtual ~TPluginRefLifeObject() = default;

  uint32_t RefAdd() noexcept { return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t RefRelease() noexcept;
  // S_OK with a new reference, or E_NOINTERFACE with *Obj null (E_POINTER when Obj is null).
  HRESULT RefQueryInterface(const GUID& iid, void** obj) noexcept;

 protected:
  // The interface pointer for `iid` (IUnknown included), or null when not supported.
  virtual void* FindInterface(const GUID& iid) noexcept = 0;

 private:
  std::atomic<uint32_t> m_RefCount{0};
};

#define PLUGIN_IUNKNOWN_METHODS                                                                                 \
  HRESULT QueryInterface(const GUID& Iid, void** Obj) noexcept override { return RefQueryInterface(Iid, Obj); } \
  uint32_t AddRef() noexcept override { return RefAdd(); }                                                      \
  uint32_t Release() noexcept override { return RefRelease(); }

// Validation outcomes other than errors. Validate and ApplyConfirmation turn an EWarning into severity 3
// and an EConfirm into a question (severity 2); any other program error becomes severity 4.
class EWarning : public EKVException {
 public:
  EWarning(std::string message, std::string routineName)
      : EKVException(std::move(message), nullptr, std::move(routineName), TKVSeverity::Warning) {}
  KV_EXCEPTION_CLASS(EWarning, EKVException)
};

class EConfirm : public EKVException {
 public:
  EConfirm(std::string message, std::string routineName)
      : EKVException(std::move(message), nullptr, std::move(routineName), TKVSeverity::Confirmation) {}
  KV_EXCEPTION_CLASS(EConfirm, EKVException)
};

// A call that stopped because the host's run was cancelled (IKVQXCancelCheck on Args).
class EFVCancelled : public EKVException {
 public:
  explicit EFVCancelled(std::string routineName)
      : EKVException("Function call cancelled", nullptr, std::move(routineName)) {}
  KV_EXCEPTION_CLASS(EFVCancelled, EKVException)
};

// Raises EFVCancelled when the host's run behind `cancel` has been cancelled; nothing without one.
void FVCheckCancel(IKVQXCancelCheck* cancel, const char* routineName);

// Runs `checks` and turns what it raises into the message (string buffer protocol) and *Severity of
// Validate / ApplyConfirmation. Never throws.
template <class F>
int32_t FVRunValidation(F&& checks, char* Buffer, int32_t BufSize, int32_t* Severity) noexcept;

// One parameter of a function: label, hint text and default value. Immutable after creation; shared by
// the function object and every host argument that holds it.
class TFVFParamDesc : public TPluginRefLifeObject, public IKVQXFVFParameter {
 public:
  // `defaultValue` is copied.
  TFVFParamDesc(std::string name, std::string description, const VARIANT& defaultValue);
  PLUGIN_IUNKNOWN_METHODS
  int32_t GetName(char* Buffer, int32_t BufSize) noexcept override;
  int32_t GetDescription(char* Buffer, int32_t BufSize) noexcept override;
  void GetDefaultValue(VARIANT* Result) noexcept override;

 protected:
  void* FindInterface(const GUID& iid) noexcept override;

 private:
  ~TFVFParamDesc() override = default;
  const std::string m_Name;
  const std::string m_Description;
  TPluginVariant m_Default;
};

// One field value function. Subclasses fix id, texts and parameters in their constructor and implement
// Call (and Check when the function has checks). The contract methods wrap them in the error traps:
// an error inside Call is reported to the host through the Args object and leaves the value as it was;
// Check's outcome becomes Validate's message and severity.
class TFVFunctionBase : public TPluginRefLifeObject, public IKVEnumObjects, public IKVQXFVFunction {
 public:
  PLUGIN_IUNKNOWN_METHODS
  // IKVEnumObjects: the parameter descriptions, in parameter order.
  void EnumObjects(int32_t Kind, IUnknown* Receiver, int32_t Data) noexcept override;
  // IKVQXFVFunction
  void GetId(GUID* Id) noexcept override;
  int32_t GetName(char* Buffer, int32_t BufSize) noexcept override;
  int32_t GetDescription(char* Buffer, int32_t BufSize) noexcept override;
  void CallFunction(VARIANT* Value, IUnknown* Args) noexcept override;
  int32_t Validate(IUnknown* Args, char* Buffer, int32_t BufSize, int32_t* Severity) noexcept override;

  IUnknown* Unknown() noexcept { return static_cast<IKVQXFVFunction*>(this); }
  const std::string& Name() const { return m_Name; }
  size_t ParameterCount() const { return m_Parameters.size(); }

 protected:
  // `id` in braced text form.
  TFVFunctionBase(const char* id, std::string name, std::string description);
  ~TFVFunctionBase() override;
  void* FindInterface(const GUID& iid) noexcept override;

  void AddParameter(std::string name, std::string description, const VARIANT& defaultValue);
  void AddTextParameter(std::string name, std::string description, const std::u16string& defaultValue);
  void AddIntParameter(std::string name, std::string description, int32_t defaultValue);
  void AddBoolParameter(std::string name, std::string description, bool defaultValue);

  // Transforms `value` in place; may raise. `value` is never null here.
  virtual void Call(VARIANT& value, IUnknown* args) const = 0;
  // Raises EWarning / EConfirm / an error for unacceptable arguments. The default accepts everything.
  virtual void Check(IUnknown* args) const;
  // Functions with checks report a missing argument list as an error before running them.
  void RequireArgs(IUnknown* args) const;

 private:
  GUID m_Id{};
  const std::string m_Name;
  const std::string m_Description;
  std::vector<TFVFParamDesc*> m_Parameters;  // one reference each
};

// --- Values ------------------------------------------------------------------------------------------------
// VT_EMPTY or VT_NULL after masking.
bool FVIsEmptyOrNull(const VARIANT& v);
// The value as text: the program's variant-to-text conversion; Empty and NULL give "". Raises for types
// the contract does not know.
std::u16string FVValueText(const VARIANT& v);
// Clears `v` and stores `text` as VT_BSTR; raises when the string cannot be allocated.
void FVSetText(VARIANT& v, const std::u16string& text);
// Non-empty text is stored, empty text makes the value NULL.
void FVSetTextOrNull(VARIANT& v, const std::u16string& text);

// --- Arguments (raising; see plugin_api/PluginArgs.h) -------------------------------------------------------
// Text of argument `index`; NULL gives "".
std::u16string FVArgText(IUnknown* args, int index);
int32_t FVArgInt(IUnknown* args, int index);
bool FVArgBool(IUnknown* args, int index);
void FVSetArgText(IUnknown* args, int index, const std::u16string& text);

// ------------------------------------------------------------------------------------------------------------
template <class F>
int32_t FVRunValidation(F&& checks, char* Buffer, int32_t BufSize, int32_t* Severity) noexcept {
  std::string message;
  int32_t severity = kSeverityNone;
  try {
    try {
      checks();
    } catch (const EWarning& e) {
      message = e.Message();
      severity = kSeverityWarning;
    } catch (const EConfirm& e) {
      message = e.Message();
      severity = kSeverityConfirmation;
    } catch (const Exception& e) {
      message = e.Message();
      severity = kSeverityError;
    } catch (...) {
      message = "HandleValidateException: Unsupported Exception Class";
      severity = kSeverityError;
    }
  } catch (...) {
    // Copying a message may itself run out of memory; the answer is then an error without text.
    message.clear();
    severity = kSeverityError;
  }
  if (Severity) *Severity = severity;
  return PluginCopyToBuffer(message, Buffer, BufSize);
}
