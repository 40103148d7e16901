#include "foundation/KVExceptions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>

#include "foundation/KVRefObject.h"
#include "foundation/KVTrace.h"

const char* KVSeverityCaption(TKVSeverity s) {
  switch (s) {
    case TKVSeverity::None: return "";
    case TKVSeverity::Information: return "Information";
    case TKVSeverity::Confirmation: return "Confirm";
    case TKVSeverity::Warning: return "Warning";
    default: return "Error";
  }
}

TKVSeverity KVClampSeverity(int value) {
  if (value < 0) value = 0;
  if (value > 4) value = 4;
  return static_cast<TKVSeverity>(value);
}

namespace {
uintptr_t CallerAddress(void* a) { return reinterpret_cast<uintptr_t>(a); }
}  // namespace

EKVException::EKVException(std::string message, const TKVRefLifeObject* object, std::string routineName,
                           TKVSeverity severity, int32_t helpContext)
    : Exception(std::move(message), helpContext),
      m_ObjectName(object ? object->GetObjectName() : std::string()),
      m_ObjectClassName(object ? object->ClassName() : std::string()),
      m_RoutineName(std::move(routineName)),
      m_Severity(severity),
      m_Address(CallerAddress(__builtin_return_address(0))) {}

EKVException::EKVException(std::string message, std::string objectName, std::string objectClassName,
                           std::string routineName, TKVSeverity severity, int32_t helpContext)
    : Exception(std::move(message), helpContext),
      m_ObjectName(std::move(objectName)),
      m_ObjectClassName(std::move(objectClassName)),
      m_RoutineName(std::move(routineName)),
      m_Severity(severity),
      m_Address(CallerAddress(__builtin_return_address(0))) {}

namespace {
std::string JoinDetail(const std::string& text, const std::string& detail) {
  if (text.empty()) return detail;
  if (detail.empty()) return text;
  return text + ": " + detail;
}
}  // namespace

EKVHrException::EKVHrException(const std::string& message, HRESULT code, const TKVRefLifeObject* object,
                               std::string routineName)
    : EKVHrException(message, code, KVResultCodeMessage(code), object, std::move(routineName)) {}

EKVHrException::EKVHrException(const std::string& message, HRESULT code, const std::string& detail,
                               const TKVRefLifeObject* object, std::string routineName)
    : EKVException(JoinDetail(message, detail), object, std::move(routineName),
                   code < 0 ? TKVSeverity::Error : TKVSeverity::Information),
      m_Code(code) {}

EAPIException::EAPIException(const std::string& message, int code, const TKVRefLifeObject* object,
                             std::string routineName)
    : EKVException(JoinDetail(message, KVSysErrorMessage(code)), object, std::move(routineName),
                   TKVSeverity::Error),
      m_Code(code) {}

HRESULT KVHResultFromOSError(int code) {
  if (code <= 0) return code;
  return static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}

HRESULT EAPIException::ResultCode() const { return KVHResultFromOSError(m_Code); }

// --- Exception information snapshot --------------------------------------------------------------------

TKVExceptionInformation::TKVExceptionInformation() : m_Message("No exception information available") {}

TKVExceptionInformation::TKVExceptionInformation(const std::exception& e) {
  m_HasInformation = true;
  if (auto* info = dynamic_cast<const IKVExceptionInformation*>(&e)) {
    m_Message = info->GetMessageText();
    m_ClassName = info->GetExceptionClassName();
    m_Address = info->GetExceptionAddress();
    m_ObjectName = info->GetObjectName();
    m_ObjectClassName = info->GetObjectClassName();
    m_RoutineName = info->GetRoutineName();
    m_Severity = info->GetSeverity();
    m_HelpContext = info->GetHelpContext();
  } else if (auto* rtl = dynamic_cast<const Exception*>(&e)) {
    m_Message = rtl->Message();
    m_ClassName = rtl->ClassName();
    m_HelpContext = rtl->HelpContext();
  } else {
    m_Message = e.what();
    m_ClassName = "Exception";
  }
  if (auto* code = dynamic_cast<const IKVErrorCode*>(&e)) m_ErrorCode = code->GetErrorCode();
}

TKVExceptionInformation TKVExceptionInformation::FromCurrent() {
  std::exception_ptr p = std::current_exception();
  if (!p) return {};
  try {
    std::rethrow_exception(p);
  } catch (const std::exception& e) {
    return TKVExceptionInformation(e);
  } catch (...) {
    return {};
  }
}

// --- Message texts --------------------------------------------------------------------------------------

std::string KVMessageText(const std::string& text) {
  bool caret = !text.empty() && text.back() == '^';
  size_t end = text.size();
  while (end > 0 && std::strchr(".,; \t\n\r^", text[end - 1]) != nullptr) --end;
  std::string r = text.substr(0, end);
  if (!r.empty() && !caret && r.back() != '!' && r.back() != '?') r += '.';
  return r;
}

