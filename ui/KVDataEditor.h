#pragma once
// "Edit Data": a grid over one table's records with a navigator. The grid reads rows only when they are
// shown, positioning a scrollable cursor on them, so a large table opens as fast as a small one.
#include <QAbstractTableModel>
#include <QHash>
#include <QStringList>
#include <QWidget>

#include "db/KVOdbcRecordset.h"
#include "foundation/KVRefObject.h"

class QAction;
class QLabel;
class QSpinBox;
class QTableView;

class TKVRecordsetModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit TKVRecordsetModel(TKVRef<TKVOdbcRecordsetBase> recordset, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  TKVOdbcRecordsetBase& Recordset() { return *m_Recordset; }
  // Forgets the rows read so far (after the records changed) and tells the views.
  void Reload();
  // The row the record being inserted is shown in (after the last record), -1 when none is.
  int InsertRow() const;
  // Reads the rows first..last (clamped) that are not read yet. A modifying state keeps the cursor on its
  // record, so the rows around it are read before one begins; otherwise they would show empty.
  void Prefetch(int first, int last);
  // How many rows were read from the cursor since the last reload (scrolling reads only what is shown).
  int RowsRead() const { return m_RowsRead; }

 private:
  const QStringList* Row(int row) const;

  TKVRef<TKVOdbcRecordsetBase> m_Recordset;
  mutable QHash<int, QStringList> m_Rows;
  mutable int m_RowsRead = 0;
};

class TKVDataEditor : public QWidget {
  Q_OBJECT
 public:
  // Opens "SELECT * FROM <table>" on the connection with a scrollable, updatable cursor; raises what the
  // opening raises.
  TKVDataEditor(TKVRef<TKVOdbcConnection> connection, const QString& table, QWidget* parent = nullptr);
  ~TKVDataEditor() override;

  enum TNavigatorCommand { ncFirst, ncPrior, ncNext, ncLast, ncInsert, ncDelete, ncEdit, ncPost, ncCancel,
                           ncRefresh, ncCount };
  QAction* Command(TNavigatorCommand c) const { return m_Commands[c]; }
  QTableView* Grid() const { return m_Grid; }
  QSpinBox* PositionBox() const { return m_PositionBox; }
  TKVRecordsetModel& Model() { return *m_Model; }
  // The record the navigator works on (1-based, 0 when the table is empty).
  int CurrentPosition() const;
  void GoTo(int position);
  void Perform(TNavigatorCommand c);

 private:
  void UpdateNavigator();
  void SyncRecordset();

  TKVRef<TKVOdbcRecordset> m_Recordset;
  TKVRecordsetModel* m_Model = nullptr;
  QTableView* m_Grid = nullptr;
  QSpinBox* m_PositionBox = nullptr;
  QLabel* m_CountLabel = nullptr;
  QAction* m_Commands[ncCount] = {};
  bool m_Updating = false;
};

// Shows the editor for `table` in its own window (deleted when closed); errors are shown to the user.
void KVShowDataEditor(const std::string& connectionString, const std::string& table, QWidget* parent);
