// A complete field value function module built from plugin_api/ alone: one function, "Example Prefix",
// which puts a prefix before text values. It shows every part a module needs: the export, the root
// enumerator, a function object with its parameters, validation with a question the user may accept, and
// the way an error leaves CallFunction.
//
// Parameters: 0 "Prefix" (text, default "Ex: "), 1 "Upper Case" (switch, default false: when on, ASCII
// letters of the result are upper-cased). Text values get the prefix; Empty and NULL stay as they are;
// any other value is an error of the record ("Example Prefix works on text values only").
// Validation: an empty prefix is a warning; a prefix longer than 8 characters is a question whether to
// shorten it, and declining it is an error.
#include <atomic>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "plugin_api/PluginAPI.h"

namespace {

// {78C8017B-2806-4B0C-931C-60E2740F1470}
constexpr GUID kExamplePrefixId = {0x78C8017B, 0x2806, 0x4B0C, {0x93, 0x1C, 0x60, 0xE2, 0x74, 0x0F, 0x14, 0x70}};
constexpr size_t kMaxPrefix = 8;

// Reference counting for every object here; Find names the interfaces an object answers.
class TRefObject {
 public:
  virtual ~TRefObject() = default;

 protected:
  uint32_t DoAddRef() noexcept { return m_Ref.fetch_add(1) + 1; }
  uint32_t DoRelease() noexcept {
    uint32_t n = m_Ref.fetch_sub(1) - 1;
    if (n == 0) delete this;
    return n;
  }
  HRESULT DoQuery(const GUID& iid, void** obj) noexcept {
    if (!obj) return E_POINTER;
    *obj = Find(iid);
    if (!*obj) return E_NOINTERFACE;
    DoAddRef();
    return S_OK;
  }
  virtual void* Find(const GUID& iid) noexcept = 0;

 private:
  std::atomic<uint32_t> m_Ref{0};
};

#define EXAMPLE_IUNKNOWN                                                                         \
  HRESULT QueryInterface(const GUID& iid, void** obj) noexcept override { return DoQuery(iid, obj); } \
  uint32_t AddRef() noexcept override { return DoAddRef(); }                                     \
  uint32_t Release() noexcept override { return DoRelease(); }

// What a check raises; `severity` is what Validate reports for it.
struct TCheck : std::runtime_error {
  TCheck(const std::string& text, int32_t s) : std::runtime_error(text), severity(s) {}
  int32_t severity;
};

class TParameter : public TRefObject, public IKVQXFVFParameter {
 public:
  TParameter(const char* name, const char* description, bool isSwitch)
      : m_Name(name), m_Description(description), m_Switch(isSwitch) {}
  EXAMPLE_IUNKNOWN
  int32_t GetName(char* b, int32_t n) noexcept override { return PluginCopyToBuffer(m_Name, b, n); }
  int32_t GetDescription(char* b, int32_t n) noexcept override { return PluginCopyToBuffer(m_Description, b, n); }
  void GetDefaultValue(VARIANT* result) noexcept override {
    if (!result) return;
    PluginVariantInit(result);
    if (m_Switch)
      PluginVariantSetBool(result, false);
    else
      PluginVariantSetBstrUtf8(result, "Ex: ");
  }

 protected:
  void* Find(const GUID& iid) noexcept override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVQXFVFParameter::IID))
      return static_cast<IKVQXFVFParameter*>(this);
    return nullptr;
  }

 private:
  std::string m_Name, m_Description;
  bool m_Switch;
};

// Reads a text argument (either string kind); anything else is an error.
std::string TextArg(IUnknown* args, int32_t index) {
  TPluginVariant v;
  HRESULT hr = PluginGetArgValue(args, index, v.get());
  if (PluginFailed(hr)) throw TCheck(PluginArgAccessMessage(IKVQXGetArgValue::IID, index) + "error " + std::to_string(hr), 4);
  if (v.vt() == VT_BSTR) return PluginBstrToUtf8(v.get()->bstrVal);
  if (v.vt() == VT_KVSTRING) return std::string(v.get()->kvstrVal, PluginKVStrLen(v.get()->kvstrVal));
  if (PluginVariantIsEmptyOrNull(v.get())) return std::string();
  throw TCheck("Argument " + std::to_string(index) + " is no text", 4);
}

bool SwitchArg(IUnknown* args, int32_t index) {
  TPluginVariant v;
  HRESULT hr = PluginGetArgValue(args, index, v.get());
  if (PluginFailed(hr)) throw TCheck(PluginArgAccessMessage(IKVQXGetArgValue::IID, index) + "error " + std::to_string(hr), 4);
  if (v.vt() == VT_BOOL) return v.get()->boolVal != VARIANT_FALSE;
  if (v.vt() == VT_I4) return v.get()->lVal != 0;
  return false;
}

class TExamplePrefix : public TRefObject, public IKVQXFVFunction, public IKVEnumObjects, public IKVQXFVFConfirm {
 public:
  TExamplePrefix() {
    m_Params[0] = new TParameter("Prefix", "Text put before each value", false);
    m_Params[1] = new TParameter("Upper Case", "", true);
    for (auto* p : m_Params) p->AddRef();
  }
  ~TExamplePrefix() override {
    for (auto* p : m_Params) p->Release();
  }
  EXAMPLE_IUNKNOWN

