#pragma once
// Error objects with severity, raising object and routine, read uniformly through
// IKVExceptionInformation; the message text rule; the "go on after an error?" decision; the
// replaceable message-dialog routine through which every question reaches a user.
//
// All own code raises these classes; nothing returns error codes except the plug-in boundary.
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "foundation/KVGuid.h"

class TKVRefLifeObject;

using HRESULT = int32_t;

enum class TKVSeverity : uint8_t { None = 0, Information = 1, Confirmation = 2, Warning = 3, Error = 4 };

// "", "Information", "Confirm", "Warning", "Error"; values above 4 are clamped to "Error".
const char* KVSeverityCaption(TKVSeverity s);
// Clamps any integer into the severity scale (receivers of foreign severities do this).
TKVSeverity KVClampSeverity(int value);

// The eight facts every error can be asked for, whatever raised it.
class IKVExceptionInformation {
 public:
  static constexpr TGUID IID = KVGuid("{E9D30915-FAF3-43B3-A3FA-B3AE9E24EA02}");
  virtual ~IKVExceptionInformation() = default;
  virtual std::string GetMessageText() const = 0;
  virtual std::string GetExceptionClassName() const = 0;
  virtual uintptr_t GetExceptionAddress() const = 0;
  virtual std::string GetObjectName() const = 0;
  virtual std::string GetObjectClassName() const = 0;
  virtual std::string GetRoutineName() const = 0;
  virtual TKVSeverity GetSeverity() const = 0;
  virtual int32_t GetHelpContext() const = 0;
};

// An object that may carry an error code; zero when it has none.
class IKVErrorCode {
 public:
  static constexpr TGUID IID = KVGuid("{B3526DBB-F29F-474E-94A0-C8B3218DABC0}");
  virtual ~IKVErrorCode() = default;
  virtual int32_t GetErrorCode() const = 0;
};