namespace {
std::mutex g_TablesLock;
std::vector<TKVMessageTable>& MessageTables() {
  static std::vector<TKVMessageTable> tables;
  return tables;
}

std::string FromTables(HRESULT code) {
  std::lock_guard lock(g_TablesLock);
  for (auto& t : MessageTables()) {
    std::string s = t(code);
    if (!s.empty()) return s;
  }
  return {};
}

// Texts of the result codes this program raises or receives itself.
const char* KnownResultText(uint32_t code) {
  switch (code) {
    case 0x00000000: return "The operation completed successfully";
    case 0x80004001: return "Not implemented";
    case 0x80004002: return "No such interface supported";
    case 0x80004003: return "Invalid pointer";
    case 0x80004004: return "Operation aborted";
    case 0x80004005: return "Unspecified error";
    case 0x8000FFFF: return "Catastrophic failure";
    case 0x8007000E: return "Not enough memory resources are available to complete this operation";
    case 0x80070057: return "The parameter is incorrect";
    case 0x80070585: return "Invalid index";
    case 0x80040111: return "ClassFactory cannot supply requested class";
    case 0x80030001: return "Unable to perform requested operation";
    case 0x80030002: return "The file could not be found";
    case 0x80030003: return "The path could not be found";
    case 0x80030005: return "Access denied";
    case 0x80030008: return "There is insufficient memory available to complete operation";
    case 0x8003001D: return "A disk error occurred during a write operation";
    case 0x8003001E: return "A disk error occurred during a read operation";
    case 0x80030020: return "A lock violation has occurred";
    case 0x80030021: return "A lock violation has occurred";
    case 0x80030050: return "The file already exists";
    case 0x80030070: return "There is insufficient disk space to complete operation";
    case 0x800300FB: return "The file is not a valid compound file";
    case 0x800300FC: return "The name is not valid";
    case 0x80030109: return "The compound file is corrupt";
    default: return nullptr;
  }
}
}  // namespace

void KVRegisterMessageTable(TKVMessageTable table) {
  std::lock_guard lock(g_TablesLock);
  MessageTables().push_back(std::move(table));
}

std::string KVSysErrorMessage(int osErrorCode) {
  if (osErrorCode > 0) {
    char buf[256];
    // GNU strerror_r returns the text pointer (it may not use buf).
    const char* s = strerror_r(osErrorCode, buf, sizeof buf);
    if (s && *s && std::strncmp(s, "Unknown error", 13) != 0) return s;
  }
  std::string t = FromTables(KVHResultFromOSError(osErrorCode));
  return t.empty() ? "Unknown error message" : t;
}

std::string KVResultCodeMessage(HRESULT code) {
  uint32_t u = static_cast<uint32_t>(code);
  if (const char* s = KnownResultText(u)) return s;
  if ((u & 0xFFFF0000u) == 0x80070000u) {
    int os = static_cast<int>(u & 0xFFFF);
    char buf[256];
    const char* s = strerror_r(os, buf, sizeof buf);
    if (s && *s && std::strncmp(s, "Unknown error", 13) != 0) return s;
  }
  std::string t = FromTables(code);
  return t.empty() ? "Unknown error message" : t;
}

bool KVIsExceptionClass(const std::exception& e, const std::string& className) {
  std::vector<std::string> chain;
  if (auto* rtl = dynamic_cast<const Exception*>(&e))
    rtl->ClassChain(chain);
  else
    chain.push_back("Exception");
  for (auto& n : chain)
    if (strcasecmp(n.c_str(), className.c_str()) == 0) return true;
  return false;
}

std::string KVModuleName() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("dabrix");
  std::string name = path.substr(path.find_last_of('/') + 1);
  for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

std::string KVDetailedErrorTextFromInfo(const IKVExceptionInformation& info, int32_t errorCode) {
  std::string message;
  try {
    message = info.GetMessageText();
    auto q = [](const std::string& s) { return s.empty() ? std::string("?") : s; };
    std::string msg = message;
    if (errorCode != 0) {
      char code[64];
      std::snprintf(code, sizeof code, "(Hex: 0x%X, Dez: %d)", static_cast<unsigned>(errorCode), errorCode);
      msg += " ";
      msg += code;
    }
    char addr[32];
    std::snprintf(addr, sizeof addr, "%p", reinterpret_cast<void*>(info.GetExceptionAddress()));
    std::string text = std::string("Exception in Module") + ": " + q(KVModuleName()) + "\r\n\r\n" +
                       "Exception Class" + ": " + q(info.GetExceptionClassName()) + "\r\n" + "Severity Level" +
                       ": " + q(KVSeverityCaption(info.GetSeverity())) + "\r\n" + "Object Name" + ": " +
                       q(info.GetObjectName()) + "\r\n" + "Object Class" + ": " + q(info.GetObjectClassName()) +
                       "\r\n" + "Routine Name" + ": " + q(info.GetRoutineName()) + "\r\n" + "Exception Address" +
                       ": $" + addr + "\r\n\r\n" + "Message" + ":\r\n---------------\r\n" + msg + "\r\n\r\n";
    return KVMessageText(text);
  } catch (...) {
    return KVMessageText(message);
  }
}

