#pragma once
// A minimal host built from plugin_api/ alone, the way a third party would write one: it loads
// DabrixPlugin.qxp with dlopen, enumerates its functions and calls them with its own argument objects.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin_api/PluginAPI.h"

namespace plugintest {

// Reference counting shared by the test's COM objects; they delete themselves at zero.
template <class... Interfaces>
class TTestObject : public Interfaces... {
 public:
  virtual ~TTestObject() = default;
  uint32_t AddRef() noexcept override { return ++m_Refs; }
  uint32_t Release() noexcept override {
    uint32_t n = --m_Refs;
    if (n == 0) delete this;
    return n;
  }
  HRESULT QueryInterface(const GUID& iid, void** obj) noexcept override {
    if (!obj) return E_POINTER;
    *obj = Find(iid);
    if (!*obj) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

 protected:
  virtual void* Find(const GUID& iid) = 0;

 private:
  std::atomic<uint32_t> m_Refs{0};
};

inline std::string ToUtf8(const VARIANT& v) {
  if (v.vt == VT_BSTR) return PluginBstrToUtf8(v.bstrVal);
  if (v.vt == VT_KVSTRING) return std::string(v.kvstrVal, PluginKVStrLen(v.kvstrVal));
  return "<not a string>";
}

// One argument: holds a value, answers GetValue and SetValue, counts the changes.
class TTestArg : public TTestObject<IKVQXGetArgValue, IKVQXSetArgValue> {
 public:
  explicit TTestArg(const VARIANT& v) { PluginVariantCopy(m_Value.get(), &v); }
  void GetValue(VARIANT* Result) noexcept override {
    if (!Result) return;
    PluginVariantInit(Result);
    PluginVariantCopy(Result, m_Value.get());
  }
  void SetValue(const VARIANT* Value) noexcept override {
    if (!Value) return;
    PluginVariantCopy(m_Value.get(), Value);
    ++Changes;
  }
  TPluginVariant& Value() { return m_Value; }
  int Changes = 0;

 protected:
  void* Find(const GUID& iid) override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVQXGetArgValue::IID))
      return static_cast<IKVQXGetArgValue*>(this);
    if (PluginSameGuid(iid, IKVQXSetArgValue::IID)) return static_cast<IKVQXSetArgValue*>(this);
    return nullptr;
  }

 private:
  TPluginVariant m_Value;
};

// The argument list handed to CallFunction / Validate; also collects error reports.
class TTestArgs : public TTestObject<IKVGetIntfByIndex, IKVQXErrorReport> {
 public:
  ~TTestArgs() override {
    for (TTestArg* a : m_Items) a->Release();
  }
  HRESULT GetIntfByIndex(int32_t Index, const GUID* Iid, void** Intf) noexcept override {
    if (Index < 0 || Index >= static_cast<int32_t>(m_Items.size())) return KV_E_INVALID_INDEX;
    return m_Items[static_cast<size_t>(Index)]->QueryInterface(*Iid, Intf);
  }
  void ReportError(const char* Message, const char* ClassName, const char* RoutineName) noexcept override {
    ++Reports;
    if (Reports > 1) return;
    ErrorMessage = Message;
    ErrorClass = ClassName;
    ErrorRoutine = RoutineName;
  }
  void Add(const VARIANT& v) {
    auto* a = new TTestArg(v);
    a->AddRef();
    m_Items.push_back(a);
  }
  TTestArg& Item(size_t i) { return *m_Items.at(i); }
  size_t Count() const { return m_Items.size(); }
  IUnknown* Unknown() { return static_cast<IKVGetIntfByIndex*>(this); }

  int Reports = 0;
  std::string ErrorMessage, ErrorClass, ErrorRoutine;

 protected:
  void* Find(const GUID& iid) override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVGetIntfByIndex::IID))
      return static_cast<IKVGetIntfByIndex*>(this);
    if (PluginSameGuid(iid, IKVQXErrorReport::IID)) return static_cast<IKVQXErrorReport*>(this);
    return nullptr;
  }

 private:
  std::vector<TTestArg*> m_Items;
};

