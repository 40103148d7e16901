#pragma once
// The detail areas on the right of the main window, one per node kind. Each shows the node selected in the
// definition tree and writes every change into the node at once; the node's setters announce the change,
// which marks the document modified. While an area fills its controls from a node it writes nothing.
#include <QComboBox>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "definition/QXDTreeOps.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QVBoxLayout;

// The columns of a table of a database node, for the field pickers and "Add all destination fields".
// `ask`: the user may be asked whether to load the schema first. Empty when unknown or declined.
using TQXColumnSource =
    std::function<std::vector<std::string>(TKVTreeItem& databaseNode, const std::string& table, bool ask)>;

class TQXDetailAreaBase : public QWidget {
  Q_OBJECT
 public:
  explicit TQXDetailAreaBase(QWidget* parent = nullptr) : QWidget(parent) {}
  // Fills the controls from the node (null: empties them). A node of another class disables the controls.
  void ShowNode(TKVTreeItem* item);
  TKVTreeItem* Node() const { return m_Node; }
  bool Filling() const { return m_Filling; }

 signals:
  // Reported after the node's data was written; `newTitle` non-empty when the node takes a new title.
  void PropertyChanged(const QString& newTitle);

 protected:
  // Whether the node is of this area's class.
  virtual bool Accepts(TKVTreeItem* item) const = 0;
  // Fills the controls from Node() (only called with an accepted node) / empties them.
  virtual void Fill() = 0;
  virtual void Clear() {}
  // Runs a write of a control's change unless the area is filling; an error is shown and the controls
  // show the node again.
  void Write(const std::function<void()>& write, const QString& newTitle = QString());

 private:
  TKVTreeItem* m_Node = nullptr;
  bool m_Filling = false;
};

// Kind 0: "How to start".
class TQXDfltDetailArea : public TQXDetailAreaBase {
  Q_OBJECT
 public:
  explicit TQXDfltDetailArea(QWidget* parent = nullptr);
  QPushButton* ConnectButton() const { return m_Connect; }

 signals:
  void ConnectRequested();

 protected:
  bool Accepts(TKVTreeItem*) const override { return true; }
  void Fill() override {}

 private:
  QPushButton* m_Connect;
};

// The connection properties of a database node (captions of the ODBC connection properties).
class TQXConnectPropertyArea : public QWidget {
  Q_OBJECT
 public:
  explicit TQXConnectPropertyArea(QWidget* parent = nullptr);
  void Load(const TKVOdbcConnectProperties& p);
  // Writes the control that changed into `p` (all of them; the setters skip equal values).
  void Store(TKVOdbcConnectProperties& p) const;

  QLineEdit *ConnectionString, *UserName, *Password;
  QSpinBox *LoginTimeout, *OperationTimeout;
  QComboBox *AccessMode, *CursorOrigin, *Isolation, *DriverDialogs;
  QCheckBox *Autocommit, *CaseSensitive, *CompleteConnectionString, *Asynchron;

 signals:
  void Edited();
};

// The properties of a recordset node (captions of the recordset properties).
class TQXRecordsetPropertyArea : public QWidget {
  Q_OBJECT
 public:
  explicit TQXRecordsetPropertyArea(QWidget* parent = nullptr);
  void Load(const TKVOdbcRecordsetProperties& p);
  void Store(TKVOdbcRecordsetProperties& p) const;

  QComboBox *CursorType, *UpdateStrategy, *Simulation, *Sensitivity, *Compression;
  QSpinBox *KeysetSize, *MaxRows, *MaxLength;
  std::vector<QCheckBox*> Attributes;      // bits 0..4
  std::vector<QCheckBox*> CountStrategies; // bits 0..2

 signals:
  void Edited();
};

// Kinds 1 and 2.
class TQXConnectionDetailArea : public TQXDetailAreaBase {
  Q_OBJECT
 public:
  explicit TQXConnectionDetailArea(bool destination, QWidget* parent = nullptr);
  QCheckBox* Connected() const { return m_Connected; }
  QSpinBox* TransactionSize() const { return m_TransactionSize; }
  QPushButton* AssignToAll() const { return m_AssignToAll; }
  TQXConnectPropertyArea* Properties() const { return m_Properties; }
  // "Assign to all destination databases".
  void AssignToAllDestinations();

 protected:
  bool Accepts(TKVTreeItem* item) const override;
  void Fill() override;

