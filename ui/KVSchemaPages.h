#pragma once
// The schema pages: one page per ODBC data source showing its catalog as a tree (lists, their tables,
// views and procedures, and their columns), read live from the data source or from a copy stored in the
// open document under "\Schemata", and dragged from there onto the definition tree. Also the connect
// dialog that picks the data source.
#include <QDialog>
#include <QPointer>
#include <QTreeWidget>

#include <functional>
#include <optional>
#include <string>

#include "db/KVOdbcConnection.h"
#include "db/KVOdbcRecordset.h"
#include "definition/QXDTree.h"
#include "definition/QXDTreeOps.h"
#include "definition/QXDocument.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMimeData;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTabWidget;
class QToolButton;
class TQXConnectPropertyArea;
class TQXMainWindow;

// --- Drag payload --------------------------------------------------------------------------------------

inline constexpr const char* kKVSchemaMime = "application/x-dabrix-schema-item";
// The payload of dragging a schema entry, and reading it back (false when the data holds none).
QMimeData* KVSchemaItemMimeData(const TQXDSchemaItem& item);
bool KVSchemaItemFromMimeData(const QMimeData* data, TQXDSchemaItem& item);

// What the schema tree calls a data source in captions and page titles: the DSN, the database file's
// name or the database named by the connection string.
std::string KVSchemaDataSourceName(const TKVOdbcConnectProperties& properties);

// The data editor "Edit Data" calls: the page's connection properties, a fresh set of recordset properties
// and the SQL text. Registered by the program; without one the command stays disabled.
using TKVSchemaDataEditor = std::function<void(const TKVOdbcConnectProperties&, const TKVOdbcRecordsetProperties&,
                                               const std::string& sql)>;
void KVSetSchemaDataEditor(TKVSchemaDataEditor editor);

// --- One page ------------------------------------------------------------------------------------------

// Item data roles of the schema tree.
enum TKVSchemaNodeRole : int {
  snrClass = Qt::UserRole + 1,  // QString: the node class (TSTTablesData, TSTTableData, TSTColumnData, ...)
  snrKind,                      // int: the schema kind of a list node, or of the list an item belongs to
  snrTitle,                     // QString: the bare title (list caption without its count)
  snrHint,                      // QString: the hint text
  snrIsList                     // bool
};

class TKVSchemaTreeArea : public QWidget {
  Q_OBJECT
 public:
  enum Command : int {
    scShowSysTables = 0, scShowTables = 1, scShowViews = 2, scShowProcedures = 3, scClosePage = 4,
    scStoreSchema = 5, scRemoveSchema = 6, scRefresh = 7, scEditData = 8, kCommandCount = 9
  };
  enum Origin : int { soDataSource = 0, soDocument = 1 };

  // `document` (may be null) holds the stored schema data.
  TKVSchemaTreeArea(const TKVOdbcConnectProperties& properties, TQXDocument* document, QWidget* parent = nullptr);
  ~TKVSchemaTreeArea() override;
  std::string ClassName() const { return "TKVSchemaTreeArea"; }

  const std::string& DataSourceName() const { return m_DataSourceName; }
  TKVOdbcConnectProperties& ConnectProperties() { return *m_Properties; }
  QTreeWidget* Tree() const { return m_Tree; }
  QComboBox* OriginCombo() const { return m_Origin; }
  QToolButton* CommandButton(int command) const { return m_Buttons[command]; }
  // The last loading error of this page ("" when none).
  QString LastError() const;

  int SchemaLoadOrigin() const { return m_LoadOrigin; }
  // Changing the origin reloads the page from it.
  void SetSchemaLoadOrigin(int origin);
  uint32_t LoadedSchemaLists() const;

  // Loads the shown lists (`lists`: bit k for kind k, kinds 0..6) from the current origin, replacing the
  // tree. Returns false when stopped or when the source could not be read (the error is in LastError and
  // shown on the page).
  bool LoadPage(uint32_t lists);
  bool Refresh() { return LoadPage(LoadedSchemaLists()); }
  // Show/Hide of a root list (kinds 0..6).
  void ToggleList(int kind);
  bool Loading() const { return m_Loading; }
  // Escape: loading stops after the current row.
  void StopLoading() { m_Stop = true; }

  bool CommandEnabled(int command) const;
  void RunCommand(int command);
  void UpdateCommands();

  // "\Schemata\<data source>" of the document.
  bool HasStoredSchema() const;
  void StoreSchemaData();
  void RemoveSchemaData();

  // The first table, view or procedure of that title in the shown lists (kind order), and within it the
  // column when one is named.
  QTreeWidgetItem* LocateNode(const std::string& table, const std::string& column = {}) const;
  // The drop description of a node (list folder, table, column folder, column).
  std::optional<TQXDSchemaItem> SchemaItemOf(QTreeWidgetItem* node) const;

