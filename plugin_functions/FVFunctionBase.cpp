#include "plugin_functions/FVFunctionBase.h"

#include "foundation/KVGuid.h"
#include "plugin_api/PluginArgs.h"

// --- TPluginRefLifeObject ---------------------------------------------------------------------------------
uint32_t TPluginRefLifeObject::RefRelease() noexcept {
  uint32_t n = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (n == 0) delete this;
  return n;
}

HRESULT TPluginRefLifeObject::RefQueryInterface(const GUID& iid, void** obj) noexcept {
  if (!obj) return E_POINTER;
  void* p = FindInterface(iid);
  if (!p) {
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  RefAdd();
  *obj = p;
  return S_OK;
}

// --- TFVFParamDesc ----------------------------------------------------------------------------------------
TFVFParamDesc::TFVFParamDesc(std::string name, std::string description, const VARIANT& defaultValue)
    : m_Name(std::move(name)), m_Description(std::move(description)) {
  if (PluginFailed(PluginVariantCopy(m_Default.get(), &defaultValue)))
    throw EKVException("Out of memory", nullptr, "TFVFParamDesc.Create");
}

void* TFVFParamDesc::FindInterface(const GUID& iid) noexcept {
  if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVQXFVFParameter::IID))
    return static_cast<IKVQXFVFParameter*>(this);
  return nullptr;
}

int32_t TFVFParamDesc::GetName(char* Buffer, int32_t BufSize) noexcept {
  return PluginCopyToBuffer(m_Name, Buffer, BufSize);
}

int32_t TFVFParamDesc::GetDescription(char* Buffer, int32_t BufSize) noexcept {
  return PluginCopyToBuffer(m_Description, Buffer, BufSize);
}

void TFVFParamDesc::GetDefaultValue(VARIANT* Result) noexcept {
  if (!Result) return;
  PluginVariantInit(Result);
  // Out of memory leaves the caller an Empty value, the only answer without an error channel.
  PluginVariantCopy(Result, m_Default.get());
}

// --- TFVFunctionBase --------------------------------------------------------------------------------------
namespace {

GUID ToPluginGuid(const TGUID& g) {
  GUID r{};
  r.Data1 = g.Data1;
  r.Data2 = g.Data2;
  r.Data3 = g.Data3;
  for (int i = 0; i < 8; ++i) r.Data4[i] = g.Data4[static_cast<size_t>(i)];
  return r;
}

}  // namespace

TFVFunctionBase::TFVFunctionBase(const char* id, std::string name, std::string description)
    : m_Id(ToPluginGuid(TGUID::Parse(id))), m_Name(std::move(name)), m_Description(std::move(description)) {}

TFVFunctionBase::~TFVFunctionBase() {
  for (TFVFParamDesc* p : m_Parameters) p->Release();
}

void* TFVFunctionBase::FindInterface(const GUID& iid) noexcept {
  if (PluginSameGuid(iid, IUnknown::IID) || PluginSameGuid(iid, IKVQXFVFunction::IID))
    return static_cast<IKVQXFVFunction*>(this);
  if (PluginSameGuid(iid, IKVEnumObjects::IID)) return static_cast<IKVEnumObjects*>(this);
  return nullptr;
}

void TFVFunctionBase::AddParameter(std::string name, std::string description, const VARIANT& defaultValue) {
  m_Parameters.reserve(m_Parameters.size() + 1);
  auto* p = new TFVFParamDesc(std::move(name), std::move(description), defaultValue);
  p->RefAdd();
  m_Parameters.push_back(p);
}

void TFVFunctionBase::AddTextParameter(std::string name, std::string description, const std::u16string& defaultValue) {
  TPluginVariant v;
  FVSetText(*v.get(), defaultValue);
  AddParameter(std::move(name), std::move(description), *v.get());
}

void TFVFunctionBase::AddIntParameter(std::string name, std::string description, int32_t defaultValue) {
  TPluginVariant v;
  PluginVariantSetI4(v.get(), defaultValue);
  AddParameter(std::move(name), std::move(description), *v.get());
}

void TFVFunctionBase::AddBoolParameter(std::string name, std::string description, bool defaultValue) {
  TPluginVariant v;
  PluginVariantSetBool(v.get(), defaultValue);
  AddParameter(std::move(name), std::move(description), *v.get());
}