 private:
  void OnCheckBoxConnectedClick();
  void FollowConnection();
  bool m_Destination;
  QCheckBox* m_Connected;
  QSpinBox* m_TransactionSize = nullptr;
  QPushButton* m_AssignToAll = nullptr;
  TQXConnectPropertyArea* m_Properties;
  QTimer* m_Follow;
};
class TQXSrcConnectionDetailArea : public TQXConnectionDetailArea {
 public:
  explicit TQXSrcConnectionDetailArea(QWidget* parent = nullptr) : TQXConnectionDetailArea(false, parent) {}
};
class TQXDstConnectionDetailArea : public TQXConnectionDetailArea {
 public:
  explicit TQXDstConnectionDetailArea(QWidget* parent = nullptr) : TQXConnectionDetailArea(true, parent) {}
};

// Kinds 3 and 4: tabs that show the same node.
class TQXRecordsetDetailArea : public TQXDetailAreaBase {
  Q_OBJECT
 public:
  explicit TQXRecordsetDetailArea(bool destination, QWidget* parent = nullptr);
  QTabWidget* Tabs() const { return m_Tabs; }
  QPlainTextEdit* SQLEditor() const { return m_SQL; }
  QSpinBox* RecordsToRead() const { return m_RecordsToRead; }
  TQXRecordsetPropertyArea* Properties() const { return m_Properties; }
  QRadioButton *AlwaysInsert = nullptr, *TryFind = nullptr;
  QCheckBox *EditIfExists = nullptr, *InsertIfNotExists = nullptr, *AssertExists = nullptr;

 protected:
  bool Accepts(TKVTreeItem* item) const override;
  void Fill() override;

 private:
  void UpdateEnabling();
  bool m_Destination;
  QTabWidget* m_Tabs;
  QPlainTextEdit* m_SQL;
  QSpinBox* m_RecordsToRead = nullptr;
  TQXRecordsetPropertyArea* m_Properties;
};
class TQXSrcRecordsetDetailArea : public TQXRecordsetDetailArea {
 public:
  explicit TQXSrcRecordsetDetailArea(QWidget* parent = nullptr) : TQXRecordsetDetailArea(false, parent) {}
};
class TQXDstRecordsetDetailArea : public TQXRecordsetDetailArea {
 public:
  explicit TQXDstRecordsetDetailArea(QWidget* parent = nullptr) : TQXRecordsetDetailArea(true, parent) {}
};

// A drop-down list of names that fills itself when it is opened empty.
class TQXPickerCombo : public QComboBox {
  Q_OBJECT
 public:
  using QComboBox::QComboBox;
  std::function<void()> OnFill;
  void showPopup() override;
};

// Kind 5.
class TQXDstFieldDetailArea : public TQXDetailAreaBase {
  Q_OBJECT
 public:
  explicit TQXDstFieldDetailArea(QWidget* parent = nullptr);
  void SetColumnSource(TQXColumnSource source) { m_Columns = std::move(source); }

  QRadioButton *FromSource, *FromOtherDest, *Fixed;
  TQXPickerCombo *SourceField, *DestRecordset, *DestField;
  QLabel *SourceFieldLabel, *DestRecordsetLabel, *DestFieldLabel;
  QLineEdit* FixedValue;
  QCheckBox *SkipIfNull, *AssignWhenEditing, *AssignWhenInserting, *LocateWithValue, *MatchCase;
  QComboBox *AssignMode, *MatchKind;
  QLabel *AssignModeLabel, *MatchKindLabel;

  // The destination recordsets before the field's own under the same destination database.
  static std::vector<TKVTreeItem*> PrecedingRecordsets(TKVTreeItem& field);
  void FillSourceFields(bool ask);
  void FillDestFields(bool ask);

 protected:
  bool Accepts(TKVTreeItem* item) const override;
  void Fill() override;

 private:
  void UpdateEnabling();
  TQXColumnSource m_Columns;
};

// Kind 6: the argument panel of the node's function.
class TQXFVFuncDetailArea : public TQXDetailAreaBase {
  Q_OBJECT
 public:
  explicit TQXFVFuncDetailArea(QWidget* parent = nullptr);
  // The control of each argument row (null for an argument without a row).
  const std::vector<QWidget*>& ArgumentControls() const { return m_Controls; }
  QLabel* Description() const { return m_Description; }

 protected:
  bool Accepts(TKVTreeItem* item) const override;
  void Fill() override;
  void Clear() override;

 private:
  void ArgumentEdited(size_t index, const TKVVariant& value);
  QLabel* m_Description;
  QWidget* m_Panel;
  QVBoxLayout* m_Rows;
  std::vector<QWidget*> m_Controls;
};

// The argument types that get a row: integer edits (2, 3, 17), text edits (4-8, 12, 0x100), check boxes (11).
enum class TQXArgumentControl { None, Integer, Text, Boolean };
TQXArgumentControl QXArgumentControlKind(uint16_t createdType);
