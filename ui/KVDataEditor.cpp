#include "ui/KVDataEditor.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSpinBox>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include "db/KVOdbcConnection.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"
#include "ui/QXUiCommon.h"

namespace {
// Rows read around a record before editing it begins: more than a window shows.
constexpr int kPrefetchRows = 100;
}  // namespace

// --- The model --------------------------------------------------------------------------------------------

TKVRecordsetModel::TKVRecordsetModel(TKVRef<TKVOdbcRecordsetBase> recordset, QObject* parent)
    : QAbstractTableModel(parent), m_Recordset(std::move(recordset)) {}

int TKVRecordsetModel::InsertRow() const {
  if (m_Recordset->State() != rsInserting) return -1;
  return std::max(0, m_Recordset->KnownRecordCount());
}

int TKVRecordsetModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  int count = std::max(0, m_Recordset->RecordCount());
  return count + (m_Recordset->State() == rsInserting ? 1 : 0);
}

int TKVRecordsetModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_Recordset->FieldCount());
}

const QStringList* TKVRecordsetModel::Row(int row) const {
  auto& rs = *m_Recordset;
  bool live = (rs.State() == rsInserting && row == InsertRow()) ||
              (rs.State() == rsEditing && row == rs.Position() - 1);
  static thread_local QStringList liveRow;
  if (live) {
    liveRow.clear();
    for (size_t i = 0; i < rs.FieldCount(); ++i) liveRow << QXStr(rs.Field(i).DisplayText());
    return &liveRow;
  }
  auto it = m_Rows.constFind(row);
  if (it != m_Rows.constEnd()) return &*it;
  // A modifying state keeps its record: other rows are read once it is left.
  if (KVIsModifyingState(rs.State())) return nullptr;
  try {
    rs.SetPosition(row + 1);
    if (!rs.HasCurrentRecord()) return nullptr;
    QStringList texts;
    for (size_t i = 0; i < rs.FieldCount(); ++i) texts << QXStr(rs.Field(i).DisplayText());
    ++m_RowsRead;
    return &*m_Rows.insert(row, texts);
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
    return nullptr;
  }
}

QVariant TKVRecordsetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
  const QStringList* row = Row(index.row());
  if (!row || index.column() >= row->size()) return {};
  return row->at(index.column());
}

QVariant TKVRecordsetModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section == InsertRow() ? QVariant("*") : QVariant(section + 1);
  if (section < 0 || static_cast<size_t>(section) >= m_Recordset->FieldCount()) return {};
  return QXStr(m_Recordset->Field(static_cast<size_t>(section)).Name());
}

Qt::ItemFlags TKVRecordsetModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && m_Recordset->MayWrite()) f |= Qt::ItemIsEditable;
  return f;
}

bool TKVRecordsetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::EditRole) return false;
  auto& rs = *m_Recordset;
  try {
    int row = index.row();
    bool onModified = (rs.State() == rsInserting && row == InsertRow()) ||
                      (rs.State() == rsEditing && row == rs.Position() - 1);
    if (!onModified) {
      if (KVIsModifyingState(rs.State())) {
        rs.LeaveModifyingState();
        Reload();
        return false;
      }
      Prefetch(row - kPrefetchRows, row + kPrefetchRows);
      rs.SetPosition(row + 1);
    }
    rs.Field(static_cast<size_t>(index.column())).SetText(QXStd(value.toString()));
  } catch (const std::exception& e) {
    KVHandleException(e);
    return false;
  }
  emit dataChanged(this->index(index.row(), 0), this->index(index.row(), columnCount() - 1));
  emit headerDataChanged(Qt::Vertical, index.row(), index.row());
  return true;
}

void TKVRecordsetModel::Prefetch(int first, int last) {
  if (m_Recordset->State() != rsBrowsing) return;
  first = std::max(0, first);
  last = std::min(last, rowCount() - 1);
  for (int r = first; r <= last; ++r)
    if (!m_Rows.contains(r)) Row(r);
}

void TKVRecordsetModel::Reload() {
  beginResetModel();
  m_Rows.clear();
  m_RowsRead = 0;
  endResetModel();
}

