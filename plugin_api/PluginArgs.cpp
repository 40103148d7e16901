#include "plugin_api/PluginArgs.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "foundation/KVExceptions.h"

TKVVariant PluginVariantToKV(const VARIANT* v) {
  if (!v) return TKVVariant();
  switch (v->vt) {
    case VT_EMPTY: return TKVVariant();
    case VT_NULL: return TKVVariant::Null();
    case VT_I2: return TKVVariant::FromInt16(v->iVal);
    case VT_I4: return TKVVariant::FromInt32(v->lVal);
    case VT_R4: return TKVVariant::FromSingle(v->fltVal);
    case VT_R8: return TKVVariant::FromDouble(v->dblVal);
    case VT_CY: return TKVVariant::FromCurrency(v->cyVal);
    case VT_DATE: return TKVVariant::FromDateTime(v->date);
    case VT_BSTR: {
      uint32_t n = PluginSysStringLen(v->bstrVal);
      return TKVVariant::FromWideString(v->bstrVal ? std::u16string(v->bstrVal, n) : std::u16string());
    }
    case VT_BOOL: return TKVVariant::FromBoolean(v->boolVal != VARIANT_FALSE);
    case VT_UI1: return TKVVariant::FromUInt8(v->bVal);
    case VT_KVSTRING: {
      uint32_t n = PluginKVStrLen(v->kvstrVal);
      return TKVVariant::FromString(v->kvstrVal ? std::string(v->kvstrVal, n) : std::string());
    }
    default: {
      char buf[8];
      std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v->vt));
      throw EKVException(std::string("Unsupported variant type $") + buf, nullptr, "PluginVariantToKV");
    }
  }
}

namespace {

void SetString(VARIANT* dest, const std::string& s, bool hostStrings) {
  if (!hostStrings) {
    PluginVariantSetBstrUtf8(dest, s);
    return;
  }
  PluginVariantClear(dest);
  dest->kvstrVal = PluginKVStrAlloc(s.data(), s.size());
  dest->vt = dest->kvstrVal ? VT_KVSTRING : VT_NULL;
}

void SetInteger(VARIANT* dest, int64_t v) {
  if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    PluginVariantSetI4(dest, static_cast<int32_t>(v));
  } else {
    PluginVariantClear(dest);
    dest->vt = VT_R8;
    dest->dblVal = static_cast<double>(v);
  }
}

}  // namespace

void PluginVariantFromKV(VARIANT* dest, const TKVVariant& value, bool hostStrings) {
  if (!dest) return;
  switch (value.VarType()) {
    case varEmpty: PluginVariantClear(dest); return;
    case varNull: PluginVariantSetNull(dest); return;
    case varSmallint:
    case varShortInt: {
      int32_t i = value.AsInt32();
      PluginVariantClear(dest);
      dest->vt = VT_I2;
      dest->iVal = static_cast<int16_t>(i);
      return;
    }
    case varByte: {
      int32_t i = value.AsInt32();
      PluginVariantClear(dest);
      dest->vt = VT_UI1;
      dest->bVal = static_cast<uint8_t>(i);
      return;
    }
    case varInteger:
    case varWord:
    case varLongWord:
    case varInt64: SetInteger(dest, value.AsInt64()); return;
    case varUInt64: {
      uint64_t u = value.AsUInt64();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        PluginVariantSetI4(dest, static_cast<int32_t>(u));
      } else {
        PluginVariantClear(dest);
        dest->vt = VT_R8;
        dest->dblVal = static_cast<double>(u);
      }
      return;
    }
    case varSingle: {
      double d = value.AsDouble();
      PluginVariantClear(dest);
      dest->vt = VT_R4;
      dest->fltVal = static_cast<float>(d);
      return;
    }
    case varDouble: {
      double d = value.AsDouble();
      PluginVariantClear(dest);
      dest->vt = VT_R8;
      dest->dblVal = d;
      return;
    }
    case varCurrency: {
      int64_t c = value.AsCurrency();
      PluginVariantClear(dest);
      dest->vt = VT_CY;
      dest->cyVal = c;
      return;
    }
    case varDate: PluginVariantSetDate(dest, value.AsDateTime()); return;
    case varBoolean: PluginVariantSetBool(dest, value.AsBoolean()); return;
    case varOleStr: {
      std::u16string w = value.AsWideString();
      PluginVariantClear(dest);
      dest->bstrVal = PluginSysAllocStringLen(w.data(), static_cast<uint32_t>(w.size()));
      dest->vt = dest->bstrVal ? VT_BSTR : VT_NULL;
      return;
    }
    default: SetString(dest, value.AsString(), hostStrings); return;
  }
}

namespace {

template <class I>
TPluginPtr<I> ArgInterface(IUnknown* Args, int index, const char* routine) {
  TPluginPtr<IKVGetIntfByIndex> list = PluginQuery<IKVGetIntfByIndex>(Args);
  if (!list)
    throw EKVException("The argument list does not support the interface " + PluginGuidToString(IKVGetIntfByIndex::IID),
                       nullptr, routine);
  TPluginPtr<I> item;
  HRESULT hr = list->GetIntfByIndex(index, &I::IID, item.out());
  if (PluginFailed(hr) || !item) {
    std::string text = PluginArgAccessMessage(I::IID, index);
    text.resize(text.size() - 2);  // EKVHrException adds ": " and the code's explanation
    throw EKVHrException(text, PluginFailed(hr) ? hr : E_POINTER, nullptr, routine);
  }
  return item;
}

}  // namespace

TKVVariant GetArgValue(IUnknown* Args, int index) {
  TPluginPtr<IKVQXGetArgValue> arg = ArgInterface<IKVQXGetArgValue>(Args, index, "GetArgValue");
  TPluginVariant v;
  arg->GetValue(v.get());
  return PluginVariantToKV(v.get());
}

std::string GetArgValueAsString(IUnknown* Args, int index) { return GetArgValue(Args, index).AsString(); }
int32_t GetArgValueAsInt32(IUnknown* Args, int index) { return GetArgValue(Args, index).AsInt32(); }
bool GetArgValueAsBoolean(IUnknown* Args, int index) { return GetArgValue(Args, index).AsBoolean(); }

void SetArgValue(IUnknown* Args, int index, const TKVVariant& value) {
  TPluginPtr<IKVQXSetArgValue> arg = ArgInterface<IKVQXSetArgValue>(Args, index, "SetArgValue");
  TPluginVariant v;
  PluginVariantFromKV(v.get(), value);
  arg->SetValue(v.get());
}