// Collects what an EnumObjects call hands out, with its own references.
class TCollector : public TTestObject<IKVEnumCallback> {
 public:
  void EnumObject(IUnknown* Sender, int32_t Kind, IUnknown* Obj, int32_t Data) noexcept override {
    LastSender = Sender;
    LastKind = Kind;
    LastData = Data;
    Objects.emplace_back(Obj);
  }
  IUnknown* Unknown() { return static_cast<IKVEnumCallback*>(this); }
  std::vector<TPluginPtr<IUnknown>> Objects;
  IUnknown* LastSender = nullptr;
  int32_t LastKind = -1, LastData = -1;

 protected:
  void* Find(const GUID& iid) override {
    if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVEnumCallback::IID))
      return static_cast<IKVEnumCallback*>(this);
    return nullptr;
  }
};

// Owns a COM object created with new for the length of a test.
template <class T>
class TOwned {
 public:
  TOwned() : m_P(new T()) { m_P->AddRef(); }
  ~TOwned() { m_P->Release(); }
  TOwned(const TOwned&) = delete;
  TOwned& operator=(const TOwned&) = delete;
  T* operator->() const { return m_P; }
  T& operator*() const { return *m_P; }

 private:
  T* m_P;
};

struct TParamInfo {
  std::string Name, Description;
  TPluginVariant Default;
};

struct TFunctionInfo {
  TPluginPtr<IKVQXFVFunction> Function;
  std::string Name, Description;
  GUID Id{};
  std::vector<TParamInfo> Params;
};

// The loaded module; unloaded at the end of the test program (objects are all released by then).
class TModule {
 public:
  static TModule& Get() {
    static TModule m;
    return m;
  }
  bool Loaded() const { return m_Create != nullptr; }
  const std::string& LoadError() const { return m_Error; }
  HRESULT Create(const GUID* cls, const GUID* iid, void** obj) const { return m_Create(cls, iid, obj); }

  // A fresh enumeration of the module's functions with their texts and parameters.
  std::vector<TFunctionInfo> Functions() const {
    std::vector<TFunctionInfo> result;
    TPluginPtr<IKVEnumObjects> root;
    if (PluginFailed(m_Create(&FVFEnumeratorClassId, &IKVEnumObjects::IID, root.out()))) return result;
    TOwned<TCollector> functions;
    root->EnumObjects(0, functions->Unknown(), 0);
    for (auto& obj : functions->Objects) {
      TFunctionInfo info;
      info.Function = PluginQuery<IKVQXFVFunction>(obj.get());
      if (!info.Function) continue;
      IKVQXFVFunction* f = info.Function.get();
      info.Name = PluginReadString([&](char* b, int32_t n) { return f->GetName(b, n); });
      info.Description = PluginReadString([&](char* b, int32_t n) { return f->GetDescription(b, n); });
      f->GetId(&info.Id);
      TPluginPtr<IKVEnumObjects> en = PluginQuery<IKVEnumObjects>(obj.get());
      TOwned<TCollector> params;
      en->EnumObjects(0, params->Unknown(), 0);
      for (auto& p : params->Objects) {
        TPluginPtr<IKVQXFVFParameter> par = PluginQuery<IKVQXFVFParameter>(p.get());
        TParamInfo pi;
        pi.Name = PluginReadString([&](char* b, int32_t n) { return par->GetName(b, n); });
        pi.Description = PluginReadString([&](char* b, int32_t n) { return par->GetDescription(b, n); });
        par->GetDefaultValue(pi.Default.get());
        info.Params.push_back(std::move(pi));
      }
      result.push_back(std::move(info));
    }
    return result;
  }