// --- The editor ----------------------------------------------------------------------------------------

TKVDataEditor::TKVDataEditor(TKVRef<TKVOdbcConnection> connection, const QString& table, QWidget* parent)
    : QWidget(parent) {
  setWindowTitle("Edit Data - " + table);
  m_Recordset = KVMakeRef<TKVOdbcRecordset>(connection);
  // The grid positions on the rows it shows: a scrollable cursor is needed, and a keyset keeps the rows'
  // identities while they are edited.
  m_Recordset->Properties().SetCursorType(ctKeysetDriven);
  m_Recordset->SetSQL("SELECT * FROM " + QXStd(table));
  m_Recordset->Open();

  m_Model = new TKVRecordsetModel(TKVRef<TKVOdbcRecordsetBase>(m_Recordset.get()), this);
  auto* layout = new QVBoxLayout(this);
  auto* bar = new QToolBar;
  bar->setObjectName("Navigator");
  static const char* const kCaptions[ncCount] = {"First record", "Prior record", "Next record", "Last record",
                                                  "Insert record", "Delete record", "Edit record",
                                                  "Post edit", "Cancel edit", "Refresh data"};
  static const char* const kTexts[ncCount] = {"|<", "<", ">", ">|", "+", "-", "Edit", "Apply", "Cancel",
                                               "Refresh"};
  for (int c = 0; c < ncCount; ++c) {
    m_Commands[c] = bar->addAction(kTexts[c]);
    m_Commands[c]->setToolTip(kCaptions[c]);
    m_Commands[c]->setObjectName(kCaptions[c]);
    connect(m_Commands[c], &QAction::triggered, this, [this, c] { Perform(static_cast<TNavigatorCommand>(c)); });
  }
  bar->addSeparator();
  bar->addWidget(new QLabel("Record "));
  m_PositionBox = new QSpinBox;
  m_PositionBox->setObjectName("Position");
  m_PositionBox->setKeyboardTracking(false);
  bar->addWidget(m_PositionBox);
  m_CountLabel = new QLabel;
  bar->addWidget(m_CountLabel);
  connect(m_PositionBox, &QSpinBox::valueChanged, this, [this](int v) {
    if (!m_Updating) GoTo(v);
  });
  layout->addWidget(bar);

  m_Grid = new QTableView;
  m_Grid->setModel(m_Model);
  m_Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_Grid->setSelectionMode(QAbstractItemView::SingleSelection);
  m_Grid->verticalHeader()->setDefaultSectionSize(m_Grid->fontMetrics().height() + 6);
  layout->addWidget(m_Grid);
  connect(m_Grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { UpdateNavigator(); });
  connect(m_Model, &QAbstractItemModel::dataChanged, this, [this] { UpdateNavigator(); });
  if (m_Model->rowCount() > 0) GoTo(1);
  UpdateNavigator();
  resize(720, 420);
}

