#pragma once
// The per-user settings file and the table of values shared by it and every document.
//
// The settings live in a text storage at KVSettingsFolder() + "/dabrix.PRS" ($XDG_CONFIG_HOME/KV-Software,
// default ~/.config/KV-Software). The folders are made (mode 0700) and the file is created empty with mode
// 0600 when missing: it holds connection properties, whose user names and passwords are stored encrypted,
// but the file is nobody else's business either way. Later writes keep the file's mode.
//
// The value table (QXDefineStandardValues) is registered on the settings file and on every document; each
// side uses only its own ids (see the table in QXSettings.cpp). Further directories of the settings file
// are read and written directly: kQXMainWindowDir, kQXProgressDlgDir, kQXParameterDlgDir (with
// "HintMessageVisible") and kQXHistoricValuesDir (one string per SQL parameter name).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "definition/QXDTreeOps.h"
#include "storage/KVPersistentData.h"

// Ids of the standard values.
enum : int32_t {
  qxvDataFormatGUID = 1,
  qxvLastFileName = 2,
  qxvErrorAction = 3,
  qxvReportFormVisible = 4,
  qxvFunctionFormVisible = 5,
  qxvHintMaxShowTimeMS = 8,
  qxvQXDTreeAreaWidth = 9,
  qxvConfirmSingleDelete = 10,
  qxvConfirmMultiDelete = 11,
  qxvDlgWindowAnimation = 12,
  qxvDlgWindowAniDuration = 13,
};

// Dialog animation kinds (value 12).
enum TQXDlgAnimation : int32_t { qdaNone = 0, qdaFade = 1, qdaCollapseToCenter = 2 };

// Directories of the settings file written and read directly.
inline constexpr const char* kQXMainWindowDir = "\\MainWindow";
inline constexpr const char* kQXProgressDlgDir = "\\ProgressDlg";
inline constexpr const char* kQXParameterDlgDir = "\\ParameterDlg";
inline constexpr const char* kQXHistoricValuesDir = "\\ParameterDlg\\HistoricValues";
// The user's default recordset properties, loaded into every recordset node made by a command or a drop.
inline constexpr const char* kQXDefaultRecordsetPropertiesDir = "\\GeneralSettings\\DefaultRecordsetProperties";

// Defines ids 1-5 and 8-13 with their directories, names and defaults. Raises when called twice on one
// object.
void QXDefineStandardValues(IKVPersistentValues& values);

// The settings file's path: KVSettingsFolder() + "/dabrix.PRS".
std::string QXSettingsFileName();

class TQXSettings {
 public:
  // Opens the settings file, making its folders and the empty file (0600) when missing. Raises
  // EAPIException when either cannot be made.
  explicit TQXSettings(const std::string& fileName = QXSettingsFileName());
  TQXSettings(const TQXSettings&) = delete;
  TQXSettings& operator=(const TQXSettings&) = delete;

  TKVPersistentData& Data() { return *m_Data; }
  const std::string& FileName() const { return m_FileName; }

  // By id; a value never set gives its default. Unknown ids raise.
  TKVVariant GetValue(int32_t id) { return m_Data->GetValue(id); }
  void SetValue(int32_t id, const TKVVariant& value) { m_Data->SetValue(id, value); }

  std::string LastFileName();
  void SetLastFileName(const std::string& fileName);
  // TKVErrorAction: 0 continue, 1 ask the user, 2 abort.
  int32_t ErrorAction();
  void SetErrorAction(int32_t action);
  int32_t HintMaxShowTimeMS();
  int32_t QXDTreeAreaWidth();
  bool ConfirmSingleDelete();
  bool ConfirmMultiDelete();
  // Clamped into qdaNone .. qdaCollapseToCenter.
  TQXDlgAnimation DlgWindowAnimation();
  void SetDlgWindowAnimation(int32_t animation);
  int32_t DlgWindowAniDuration();
  void SetDlgWindowAniDuration(int32_t milliseconds);

  // The parameter dialog's hint area (default shown).
  bool ParameterHintVisible();
  void SetParameterHintVisible(bool visible);
  // The texts last entered for SQL parameters, sorted by name (letter case ignored).
  std::vector<std::pair<std::string, std::string>> HistoricValues();
  // The text last entered for the parameter `name` (letter case ignored); empty when there is none.
  std::string HistoricValue(const std::string& name);
  void SetHistoricValue(const std::string& name, const std::string& text);

  // Loads / stores an object (the user's default recordset properties) in kQXDefaultRecordsetPropertiesDir.
  // Loading a directory that does not exist leaves the object as it is.
  void LoadDefaultRecordsetProperties(IKVLoadStoreData& properties);
  void StoreDefaultRecordsetProperties(IKVLoadStoreData& properties);

  // The settings the tree operations read (confirmations, default recordset properties).
  IQXDTreeSettings& TreeSettings() { return *m_TreeSettings; }

 private:
  std::string m_FileName;
  TKVRef<TKVPersistentData> m_Data;
  std::unique_ptr<TQXDStorageTreeSettings> m_TreeSettings;
};

// The program's settings, opened on first use at QXSettingsFileName() and kept until the program ends.
TQXSettings& QXSettings();
