#include "plugin_host/FVFunc.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

#include "foundation/KVConvert.h"
#include "plugin_api/PluginArgs.h"

// Both structures hold the Windows layout; the bytes are moved through their little-endian form so that
// neither side's field order is assumed.
TGUID FVToGuid(const GUID& g) {
  uint8_t b[16];
  b[0] = static_cast<uint8_t>(g.Data1);
  b[1] = static_cast<uint8_t>(g.Data1 >> 8);
  b[2] = static_cast<uint8_t>(g.Data1 >> 16);
  b[3] = static_cast<uint8_t>(g.Data1 >> 24);
  b[4] = static_cast<uint8_t>(g.Data2);
  b[5] = static_cast<uint8_t>(g.Data2 >> 8);
  b[6] = static_cast<uint8_t>(g.Data3);
  b[7] = static_cast<uint8_t>(g.Data3 >> 8);
  std::memcpy(b + 8, g.Data4, 8);
  return TGUID::FromBytes(b);
}

GUID FVFromGuid(const TGUID& g) {
  GUID r;
  r.Data1 = g.Data1;
  r.Data2 = g.Data2;
  r.Data3 = g.Data3;
  std::memcpy(r.Data4, g.Data4.data(), 8);
  return r;
}

int KVCompareByGuid(const TGUID& a, const TGUID& b) {
  auto x = a.ToBytes(), y = b.ToBytes();
  return std::memcmp(x.data(), y.data(), x.size());
}

EFVPluginError::EFVPluginError(std::string message, std::string pluginClassName, std::string functionName,
                               std::string routineName)
    : EKVException(std::move(message), std::move(functionName), "TFVFunction", std::move(routineName)),
      m_PluginClassName(std::move(pluginClassName)) {}

std::string EFVPluginError::ClassName() const {
  return m_PluginClassName.empty() ? std::string("EFVPluginError") : m_PluginClassName;
}

void EFVPluginError::ClassChain(std::vector<std::string>& chain) const {
  if (!m_PluginClassName.empty() && m_PluginClassName != "EKVException" && m_PluginClassName != "Exception")
    chain.push_back(m_PluginClassName);
  chain.push_back("EFVPluginError");
  EKVException::ClassChain(chain);
}

namespace {

// Reference counting shared by the host's objects that a plug-in sees. Created with one reference.
template <class First, class... Rest>
class TFVCom : public First, public Rest... {
 public:
  virtual ~TFVCom() = default;
  uint32_t AddRef() noexcept override { return m_Ref.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() noexcept override {
    uint32_t n = m_Ref.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }
  HRESULT QueryInterface(const GUID& iid, void** obj) noexcept override {
    if (!obj) return E_POINTER;
    *obj = nullptr;
    void* found = nullptr;
    if (PluginSameGuid(iid, IUnknown::IID))
      found = static_cast<IUnknown*>(static_cast<First*>(this));
    else
      found = Find(iid);
    if (!found) return E_NOINTERFACE;
    AddRef();
    *obj = found;
    return S_OK;
  }

 protected:
  // The interface for `iid` among those this object answers, or null.
  virtual void* Find(const GUID& iid) {
    void* r = nullptr;
    if (PluginSameGuid(iid, First::IID)) r = static_cast<First*>(this);
    ((r == nullptr && PluginSameGuid(iid, Rest::IID) ? (r = static_cast<Rest*>(this)) : nullptr), ...);
    return r;
  }

 private:
  std::atomic<uint32_t> m_Ref{1};
};

// Collects what an enumeration hands out.
class TFVEnumCollector : public TFVCom<IKVEnumCallback> {
 public:
  void EnumObject(IUnknown* /*sender*/, int32_t kind, IUnknown* obj, int32_t /*data*/) noexcept override {
    if (kind != 0 || !obj) return;
    try {
      Objects.emplace_back(obj);
    } catch (...) {
    }
  }
  std::vector<TPluginPtr<IUnknown>> Objects;
};

std::vector<TPluginPtr<IUnknown>> Enumerate(IKVEnumObjects* source) {
  auto* collector = new TFVEnumCollector;
  source->EnumObjects(0, static_cast<IKVEnumCallback*>(collector), 0);
  std::vector<TPluginPtr<IUnknown>> objects = std::move(collector->Objects);
  collector->Release();
  return objects;
}

// One argument of a node as the plug-in sees it.
class TFVArgItem : public TFVCom<IKVQXGetArgValue, IKVQXSetArgValue> {
 public:
  TFVArgItem(TQXDFieldFuncData& node, size_t index) : m_Node(node), m_Index(index) {}
  void GetValue(VARIANT* result) noexcept override {
    if (!result) return;
    PluginVariantInit(result);
    try {
      if (m_Index < m_Node.ArgumentCount()) PluginVariantFromKV(result, m_Node.Argument(m_Index).Value(), true);
    } catch (...) {
      PluginVariantClear(result);
    }
  }
  void SetValue(const VARIANT* value) noexcept override {
    if (!value) return;
    try {
      if (m_Index < m_Node.ArgumentCount()) m_Node.SetArgumentValue(m_Index, PluginVariantToKV(value));
    } catch (...) {
      // A value the host cannot hold leaves the argument unchanged.
    }
  }

