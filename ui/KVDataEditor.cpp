#include "ui/KVDataEditor.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>

#include "db/KVOdbcConnection.h"
#include "db/KVOdbcLocate.h"
#include "db/KVRecordsetDeletion.h"
#include "db/KVSqlText.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"
#include "ui/QXUiCommon.h"

namespace {
// Rows read around a record before editing it begins: more than a window shows.
constexpr int kPrefetchRows = 100;
// Rows read at once when the view asks for one that is not read yet: the cursor goes back to the user's
// record once per batch, not once per row.
constexpr int kReadBatch = 32;

// The value a text typed for a field stands for. Wide text is taken as it is (the field's own text
// conversion refuses it); the other types convert as the field's SetText does, an empty text being NULL.
TKVVariant ValueOfText(TKVOdbcField& field, const std::string& text) {
  if (text.empty()) return TKVVariant::Null();
  switch (field.DataType()) {
    case fdtBool: return TKVVariant::FromBoolean(std::string_view("tT1wWyYsSqQ").find(text[0]) != std::string_view::npos);
    case fdtString:
    case fdtWideString:
    case fdtMemo:
    case fdtWideMemo:
    case fdtGUID: return TKVVariant::FromString(text);
    default: return TKVVariant::FromText(KVVarTypeOfFieldDataType(field.DataType(), "SetText"), text);
  }
}
}  // namespace

// --- The model --------------------------------------------------------------------------------------------

TKVRecordsetModel::TKVRecordsetModel(TKVRef<TKVOdbcRecordsetBase> recordset, QObject* parent)
    : QAbstractTableModel(parent), m_Recordset(std::move(recordset)) {
  m_Recordset->AddObserver(this);
}

TKVRecordsetModel::~TKVRecordsetModel() { m_Recordset->RemoveObserver(this); }

void TKVRecordsetModel::AfterOperation(TKVOdbcRecordsetBase&, TKVRecordsetOperation operation, intptr_t) {
  if (m_Reloading || (operation != roReExecute && operation != roScheduleReExecute)) return;
  Reload();
  emit ReExecuted();
}

int TKVRecordsetModel::InsertRow() const {
  if (m_Recordset->State() != rsInserting) return -1;
  return std::max(0, m_Recordset->KnownRecordCount());
}

int TKVRecordsetModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !m_Recordset->Active()) return 0;
  int count = std::max(0, m_Recordset->RecordCount());
  return count + (m_Recordset->State() == rsInserting ? 1 : 0);
}

int TKVRecordsetModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !m_Recordset->Active() ? 0 : static_cast<int>(m_Recordset->FieldCount());
}

void TKVRecordsetModel::ReadRows(int first, int last) const {
  auto& rs = *m_Recordset;
  // Reading moves the cursor: nobody is told, and it goes back to the record the user is on.
  TKVDetachedViews detached(rs);
  int32_t home = rs.Position();
  try {
    for (int row = first; row <= last; ++row) {
      if (m_Rows.contains(row)) continue;
      rs.SetPosition(row + 1);
      if (rs.Position() != row + 1 || !rs.HasCurrentRecord()) break;
      QStringList texts;
      for (size_t i = 0; i < rs.FieldCount(); ++i) texts << QXStr(rs.Field(i).DisplayText());
      ++m_RowsRead;
      m_Rows.insert(row, texts);
    }
    if (home > 0 && rs.Position() != home) rs.SetPosition(home);
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
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
  if (KVIsModifyingState(rs.State()) || !rs.Active()) return nullptr;
  ReadRows(row, std::min(row + kReadBatch, std::max(0, rs.RecordCount())) - 1);
  it = m_Rows.constFind(row);
  return it != m_Rows.constEnd() ? &*it : nullptr;
}

QVariant TKVRecordsetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
  const QStringList* row = Row(index.row());
  if (!row || index.column() >= row->size()) return {};
  return row->at(index.column());
}

int TKVRecordsetModel::SortPosition(int column) const {
  if (column < 0 || static_cast<size_t>(column) >= m_Recordset->FieldCount()) return 0;
  return m_Recordset->Sql().SortPosition(m_Recordset->Field(static_cast<size_t>(column)).Name());
}