  void GetId(GUID* id) noexcept override {
    if (id) *id = kExamplePrefixId;
  }
  int32_t GetName(char* b, int32_t n) noexcept override { return PluginCopyToBuffer("Example Prefix", 14, b, n); }
  int32_t GetDescription(char* b, int32_t n) noexcept override {
    static const char text[] = "Puts a prefix before text values";
    return PluginCopyToBuffer(text, sizeof text - 1, b, n);
  }

  void CallFunction(VARIANT* value, IUnknown* args) noexcept override {
    try {
      if (!value || PluginVariantIsEmptyOrNull(value)) return;
      std::string text;
      if (value->vt == VT_BSTR)
        text = PluginBstrToUtf8(value->bstrVal);
      else if (value->vt == VT_KVSTRING)
        text.assign(value->kvstrVal, PluginKVStrLen(value->kvstrVal));
      else
        throw TCheck("Example Prefix works on text values only", 4);
      std::string result = TextArg(args, 0) + text;
      if (SwitchArg(args, 1))
        for (char& c : result)
          if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      PluginVariantSetBstrUtf8(value, result);
    } catch (const std::exception& e) {
      PluginReportError(args, e.what(), "EExampleError", "TExamplePrefix.CallFunction");
    } catch (...) {
      PluginReportError(args, "Unexpected failure", "", "TExamplePrefix.CallFunction");
    }
  }

  int32_t Validate(IUnknown* args, char* b, int32_t n, int32_t* severity) noexcept override {
    return Report(b, n, severity, [&] { Check(args); });
  }

  int32_t ConfirmStyle() noexcept override { return 4; }  // Yes / No
  int32_t ApplyConfirmation(int32_t answer, IUnknown* args, char* b, int32_t n, int32_t* severity) noexcept override {
    return Report(b, n, severity, [&] {
      if (answer != kDialogResultYes)
        throw TCheck("The prefix must not be longer than " + std::to_string(kMaxPrefix) + " characters", 4);
      TPluginVariant v;
      PluginVariantSetBstrUtf8(v.get(), TextArg(args, 0).substr(0, kMaxPrefix));
      PluginSetArgValue(args, 0, v.get());
      Check(args);
    });
  }

  void EnumObjects(int32_t kind, IUnknown* receiver, int32_t data) noexcept override {
    TPluginPtr<IKVEnumCallback> callback = PluginQuery<IKVEnumCallback>(kind == 0 ? receiver : nullptr);
    if (!callback) return;
    for (auto* p : m_Params) callback->EnumObject(static_cast<IKVQXFVFunction*>(this), kind, p, data);
  }

 protected:
  void* Find(const GUID& iid) noexcept override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVQXFVFunction::IID))
      return static_cast<IKVQXFVFunction*>(this);
    if (PluginSameGuid(iid, IKVEnumObjects::IID)) return static_cast<IKVEnumObjects*>(this);
    if (PluginSameGuid(iid, IKVQXFVFConfirm::IID)) return static_cast<IKVQXFVFConfirm*>(this);
    return nullptr;
  }

 private:
  static void Check(IUnknown* args) {
    if (!args) throw TCheck("No Arguments passed for validation", 4);
    std::string prefix = TextArg(args, 0);
    if (prefix.empty()) throw TCheck("The prefix is empty", 3);
    if (prefix.size() > kMaxPrefix)
      throw TCheck("The prefix is longer than " + std::to_string(kMaxPrefix) + " characters. Shorten it?", 2);
  }

  // Runs the checks and turns their outcome into message and severity.
  template <class F>
  static int32_t Report(char* b, int32_t n, int32_t* severity, F&& checks) noexcept {
    std::string message;
    int32_t s = 0;
    try {
      checks();
    } catch (const TCheck& e) {
      message = e.what();
      s = e.severity;
    } catch (...) {
      message = "Unexpected failure";
      s = 4;
    }
    if (severity) *severity = s;
    return PluginCopyToBuffer(message, b, n);
  }

  TParameter* m_Params[2];
};

class TRoot : public TRefObject, public IKVEnumObjects {
 public:
  EXAMPLE_IUNKNOWN
  void EnumObjects(int32_t kind, IUnknown* receiver, int32_t data) noexcept override {
    TPluginPtr<IKVEnumCallback> callback = PluginQuery<IKVEnumCallback>(kind == 0 ? receiver : nullptr);
    if (!callback) return;
    IKVQXFVFunction* function = nullptr;
    try {
      function = new TExamplePrefix;
    } catch (...) {
      return;
    }
    function->AddRef();
    callback->EnumObject(this, kind, function, data);
    function->Release();  // the receiver took its own reference if it keeps the function
  }

 protected:
  void* Find(const GUID& iid) noexcept override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVEnumObjects::IID))
      return static_cast<IKVEnumObjects*>(this);
    return nullptr;
  }
};

}  // namespace

PLUGIN_EXPORT HRESULT PluginCreateObject(const GUID* classId, const GUID* iid, void** obj) {
  if (!classId || !PluginSameGuid(*classId, FVFEnumeratorClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  if (!iid || !obj) return E_POINTER;
  TRoot* root = nullptr;
  try {
    root = new TRoot;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  root->AddRef();
  HRESULT hr = root->QueryInterface(*iid, obj);
  root->Release();  // on failure this frees the root again
  return hr;
}
