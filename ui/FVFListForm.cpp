#include "ui/FVFListForm.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QToolButton>
#include <QVBoxLayout>

#include "definition/QXSettings.h"
#include "plugin_host/FVFunc.h"
#include "ui/QXUiCommon.h"

namespace {
constexpr int kFunctionRole = Qt::UserRole + 1;
}

QStringList TFVFListView::mimeTypes() const { return {kQXFunctionMime}; }

QMimeData* TFVFListView::mimeData(const QList<QTreeWidgetItem*>& items) const {
  if (items.isEmpty()) return nullptr;
  auto* data = new QMimeData;
  data->setData(kQXFunctionMime, items.first()->data(0, kFunctionRole).toString().toUtf8());
  data->setText(items.first()->text(0));
  return data;
}

TFVFListForm::TFVFListForm(TQXSettings* settings, QWidget* parent) : QDialog(parent), m_Settings(settings) {
  setWindowTitle("Field Value Functions");
  setWindowIcon(QXImageIcon("cmd_functions"));
  setSizeGripEnabled(true);
  resize(700, 300);
  setObjectName("FVFListWindow");
  auto* l = new QVBoxLayout(this);
  bool hintVisible = true;
  IKVStorage* s = m_Settings ? &m_Settings->Data() : nullptr;
  if (s) {
    std::string keep = s->GetCurrentDir();
    if (s->OpenDir(kQXFVFListWindowDir, false)) {
      hintVisible = s->ReadBoolean("HintMessageVisible", true);
      int w = s->ReadInteger("Width", 700), h = s->ReadInteger("Height", 300);
      int x = s->ReadInteger("Left", -1), y = s->ReadInteger("Top", -1);
      resize(qMax(200, w), qMax(120, h));
      if (x >= 0 && y >= 0) move(x, y);
    }
    s->OpenDir(keep.empty() ? "\\" : keep, false);
  }
  if (hintVisible) {
    m_Hint = new QFrame;
    m_Hint->setFrameShape(QFrame::StyledPanel);
    m_Hint->setAutoFillBackground(true);
    QPalette pal = m_Hint->palette();
    pal.setColor(QPalette::Window, QColor(255, 255, 225));
    m_Hint->setPalette(pal);
    auto* hl = new QHBoxLayout(m_Hint);
    auto* text = new QLabel("<b>Add functions via drag and drop</b><br>Drag the functions with the mouse from here "
                            "onto a field node in the reorganization tree");
    text->setWordWrap(true);
    auto* close = new QToolButton;
    close->setAutoRaise(true);
    close->setText("\u2715");
    close->setToolTip("Close");
    hl->addWidget(new QLabel, 0);
    hl->addWidget(text, 1);
    hl->addWidget(close, 0, Qt::AlignTop);
    connect(close, &QToolButton::clicked, m_Hint, &QWidget::hide);
    l->addWidget(m_Hint);
  }
  m_List = new TFVFListView;
  m_List->setColumnCount(2);
  m_List->setHeaderLabels({"FunctionName", "Description"});
  m_List->setRootIsDecorated(false);
  m_List->setDragEnabled(true);
  m_List->setDragDropMode(QAbstractItemView::DragOnly);
  m_List->setDefaultDropAction(Qt::CopyAction);
  m_List->header()->resizeSection(0, 140);
  m_List->header()->resizeSection(1, 600);
  l->addWidget(m_List);
  Refill();
  QXAnimateDialog(this);
}

TFVFListForm::~TFVFListForm() = default;

void TFVFListForm::Refill() {
  m_List->clear();
  for (const auto& f : FVRegisteredFunctions()) {
    auto* row = new QTreeWidgetItem(m_List, {QXStr(f->Name), QXStr(f->Description)});
    row->setIcon(0, QXNodeIcon(5));
    row->setData(0, kFunctionRole, QXStr(f->Id.ToString()));
    row->setToolTip(1, QXStr(f->Description));
  }
}

void TFVFListForm::StoreState() {
  if (!m_Settings) return;
  IKVStorage& s = m_Settings->Data();
  std::string keep = s.GetCurrentDir();
  try {
    s.OpenDir(kQXFVFListWindowDir, true);
    s.WriteInteger("Left", x());
    s.WriteInteger("Top", y());
    s.WriteInteger("Width", width());
    s.WriteInteger("Height", height());
    if (m_Hint) s.WriteBoolean("HintMessageVisible", !m_Hint->isHidden());
    s.OpenDir(keep.empty() ? "\\" : keep, false);
    s.Commit();
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}

void TFVFListForm::closeEvent(QCloseEvent* e) {
  StoreState();
  QDialog::closeEvent(e);
}

void TFVFListForm::hideEvent(QHideEvent* e) {
  StoreState();
  QDialog::hideEvent(e);
}
