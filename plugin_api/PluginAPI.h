#pragma once
// The binary contract between Dabrix and a field value function module (a shared library named "*.qxp").
//
// Both sides build from this folder alone: PluginAPI.h (declarations) and PluginAPI.cpp (the string and
// value helpers, which every module compiles into itself so that a BSTR made on one side can be freed on
// the other). Nothing here depends on the rest of the program.
//
// Shape of the contract
//  - One export, `PluginCreateObject`, declared `extern "C"` and found with dlsym. Everything else is
//    reached through COM-style interfaces: abstract classes whose first three methods are QueryInterface,
//    AddRef and Release, then their own methods in the order below. No interface derives from another
//    besides IUnknown; every object is reference counted (thread-safe counts).
//  - Every interface method is `noexcept`: no C++ exception may cross the boundary in either direction
//    (the two sides need not share a run-time library, and an escaping exception would end the program).
//    A module catches everything inside each method; so does the host.
//  - Field values cross as the 16-byte VARIANT below; names, descriptions and messages as zero-terminated
//    8-bit strings (UTF-8) through the string buffer protocol (PluginCopyToBuffer / PluginReadString).
//
// How an error inside CallFunction reaches the host
//  CallFunction has no result. Instead, the Args object the host passes to CallFunction also answers
//  IKVQXErrorReport. A module that fails inside CallFunction catches the error, calls
//  IKVQXErrorReport::ReportError(message, class name, routine name) on Args (PluginReportError does the
//  query and the call) and returns normally, leaving *Value as it was. After the call the host raises the
//  reported message as an error of the record being processed, so the run treats it exactly like an
//  error of its own. A report on an Args object that does not answer the interface (another host) is
//  lost, so CallFunction then simply returns. Only the first report of a call counts. Validate and
//  ApplyConfirmation never report this way: their errors come back as message and severity.
//
// How a cancelled run reaches a long CallFunction
//  When the run that makes the call can be cancelled, the Args object also answers IKVQXCancelCheck. A
//  module whose function may work long (a regular expression over a large value) asks it every few
//  milliseconds; once it answers nonzero the module stops, reports an error through IKVQXErrorReport
//  (any message; the delivered module says "Function call cancelled") and returns. The host treats an
//  error reported after it answered nonzero as the run's cancel, not as an error of the record. A module
//  that never asks is simply not stopped early; a host that does not answer the interface gives the
//  module nothing to ask, which then runs to its end.
//
// Argument access on the module side
//  PluginGetArgValue / PluginSetArgValue below are the raw, non-throwing routines (HRESULT result). The
//  raising routines with the names GetArgValue / SetArgValue and their typed wrappers (as string, int32,
//  boolean, with the program's variant conversions) live in plugin_api/PluginArgs.h, which needs the
//  program's foundation sources; a third-party module either uses those or builds its own on the raw
//  routines (PluginArgAccessMessage gives the error text for a failed GetIntfByIndex).
#include <cstddef>
#include <cstdint>
#include <string>

// ------------------------------------------------------------------------------------------------------
// Basic types
// ------------------------------------------------------------------------------------------------------
typedef int32_t HRESULT;

// The Windows GUID layout: Data1 32-bit, Data2 and Data3 16-bit, Data4 8 bytes, little-endian.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID must have the Windows layout");

