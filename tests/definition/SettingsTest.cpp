#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "definition/QXSettings.h"
#include "foundation/KVExceptions.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TempDir;

// Points the settings folder into a temp folder for the life of the object.
class ConfigHome {
 public:
  explicit ConfigHome(const std::string& dir) {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_Old = old;
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  }
  ~ConfigHome() {
    if (m_Old)
      ::setenv("XDG_CONFIG_HOME", m_Old->c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
  }

 private:
  std::optional<std::string> m_Old;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(QXSettings, FirstStartCreatesPrivateFileAndAnswersDefaults) {
  TempDir tmp;
  ConfigHome home(tmp.file("nested/config"));
  std::string fileName = QXSettingsFileName();
  EXPECT_EQ(fileName, tmp.file("nested/config") + "/KV-Software/dabrix.PRS");
  ASSERT_FALSE(std::filesystem::exists(fileName));

  TQXSettings settings;
  ASSERT_TRUE(std::filesystem::exists(fileName));
  EXPECT_EQ(ModeOf(fileName), 0600u);
  EXPECT_EQ(ModeOf(tmp.file("nested/config") + "/KV-Software"), 0700u);

  // Runs ask the user on every error until the user decides otherwise.
  EXPECT_EQ(settings.ErrorAction(), eaAskUser);
  EXPECT_EQ(settings.LastFileName(), "");
  EXPECT_EQ(settings.HintMaxShowTimeMS(), -1);
  EXPECT_EQ(settings.QXDTreeAreaWidth(), 200);
  EXPECT_TRUE(settings.ConfirmSingleDelete());
  EXPECT_TRUE(settings.ConfirmMultiDelete());
  EXPECT_EQ(settings.DlgWindowAnimation(), qdaFade);
  EXPECT_EQ(settings.DlgWindowAniDuration(), 250);
  EXPECT_FALSE(settings.GetValue(qxvReportFormVisible).AsBoolean());
  EXPECT_TRUE(settings.ParameterHintVisible());
  EXPECT_TRUE(settings.TreeSettings().ConfirmSingleDelete());
  // Ids outside the table are not settings.
  EXPECT_THROW(settings.GetValue(6), EKVException);
  EXPECT_THROW(settings.GetValue(14), EKVException);
  EXPECT_THROW(QXDefineStandardValues(settings.Data()), EKVException);
}

TEST(QXSettings, ValuesLiveInTheTableDirectoriesAndSurviveReopening) {
  TempDir tmp;
  std::string fileName = tmp.file("dabrix.PRS");
  {
    TQXSettings settings(fileName);
    settings.SetErrorAction(eaAbortOperation);
    settings.SetLastFileName("/home/user/Orders import.qxt");
    settings.SetValue(qxvQXDTreeAreaWidth, TKVVariant::FromInt32(321));
    settings.SetValue(qxvConfirmSingleDelete, TKVVariant::FromBoolean(false));
    settings.SetDlgWindowAniDuration(400);
    settings.SetParameterHintVisible(false);
    settings.SetHistoricValue("CustNo", "'K-17'");
    settings.SetHistoricValue("Amount", "12.5");
  }
  // Rewritten files keep the owner-only mode.
  EXPECT_EQ(ModeOf(fileName), 0600u);
  std::string text = testsupport::ReadFileBytes(fileName);
  EXPECT_NE(text.find("[GeneralSettings]"), std::string::npos);
  EXPECT_NE(text.find("ErrorAction=2"), std::string::npos);
  EXPECT_NE(text.find("[MainWindow]"), std::string::npos);
  EXPECT_NE(text.find("QXDTreeAreaWidth=321"), std::string::npos);
  EXPECT_NE(text.find("[ParameterDlg\\HistoricValues]"), std::string::npos);

  TQXSettings settings(fileName);
  EXPECT_EQ(settings.ErrorAction(), eaAbortOperation);
  EXPECT_EQ(settings.LastFileName(), "/home/user/Orders import.qxt");
  EXPECT_EQ(settings.QXDTreeAreaWidth(), 321);
  EXPECT_FALSE(settings.ConfirmSingleDelete());
  EXPECT_FALSE(settings.TreeSettings().ConfirmSingleDelete());
  EXPECT_TRUE(settings.ConfirmMultiDelete());
  EXPECT_EQ(settings.DlgWindowAniDuration(), 400);
  EXPECT_FALSE(settings.ParameterHintVisible());
  // Historic values: by name without regard to case, listed sorted by name.
  EXPECT_EQ(settings.HistoricValue("custno"), "'K-17'");
  EXPECT_EQ(settings.HistoricValue("Missing"), "");
  auto all = settings.HistoricValues();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].first, "Amount");
  EXPECT_EQ(all[1].first, "CustNo");
}

TEST(QXSettings, DialogAnimationIsClampedIntoItsRange) {
  TempDir tmp;
  std::string fileName = tmp.file("dabrix.PRS");
  testsupport::WriteFileBytes(fileName, "[GeneralSettings]\nDlgWindowAnimation=7\nErrorAction=x\n");
  {
    TQXSettings settings(fileName);
    EXPECT_EQ(settings.DlgWindowAnimation(), qdaCollapseToCenter);
    // A value that does not convert reads as its default.
    EXPECT_EQ(settings.ErrorAction(), eaAskUser);
    settings.SetDlgWindowAnimation(-3);
    EXPECT_EQ(settings.DlgWindowAnimation(), qdaNone);
  }
  // An existing file is used as it is, never recreated.
  EXPECT_NE(testsupport::ReadFileBytes(fileName).find("ErrorAction=x"), std::string::npos);
}

TEST(QXSettings, FolderThatCannotBeMadeRaises) {
  TempDir tmp;
  testsupport::WriteFileBytes(tmp.file("blocked"), "a file where a folder must go");
  EXPECT_THROW(TQXSettings(tmp.file("blocked/sub/dabrix.PRS")), EAPIException);
  EXPECT_EQ(testsupport::ReadFileBytes(tmp.file("blocked")), "a file where a folder must go");
}

}  // namespace