  // The page state in the storage's current directory.
  void StorePageState(IKVStorage& storage);
  // Restores the state and loads the page from its origin; raises when the data source cannot be read.
  void LoadPageState(IKVStorage& storage);

 signals:
  void CloseRequested(TKVSchemaTreeArea* page);
  void LoadingChanged(bool loading);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class TLoader;
  void StartDrag();
  QTreeWidgetItem* RootList(int kind) const;
  bool LoadFromDataSource(uint32_t lists);
  bool LoadFromDocument(uint32_t lists);
  void SetError(const QString& text);

  TKVRef<TKVOdbcConnectProperties> m_Properties;
  TQXDocument* m_Document;
  std::string m_DataSourceName;
  QTreeWidget* m_Tree;
  QComboBox* m_Origin;
  QLabel* m_Status;
  QToolButton* m_Buttons[kCommandCount] = {};
  int m_LoadOrigin = soDataSource;
  bool m_Loading = false;
  bool m_Stop = false;
  QString m_LastError;
  QPoint m_PressPos;
};

// --- The dialog -----------------------------------------------------------------------------------------

class TKVSchemaPagesDlg : public QDialog, public IQXSchemaHintSource {
  Q_OBJECT
 public:
  explicit TKVSchemaPagesDlg(TQXDocument* document, QWidget* parent = nullptr);
  ~TKVSchemaPagesDlg() override;
  std::string ClassName() const { return "TKVSchemaPagesDlg"; }

  QTabWidget* Tabs() const { return m_Tabs; }
  int PageCount() const;
  TKVSchemaTreeArea* Page(int index) const;

  // Shows the page of the data source, or adds one and loads it (from the data source).
  TKVSchemaTreeArea* OpenPage(const TKVOdbcConnectProperties& properties);
  // The page of a data source name, or null.
  TKVSchemaTreeArea* FindPage(const std::string& dataSourceName) const;
  void ClosePage(TKVSchemaTreeArea* page);

  // "ClassName", "SelectedPageIdx" and one "Page%.5d" directory per page in the current directory.
  void StoreData(IKVStorage& storage);
  // Re-creates the pages; when one fails, "Continue loading the remaining Pages" is asked and No raises.
  void LoadData(IKVStorage& storage);

  // IQXSchemaHintSource
  std::optional<std::string> TableHint(const std::string& dataSourceName, const std::string& table) const override;
  std::optional<std::string> ColumnHint(const std::string& dataSourceName, const std::string& table,
                                        const std::string& column) const override;

 private:
  TKVSchemaTreeArea* AddPage(const TKVOdbcConnectProperties& properties);
  TQXDocument* m_Document;
  QTabWidget* m_Tabs;
  IQXSchemaHintSource* m_PreviousHints = nullptr;
};

// --- Connect dialog ---------------------------------------------------------------------------------------

class TKVOdbcConnectDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TKVOdbcConnectDlg(QWidget* parent = nullptr);

  // The chosen properties (valid after Accepted).
  TKVOdbcConnectProperties& Properties() { return *m_Properties; }
  QListWidget* DataSources() const { return m_Sources; }
  QComboBox* Driver() const { return m_Driver; }
  QLineEdit *File, *Server, *Database, *User, *Password;
  QSpinBox* Port;
  TQXConnectPropertyArea* PropertyArea() const { return m_Area; }
  QPushButton* TestButton() const { return m_Test; }
  QLabel* TestResult() const { return m_Result; }

  // Fills the connection string from the driver fields.
  void BuildConnectionString();
  // Connects with the properties shown; the result text is shown and returned true on success.
  bool TestConnection();

 private:
  void DriverChanged();
  TKVRef<TKVOdbcConnectProperties> m_Properties;
  QListWidget* m_Sources;
  QComboBox* m_Driver;
  QStackedWidget* m_DriverFields;
  TQXConnectPropertyArea* m_Area;
  QPushButton* m_Test;
  QLabel* m_Result;
};

// --- Wiring into the main window ---------------------------------------------------------------------------

// The schema pages dialog of a main window (created with `create`).
TKVSchemaPagesDlg* KVSchemaPages(TQXMainWindow& window, bool create);
// Sets the window's "Connect to ODBC Database ..." hook: the connect dialog, then the page.
// `chooser` replaces the dialog (tests): it fills the properties and answers false when cancelled.
void KVInstallSchemaPages(TQXMainWindow& window,
                          std::function<bool(TKVOdbcConnectProperties&)> chooser = nullptr);

// The schema pages dialog as the main window's one tool window in the document's window list: counted
// while it has pages, stored with its pages, re-created by its class name, closed when another document
// opens.
int KVSchemaToolWindowCount(const TQXMainWindow& window);
void KVStoreSchemaToolWindow(TQXMainWindow& window, IKVStorage& storage);
// False when `className` is not the dialog's.
bool KVLoadSchemaToolWindow(TQXMainWindow& window, const std::string& className, IKVStorage& storage);
void KVCloseSchemaPages(TQXMainWindow& window);