TKVDataEditor::~TKVDataEditor() {
  try {
    if (KVIsModifyingState(m_Recordset->State())) m_Recordset->Cancel();  // unsaved input is not written
    m_Recordset->Close();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

int TKVDataEditor::CurrentPosition() const {
  QModelIndex i = m_Grid->currentIndex();
  return i.isValid() ? i.row() + 1 : 0;
}

void TKVDataEditor::GoTo(int position) {
  int rows = m_Model->rowCount();
  if (rows == 0) return;
  position = std::clamp(position, 1, rows);
  int column = std::max(0, m_Grid->currentIndex().column());
  m_Grid->setCurrentIndex(m_Model->index(position - 1, column));
  m_Grid->scrollTo(m_Grid->currentIndex());
  UpdateNavigator();
}

void TKVDataEditor::SyncRecordset() {
  // Painting positions the cursor on the rows shown; operations work on the navigator's record.
  if (m_Recordset->State() == rsBrowsing && CurrentPosition() > 0 && m_Recordset->Position() != CurrentPosition())
    m_Recordset->SetPosition(CurrentPosition());
}

void TKVDataEditor::Perform(TNavigatorCommand c) {
  auto& rs = *m_Recordset;
  int target = CurrentPosition();
  try {
    switch (c) {
      case ncFirst:
      case ncPrior:
      case ncNext:
      case ncLast: {
        bool wasModifying = KVIsModifyingState(rs.State());
        if (wasModifying) rs.LeaveModifyingState();
        if (wasModifying) m_Model->Reload();
        int rows = m_Model->rowCount();
        target = c == ncFirst ? 1 : c == ncPrior ? target - 1 : c == ncNext ? target + 1 : rows;
        break;
      }
      case ncInsert:
        if (KVIsModifyingState(rs.State())) {
          rs.LeaveModifyingState();
          m_Model->Reload();
        }
        m_Model->Prefetch(m_Model->rowCount() - kPrefetchRows, m_Model->rowCount());
        rs.Insert();
        m_Model->Reload();
        target = m_Model->InsertRow() + 1;
        break;
      case ncDelete:
        if (rs.State() != rsBrowsing || CurrentPosition() == 0) break;
        if (rs.Properties().HasAttribute(raConfrimDeletions) &&
            KVMessageDialog("Delete current record ?", TKVSeverity::Confirmation, TKVMsgButtons::YesNo) != KV_IDYES)
          break;
        SyncRecordset();
        rs.DeleteCurrentRecord();
        m_Model->Reload();
        break;
      case ncEdit:
        m_Model->Prefetch(target - 1 - kPrefetchRows, target - 1 + kPrefetchRows);
        SyncRecordset();
        rs.Edit();
        break;
      case ncPost: {
        bool inserting = rs.State() == rsInserting;
        rs.ApplyChanges();
        m_Model->Reload();
        if (inserting) target = rs.Position() > 0 ? rs.Position() : m_Model->rowCount();
        break;
      }
      case ncCancel:
        rs.Cancel();
        m_Model->Reload();
        break;
      case ncRefresh:
        if (KVIsModifyingState(rs.State())) rs.LeaveModifyingState();
        SyncRecordset();
        rs.ReExecute(true);
        m_Model->Reload();
        break;
      case ncCount: break;
    }
  } catch (const std::exception& e) {
    KVHandleException(e);
    m_Model->Reload();
  }
  GoTo(target);
  UpdateNavigator();
}

void TKVDataEditor::UpdateNavigator() {
  auto& rs = *m_Recordset;
  int rows = m_Model->rowCount();
  int pos = CurrentPosition();
  bool browsing = rs.State() == rsBrowsing;
  bool modifying = KVIsModifyingState(rs.State());
  m_Commands[ncFirst]->setEnabled(pos > 1);
  m_Commands[ncPrior]->setEnabled(pos > 1);
  m_Commands[ncNext]->setEnabled(pos > 0 && pos < rows);
  m_Commands[ncLast]->setEnabled(pos > 0 && pos < rows);
  m_Commands[ncInsert]->setEnabled(rs.MayWrite() && rs.State() != rsInserting);
  m_Commands[ncDelete]->setEnabled(rs.MayWrite() && browsing && pos > 0);
  m_Commands[ncEdit]->setEnabled(rs.MayWrite() && browsing && pos > 0);
  m_Commands[ncPost]->setEnabled(modifying);
  m_Commands[ncCancel]->setEnabled(modifying);
  m_Commands[ncRefresh]->setEnabled(true);
  m_Updating = true;
  m_PositionBox->setRange(rows > 0 ? 1 : 0, rows);
  m_PositionBox->setValue(pos);
  m_Updating = false;
  m_CountLabel->setText(QString(" of %1 (%2)").arg(rows).arg(KVRecordsetStateCaption(rs.State())));
}

void KVShowDataEditor(const std::string& connectionString, const std::string& table, QWidget* parent) {
  try {
    auto c = KVMakeRef<TKVOdbcConnection>();
    c->Properties().SetConnectionString(connectionString);
    c->Properties().SetDriverDialogs(ddNoDriverDialogs);
    c->Activate();
    auto* editor = new TKVDataEditor(c, QXStr(table), parent);
    editor->setWindowFlag(Qt::Window);
    editor->setAttribute(Qt::WA_DeleteOnClose);
    editor->show();
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}
