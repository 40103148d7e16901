#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include "foundation/KVExceptions.h"
#include "foundation/KVGuid.h"
#include "foundation/KVRefObject.h"
#include "foundation/KVScopeExit.h"
#include "foundation/KVTrace.h"

namespace {

TEST(MessageTextRule, EndsWithExactlyOnePeriodUnlessQuestionExclamationOrCaret) {
  EXPECT_EQ(KVMessageText("File not found"), "File not found.");
  EXPECT_EQ(KVMessageText("Wait..."), "Wait.");
  EXPECT_EQ(KVMessageText("Trailing junk ,; \t\r\n"), "Trailing junk.");
  EXPECT_EQ(KVMessageText("Continue Operation ?"), "Continue Operation ?");
  EXPECT_EQ(KVMessageText("Stop!"), "Stop!");
  EXPECT_EQ(KVMessageText("No period wanted^"), "No period wanted");
  EXPECT_EQ(KVMessageText("No period wanted...^"), "No period wanted");
  EXPECT_EQ(KVMessageText(""), "");
  EXPECT_EQ(KVMessageText("...."), "");
}

TEST(ErrorCodes, OperatingSystemCodesReadAsResultCodes) {
  EXPECT_EQ(KVHResultFromOSError(0), 0);
  EXPECT_EQ(KVHResultFromOSError(-7), -7);
  EXPECT_EQ(static_cast<uint32_t>(KVHResultFromOSError(5)), 0x80070005u);
  EXPECT_EQ(static_cast<uint32_t>(KVHResultFromOSError(0x12345)), 0x80072345u);

  EAPIException e("Opening \"x\"", ENOENT, nullptr, "Open");
  EXPECT_EQ(e.GetSeverity(), TKVSeverity::Error);
  EXPECT_EQ(static_cast<uint32_t>(e.ResultCode()), 0x80070000u | ENOENT);
  EXPECT_NE(e.GetMessageText().find("Opening \"x\""), std::string::npos);
  EXPECT_NE(e.GetMessageText().find("No such file or directory"), std::string::npos);
}

TEST(ErrorCodes, ResultCodeSeverityFollowsSignAndTextsFallBack) {
  EKVHrException failure("Commit", static_cast<HRESULT>(0x80030070u), nullptr, "Commit");
  EXPECT_EQ(failure.GetSeverity(), TKVSeverity::Error);
  EKVHrException info("Note", 1, nullptr, "Note");
  EXPECT_EQ(info.GetSeverity(), TKVSeverity::Information);

  EXPECT_EQ(KVResultCodeMessage(static_cast<HRESULT>(0x8FFF1234u)), "Unknown error message");
  KVRegisterMessageTable([](HRESULT code) {
    return static_cast<uint32_t>(code) == 0x8FFF1234u ? std::string("From a module table") : std::string();
  });
  EXPECT_EQ(KVResultCodeMessage(static_cast<HRESULT>(0x8FFF1234u)), "From a module table");
}

class TNamedObject : public TKVRefLifeObject {
 public:
  std::string GetObjectName() const override { return "Orders"; }
  std::string ClassName() const override { return "TQXDDestRSData"; }
};

TEST(ExceptionInformation, CarriesRaiserAndSurvivesAsSnapshot) {
  TNamedObject obj;
  TKVExceptionInformation snapshot;
  EXPECT_EQ(snapshot.GetMessageText(), "No exception information available");
  try {
    throw EKVHrException("StgOpenStorage(\"a.qxs\")", static_cast<HRESULT>(0x80030020u), &obj, "GetRootStorage");
  } catch (const std::exception&) {
    snapshot = TKVExceptionInformation::FromCurrent();
  }
  EXPECT_EQ(snapshot.GetObjectName(), "Orders");
  EXPECT_EQ(snapshot.GetObjectClassName(), "TQXDDestRSData");
  EXPECT_EQ(snapshot.GetRoutineName(), "GetRootStorage");
  EXPECT_EQ(snapshot.GetExceptionClassName(), "EKVHrException");
  EXPECT_EQ(static_cast<uint32_t>(snapshot.GetErrorCode()), 0x80030020u);

  std::runtime_error plain("library failure");
  TKVExceptionInformation fromPlain(plain);
  EXPECT_EQ(fromPlain.GetMessageText(), "library failure");
  EXPECT_EQ(fromPlain.GetSeverity(), TKVSeverity::Error);
}

TEST(ExceptionInformation, DetailedTextNamesEverythingAndTheCode) {
  EKVHrException e("Commit", static_cast<HRESULT>(0x8003001Du), nullptr, "Commit");
  std::string text = KVDetailedErrorText(e);
  EXPECT_EQ(text.rfind("Exception in Module: ", 0), 0u);
  EXPECT_NE(text.find("Exception Class: EKVHrException\r\n"), std::string::npos);
  EXPECT_NE(text.find("Severity Level: Error\r\n"), std::string::npos);
  EXPECT_NE(text.find("Object Name: ?\r\n"), std::string::npos);
  EXPECT_NE(text.find("Routine Name: Commit\r\n"), std::string::npos);
  EXPECT_NE(text.find("Message:\r\n---------------\r\nCommit: "), std::string::npos);
  EXPECT_NE(text.find("(Hex: 0x8003001D, Dez: -2147287011)"), std::string::npos);
  EXPECT_EQ(text.back(), '.');
}

// A plug-in's abort reaches the host as an object of another class with the same name chain.
class TForeignAbort : public Exception {
 public:
  TForeignAbort() : Exception("stopped in a module") {}
  std::string ClassName() const override { return "EKVPluginError"; }
  void ClassChain(std::vector<std::string>& chain) const override {
    chain.insert(chain.end(), {"EKVPluginError", "EAbort", "Exception"});
  }
};

TEST(ContinueAfterError, FollowsTheErrorActionAndNeverContinuesAnAbort) {
  EKVException error("Duplicate key", nullptr, "Post");
  EAbort abort;
  TForeignAbort foreignAbort;
  EXPECT_TRUE(KVIsExceptionClass(foreignAbort, "eabort"));
  EXPECT_TRUE(KVIsExceptionClass(error, "Exception"));
  EXPECT_FALSE(KVIsExceptionClass(error, "EAbort"));

  EXPECT_TRUE(KVContinueAfterError(nullptr, eaAbortOperation));
  EXPECT_TRUE(KVContinueAfterError(&error, eaContinueOperation));
  EXPECT_FALSE(KVContinueAfterError(&abort, eaContinueOperation));
  EXPECT_FALSE(KVContinueAfterError(&foreignAbort, eaContinueOperation));
  EXPECT_FALSE(KVContinueAfterError(&error, eaAbortOperation));

  std::string asked;
  int answer = KV_IDYES;
  auto old = KVSetMessageDialogProc([&](const std::string& text, TKVSeverity sev, TKVMsgButtons buttons) {
    asked = text;
    EXPECT_EQ(sev, TKVSeverity::Warning);
    EXPECT_EQ(buttons, TKVMsgButtons::YesNo);
    return answer;
  });
  EXPECT_TRUE(KVContinueAfterError(&error, eaAskUser));
  EXPECT_EQ(asked, "Duplicate key\r\n\r\nContinue Operation ?");
  answer = KV_IDNO;
  EXPECT_FALSE(KVContinueAfterError(&error, eaAskUser, "Skip the record"));
  EXPECT_EQ(asked, "Duplicate key\r\n\r\nSkip the record ?");
  KVSetMessageDialogProc(old);
}

TEST(ContinueAfterError, WithoutAUserTheSafeAnswerIsNo) {
  auto old = KVSetMessageDialogProc(nullptr);
  EKVException error("Duplicate key", nullptr, "Post");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(KVContinueAfterError(&error, eaAskUser));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Warning: Duplicate key"), std::string::npos);
  KVSetMessageDialogProc(old);
}

TEST(Trace, WritesCategoryLinesOnlyWhenSwitchedOn) {
  bool was = KVTraceEnabled();
  KVSetTraceEnabled(false);
  testing::internal::CaptureStderr();
  KVTrace(TKVTraceCategory::Sql, "SELECT 1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  KVSetTraceEnabled(true);
  testing::internal::CaptureStderr();
  KVTrace(TKVTraceCategory::Sql, "SELECT 1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[dabrix] SQL: SELECT 1\n");
  KVSetTraceEnabled(was);
}

TEST(Trace, CleanUpErrorsAreTracedAndDroppedWhileTheErrorThatEndedTheWorkPassesOn) {
  bool was = KVTraceEnabled();
  KVSetTraceEnabled(true);
  testing::internal::CaptureStderr();
  int cleanUps = 0;
  std::string passedOn;
  try {
    TKVOnExit restore("restoring the settings", [&] { ++cleanUps; });
    TKVOnExit close("closing the node", [&] {
      ++cleanUps;
      throw std::runtime_error("close failed");
    });
    throw std::logic_error("the run's error");
  } catch (const std::logic_error& e) {
    passedOn = e.what();
  }
  KVTraceFailures("a step", [] { throw 42; });
  const std::string err = testing::internal::GetCapturedStderr();
  KVSetTraceEnabled(was);
  EXPECT_EQ(passedOn, "the run's error");
  EXPECT_EQ(cleanUps, 2);  // the failing step does not keep the guards before it from running
  EXPECT_EQ(err,
            "[dabrix] EXCEPTION: closing the node: close failed\n"
            "[dabrix] EXCEPTION: a step: an exception of no known class\n");
}

TEST(Guid, TextFormRoundTripsAndParsesAnyCase) {
  constexpr TGUID format = KVGuid("{C1CE532E-C8F3-4cc4-915D-B90F532B3B19}");
  EXPECT_EQ(format.ToString(), "{C1CE532E-C8F3-4CC4-915D-B90F532B3B19}");
  auto parsed = TGUID::TryParse(" {c1ce532e-c8f3-4CC4-915d-b90f532b3b19} ");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, format);
  EXPECT_EQ(TGUID::FromBytes(format.ToBytes().data()), format);
  EXPECT_EQ(format.ToBytes()[0], 0x2E);  // little-endian Data1, as the Windows structure
  for (const char* bad : {"", "{}", "C1CE532E-C8F3-4cc4-915D-B90F532B3B19", "{C1CE532E-C8F3-4cc4-915D-B90F532B3B1G}",
                          "{C1CE532E-C8F3-4cc4-915DB-90F532B3B19}", "{C1CE532E-C8F3-4cc4-915D-B90F532B3B19}x"})
    EXPECT_FALSE(TGUID::TryParse(bad)) << bad;
  EXPECT_THROW(TGUID::Parse("nonsense"), EKVException);
}

class TCounted : public TKVRefLifeObject {
 public:
  static constexpr TGUID IID = KVGuid("{11111111-2222-3333-4444-555555555555}");
  explicit TCounted(int* destroyed) : m_Destroyed(destroyed) {}
  ~TCounted() override { ++*m_Destroyed; }
  void* GetInterface(const TGUID& iid) override {
    return iid == IID ? static_cast<TCounted*>(this) : TKVRefLifeObject::GetInterface(iid);
  }

 private:
  int* m_Destroyed;
};

TEST(RefLifeObject, ReferenceCountedAndOwnedLifetimes) {
  int destroyed = 0;
  {
    TKVRef<TCounted> a = KVMakeRef<TCounted>(&destroyed);
    TKVRef<TCounted> b = a;
    EXPECT_EQ(a->RefCount(), 2u);
    EXPECT_EQ(a->Query<TCounted>(), a.get());
    EXPECT_EQ(a->GetInterface(KVGuid("{00000000-0000-0000-C000-000000000046}")), nullptr);
  }
  EXPECT_EQ(destroyed, 1);

  auto owned = std::make_unique<TCounted>(&destroyed);
  {
    TKVRef<TCounted> ref(owned.get());  // a reference to an owned object does not free it
  }
  EXPECT_EQ(destroyed, 1);
  owned.reset();
  EXPECT_EQ(destroyed, 2);
}

}  // namespace