 private:
  TModule() {
    std::string path = std::string(DABRIX_BIN_DIR) + "/DabrixPlugin.qxp";
    m_Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_Handle) {
      m_Error = dlerror();
      return;
    }
    m_Create = reinterpret_cast<TPluginCreateObject>(dlsym(m_Handle, kPluginCreateObjectName));
    if (!m_Create) m_Error = "no PluginCreateObject";
  }
  ~TModule() {
    if (m_Handle) dlclose(m_Handle);
  }
  void* m_Handle = nullptr;
  TPluginCreateObject m_Create = nullptr;
  std::string m_Error;
};

// --- Values for calls ------------------------------------------------------------------------------------
inline TPluginVariant Text(const std::string& s) {
  TPluginVariant v;
  PluginVariantSetBstrUtf8(v.get(), s);
  return v;
}
inline TPluginVariant HostText(const std::string& s) {
  TPluginVariant v;
  v.get()->kvstrVal = PluginKVStrAlloc(s.data(), s.size());
  v.get()->vt = VT_KVSTRING;
  return v;
}
inline TPluginVariant Int(int32_t i) {
  TPluginVariant v;
  PluginVariantSetI4(v.get(), i);
  return v;
}
inline TPluginVariant Bool(bool b) {
  TPluginVariant v;
  PluginVariantSetBool(v.get(), b);
  return v;
}
inline TPluginVariant Null() {
  TPluginVariant v;
  PluginVariantSetNull(v.get());
  return v;
}
inline TPluginVariant Empty() { return TPluginVariant(); }

// The outcome of one CallFunction.
struct TCallResult {
  TPluginVariant Value;
  std::string Error, ErrorClass, ErrorRoutine;
  bool IsNull() const { return Value.vt() == VT_NULL; }
  std::string Text() const { return ToUtf8(*Value.get()); }
};

// Test fixture base: the module's functions by name, with calls built from the defaults.
class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TModule::Get().Loaded()) << TModule::Get().LoadError();
    for (auto& f : TModule::Get().Functions()) m_ByName.emplace(f.Name, std::move(f));
  }

  const TFunctionInfo& Fn(const std::string& name) {
    auto it = m_ByName.find(name);
    if (it == m_ByName.end()) throw std::runtime_error("function not found: " + name);
    return it->second;
  }

  // The defaults of `name`, with the first arguments replaced by `args`.
  std::unique_ptr<TOwned<TTestArgs>> ArgsFor(const std::string& name, const std::vector<TPluginVariant>& args = {}) {
    const TFunctionInfo& f = Fn(name);
    auto list = std::make_unique<TOwned<TTestArgs>>();
    for (size_t i = 0; i < f.Params.size(); ++i)
      (*list)->Add(i < args.size() ? *args[i].get() : *f.Params[i].Default.get());
    return list;
  }

  TCallResult Call(const std::string& name, const TPluginVariant& value, const std::vector<TPluginVariant>& args = {}) {
    auto list = ArgsFor(name, args);
    return CallWith(name, value, (*list)->Unknown(), list.get());
  }

  TCallResult CallWith(const std::string& name, const TPluginVariant& value, IUnknown* args,
                       TOwned<TTestArgs>* list = nullptr) {
    TCallResult r;
    r.Value = value;
    Fn(name).Function->CallFunction(r.Value.get(), args);
    if (list) {
      r.Error = (*list)->ErrorMessage;
      r.ErrorClass = (*list)->ErrorClass;
      r.ErrorRoutine = (*list)->ErrorRoutine;
    }
    return r;
  }

  struct TValidation {
    std::string Message;
    int32_t Severity = -1;
  };
  static TValidation Validate(IKVQXFVFunction* f, IUnknown* args) {
    TValidation v;
    v.Message = PluginReadString([&](char* b, int32_t n) { return f->Validate(args, b, n, &v.Severity); });
    return v;
  }
  TValidation Validate(const std::string& name, const std::vector<TPluginVariant>& args = {}) {
    auto list = ArgsFor(name, args);
    return Validate(Fn(name).Function.get(), (*list)->Unknown());
  }

  std::map<std::string, TFunctionInfo> m_ByName;
};

}  // namespace plugintest