void TFVFunctionBase::EnumObjects(int32_t Kind, IUnknown* Receiver, int32_t Data) noexcept {
  if (Kind != 0) return;
  TPluginPtr<IKVEnumCallback> callback = PluginQuery<IKVEnumCallback>(Receiver);
  if (!callback) return;
  // The receiver may release this function while it is being enumerated; our own reference keeps the
  // parameters alive until the loop is done.
  TPluginPtr<IUnknown> self(Unknown());
  for (TFVFParamDesc* p : m_Parameters) callback->EnumObject(Unknown(), Kind, static_cast<IKVQXFVFParameter*>(p), Data);
}

void TFVFunctionBase::GetId(GUID* Id) noexcept {
  if (Id) *Id = m_Id;
}

int32_t TFVFunctionBase::GetName(char* Buffer, int32_t BufSize) noexcept {
  return PluginCopyToBuffer(m_Name, Buffer, BufSize);
}

int32_t TFVFunctionBase::GetDescription(char* Buffer, int32_t BufSize) noexcept {
  return PluginCopyToBuffer(m_Description, Buffer, BufSize);
}

void TFVFunctionBase::CallFunction(VARIANT* Value, IUnknown* Args) noexcept {
  if (!Value) return;
  try {
    try {
      // The function works on a copy, so that an error half-way leaves the caller's value untouched.
      TPluginVariant work;
      if (PluginFailed(PluginVariantCopy(work.get(), Value)))
        throw EKVException("Out of memory", nullptr, "CallFunction");
      Call(*work.get(), Args);
      PluginVariantClear(Value);
      *Value = *work.get();
      PluginVariantInit(work.get());  // ownership of any string moved to *Value
    } catch (const EKVException& e) {
      PluginReportError(Args, e.Message().c_str(), e.ClassName().c_str(), e.GetRoutineName().c_str());
    } catch (const Exception& e) {
      PluginReportError(Args, e.Message().c_str(), e.ClassName().c_str(), "");
    } catch (const std::exception& e) {
      PluginReportError(Args, e.what(), "", "");
    } catch (...) {
      PluginReportError(Args, "Unknown error in a field value function", "", "");
    }
  } catch (...) {
    // Building the report failed (out of memory): nothing more can be said across the boundary.
  }
}

void FVCheckCancel(IKVQXCancelCheck* cancel, const char* routineName) {
  if (cancel && cancel->CancelRequested()) throw EFVCancelled(routineName);
}

int32_t TFVFunctionBase::Validate(IUnknown* Args, char* Buffer, int32_t BufSize, int32_t* Severity) noexcept {
  return FVRunValidation([&] { Check(Args); }, Buffer, BufSize, Severity);
}

void TFVFunctionBase::Check(IUnknown*) const {}

void TFVFunctionBase::RequireArgs(IUnknown* args) const {
  if (!args) throw EKVException("No Arguments passed for validation", nullptr, "Validate");
}

// --- Values -----------------------------------------------------------------------------------------------
bool FVIsEmptyOrNull(const VARIANT& v) { return PluginVariantIsEmptyOrNull(&v); }

std::u16string FVValueText(const VARIANT& v) {
  if (FVIsEmptyOrNull(v)) return std::u16string();
  if (v.vt == VT_BSTR) return std::u16string(v.bstrVal ? v.bstrVal : u"", PluginSysStringLen(v.bstrVal));
  return PluginVariantToKV(&v).AsWideString();
}

void FVSetText(VARIANT& v, const std::u16string& text) {
  BSTR s =
      text.size() < UINT32_MAX / 4 ? PluginSysAllocStringLen(text.data(), static_cast<uint32_t>(text.size())) : nullptr;
  if (!s) {
    throw EKVException("The text is too long for a field value (" + std::to_string(text.size()) + " characters)",
                       nullptr, "FVSetText");
  }
  PluginVariantClear(&v);
  v.vt = VT_BSTR;
  v.bstrVal = s;
}

void FVSetTextOrNull(VARIANT& v, const std::u16string& text) {
  if (text.empty())
    PluginVariantSetNull(&v);
  else
    FVSetText(v, text);
}

// --- Arguments --------------------------------------------------------------------------------------------
std::u16string FVArgText(IUnknown* args, int index) {
  TKVVariant v = GetArgValue(args, index);
  if (v.IsEmptyOrNull()) return std::u16string();
  return v.AsWideString();
}

int32_t FVArgInt(IUnknown* args, int index) { return GetArgValue(args, index).AsInt32(); }

bool FVArgBool(IUnknown* args, int index) { return GetArgValue(args, index).AsBoolean(); }

void FVSetArgText(IUnknown* args, int index, const std::u16string& text) {
  SetArgValue(args, index, TKVVariant::FromWideString(text));
}
