#pragma once
// "Edit Data": a grid over one recordset with a navigator and a search bar. The grid reads rows only when
// they are shown, positioning a scrollable cursor on them and back on the navigator's record, so a large
// table opens as fast as a small one and the recordset's current record stays the one the user chose (the
// record a detail recordset follows).
#include <QAbstractTableModel>
#include <QHash>
#include <QStringList>
#include <QWidget>

#include "db/KVOdbcRecordset.h"
#include "foundation/KVRefObject.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableView;
class TKVOdbcConnectProperties;

class TKVRecordsetModel : public QAbstractTableModel, private IKVRecordsetObserver {
  Q_OBJECT
 public:
  explicit TKVRecordsetModel(TKVRef<TKVOdbcRecordsetBase> recordset, QObject* parent = nullptr);
  ~TKVRecordsetModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  // Display: the fields' display texts. Edit: the same text.
  QVariant data(const QModelIndex& index, int role) const override;
  // Horizontal: the field name with its place in the ORDER BY clause ("name ▲", "amount ▼2" for the
  // second item, descending), the field caption as tooltip, and the place itself (SortPosition) as
  // Qt::UserRole. Vertical: the record number, "*" for the record being inserted.
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  TKVOdbcRecordsetBase& Recordset() { return *m_Recordset; }
  // The place of the column's field in the ORDER BY clause: 1-based, negative for descending, 0 unsorted.
  int SortPosition(int column) const;
  // Forgets the rows read so far (after the records changed) and tells the views.
  void Reload();
  // The row the record being inserted is shown in (after the last record), -1 when none is.
  int InsertRow() const;
  // Reads the rows first..last (clamped) that are not read yet. A modifying state keeps the cursor on its
  // record, so the rows around it are read before one begins; otherwise they would show empty.
  void Prefetch(int first, int last);
  // How many rows were read from the cursor since the last reload (scrolling reads only what is shown).
  int RowsRead() const { return m_RowsRead; }

 signals:
  // The recordset executed again by itself (a detail following its master, a scheduled re-execution):
  // the rows were reloaded.
  void ReExecuted();

 private:
  const QStringList* Row(int row) const;
  void ReadRows(int first, int last) const;
  void AfterOperation(TKVOdbcRecordsetBase&, TKVRecordsetOperation operation, intptr_t argument) override;

  TKVRef<TKVOdbcRecordsetBase> m_Recordset;
  mutable QHash<int, QStringList> m_Rows;
  mutable int m_RowsRead = 0;
  bool m_Reloading = false;
};

class TKVDataEditor : public QWidget {
  Q_OBJECT
 public:
  // Shows `recordset`, opening it when it is not open (raises what the opening raises). A forward-only
  // cursor is made keyset driven: the grid positions on the rows it shows.
  TKVDataEditor(TKVRef<TKVOdbcRecordset> recordset, const QString& title, QWidget* parent = nullptr);
  // The table's records ("SELECT * FROM "table"") on `connection`.
  TKVDataEditor(TKVRef<TKVOdbcConnection> connection, const QString& table, QWidget* parent = nullptr);
  ~TKVDataEditor() override;

  enum TNavigatorCommand { ncFirst, ncPrior, ncNext, ncLast, ncInsert, ncDelete, ncEdit, ncPost, ncCancel,
                           ncRefresh, ncCount };
  QAction* Command(TNavigatorCommand c) const { return m_Commands[c]; }
  QTableView* Grid() const { return m_Grid; }
  QSpinBox* PositionBox() const { return m_PositionBox; }
  TKVRecordsetModel& Model() { return *m_Model; }
  TKVOdbcRecordset& Recordset() { return *m_Recordset; }
  // The record the navigator works on (1-based, 0 when the table is empty).
  int CurrentPosition() const;
  void GoTo(int position);
  void Perform(TNavigatorCommand c);

  // The search bar: field, value, match kind, "Match case".
  QComboBox* SearchField() const { return m_SearchField; }
  QLineEdit* SearchValue() const { return m_SearchValue; }
  QComboBox* SearchMatchKind() const { return m_SearchMatchKind; }
  QCheckBox* SearchMatchCase() const { return m_SearchMatchCase; }
  QPushButton* ClearFilterButton() const { return m_ClearFilter; }
  // Searches the value typed for the chosen field: when the SQL text is sorted ascending by that field
  // first, the record is located (the grid moves to it; false when there is none); otherwise the WHERE
  // clause gets the condition "field = value" (IS NULL for an empty text) and the recordset re-executes with
  // it (true). Errors are shown and give false.
  bool Search();
  // The SQL text as it was before the first filter, executed again.
  void ClearFilter();
  // The status line's text ("Record not found" after a search that found nothing).
  QString StatusText() const;
  // A header click: ascending first, then descending, then out of the sort order; re-executes.
  void ToggleSort(int column);

 private:
  void Build(const QString& title);
  void UpdateNavigator();
  void SyncRecordset();
  void FillSearchFields();
  void Executed();

  TKVRef<TKVOdbcRecordset> m_Recordset;
  TKVRecordsetModel* m_Model = nullptr;
  QTableView* m_Grid = nullptr;
  QSpinBox* m_PositionBox = nullptr;
  QLabel* m_CountLabel = nullptr;
  QLabel* m_Status = nullptr;
  QComboBox* m_SearchField = nullptr;
  QLineEdit* m_SearchValue = nullptr;
  QComboBox* m_SearchMatchKind = nullptr;
  QCheckBox* m_SearchMatchCase = nullptr;
  QPushButton* m_ClearFilter = nullptr;
  QAction* m_Commands[ncCount] = {};
  bool m_Updating = false;
  bool m_Filtered = false;
  std::string m_UnfilteredSql;
};

// Shows the editor in its own window (deleted when closed): a connection of its own made with
// `connection`'s settings (no driver dialogs: the caller connected with them already), a recordset with
// `recordset`'s settings and `sql`. Errors are shown to the user.
void KVShowDataEditor(const TKVOdbcConnectProperties& connection, const TKVOdbcRecordsetProperties& recordset,
                      const std::string& sql, QWidget* parent);
