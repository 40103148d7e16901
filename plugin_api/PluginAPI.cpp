// The helpers both sides of the plug-in contract compile from the same source, so that strings made by
// one side are freed correctly by the other (both allocate with std::malloc of the same C library).
#include "plugin_api/PluginAPI.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string PluginGuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buf;
}

// --- BSTR ---------------------------------------------------------------------------------------------
BSTR PluginSysAllocStringLen(const char16_t* s, uint32_t len) {
  // The byte length must fit the uint32 prefix.
  if (len > (UINT32_MAX - sizeof(uint32_t) - sizeof(char16_t)) / sizeof(char16_t)) return nullptr;
  size_t bytes = size_t{len} * sizeof(char16_t);
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(char16_t)));
  if (!block) return nullptr;
  uint32_t prefix = static_cast<uint32_t>(bytes);
  std::memcpy(block, &prefix, sizeof prefix);
  auto* text = reinterpret_cast<char16_t*>(block + sizeof(uint32_t));
  if (s && len)
    std::memcpy(text, s, bytes);
  else
    std::memset(text, 0, bytes);
  text[len] = 0;
  return text;
}

BSTR PluginSysAllocString(const char16_t* s) {
  if (!s) return nullptr;
  uint32_t n = 0;
  while (s[n]) ++n;
  return PluginSysAllocStringLen(s, n);
}

void PluginSysFreeString(BSTR s) {
  if (s) std::free(reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t));
}

uint32_t PluginSysStringLen(BSTR s) {
  if (!s) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t), sizeof bytes);
  return bytes / sizeof(char16_t);
}

namespace {

// Decodes one UTF-8 sequence at s[i]; malformed input gives U+FFFD and consumes one byte.
char32_t DecodeUtf8(const unsigned char* s, size_t len, size_t& i) {
  unsigned char c = s[i];
  auto cont = [&](size_t k) { return i + k < len && (s[i + k] & 0xC0) == 0x80; };
  if (c < 0x80) {
    ++i;
    return c;
  }
  if ((c & 0xE0) == 0xC0 && c >= 0xC2 && cont(1)) {
    char32_t cp = (char32_t(c & 0x1F) << 6) | (s[i + 1] & 0x3F);
    i += 2;
    return cp;
  }
  if ((c & 0xF0) == 0xE0 && cont(1) && cont(2)) {
    char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
    if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) {
      i += 3;
      return cp;
    }
  } else if ((c & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
    char32_t cp = (char32_t(c & 0x07) << 18) | (char32_t(s[i + 1] & 0x3F) << 12) |
                  (char32_t(s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      i += 4;
      return cp;
    }
  }
  ++i;
  return 0xFFFD;
}

}  // namespace

BSTR PluginSysAllocStringUtf8(const char* s, size_t len) {
  std::u16string out;
  out.reserve(len);
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  for (size_t i = 0; s && i < len;) {
    char32_t cp = DecodeUtf8(u, len, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  if (out.size() > UINT32_MAX / 4) return nullptr;
  return PluginSysAllocStringLen(out.data(), static_cast<uint32_t>(out.size()));
}

std::string PluginBstrToUtf8(BSTR s) {
  std::string out;
  uint32_t n = PluginSysStringLen(s);
  out.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// --- KVSTR --------------------------------------------------------------------------------------------
KVSTR PluginKVStrAlloc(const char* s, size_t len) {
  if (len > UINT32_MAX - sizeof(uint32_t) - 1) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + len + 1));
  if (!block) return nullptr;
  uint32_t prefix = static_cast<uint32_t>(len);
  std::memcpy(block, &prefix, sizeof prefix);
  char* text = reinterpret_cast<char*>(block + sizeof(uint32_t));
  if (s && len)
    std::memcpy(text, s, len);
  else
    std::memset(text, 0, len);
  text[len] = 0;
  return text;
}

void PluginKVStrFree(KVSTR s) {
  if (s) std::free(reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t));
}

uint32_t PluginKVStrLen(KVSTR s) {
  if (!s) return 0;
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<unsigned char*>(s) - sizeof(uint32_t), sizeof n);
  return n;
}

// --- VARIANT ------------------------------------------------------------------------------------------
void PluginVariantInit(VARIANT* v) {
  if (v) std::memset(static_cast<void*>(v), 0, sizeof(VARIANT));
}

void PluginVariantClear(VARIANT* v) {
  if (!v) return;
  if (v->vt == VT_BSTR)
    PluginSysFreeString(v->bstrVal);
  else if (v->vt == VT_KVSTRING)
    PluginKVStrFree(v->kvstrVal);
  PluginVariantInit(v);
}