QVariant TKVRecordsetModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Vertical)
    return role == Qt::DisplayRole ? (section == InsertRow() ? QVariant("*") : QVariant(section + 1)) : QVariant();
  if (section < 0 || static_cast<size_t>(section) >= m_Recordset->FieldCount()) return {};
  TKVOdbcField& field = m_Recordset->Field(static_cast<size_t>(section));
  switch (role) {
    case Qt::DisplayRole: {
      QString text = QXStr(field.Name());
      int sort = SortPosition(section);
      if (sort != 0) {
        text += sort > 0 ? QString(" \u25B2") : QString(" \u25BC");
        if (std::abs(sort) > 1) text += QString::number(std::abs(sort));
      }
      return text;
    }
    case Qt::ToolTipRole: return QXStr(field.Caption()).replace('\r', '\n');
    case Qt::UserRole: return SortPosition(section);
    default: return {};
  }
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
    TKVOdbcField& field = rs.Field(static_cast<size_t>(index.column()));
    std::string text = QXStd(value.toString());
    if (field.DataType() == fdtWideString)
      field.SetValue(ValueOfText(field, text));
    else
      field.SetText(text);
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
  if (first <= last) ReadRows(first, last);
}

void TKVRecordsetModel::Reload() {
  m_Reloading = true;
  beginResetModel();
  m_Rows.clear();
  m_RowsRead = 0;
  endResetModel();
  m_Reloading = false;
}

// --- The editor ----------------------------------------------------------------------------------------

TKVDataEditor::TKVDataEditor(TKVRef<TKVOdbcRecordset> recordset, const QString& title, QWidget* parent)
    : QWidget(parent), m_Recordset(std::move(recordset)) {
  if (m_Recordset->Properties().CursorType() == ctForwardOnly) {
    if (m_Recordset->Active()) m_Recordset->Close();
    m_Recordset->Properties().SetCursorType(ctKeysetDriven);
  }
  if (!m_Recordset->Active()) m_Recordset->Open();
  Build(title);
}

namespace {
TKVRef<TKVOdbcRecordset> TableRecordset(TKVRef<TKVOdbcConnection> connection, const QString& table) {
  auto rs = KVMakeRef<TKVOdbcRecordset>(std::move(connection));
  // A keyset keeps the rows' identities while they are edited.
  rs->Properties().SetCursorType(ctKeysetDriven);
  rs->SetSQL(KVSQLTextForTable(QXStd(table)));
  return rs;
}
}  // namespace

TKVDataEditor::TKVDataEditor(TKVRef<TKVOdbcConnection> connection, const QString& table, QWidget* parent)
    : TKVDataEditor(TableRecordset(std::move(connection), table), table, parent) {}

void TKVDataEditor::Build(const QString& title) {
  setWindowTitle("Edit Data - " + title);
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

  // The search bar: a located record when the text is sorted by the field, else a filter.
  auto* search = new QHBoxLayout;
  m_SearchField = new QComboBox;
  m_SearchField->setObjectName("SearchField");
  m_SearchValue = new QLineEdit;
  m_SearchValue->setObjectName("SearchValue");
  m_SearchValue->setClearButtonEnabled(true);
  m_SearchMatchKind = new QComboBox;
  m_SearchMatchKind->addItems({KVMatchKindCaption(mkExactMatch), KVMatchKindCaption(mkClosestMatch)});
  m_SearchMatchCase = new QCheckBox("Match case");
  auto* go = new QPushButton("Search");
  m_ClearFilter = new QPushButton("Clear filter");
  m_ClearFilter->setEnabled(false);
  search->addWidget(new QLabel("Search"));
  search->addWidget(m_SearchField);
  search->addWidget(m_SearchValue, 1);
  search->addWidget(m_SearchMatchKind);
  search->addWidget(m_SearchMatchCase);
  search->addWidget(go);
  search->addWidget(m_ClearFilter);
  layout->addLayout(search);
  connect(go, &QPushButton::clicked, this, [this] { Search(); });
  connect(m_SearchValue, &QLineEdit::returnPressed, this, [this] { Search(); });
  connect(m_ClearFilter, &QPushButton::clicked, this, [this] { ClearFilter(); });

  m_Grid = new QTableView;
  m_Grid->setModel(m_Model);
  m_Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_Grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_Grid->verticalHeader()->setDefaultSectionSize(m_Grid->fontMetrics().height() + 6);
  m_Grid->horizontalHeader()->setSectionsClickable(true);
  layout->addWidget(m_Grid);
  m_Status = new QLabel;
  m_Status->setObjectName("Status");
  layout->addWidget(m_Status);
  connect(m_Grid->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) { ToggleSort(column); });
  connect(m_Grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    // The recordset's current record is the one the user chose: detail recordsets follow it.
    SyncRecordset();
    UpdateNavigator();
  });
  connect(m_Model, &QAbstractItemModel::dataChanged, this, [this] { UpdateNavigator(); });
  connect(m_Model, &TKVRecordsetModel::ReExecuted, this, [this] { Executed(); });
  FillSearchFields();
  if (m_Model->rowCount() > 0) GoTo(1);
  UpdateNavigator();
  resize(760, 440);
}