inline bool PluginSameGuid(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string PluginGuidToString(const GUID& g);

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
// Windows error 1413 (ERROR_INVALID_INDEX) as a result code: GetIntfByIndex outside the argument list.
constexpr HRESULT KV_E_INVALID_INDEX = static_cast<HRESULT>(0x80070585u);

inline bool PluginSucceeded(HRESULT hr) { return hr >= 0; }
inline bool PluginFailed(HRESULT hr) { return hr < 0; }

// Validation severity. Receivers clamp any other value into 0..4.
constexpr int32_t kSeverityNone = 0;
constexpr int32_t kSeverityInformation = 1;
constexpr int32_t kSeverityConfirmation = 2;  // a question; see IKVQXFVFConfirm
constexpr int32_t kSeverityWarning = 3;
constexpr int32_t kSeverityError = 4;
inline int32_t PluginClampSeverity(int32_t s) { return s < 0 ? 0 : (s > 4 ? 4 : s); }

// Dialog result codes handed to ApplyConfirmation.
constexpr int32_t kDialogResultOk = 1;
constexpr int32_t kDialogResultYes = 6;
constexpr int32_t kDialogResultNo = 7;

// ------------------------------------------------------------------------------------------------------
// Strings and values
// ------------------------------------------------------------------------------------------------------
// BSTR: a UTF-16 string with its byte length (uint32) stored just before the first character and a zero
// character after the last. The pointer points at the first character. Made and freed only by the
// functions below (both sides compile the same PluginAPI.cpp, which allocates with std::malloc).
typedef char16_t* BSTR;

// A copy of `len` characters of `s` (s may be null: the characters are then zero). Null when out of memory.
BSTR PluginSysAllocStringLen(const char16_t* s, uint32_t len);
// Null for a null argument.
BSTR PluginSysAllocString(const char16_t* s);
// From UTF-8 text (invalid sequences become U+FFFD).
BSTR PluginSysAllocStringUtf8(const char* s, size_t len);
void PluginSysFreeString(BSTR s);  // null is ignored
uint32_t PluginSysStringLen(BSTR s);  // characters; 0 for null
std::string PluginBstrToUtf8(BSTR s);  // null gives ""

// The program's own 8-bit string (VARTYPE 0x0100): the same layout as a BSTR but with 8-bit (UTF-8)
// characters: a uint32 byte length before the first character and a zero byte after the last. Only the
// host creates such values; a module reads them and never writes them.
typedef char* KVSTR;
KVSTR PluginKVStrAlloc(const char* s, size_t len);
void PluginKVStrFree(KVSTR s);
uint32_t PluginKVStrLen(KVSTR s);

typedef uint16_t VARTYPE;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R4 = 4;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_CY = 6;    // int64 counting ten-thousandths
constexpr VARTYPE VT_DATE = 7;  // double: days since 1899-12-30
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_BOOL = 11;  // VARIANT_BOOL: -1 true, 0 false
constexpr VARTYPE VT_VARIANT = 12;  // only as an argument's created type, never as a value
constexpr VARTYPE VT_UI1 = 17;
constexpr VARTYPE VT_KVSTRING = 0x0100;  // KVSTR
constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

typedef int16_t VARIANT_BOOL;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// 16 bytes: the type in the first 16 bits, the payload at byte 8.
struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t iVal;          // VT_I2
    int32_t lVal;          // VT_I4
    float fltVal;          // VT_R4
    double dblVal;         // VT_R8
    int64_t cyVal;         // VT_CY
    double date;           // VT_DATE
    BSTR bstrVal;          // VT_BSTR (owned)
    VARIANT_BOOL boolVal;  // VT_BOOL
    uint8_t bVal;          // VT_UI1
    KVSTR kvstrVal;        // VT_KVSTRING (owned)
    int64_t llVal;         // the whole payload, for zeroing
  };
};
static_assert(sizeof(VARIANT) == 16, "VARIANT must be 16 bytes");
static_assert(offsetof(VARIANT, lVal) == 8, "VARIANT payload must start at byte 8");

// Sets all 16 bytes to zero (VT_EMPTY) without freeing anything.
void PluginVariantInit(VARIANT* v);
// Frees an owned string and leaves VT_EMPTY. Null is ignored.
void PluginVariantClear(VARIANT* v);
// Clears *dest, then stores a deep copy of *src (dest == src is harmless). S_OK, E_POINTER, E_OUTOFMEMORY.
HRESULT PluginVariantCopy(VARIANT* dest, const VARIANT* src);
// VT_EMPTY or VT_NULL after masking with VT_TYPEMASK.
bool PluginVariantIsEmptyOrNull(const VARIANT* v);
// Clear-then-set helpers; the string ones copy the UTF-8 text into a new BSTR.
void PluginVariantSetNull(VARIANT* v);
void PluginVariantSetI4(VARIANT* v, int32_t value);
void PluginVariantSetBool(VARIANT* v, bool value);
void PluginVariantSetDate(VARIANT* v, double days);
void PluginVariantSetBstrUtf8(VARIANT* v, const std::string& text);

// Owns one VARIANT and clears it on destruction.
class TPluginVariant {
 public:
  TPluginVariant() { PluginVariantInit(&m_V); }
  TPluginVariant(const TPluginVariant& o) {
    PluginVariantInit(&m_V);
    PluginVariantCopy(&m_V, &o.m_V);
  }
  TPluginVariant& operator=(const TPluginVariant& o) {
    PluginVariantCopy(&m_V, &o.m_V);
    return *this;
  }
  ~TPluginVariant() { PluginVariantClear(&m_V); }
  VARIANT* get() { return &m_V; }
  const VARIANT* get() const { return &m_V; }
  VARTYPE vt() const { return m_V.vt; }