 private:
  TQXDFieldFuncData& m_Node;
  size_t m_Index;
};

class TFVArgList : public TFVCom<IKVGetIntfByIndex, IKVQXErrorReport, IKVQXCancelCheck> {
 public:
  TFVArgList(TQXDFieldFuncData& node, bool errors, const IQXCancelCheck* cancel)
      : m_Node(node), m_Errors(errors), m_Cancel(cancel) {}

  HRESULT GetIntfByIndex(int32_t index, const GUID* iid, void** intf) noexcept override {
    if (index < 0 || static_cast<size_t>(index) >= m_Node.ArgumentCount()) return KV_E_INVALID_INDEX;
    if (!iid || !intf) return E_POINTER;
    try {
      auto* item = new TFVArgItem(m_Node, static_cast<size_t>(index));
      HRESULT hr = item->QueryInterface(*iid, intf);
      item->Release();
      return hr;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  void ReportError(const char* message, const char* className, const char* routineName) noexcept override {
    std::lock_guard lock(m_Lock);
    if (m_Reported) return;
    try {
      m_Message = message ? message : "";
      m_ClassName = className ? className : "";
      m_RoutineName = routineName ? routineName : "";
      m_Reported = true;
    } catch (...) {
    }
  }

  int32_t CancelRequested() noexcept override {
    try {
      if (m_Cancel && m_Cancel->CancelRequested()) m_CancelAnswered = true;
    } catch (...) {
      // A check that cannot tell does not stop the call.
    }
    return m_CancelAnswered ? 1 : 0;
  }
  // Whether the plug-in has been told that the run is cancelled.
  bool CancelAnswered() const { return m_CancelAnswered; }

  bool Take(std::string& message, std::string& className, std::string& routineName) {
    std::lock_guard lock(m_Lock);
    if (!m_Reported) return false;
    message = std::move(m_Message);
    className = std::move(m_ClassName);
    routineName = std::move(m_RoutineName);
    m_Reported = false;
    return true;
  }

 protected:
  void* Find(const GUID& iid) override {
    if (PluginSameGuid(iid, IKVGetIntfByIndex::IID)) return static_cast<IKVGetIntfByIndex*>(this);
    if (m_Errors && PluginSameGuid(iid, IKVQXErrorReport::IID)) return static_cast<IKVQXErrorReport*>(this);
    if (m_Cancel && PluginSameGuid(iid, IKVQXCancelCheck::IID)) return static_cast<IKVQXCancelCheck*>(this);
    return nullptr;
  }

 private:
  TQXDFieldFuncData& m_Node;
  bool m_Errors;
  const IQXCancelCheck* m_Cancel;
  bool m_CancelAnswered = false;
  std::mutex m_Lock;
  bool m_Reported = false;
  std::string m_Message, m_ClassName, m_RoutineName;
};

// --- Registry ------------------------------------------------------------------------------------------

class TFVRegistry : public IQXFunctionLookup {
 public:
  ~TFVRegistry() override {
    if (QXFunctionLookup() == this) QXSetFunctionLookup(nullptr);
  }
  TQXFunctionRef FindFunction(const TGUID& id) const override { return Find(id); }
  std::vector<TQXFunctionRef> Functions() const override {
    std::lock_guard lock(m_Lock);
    return {m_Functions.begin(), m_Functions.end()};
  }

  std::shared_ptr<const TFVFunction> Find(const TGUID& id) const {
    std::lock_guard lock(m_Lock);
    auto it = LowerBound(id);
    return it != m_Functions.end() && (*it)->Id == id ? *it : nullptr;
  }
  std::vector<std::shared_ptr<const TFVFunction>> All() const {
    std::lock_guard lock(m_Lock);
    return m_Functions;
  }
  // False when the id is already registered.
  bool Add(std::shared_ptr<const TFVFunction> f) {
    std::lock_guard lock(m_Lock);
    auto it = LowerBound(f->Id);
    if (it != m_Functions.end() && (*it)->Id == f->Id) return false;
    m_Functions.insert(it, std::move(f));
    return true;
  }
  void Clear() {
    std::vector<std::shared_ptr<const TFVFunction>> old;
    std::lock_guard lock(m_Lock);
    old.swap(m_Functions);
  }

 private:
  std::vector<std::shared_ptr<const TFVFunction>>::const_iterator LowerBound(const TGUID& id) const {
    return std::lower_bound(m_Functions.begin(), m_Functions.end(), id,
                            [](const std::shared_ptr<const TFVFunction>& f, const TGUID& g) {
                              return KVCompareByGuid(f->Id, g) < 0;
                            });
  }
  mutable std::mutex m_Lock;
  std::vector<std::shared_ptr<const TFVFunction>> m_Functions;
};

TFVRegistry& Registry() {
  static TFVRegistry registry;
  return registry;
}

}  // namespace

// --- TFVFunction ---------------------------------------------------------------------------------------

TFVFunction::TFVFunction(IKVQXFVFunction* function, TKVRef<TKVPluginModule> module)
    : m_Function(function), m_Module(std::move(module)) {
  if (!function) throw EKVException("AFVFunction <> nil", nullptr, "TFVFunction.Create");
  GUID id{};
  function->GetId(&id);
  Id = FVToGuid(id);
  Name = GetName();
  Description = GetDescription();
  if (TPluginPtr<IKVEnumObjects> e = PluginQuery<IKVEnumObjects>(function)) {
    for (const auto& obj : Enumerate(e.get())) {
      TPluginPtr<IKVQXFVFParameter> p = PluginQuery<IKVQXFVFParameter>(obj.get());
      if (!p) continue;
      TQXFunctionParameter param;
      param.Name = PluginReadString([&](char* b, int32_t n) { return p->GetName(b, n); });
      param.Description = PluginReadString([&](char* b, int32_t n) { return p->GetDescription(b, n); });
      TPluginVariant def;
      p->GetDefaultValue(def.get());
      param.Default = PluginVariantToKV(def.get());
      Parameters.push_back(std::move(param));
      m_Parameters.push_back(std::move(p));
    }
  }
}

TFVFunction::~TFVFunction() {
  // The plug-in's objects go before the module that holds their code.
  m_Parameters.clear();
  m_Function.reset();
}

std::string TFVFunction::GetName() const {
  return PluginReadString([&](char* b, int32_t n) { return m_Function->GetName(b, n); });
}

std::string TFVFunction::GetDescription() const {
  return PluginReadString([&](char* b, int32_t n) { return m_Function->GetDescription(b, n); });
}

uint16_t TFVFunction::CreatedType(const TQXDFieldFuncData& node, size_t index) {
  if (const auto* f = dynamic_cast<const TFVFunction*>(node.Function().get()))
    if (index < f->Parameters.size()) return f->Parameters[index].Default.VarType();
  return index < node.ArgumentCount() ? node.Argument(index).Value().VarType() : varEmpty;
}

TKVVariant TFVFunction::Call(TQXDFieldFuncData& node, const TKVVariant& value, const IQXCancelCheck* cancel) const {
  TPluginVariant v;
  PluginVariantFromKV(v.get(), value, true);
  TPluginPtr<IUnknown> args = FVMakeArgumentList(node, true, cancel);
  m_Function->CallFunction(v.get(), args.get());
  std::string message, className, routine;
  if (FVTakeReportedError(args.get(), message, className, routine)) {
    // Once told of the cancel, whatever the plug-in reports is how it stopped.
    if (FVCancelAnswered(args.get())) throw EQXCallCancelled();
    throw EFVPluginError(message, className, Name, routine.empty() ? "TQXDFieldFuncData.CallFunction" : routine);
  }
  return PluginVariantToKV(v.get());
}

TQXValidationResult TFVFunction::Validate(TQXDFieldFuncData& node) const {
  TPluginPtr<IUnknown> args = FVMakeArgumentList(node, false);
  int32_t severity = 0;
  TQXValidationResult r;
  r.Message = PluginReadString([&](char* b, int32_t n) {
    severity = 0;
    return m_Function->Validate(args.get(), b, n, &severity);
  });
  r.Severity = KVClampSeverity(severity);
  return r;
}

TKVMsgButtons FVConfirmButtons(int32_t confirmStyle) {
  switch (confirmStyle) {
    case 1: return TKVMsgButtons::OkCancel;
    case 3: return TKVMsgButtons::YesNoCancel;
    case 4: return TKVMsgButtons::YesNo;
    default: return TKVMsgButtons::Ok;
  }
}

bool TFVFunction::CheckArguments(TQXDFieldFuncData& node) const {
  bool result = true;
  try {
    TQXValidationResult v = Validate(node);
    std::string message = v.Message;
    int severity = static_cast<int>(v.Severity);
    TPluginPtr<IKVQXFVFConfirm> confirm;
    bool askedForConfirm = false;
    int answer = 0;
    for (;;) {
      if (severity == 2 && confirm) {
        TPluginPtr<IUnknown> args = FVMakeArgumentList(node, false);
        int32_t s = 0;
        message = PluginReadString([&](char* b, int32_t n) {
          s = 0;
          return confirm->ApplyConfirmation(answer, args.get(), b, n, &s);
        });
        severity = static_cast<int>(KVClampSeverity(s));
      }
      result = !(!message.empty() && (severity == 4 || (severity == 2 && confirm)));
      if (severity == 0 || message.empty()) break;
      if (!askedForConfirm) {
        askedForConfirm = true;
        confirm = PluginQuery<IKVQXFVFConfirm>(m_Function.get());
      }
      // A question of a function that confirms is asked with the buttons the function names (4: Yes/No),
      // so the user can actually give the answer its confirmation waits for.
      TKVMsgButtons buttons = TKVMsgButtons::Ok;
      if (severity == 2 && confirm) buttons = FVConfirmButtons(confirm->ConfirmStyle());
      answer = KVMessageDialog(message, static_cast<TKVSeverity>(severity), buttons);
      if (!(severity == 2 && confirm)) break;
    }
  } catch (...) {
    // Leaving a node must never fail; the result reached so far stands.
  }
  return result;
}

// --- Argument list -------------------------------------------------------------------------------------

TPluginPtr<IUnknown> FVMakeArgumentList(TQXDFieldFuncData& node, bool errors, const IQXCancelCheck* cancel) {
  auto* list = new TFVArgList(node, errors, cancel);
  return TPluginPtr<IUnknown>::Attach(static_cast<IUnknown*>(static_cast<IKVGetIntfByIndex*>(list)));
}

bool FVCancelAnswered(IUnknown* argumentList) {
  auto* list = dynamic_cast<TFVArgList*>(static_cast<IKVGetIntfByIndex*>(argumentList));
  return list && list->CancelAnswered();
}

bool FVTakeReportedError(IUnknown* argumentList, std::string& message, std::string& className,
                         std::string& routineName) {
  auto* list = dynamic_cast<TFVArgList*>(static_cast<IKVGetIntfByIndex*>(argumentList));
  return list && list->Take(message, className, routineName);
}

// --- Registry ------------------------------------------------------------------------------------------

void RebuildFunctionRegistry() {
  TFVRegistry& registry = Registry();
  registry.Clear();
  for (const TKVRef<TKVPluginModule>& module : KVPluginModules()) {
    TPluginPtr<IKVEnumObjects> root;
    HRESULT hr = module->CreateObject(&FVFEnumeratorClassId, &IKVEnumObjects::IID, root.out());
    if (PluginFailed(hr) || !root) continue;
    std::vector<TPluginPtr<IUnknown>> objects = Enumerate(root.get());
    root.reset();
    for (const auto& obj : objects) {
      TPluginPtr<IKVQXFVFunction> f = PluginQuery<IKVQXFVFunction>(obj.get());
      if (!f) continue;
      try {
        registry.Add(std::make_shared<const TFVFunction>(f.get(), module));
      } catch (const std::exception&) {
        // A function whose description cannot be read is not offered.
      }
    }
  }
  QXSetFunctionLookup(&registry);
}

void FVClearFunctionRegistry() {
  TFVRegistry& registry = Registry();
  if (QXFunctionLookup() == &registry) QXSetFunctionLookup(nullptr);
  registry.Clear();
}

std::shared_ptr<const TFVFunction> FindFunction(const TGUID& id) { return Registry().Find(id); }

std::vector<std::shared_ptr<const TFVFunction>> FVRegisteredFunctions() { return Registry().All(); }

std::shared_ptr<const TFVFunction> FVFindFunctionByText(const std::string& idOrName) {
  if (auto id = TGUID::TryParse(idOrName)) return FindFunction(*id);
  for (const auto& f : Registry().All())
    if (KVSameText(f->Name, idOrName)) return f;
  return nullptr;
}