TKVDataEditor::~TKVDataEditor() {
  try {
    if (KVIsModifyingState(m_Recordset->State())) m_Recordset->Cancel();  // unsaved input is not written
    delete m_Model;  // stops observing before the recordset closes
    m_Model = nullptr;
    m_Recordset->Close();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
  }
}

void TKVDataEditor::FillSearchFields() {
  QString chosen = m_SearchField->currentText();
  m_SearchField->clear();
  for (size_t i = 0; i < m_Recordset->FieldCount(); ++i) m_SearchField->addItem(QXStr(m_Recordset->Field(i).Name()));
  int at = m_SearchField->findText(chosen);
  if (at >= 0) m_SearchField->setCurrentIndex(at);
}

void TKVDataEditor::Executed() {
  FillSearchFields();
  int position = m_Recordset->HasCurrentRecord() ? m_Recordset->Position() : 1;
  if (m_Model->rowCount() > 0) GoTo(position);
  UpdateNavigator();
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
  // Operations and detail recordsets work on the navigator's record.
  try {
    if (m_Recordset->State() == rsBrowsing && CurrentPosition() > 0 &&
        m_Recordset->Position() != CurrentPosition() && CurrentPosition() <= m_Recordset->RecordCount())
      m_Recordset->SetPosition(CurrentPosition());
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}

void TKVDataEditor::Perform(TNavigatorCommand c) {
  auto& rs = *m_Recordset;
  int target = CurrentPosition();
  m_Status->clear();
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
      case ncDelete: {
        if (rs.State() != rsBrowsing || CurrentPosition() == 0) break;
        std::vector<int32_t> selected;
        for (const QModelIndex& i : m_Grid->selectionModel()->selectedRows())
          if (i.row() != m_Model->InsertRow()) selected.push_back(i.row() + 1);
        SyncRecordset();
        int deleted = 0;
        try {
          deleted = KVDoDeletion(rs, selected);
        } catch (...) {
          m_Model->Reload();
          throw;
        }
        if (deleted > 0) {
          m_Model->Reload();
          m_Grid->clearSelection();
          if (selected.size() > 1) target = *std::min_element(selected.begin(), selected.end());
        }
        break;
      }
      case ncEdit:
        m_Model->Prefetch(target - 1 - kPrefetchRows, target - 1 + kPrefetchRows);
        SyncRecordset();
        rs.Edit();
        break;
      case ncPost: {
        bool inserting = rs.State() == rsInserting;
        rs.ApplyChanges();
        // A cursor that cannot show a row inserted after it opened shows the values written instead (an
        // overlay), which the next move ends: executed again, the row is read like every other.
        if (inserting && (rs.OverlayRecord() || !rs.HasCurrentRecord())) rs.ReExecute(true);
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

bool TKVDataEditor::Search() {
  auto& rs = *m_Recordset;
  m_Status->clear();
  std::string name = QXStd(m_SearchField->currentText());
  if (name.empty()) return false;
  try {
    TKVOdbcField& field = rs.FieldByName(name);
    TKVVariant value = ValueOfText(field, QXStd(m_SearchValue->text()));
    if (rs.Sql().SortPosition(field.Name()) == 1 && !value.IsNull()) {
      // Sorted by the field, ascending: the bisection finds the record without reading the others.
      TKVNameAndValueMatchObj entry;
      entry.FieldName = field.Name();
      entry.Value = value;
      entry.MatchKind = m_SearchMatchKind->currentIndex() == 0 ? mkExactMatch : mkClosestMatch;
      entry.MatchCase = m_SearchMatchCase->isChecked();
      bool found = KVLocateValues(rs, {entry});
      if (!found) {
        m_Status->setText("Record not found");
        return false;
      }
      GoTo(rs.Position());
      return true;
    }
    // Not sorted by it: only the matching records are shown.
    if (!m_Filtered) m_UnfilteredSql = rs.Sql().Text();
    if (KVIsModifyingState(rs.State())) rs.LeaveModifyingState();
    rs.Sql().SetFilterValue(field.Name(), value);
    m_Filtered = true;
    rs.ReExecute(false);
  } catch (const std::exception& e) {
    KVHandleException(e);
    m_Model->Reload();
    UpdateNavigator();
    return false;
  }
  m_Model->Reload();
  GoTo(1);
  UpdateNavigator();
  return true;
}

void TKVDataEditor::ClearFilter() {
  if (!m_Filtered) return;
  try {
    if (KVIsModifyingState(m_Recordset->State())) m_Recordset->LeaveModifyingState();
    m_Recordset->SetSQL(m_UnfilteredSql);
    m_Filtered = false;
    m_Recordset->ReExecute(false);
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
  m_Model->Reload();
  GoTo(1);
  UpdateNavigator();
}

QString TKVDataEditor::StatusText() const { return m_Status->text(); }

void TKVDataEditor::ToggleSort(int column) {
  auto& rs = *m_Recordset;
  if (column < 0 || static_cast<size_t>(column) >= rs.FieldCount()) return;
  try {
    if (KVIsModifyingState(rs.State())) rs.LeaveModifyingState();
    std::string name = rs.Field(static_cast<size_t>(column)).Name();
    int now = rs.Sql().SortPosition(name);
    int direction = now == 1 ? -1 : now == -1 ? 0 : 1;
    rs.Sql().SetSortDirection(name, direction);
    if (m_Filtered) {
      // Clearing the filter later keeps the order chosen.
      TKVSqlProperty unfiltered;
      unfiltered.SetText(m_UnfilteredSql);
      unfiltered.SetSortDirection(name, direction);
      m_UnfilteredSql = unfiltered.Text();
    }
    rs.ReExecute(false);
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
  m_Model->Reload();
  GoTo(1);
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
  m_ClearFilter->setEnabled(m_Filtered);
  m_Updating = true;
  m_PositionBox->setRange(rows > 0 ? 1 : 0, rows);
  m_PositionBox->setValue(pos);
  m_Updating = false;
  m_CountLabel->setText(QString(" of %1 (%2)").arg(rows).arg(KVRecordsetStateCaption(rs.State())));
}

void KVShowDataEditor(const TKVOdbcConnectProperties& connection, const TKVOdbcRecordsetProperties& recordset,
                      const std::string& sql, QWidget* parent) {
  try {
    auto c = KVMakeRef<TKVOdbcConnection>();
    c->Properties().Assign(connection);
    c->Properties().SetDriverDialogs(ddNoDriverDialogs);
    c->Activate();
    auto rs = KVMakeRef<TKVOdbcRecordset>(c);
    rs->Properties().Assign(recordset);
    rs->SetSQL(sql);
    QString title = QXStr(rs->Sql().StatementName());
    title.remove('"');
    auto* editor = new TKVDataEditor(rs, title, parent);
    editor->setWindowFlag(Qt::Window);
    editor->setAttribute(Qt::WA_DeleteOnClose);
    editor->show();
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}