 private:
  VARIANT m_V;
};

// ------------------------------------------------------------------------------------------------------
// String buffer protocol
// ------------------------------------------------------------------------------------------------------
// Callee side. Buffer null or BufSize <= 0: nothing written, returns length + 1. Otherwise copies the
// first min(length, BufSize - 1) bytes, a zero after them, never more than BufSize bytes, and returns
// min(length + 1, BufSize).
int32_t PluginCopyToBuffer(const char* text, size_t length, char* Buffer, int32_t BufSize);
inline int32_t PluginCopyToBuffer(const std::string& text, char* Buffer, int32_t BufSize) {
  return PluginCopyToBuffer(text.data(), text.size(), Buffer, BufSize);
}

// Caller side: call with (null, 0) for n; when n - 1 > 0 call again with a buffer of n bytes; the
// second result minus 1 is the length (an empty string costs one call). `fetch` is any callable
// int32_t(char* Buffer, int32_t BufSize).
template <class F>
std::string PluginReadString(F&& fetch) {
  int32_t n = fetch(nullptr, 0);
  if (n - 1 <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  int32_t got = fetch(s.data(), n);
  if (got < 1) return std::string();
  if (got > n) got = n;
  s.resize(static_cast<size_t>(got - 1));
  // A callee that wrote a shorter string than it announced ends at its zero.
  size_t zero = s.find('\0');
  if (zero != std::string::npos) s.resize(zero);
  return s;
}

// ------------------------------------------------------------------------------------------------------
// Interfaces
// ------------------------------------------------------------------------------------------------------
// {00000000-0000-0000-C000-000000000046}
class IUnknown {
 public:
  static constexpr GUID IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  // S_OK with a new reference in *Obj, or E_NOINTERFACE with *Obj set to null.
  virtual HRESULT QueryInterface(const GUID& Iid, void** Obj) noexcept = 0;
  virtual uint32_t AddRef() noexcept = 0;
  virtual uint32_t Release() noexcept = 0;

 protected:
  ~IUnknown() = default;  // objects are destroyed through Release only
};

// The class id of a module's root enumerator (not an interface).
constexpr GUID FVFEnumeratorClassId = {0xBEEDCA73, 0x65D2, 0x40B8, {0x8C, 0x00, 0x6F, 0x2D, 0x75, 0xF2, 0x75, 0x41}};

// Implemented by the module's root enumerator and by every function object.
class IKVEnumObjects : public IUnknown {
 public:
  static constexpr GUID IID = {0x525D8C22, 0x275A, 0x11D5, {0xAB, 0x38, 0x00, 0x00, 0x21, 0xDC, 0xAD, 0x19}};
  // Only Kind 0 is served; any other Kind, or a Receiver that is null or lacks IKVEnumCallback, does
  // nothing. Otherwise calls Receiver's EnumObject once per object, synchronously and in order, with its
  // own IUnknown as Sender and Kind and Data unchanged. The root lists newly created function objects in
  // the module's fixed order; a function object lists its parameter descriptions in parameter order.
  // The receiver takes its own reference if it keeps an object.
  virtual void EnumObjects(int32_t Kind, IUnknown* Receiver, int32_t Data) noexcept = 0;
};

// Implemented by the host: whoever enumerates.
class IKVEnumCallback : public IUnknown {
 public:
  static constexpr GUID IID = {0x54EDEAAA, 0xC059, 0x41D1, {0x9F, 0x7A, 0x26, 0x11, 0xD0, 0x5A, 0x8D, 0x73}};
  virtual void EnumObject(IUnknown* Sender, int32_t Kind, IUnknown* Obj, int32_t Data) noexcept = 0;
};

// Implemented by the module: one object per function. Id, name, description and parameters never change
// after creation; the object keeps no per-call state (CallFunction runs on a worker thread while the user
// interface may ask for names or validation).
class IKVQXFVFunction : public IUnknown {
 public:
  static constexpr GUID IID = {0x70BEB5AC, 0x1FF3, 0x4D02, {0x85, 0x8B, 0xE3, 0xDE, 0x25, 0x01, 0x4F, 0x27}};
  // Copies the function's id into *Id; nothing when Id is null.
  virtual void GetId(GUID* Id) noexcept = 0;
  virtual int32_t GetName(char* Buffer, int32_t BufSize) noexcept = 0;
  virtual int32_t GetDescription(char* Buffer, int32_t BufSize) noexcept = 0;
  // Transforms *Value in place using the arguments read from Args (IKVGetIntfByIndex). A replaced value
  // is cleared first. An error is reported through IKVQXErrorReport on Args (see the top of this file).
  virtual void CallFunction(VARIANT* Value, IUnknown* Args) noexcept = 0;
  // Checks the argument values: a message through the string buffer protocol and *Severity (when not
  // null). No message and severity 0: acceptable. A null Args with checks to make is the error
  // "No Arguments passed for validation" (severity 4).
  virtual int32_t Validate(IUnknown* Args, char* Buffer, int32_t BufSize, int32_t* Severity) noexcept = 0;
};

// Implemented by the module: one parameter description.
class IKVQXFVFParameter : public IUnknown {
 public:
  static constexpr GUID IID = {0xE89E0AAE, 0x4B47, 0x47AE, {0xA1, 0xD0, 0xA0, 0x92, 0x60, 0xEA, 0xBB, 0x48}};
  virtual int32_t GetName(char* Buffer, int32_t BufSize) noexcept = 0;
  virtual int32_t GetDescription(char* Buffer, int32_t BufSize) noexcept = 0;
  // When Result is not null: zeroes all 16 bytes without freeing, then stores a copy of the default. The
  // default's type (VT_BSTR text, VT_I4 number, VT_BOOL switch) decides how the host edits the argument.
  virtual void GetDefaultValue(VARIANT* Result) noexcept = 0;
};

// Implemented by the host's argument list (the Args of every call).
class IKVGetIntfByIndex : public IUnknown {
 public:
  static constexpr GUID IID = {0x4694A884, 0x24F6, 0x11D5, {0xAB, 0x38, 0x00, 0x00, 0x21, 0xDC, 0xAD, 0x19}};
  // For 0 <= Index < count the item's QueryInterface(*Iid, Intf); otherwise KV_E_INVALID_INDEX. Index i
  // is the argument of the function's i-th parameter.
  virtual HRESULT GetIntfByIndex(int32_t Index, const GUID* Iid, void** Intf) noexcept = 0;
};

// Implemented by the host: each argument.
class IKVQXGetArgValue : public IUnknown {
 public:
  static constexpr GUID IID = {0x223323C8, 0x5F7B, 0x4A6D, {0xAD, 0xE1, 0x0B, 0x44, 0xE6, 0xF7, 0x55, 0xEC}};
  // As GetDefaultValue: the argument's current value.
  virtual void GetValue(VARIANT* Result) noexcept = 0;
};

// Implemented by the host: each argument.
class IKVQXSetArgValue : public IUnknown {
 public:
  static constexpr GUID IID = {0xB83431BB, 0x1C3D, 0x489E, {0x88, 0xA7, 0xBB, 0x14, 0xEC, 0x9D, 0x12, 0x22}};
  // A non-null Value is copied into the argument and counts as a user change; null is ignored.
  virtual void SetValue(const VARIANT* Value) noexcept = 0;
};

// Optional on a function object: functions that ask a question during validation.
class IKVQXFVFConfirm : public IUnknown {
 public:
  static constexpr GUID IID = {0x0F673B29, 0x543D, 0x4479, {0x87, 0xC8, 0x6F, 0x22, 0x75, 0x0E, 0x2B, 0xFA}};
  // The button set the question is meant for (4: Yes/No). The host does not call it.
  virtual int32_t ConfirmStyle() noexcept = 0;
  // Receives the dialog result of the last question (6: Yes), may change arguments through
  // IKVQXSetArgValue, and returns the next message and severity exactly as Validate does.
  virtual int32_t ApplyConfirmation(int32_t Answer, IUnknown* Args, char* Buffer, int32_t BufSize,
                                    int32_t* Severity) noexcept = 0;
};

// Implemented by the host on the Args object of CallFunction: the way an error leaves CallFunction.
// {3FBB9CD3-2A07-4EB0-B6ED-98060B04DF90}
class IKVQXErrorReport : public IUnknown {
 public:
  static constexpr GUID IID = {0x3FBB9CD3, 0x2A07, 0x4EB0, {0xB6, 0xED, 0x98, 0x06, 0x0B, 0x04, 0xDF, 0x90}};
  // Message: the error text (required). ClassName: the module's exception class name ("" if unknown);
  // the host's error keeps it so the error is recognised by class. RoutineName: where it was raised ("" if
  // unknown). Null pointers count as "". Only the first report of a call is kept.
  virtual void ReportError(const char* Message, const char* ClassName, const char* RoutineName) noexcept = 0;
};

// Implemented by the host on the Args object of CallFunction when the call can be cancelled (see the top
// of this file). Optional: a module asks for it with QueryInterface and goes on without it.
// {9F7D64A1-9BE5-46DD-9D24-AE900D304B89}
class IKVQXCancelCheck : public IUnknown {
 public:
  static constexpr GUID IID = {0x9F7D64A1, 0x9BE5, 0x46DD, {0x9D, 0x24, 0xAE, 0x90, 0x0D, 0x30, 0x4B, 0x89}};
  // Nonzero once the run has been asked to stop. Cheap enough to ask thousands of times a second; called
  // on the thread that made the call.
  virtual int32_t CancelRequested() noexcept = 0;
};

// ------------------------------------------------------------------------------------------------------
// The export
// ------------------------------------------------------------------------------------------------------
// When *ClassId is not FVFEnumeratorClassId: CLASS_E_CLASSNOTAVAILABLE, *Obj untouched. Otherwise a new
// root enumerator's QueryInterface(*Iid, Obj) (S_OK or E_NOINTERFACE; on failure the object is freed).
typedef HRESULT (*TPluginCreateObject)(const GUID* ClassId, const GUID* Iid, void** Obj);
constexpr const char* kPluginCreateObjectName = "PluginCreateObject";

#if defined(__GNUC__)
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define PLUGIN_EXPORT extern "C"
#endif
// A module defines it as: PLUGIN_EXPORT HRESULT PluginCreateObject(const GUID*, const GUID*, void**) {...}

// ------------------------------------------------------------------------------------------------------
// Helpers for either side
// ------------------------------------------------------------------------------------------------------
// Holds one reference to an interface and releases it.
template <class I>
class TPluginPtr {
 public:
  TPluginPtr() = default;
  // Takes over a reference the caller already owns.
  static TPluginPtr Attach(I* p) {
    TPluginPtr r;
    r.m_P = p;
    return r;
  }
  // Adds its own reference.
  explicit TPluginPtr(I* p) : m_P(p) {
    if (m_P) m_P->AddRef();
  }
  TPluginPtr(const TPluginPtr& o) : TPluginPtr(o.m_P) {}
  TPluginPtr(TPluginPtr&& o) noexcept : m_P(o.m_P) { o.m_P = nullptr; }
  TPluginPtr& operator=(TPluginPtr o) noexcept {
    I* t = m_P;
    m_P = o.m_P;
    o.m_P = t;
    return *this;
  }
  ~TPluginPtr() { reset(); }
  void reset() {
    if (m_P) {
      I* p = m_P;
      m_P = nullptr;
      p->Release();
    }
  }
  I* get() const { return m_P; }
  I* operator->() const { return m_P; }
  explicit operator bool() const { return m_P != nullptr; }
  // For out-parameters: releases the current reference first.
  void** out() {
    reset();
    return reinterpret_cast<void**>(&m_P);
  }

 private:
  I* m_P = nullptr;
};

// QueryInterface for a typed interface; empty when the object is null or does not answer.
template <class I>
TPluginPtr<I> PluginQuery(IUnknown* obj) {
  TPluginPtr<I> r;
  if (obj && PluginFailed(obj->QueryInterface(I::IID, r.out()))) r.reset();
  return r;
}

// Raw argument access through Args (IKVGetIntfByIndex). E_NOINTERFACE when Args is null or does not
// answer IKVGetIntfByIndex, otherwise the failure of GetIntfByIndex, else S_OK. *Result is cleared first.
HRESULT PluginGetArgValue(IUnknown* Args, int32_t Index, VARIANT* Result);
HRESULT PluginSetArgValue(IUnknown* Args, int32_t Index, const VARIANT* Value);
// "Unable to get interface {IID} for item \"Index\": " — the start of the error text for a failed
// GetIntfByIndex; the caller appends its explanation of the result code.
std::string PluginArgAccessMessage(const GUID& Iid, int32_t Index);

// Module side of the CallFunction error route: ReportError on Args when it answers IKVQXErrorReport.
// Returns false when the report could not be delivered.
bool PluginReportError(IUnknown* Args, const char* Message, const char* ClassName, const char* RoutineName);