std::string KVDetailedErrorText(const std::exception& e) {
  TKVExceptionInformation info(e);
  return KVDetailedErrorTextFromInfo(info, info.GetErrorCode());
}

std::string KVErrorText(const std::exception& e) {
  std::string m = e.what();
  return m.empty() ? std::string("No exception information available") : m;
}

// --- Questions --------------------------------------------------------------------------------------------

namespace {
std::mutex g_DialogLock;
TKVMessageDialogProc& DialogProc() {
  static TKVMessageDialogProc proc;
  return proc;
}

int DefaultDialog(const std::string& text, TKVSeverity severity, TKVMsgButtons buttons) {
  const char* caption = KVSeverityCaption(severity);
  std::cerr << (*caption ? caption : "Message") << ": " << text << std::endl;
  switch (buttons) {
    case TKVMsgButtons::Ok: return KV_IDOK;
    case TKVMsgButtons::OkCancel: return KV_IDCANCEL;
    case TKVMsgButtons::YesNo: return KV_IDNO;
    case TKVMsgButtons::YesNoCancel: return KV_IDCANCEL;
  }
  return KV_IDCANCEL;
}
}  // namespace

TKVMessageDialogProc KVSetMessageDialogProc(TKVMessageDialogProc proc) {
  std::lock_guard lock(g_DialogLock);
  TKVMessageDialogProc old = std::move(DialogProc());
  DialogProc() = std::move(proc);
  return old;
}

namespace {
std::mutex g_RecentLock;
std::deque<TKVRecentError>& RecentErrors() {
  static std::deque<TKVRecentError> errors;
  return errors;
}
// Set while KVHandleException shows its error: the detailed text is already recorded.
thread_local bool t_ErrorRecorded = false;
}  // namespace

void KVRecordRecentError(const std::string& text, TKVSeverity severity) {
  TKVRecentError error;
  error.UnixTime = static_cast<int64_t>(std::time(nullptr));
  error.Severity = severity;
  error.Text = text;
  std::lock_guard lock(g_RecentLock);
  auto& errors = RecentErrors();
  errors.push_back(std::move(error));
  while (errors.size() > kKVRecentErrorCapacity) errors.pop_front();
}

std::vector<TKVRecentError> KVRecentErrors() {
  std::lock_guard lock(g_RecentLock);
  return {RecentErrors().begin(), RecentErrors().end()};
}

void KVClearRecentErrors() {
  std::lock_guard lock(g_RecentLock);
  RecentErrors().clear();
}

int KVMessageDialog(const std::string& text, TKVSeverity severity, TKVMsgButtons buttons) {
  if (severity >= TKVSeverity::Error && !t_ErrorRecorded) KVRecordRecentError(KVMessageText(text), severity);
  TKVMessageDialogProc proc;
  {
    std::lock_guard lock(g_DialogLock);
    proc = DialogProc();
  }
  std::string shown = text.empty() ? std::string("No exception information available") : KVMessageText(text);
  return proc ? proc(shown, severity, buttons) : DefaultDialog(shown, severity, buttons);
}

void KVShowMessage(const std::string& text, TKVSeverity severity) {
  KVMessageDialog(text, severity, TKVMsgButtons::Ok);
}

void KVHandleException(const std::exception& e) {
  if (KVTraceEnabled()) KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  if (KVIsExceptionClass(e, "EAbort")) return;
  TKVExceptionInformation info(e);
  KVRecordRecentError(KVDetailedErrorText(e), info.GetSeverity());
  t_ErrorRecorded = true;
  try {
    KVShowMessage(KVErrorText(e), info.GetSeverity());
  } catch (...) {
    t_ErrorRecorded = false;
    throw;
  }
  t_ErrorRecorded = false;
}

bool KVContinueAfterError(const std::exception* e, int errorAction, const std::string& question) {
  if (!e) return true;
  if (KVIsExceptionClass(*e, "EAbort")) return false;
  if (errorAction == eaContinueOperation) return true;
  if (errorAction == eaAskUser) {
    std::string text = KVErrorText(*e) + "\r\n\r\n" + question + " ?";
    return KVMessageDialog(text, TKVSeverity::Warning, TKVMsgButtons::YesNo) == KV_IDYES;
  }
  return false;
}
