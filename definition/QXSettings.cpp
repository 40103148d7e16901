#include "definition/QXSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include "db/KVCredentials.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "storage/KVIniFileStorage.h"

void QXDefineStandardValues(IKVPersistentValues& v) {
  // Ids 6 and 7 are not used any more; they stay free so that old settings files keep their meaning.
  v.DefineValue(qxvDataFormatGUID, "GeneralSettings", TKVVariant::FromString(""), "DataFormatGUID");
  v.DefineValue(qxvLastFileName, "GeneralSettings", TKVVariant::FromString(""), "LastFileName");
  v.DefineValue(qxvErrorAction, "GeneralSettings", TKVVariant::FromInt32(eaAskUser), "ErrorAction");
  v.DefineValue(qxvReportFormVisible, "GeneralSettings", TKVVariant::FromBoolean(false), "ReportFormVisible");
  v.DefineValue(qxvFunctionFormVisible, "GeneralSettings", TKVVariant::FromBoolean(false), "FunctionFormVisible");
  v.DefineValue(qxvHintMaxShowTimeMS, "GeneralSettings", TKVVariant::FromInt32(-1), "HintMaxShowTimeMS");
  v.DefineValue(qxvQXDTreeAreaWidth, "MainWindow", TKVVariant::FromInt32(200), "QXDTreeAreaWidth");
  v.DefineValue(qxvConfirmSingleDelete, "GeneralSettings", TKVVariant::FromBoolean(true), "ConfirmSingleDelete");
  v.DefineValue(qxvConfirmMultiDelete, "GeneralSettings", TKVVariant::FromBoolean(true), "ConfirmMultiDelete");
  v.DefineValue(qxvDlgWindowAnimation, "GeneralSettings", TKVVariant::FromInt32(qdaFade), "DlgWindowAnimation");
  v.DefineValue(qxvDlgWindowAniDuration, "GeneralSettings", TKVVariant::FromInt32(250), "DlgWindowAniDuration");
}

std::string QXSettingsFileName() { return KVSettingsFolder() + "/dabrix.PRS"; }

namespace {

void MakeFolders(const std::string& folder) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i != folder.size() && folder[i] != '/') continue;
    std::string part = folder.substr(0, i);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      throw EAPIException("Unable to create the folder \"" + part + "\"", errno, nullptr, "TQXSettings.Create");
  }
}

// Creates the file empty with mode 0600 unless it exists; the text storage's later rewrites keep the mode.
void EnsureSettingsFile(const std::string& fileName) {
  size_t slash = fileName.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeFolders(fileName.substr(0, slash));
  int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd >= 0) {
    // The umask may have taken more than the group and other bits; the owner must read and write.
    ::fchmod(fd, 0600);
    ::close(fd);
    return;
  }
  if (errno != EEXIST)
    throw EAPIException("Unable to create the settings file \"" + fileName + "\"", errno, nullptr,
                        "TQXSettings.Create");
}

}  // namespace

TQXSettings::TQXSettings(const std::string& fileName) : m_FileName(fileName) {
  EnsureSettingsFile(fileName);
  m_Data = KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, fileName);
  QXDefineStandardValues(*m_Data);
  m_TreeSettings = std::make_unique<TQXDStorageTreeSettings>(*m_Data);
}

std::string TQXSettings::LastFileName() { return GetValue(qxvLastFileName).AsString(); }
void TQXSettings::SetLastFileName(const std::string& fileName) {
  SetValue(qxvLastFileName, TKVVariant::FromString(fileName));
}
int32_t TQXSettings::ErrorAction() { return GetValue(qxvErrorAction).AsInt32(); }
void TQXSettings::SetErrorAction(int32_t action) { SetValue(qxvErrorAction, TKVVariant::FromInt32(action)); }
int32_t TQXSettings::HintMaxShowTimeMS() { return GetValue(qxvHintMaxShowTimeMS).AsInt32(); }
int32_t TQXSettings::QXDTreeAreaWidth() { return GetValue(qxvQXDTreeAreaWidth).AsInt32(); }
bool TQXSettings::ConfirmSingleDelete() { return GetValue(qxvConfirmSingleDelete).AsBoolean(); }
bool TQXSettings::ConfirmMultiDelete() { return GetValue(qxvConfirmMultiDelete).AsBoolean(); }

TQXDlgAnimation TQXSettings::DlgWindowAnimation() {
  int32_t v = GetValue(qxvDlgWindowAnimation).AsInt32();
  return static_cast<TQXDlgAnimation>(std::clamp<int32_t>(v, qdaNone, qdaCollapseToCenter));
}
void TQXSettings::SetDlgWindowAnimation(int32_t animation) {
  SetValue(qxvDlgWindowAnimation, TKVVariant::FromInt32(std::clamp<int32_t>(animation, qdaNone, qdaCollapseToCenter)));
}
int32_t TQXSettings::DlgWindowAniDuration() { return GetValue(qxvDlgWindowAniDuration).AsInt32(); }
void TQXSettings::SetDlgWindowAniDuration(int32_t milliseconds) {
  SetValue(qxvDlgWindowAniDuration, TKVVariant::FromInt32(milliseconds));
}

bool TQXSettings::ParameterHintVisible() {
  std::lock_guard lock(m_Data->CriticalSection());
  TKVVsdDirPathKeeper keeper(*m_Data, kQXParameterDlgDir, false);
  return keeper.Opened() ? m_Data->ReadBoolean("HintMessageVisible", true) : true;
}

void TQXSettings::SetParameterHintVisible(bool visible) {
  std::lock_guard lock(m_Data->CriticalSection());
  TKVVsdDirPathKeeper keeper(*m_Data, kQXParameterDlgDir, true);
  KVWriteBooleanIfDiffers(*m_Data, "HintMessageVisible", visible, true);
}

std::vector<std::pair<std::string, std::string>> TQXSettings::HistoricValues() {
  std::lock_guard lock(m_Data->CriticalSection());
  std::vector<std::pair<std::string, std::string>> values;
  TKVVsdDirPathKeeper keeper(*m_Data, kQXHistoricValuesDir, false);
  if (!keeper.Opened()) return values;
  for (const auto& name : m_Data->ReadValueNames()) values.emplace_back(name, m_Data->ReadString(name, ""));
  std::stable_sort(values.begin(), values.end(),
                   [](const auto& a, const auto& b) { return KVCompareText(a.first, b.first) < 0; });
  return values;
}

std::string TQXSettings::HistoricValue(const std::string& name) {
  for (auto& [n, text] : HistoricValues())
    if (KVSameText(n, name)) return text;
  return {};
}

void TQXSettings::SetHistoricValue(const std::string& name, const std::string& text) {
  if (name.empty()) return;
  std::lock_guard lock(m_Data->CriticalSection());
  TKVVsdDirPathKeeper keeper(*m_Data, kQXHistoricValuesDir, true);
  m_Data->WriteString(name, text);
}

void TQXSettings::LoadDefaultRecordsetProperties(IKVLoadStoreData& properties) {
  KVVsdLoadData(*m_Data, kQXDefaultRecordsetPropertiesDir, properties);
}

void TQXSettings::StoreDefaultRecordsetProperties(IKVLoadStoreData& properties) {
  KVVsdStoreData(*m_Data, kQXDefaultRecordsetPropertiesDir, properties);
}

TQXSettings& QXSettings() {
  static std::unique_ptr<TQXSettings> settings;
  static std::once_flag once;
  std::call_once(once, [] { settings = std::make_unique<TQXSettings>(); });
  return *settings;
}
