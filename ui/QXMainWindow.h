#pragma once
// The main window: the one open reorganization document, its definition tree on the left, the detail area
// of the selected node on the right under a header line, the status bar with the modified state, and the
// commands of the program (the command manager: captions, hints, enabling).
#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>

#include "definition/QXDocument.h"
#include "definition/QXSettings.h"
#include "engine/QXReport.h"
#include "ui/FVFListForm.h"
#include "ui/QXUiCommon.h"

class QSplitter;
class QStackedWidget;
class QToolBar;
class TQXDTreeWidget;
class TQXDetailAreaBase;
class TQXDfltDetailArea;
class TQXDstFieldDetailArea;

// The commands of the main window, by identifier.
enum TQXCommand : int {
  cmdConnect = 0, cmdStartReorganization = 1, cmdShowFunctions = 2, cmdNew = 3, cmdOpen = 4, cmdSave = 5,
  cmdSaveAs = 6, cmdExit = 7, cmdSettings = 8, cmdInformation = 9, cmdWebSite = 10, kQXCommandCount = 11
};

// The commands with their captions, hints and enabling.
class TKVCommandManager : public QObject {
  Q_OBJECT
 public:
  explicit TKVCommandManager(QObject* parent);
  QAction* Command(int id) const { return m_Actions[size_t(id)]; }
  // "Save" exactly when modified; "Start Data Reorganization" exactly when the tree holds more than 4 nodes.
  void UpdateEnabling(bool modified, size_t nodeCount);

 private:
  std::array<QAction*, kQXCommandCount> m_Actions{};
};

// The status bar's panel: severity icon and "Data not Modified" / "Data Modified" (bold).
class TQXModifiedStatusPanel : public QWidget {
  Q_OBJECT
 public:
  explicit TQXModifiedStatusPanel(QWidget* parent = nullptr);
  bool Modified() const { return m_Modified; }
  void SetModified(bool modified);
  QString Text() const { return m_Text->text(); }
  bool Bold() const { return m_Text->font().bold(); }

 private:
  bool m_Modified = true;
  QLabel* m_Icon;
  QLabel* m_Text;
};

// The tree area: the definition tree with its toolbar and context menu of tree commands.
class TQXDTreeArea : public QWidget {
  Q_OBJECT
 public:
  explicit TQXDTreeArea(QWidget* parent = nullptr);
  TQXDTreeWidget* TreeWidget() const { return m_Tree; }
  QToolBar* ToolBar() const { return m_ToolBar; }

 private:
  TQXDTreeWidget* m_Tree;
  QToolBar* m_ToolBar;
};

class TQXMainWindow : public QMainWindow, private IQXDocumentHost {
  Q_OBJECT
 public:
  // Tree commands (beside the window's eleven commands).
  enum TreeCommand : int {
    tcAddSourceDatabase, tcAddSourceRecordset, tcAddDestinationDatabase, tcAddDestinationRecordset,
    tcAddDestinationField, tcAddAllDestinationFields, tcSortByDependency, tcValidateAll, tcClearValidation,
    tcDeleteNode, tcDeleteAll, tcCopy, tcCut, tcPaste, tcRename, tcExpandAll, tcCollapseAll, tcShowHints,
    kTreeCommandCount
  };

  // `settings` (not owned) defaults to the program's settings file.
  explicit TQXMainWindow(TQXSettings* settings = nullptr, QWidget* parent = nullptr);
  ~TQXMainWindow() override;

  // After the window is shown: loads the plug-ins, then opens the document of the command line or offers
  // the most recently used one. `loadPlugins` false skips the plug-ins (they may be loaded already).
  void StartUp(const QStringList& arguments, bool loadPlugins = true);

