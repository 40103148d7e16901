#include "ui/QXSettingsDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

#include "definition/QXSettings.h"
#include "ui/QXUiCommon.h"

TQXSettingsDlg::TQXSettingsDlg(TQXSettings& settings, QWidget* parent) : QDialog(parent), m_Settings(settings) {
  setWindowTitle(QString("%1 - %2").arg("Dabrix", "Settings"));
  setMinimumSize(350, 270);
  auto* l = new QVBoxLayout(this);
  auto* header = new QLabel("<big><b>Dabrix</b></big><br>Settings");
  header->setContentsMargins(4, 4, 4, 8);
  l->addWidget(header);
  auto* form = new QFormLayout;
  m_ErrorAction = new QComboBox;
  m_ErrorAction->addItems({"Continue Operation", "Ask User", "Abort Operation"});
  m_Animation = new QComboBox;
  m_Animation->addItems({"None", "Fade", "Collapse to center"});
  m_Duration = new QSpinBox;
  m_Duration->setRange(0, 10000);
  auto* dur = new QHBoxLayout;
  dur->addWidget(m_Duration);
  dur->addWidget(new QLabel("[ms]"));
  dur->addStretch();
  form->addRow("Error action", m_ErrorAction);
  form->addRow("Window Animation", m_Animation);
  form->addRow("Animation Duration:", dur);
  l->addLayout(form);
  l->addStretch();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  l->addWidget(buttons);

  m_ErrorAction->setCurrentIndex(qBound(0, int(m_Settings.ErrorAction()), 2));
  m_Animation->setCurrentIndex(int(m_Settings.DlgWindowAnimation()));
  m_Duration->setValue(m_Settings.DlgWindowAniDuration());
  QXAnimateDialog(this);
}

void TQXSettingsDlg::Apply() {
  try {
    m_Settings.SetErrorAction(m_ErrorAction->currentIndex());
    m_Settings.SetDlgWindowAnimation(m_Animation->currentIndex());
    m_Settings.SetDlgWindowAniDuration(m_Duration->value());
    m_Settings.Data().Commit();
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
  QXApplyDialogAnimation(m_Settings.DlgWindowAnimation(), m_Settings.DlgWindowAniDuration());
}

void TQXSettingsDlg::accept() {
  Apply();
  QDialog::accept();
}