// Declares the class-name chain of an exception class: the is-class test compares names, not types, so
// that an error re-raised on behalf of a plug-in module is recognised by its class name.
#define KV_EXCEPTION_CLASS(Name, Base)                                  \
  std::string ClassName() const override { return #Name; }             \
  void ClassChain(std::vector<std::string>& chain) const override {    \
    chain.push_back(#Name);                                            \
    Base::ClassChain(chain);                                           \
  }

// The run-time library's base exception: a message and a help context.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int32_t helpContext = 0)
      : m_Message(std::move(message)), m_HelpContext(helpContext) {}
  const char* what() const noexcept override { return m_Message.c_str(); }
  const std::string& Message() const { return m_Message; }
  int32_t HelpContext() const { return m_HelpContext; }
  virtual std::string ClassName() const { return "Exception"; }
  // Own class name first, then every ancestor up to "Exception".
  virtual void ClassChain(std::vector<std::string>& chain) const { chain.push_back("Exception"); }

 protected:
  std::string m_Message;
  int32_t m_HelpContext;
};

// The silent exception: ends an operation without being reported as an error.
class EAbort : public Exception {
 public:
  explicit EAbort(std::string message = "Operation aborted") : Exception(std::move(message)) {}
  KV_EXCEPTION_CLASS(EAbort, Exception)
};

class EKVException : public Exception, public IKVExceptionInformation {
 public:
  // The object's name and class name are taken from `object` (may be null).
  EKVException(std::string message, const TKVRefLifeObject* object, std::string routineName,
               TKVSeverity severity = TKVSeverity::Error, int32_t helpContext = 0);
  // For raisers that are not reference-counted objects: the names are given directly.
  EKVException(std::string message, std::string objectName, std::string objectClassName,
               std::string routineName, TKVSeverity severity = TKVSeverity::Error, int32_t helpContext = 0);
  KV_EXCEPTION_CLASS(EKVException, Exception)

  std::string GetMessageText() const override { return m_Message; }
  std::string GetExceptionClassName() const override { return ClassName(); }
  uintptr_t GetExceptionAddress() const override { return m_Address; }
  std::string GetObjectName() const override { return m_ObjectName; }
  std::string GetObjectClassName() const override { return m_ObjectClassName; }
  std::string GetRoutineName() const override { return m_RoutineName; }
  TKVSeverity GetSeverity() const override { return m_Severity; }
  int32_t GetHelpContext() const override { return m_HelpContext; }

  void SetSeverity(TKVSeverity s) { m_Severity = s; }

 protected:
  std::string m_ObjectName;
  std::string m_ObjectClassName;
  std::string m_RoutineName;
  TKVSeverity m_Severity;
  uintptr_t m_Address = 0;
};

// A failed result code (HRESULT). Severity follows the sign: negative codes are errors, others information.
class EKVHrException : public EKVException, public IKVErrorCode {
 public:
  EKVHrException(const std::string& message, HRESULT code, const TKVRefLifeObject* object,
                 std::string routineName);
  // When the system text for the code is not the best explanation (a library gave its own), it is passed in.
  EKVHrException(const std::string& message, HRESULT code, const std::string& detail,
                 const TKVRefLifeObject* object, std::string routineName);
  KV_EXCEPTION_CLASS(EKVHrException, EKVException)
  HRESULT ResultCode() const { return m_Code; }
  int32_t GetErrorCode() const override { return m_Code; }

 private:
  HRESULT m_Code;
};

// A failed operating-system call: `code` is the errno value. Always severity 4.
class EAPIException : public EKVException, public IKVErrorCode {
 public:
  EAPIException(const std::string& message, int code, const TKVRefLifeObject* object, std::string routineName);
  KV_EXCEPTION_CLASS(EAPIException, EKVException)
  int OSErrorCode() const { return m_Code; }
  // Codes > 0 become 0x80070000 | (code & 0xFFFF); codes <= 0 are passed unchanged.
  HRESULT ResultCode() const;
  int32_t GetErrorCode() const override { return ResultCode(); }

 private:
  int m_Code;
};

// 0x80070000 | (code & 0xFFFF) for code > 0, else code.
HRESULT KVHResultFromOSError(int code);

// Snapshot of the eight facts plus an error code, kept after the exception object is gone.
class TKVExceptionInformation : public IKVExceptionInformation, public IKVErrorCode {
 public:
  TKVExceptionInformation();  // "No exception information available"
  explicit TKVExceptionInformation(const std::exception& e);
  // From the exception in flight (inside a catch block); nothing in flight gives the empty form.
  static TKVExceptionInformation FromCurrent();

  std::string GetMessageText() const override { return m_Message; }
  std::string GetExceptionClassName() const override { return m_ClassName; }
  uintptr_t GetExceptionAddress() const override { return m_Address; }
  std::string GetObjectName() const override { return m_ObjectName; }
  std::string GetObjectClassName() const override { return m_ObjectClassName; }
  std::string GetRoutineName() const override { return m_RoutineName; }
  TKVSeverity GetSeverity() const override { return m_Severity; }
  int32_t GetHelpContext() const override { return m_HelpContext; }
  int32_t GetErrorCode() const override { return m_ErrorCode; }
  bool HasInformation() const { return m_HasInformation; }

 private:
  std::string m_Message, m_ClassName, m_ObjectName, m_ObjectClassName, m_RoutineName;
  uintptr_t m_Address = 0;
  TKVSeverity m_Severity = TKVSeverity::Error;
  int32_t m_HelpContext = 0;
  int32_t m_ErrorCode = 0;
  bool m_HasInformation = false;
};

// Applies the message text rule: strip trailing ".,; \t\n\r^"; unless empty, a question, an exclamation or
// ended with "^" by its author, end with exactly one period.
std::string KVMessageText(const std::string& text);

// The system's text for an errno value / a result code; module message tables registered below are asked
// when the system has none; "Unknown error message" when nobody knows the code.
std::string KVSysErrorMessage(int osErrorCode);
std::string KVResultCodeMessage(HRESULT code);
using TKVMessageTable = std::function<std::string(HRESULT code)>;  // empty result: not known
void KVRegisterMessageTable(TKVMessageTable table);

// Whether `e` is of the class `className` or derives from it, decided by class names.
bool KVIsExceptionClass(const std::exception& e, const std::string& className);

// The detailed error text ("Exception in Module: ..."), already passed through the message text rule.
// Never throws: on an internal failure it gives the plain message.
std::string KVDetailedErrorTextFromInfo(const IKVExceptionInformation& info, int32_t errorCode = 0);
std::string KVDetailedErrorText(const std::exception& e);
// The message alone, or "No exception information available".
std::string KVErrorText(const std::exception& e);

// --- Questions and messages ---------------------------------------------------------------------------
enum class TKVMsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
constexpr int KV_IDOK = 1, KV_IDCANCEL = 2, KV_IDYES = 6, KV_IDNO = 7;

// Shows `text` (already through the message text rule) with the severity's caption and returns the button
// pressed. The GUI installs a message box, the terminal a prompt; without a user the default routine
// writes the text to standard error and answers with the safe choice (OK, No, Cancel).
using TKVMessageDialogProc = std::function<int(const std::string& text, TKVSeverity severity, TKVMsgButtons)>;
// Installs a routine; an empty one restores the default. Returns the previous routine.
TKVMessageDialogProc KVSetMessageDialogProc(TKVMessageDialogProc proc);
int KVMessageDialog(const std::string& text, TKVSeverity severity, TKVMsgButtons buttons);
void KVShowMessage(const std::string& text, TKVSeverity severity = TKVSeverity::Information);
// Writes the exception to the trace (detailed) and shows it to the user.
void KVHandleException(const std::exception& e);

// The last errors shown to a user (detailed texts, oldest first), kept so that a problem report can name
// them after the message boxes are gone. Only the newest kKVRecentErrorCapacity are kept.
struct TKVRecentError {
  int64_t UnixTime = 0;
  TKVSeverity Severity = TKVSeverity::Error;
  std::string Text;
};
constexpr size_t kKVRecentErrorCapacity = 16;
std::vector<TKVRecentError> KVRecentErrors();
void KVRecordRecentError(const std::string& text, TKVSeverity severity);
void KVClearRecentErrors();

// Error actions of long operations.
enum TKVErrorAction : int { eaContinueOperation = 0, eaAskUser = 1, eaAbortOperation = 2 };

// The decision after an error: go on unless it is an abort, or the action says stop, or the user says No
// to "<message>\r\n\r\n<question> ?".
bool KVContinueAfterError(const std::exception* e, int errorAction,
                          const std::string& question = "Continue Operation");

// Upper-cased file name of the running program, as the detailed error text names it.
std::string KVModuleName();