  TQXDocument& Document() { return *m_Document; }
  TQXDTreeView& Tree() { return m_Document->Tree(); }
  TKVCommandManager& Commands() { return *m_Commands; }
  QAction* Command(int id) const { return m_Commands->Command(id); }
  QAction* TreeAction(TreeCommand c) const { return m_TreeActions[size_t(c)]; }
  QMenu* AddFunctionMenu() const { return m_AddFunctionMenu; }
  TQXModifiedStatusPanel* ModifiedPanel() const { return m_ModifiedPanel; }
  TQXDTreeWidget* TreeWidget() const;
  QSplitter* Splitter() const { return m_Splitter; }
  QLabel* Header() const { return m_Header; }
  // The area of a node kind (0..6) and the kind shown now.
  TQXDetailAreaBase* DetailArea(int kind) const { return m_Areas[size_t(kind)]; }
  int ShownKind() const { return m_ShownKind; }
  TFVFListForm* FunctionList() const { return m_FunctionList; }
  TQXReport& ValidationReport() { return m_Report; }

  // The document operations as the commands run them; false when cancelled or failed.
  bool NewDocument();
  bool OpenDocument(const QString& fileName);
  bool OpenWithDialog();
  bool SaveDocument();
  bool SaveDocumentAs();
  // Runs a save under the wait cursor; an error is shown, caption and commands follow the outcome.
  bool RunSave(const std::function<bool()>& save);
  void ShowFunctionList() override;
  void ShowSettings();
  void ShowInformation();

  // The file dialogs, replaceable (tests): given whether saving, the dialog's title and the current file
  // name, the chosen name or an empty text when cancelled.
  std::function<QString(bool save, const QString& title, const QString& current)> FileDialog;
  // Command 0 (the schema pages open a data source); until set the command shows nothing more.
  std::function<void()> OnConnectToDatabase;
  // Command 1 (the run with progress and report).
  std::function<void()> OnStartReorganization;
  // The columns of a table, for the pickers and "Add all destination fields" (replaceable; the default reads
  // the database's catalog after asking).
  std::vector<std::string> TableColumns(TKVTreeItem& databaseNode, const std::string& table, bool ask);

  // The caption the window shows.
  QString Caption() const;

 protected:
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;

 private:
  // IQXDocumentHost
  bool QueryCloseDocument(TQXDocument& document) override;
  bool ChooseSaveFileName(TQXDocument& document, std::string& fileName) override;
  void TitleChanged(TQXDocument& document) override;
  void BeginWait() override;
  void EndWait() override;
  void ShowError(const std::exception& e) override;
  bool ManagesWindows() const override { return true; }
  void CloseToolWindows() override;
  void LoadToolWindow(const std::string& className, IKVStorage& storage) override;
  int ToolWindowCount() const override;
  void StoreToolWindow(int index, IKVStorage& storage) override;
  bool FunctionFormVisible() const override;
  bool ReportFormVisible() const override;
  void ShowReportWindow() override;
  void StoreMainWindow(IKVStorage& storage) override;

  void CreateCommands();
  void CreateTreeCommands();
  void CreateLayout();
  void UpdateCommands();
  void UpdateCaption();
  void SelectionChanged(TKVTreeItem* item);
  void UpdateHeader();
  void PropertyEdited(const QString& newTitle);
  void RebuildFunctionMenu();
  void RunTreeCommand(TreeCommand c);
  void RestorePlacement();
  void StorePlacement();
  void ShowContextMenu(const QPoint& pos);
  IQXDClipboard& Clipboard() { return m_Clipboard; }

  TQXSettings* m_Settings;
  TKVRef<TQXDocument> m_Document;
  TKVCommandManager* m_Commands;
  std::array<QAction*, kTreeCommandCount> m_TreeActions{};
  QMenu* m_AddFunctionMenu = nullptr;
  TQXModifiedStatusPanel* m_ModifiedPanel = nullptr;
  TQXDTreeArea* m_TreeArea = nullptr;
  QSplitter* m_Splitter = nullptr;
  QLabel* m_Header = nullptr;
  QStackedWidget* m_Stack = nullptr;
  std::array<TQXDetailAreaBase*, 7> m_Areas{};
  int m_ShownKind = 0;
  bool m_FillingAreas = false;
  QPointer<TFVFListForm> m_FunctionList;
  TQXSystemClipboard m_Clipboard;
  TQXReport m_Report;
  std::unique_ptr<class TQXValidator> m_Validator;
  int m_WaitDepth = 0;
  int m_TreeWidth = 0;  // the stored tree width, until the first show applies it
};

// The project's home page, opened by "Visit the ... WebSite".
inline constexpr const char* kQXHomePage = "https://github.com/dabrix/dabrix";