HRESULT PluginVariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_POINTER;
  if (dest == src) return S_OK;
  VARIANT copy;
  std::memcpy(static_cast<void*>(&copy), src, sizeof(VARIANT));
  if (src->vt == VT_BSTR && src->bstrVal) {
    copy.bstrVal = PluginSysAllocStringLen(src->bstrVal, PluginSysStringLen(src->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if (src->vt == VT_KVSTRING && src->kvstrVal) {
    copy.kvstrVal = PluginKVStrAlloc(src->kvstrVal, PluginKVStrLen(src->kvstrVal));
    if (!copy.kvstrVal) return E_OUTOFMEMORY;
  }
  PluginVariantClear(dest);
  std::memcpy(static_cast<void*>(dest), &copy, sizeof(VARIANT));
  return S_OK;
}

bool PluginVariantIsEmptyOrNull(const VARIANT* v) {
  if (!v) return true;
  VARTYPE t = v->vt & VT_TYPEMASK;
  return t == VT_EMPTY || t == VT_NULL;
}

void PluginVariantSetNull(VARIANT* v) {
  PluginVariantClear(v);
  if (v) v->vt = VT_NULL;
}
void PluginVariantSetI4(VARIANT* v, int32_t value) {
  PluginVariantClear(v);
  if (!v) return;
  v->vt = VT_I4;
  v->lVal = value;
}
void PluginVariantSetBool(VARIANT* v, bool value) {
  PluginVariantClear(v);
  if (!v) return;
  v->vt = VT_BOOL;
  v->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}
void PluginVariantSetDate(VARIANT* v, double days) {
  PluginVariantClear(v);
  if (!v) return;
  v->vt = VT_DATE;
  v->date = days;
}
void PluginVariantSetBstrUtf8(VARIANT* v, const std::string& text) {
  PluginVariantClear(v);
  if (!v) return;
  v->bstrVal = PluginSysAllocStringUtf8(text.data(), text.size());
  // Out of memory leaves NULL rather than a string that claims a missing buffer.
  v->vt = v->bstrVal ? VT_BSTR : VT_NULL;
}

// --- String buffer protocol ---------------------------------------------------------------------------
int32_t PluginCopyToBuffer(const char* text, size_t length, char* Buffer, int32_t BufSize) {
  if (!text) length = 0;
  if (length > static_cast<size_t>(INT32_MAX - 1)) length = static_cast<size_t>(INT32_MAX - 1);
  int32_t needed = static_cast<int32_t>(length) + 1;
  if (!Buffer || BufSize <= 0) return needed;
  size_t copy = length < static_cast<size_t>(BufSize - 1) ? length : static_cast<size_t>(BufSize - 1);
  if (copy) std::memcpy(Buffer, text, copy);
  Buffer[copy] = '\0';
  return needed < BufSize ? needed : BufSize;
}

// --- Argument access ----------------------------------------------------------------------------------
HRESULT PluginGetArgValue(IUnknown* Args, int32_t Index, VARIANT* Result) {
  PluginVariantClear(Result);
  TPluginPtr<IKVGetIntfByIndex> list = PluginQuery<IKVGetIntfByIndex>(Args);
  if (!list) return E_NOINTERFACE;
  TPluginPtr<IKVQXGetArgValue> arg;
  HRESULT hr = list->GetIntfByIndex(Index, &IKVQXGetArgValue::IID, arg.out());
  if (PluginFailed(hr)) return hr;
  if (!arg) return E_POINTER;
  if (Result) {
    VARIANT v;
    PluginVariantInit(&v);
    arg->GetValue(&v);
    std::memcpy(static_cast<void*>(Result), &v, sizeof(VARIANT));  // Result was cleared above
  }
  return S_OK;
}

HRESULT PluginSetArgValue(IUnknown* Args, int32_t Index, const VARIANT* Value) {
  TPluginPtr<IKVGetIntfByIndex> list = PluginQuery<IKVGetIntfByIndex>(Args);
  if (!list) return E_NOINTERFACE;
  TPluginPtr<IKVQXSetArgValue> arg;
  HRESULT hr = list->GetIntfByIndex(Index, &IKVQXSetArgValue::IID, arg.out());
  if (PluginFailed(hr)) return hr;
  if (!arg) return E_POINTER;
  arg->SetValue(Value);
  return S_OK;
}

std::string PluginArgAccessMessage(const GUID& Iid, int32_t Index) {
  return "Unable to get interface " + PluginGuidToString(Iid) + " for item \"" + std::to_string(Index) + "\": ";
}

bool PluginReportError(IUnknown* Args, const char* Message, const char* ClassName, const char* RoutineName) {
  TPluginPtr<IKVQXErrorReport> report = PluginQuery<IKVQXErrorReport>(Args);
  if (!report) return false;
  report->ReportError(Message ? Message : "", ClassName ? ClassName : "", RoutineName ? RoutineName : "");
  return true;
}
