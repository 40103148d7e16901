#pragma once
// The application settings dialog: error action of runs and the dialog animation.
#include <QDialog>

class QComboBox;
class QSpinBox;
class TQXSettings;

class TQXSettingsDlg : public QDialog {
  Q_OBJECT
 public:
  TQXSettingsDlg(TQXSettings& settings, QWidget* parent = nullptr);
  QComboBox* ErrorAction() const { return m_ErrorAction; }
  QComboBox* Animation() const { return m_Animation; }
  QSpinBox* Duration() const { return m_Duration; }
  // Writes the fields back and applies the animation (what confirming does).
  void Apply();
  void accept() override;

 private:
  TQXSettings& m_Settings;
  QComboBox* m_ErrorAction;
  QComboBox* m_Animation;
  QSpinBox* m_Duration;
};
