#include "ui/QXMainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "db/KVConnectionString.h"
#include "db/KVSqlText.h"
#include "definition/QXDClipboard.h"
#include "definition/QXDFKSort.h"
#include "engine/QXValidate.h"
#include "plugin_host/FVFunc.h"
#include "plugin_host/KVPluginMgr.h"
#include "ui/FVFListForm.h"
#include "ui/KVDataEditor.h"
#include "ui/KVSchemaPages.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXDetailAreas.h"
#include "ui/QXProblemReport.h"
#include "ui/QXRunWindows.h"
#include "ui/QXSettingsDlg.h"

// --- Command manager -------------------------------------------------------------------------------------

TKVCommandManager::TKVCommandManager(QObject* parent) : QObject(parent) {
  struct Row {
    const char* caption;
    const char* hint;
    const char* image;
  };
  static const Row rows[kQXCommandCount] = {
      {"Connect to ODBC Database ...", "Select an ODBC data source and open its schema as tree", "cmd_connect"},
      {"Start Data Reorganization", "Start the data reorgainzation now", "cmd_run"},
      {"Show Field Value Functions", nullptr, "cmd_functions"},
      {"New", "Create a new data reorganization document", nullptr},
      {"Open", "Open an existing data reorginzation document", nullptr},
      {"Save", "Save modifications to the data reorginzation document", nullptr},
      {"Save As ...", "Save current data reorginzation document to another file", nullptr},
      {"Exit", "Exit this Application", nullptr},
      {"Application Settings ...", nullptr, nullptr},
      {"Informarion about this Application ...", nullptr, "dabrix"},
      {"Visit the Dabrix WebSite ...", nullptr, nullptr},
  };
  QStyle* style = QApplication::style();
  const QStyle::StandardPixmap standard[kQXCommandCount] = {
      QStyle::SP_CustomBase, QStyle::SP_CustomBase, QStyle::SP_CustomBase, QStyle::SP_FileIcon,
      QStyle::SP_DialogOpenButton, QStyle::SP_DialogSaveButton, QStyle::SP_DriveFDIcon,
      QStyle::SP_DialogCloseButton, QStyle::SP_FileDialogDetailedView, QStyle::SP_CustomBase,
      QStyle::SP_DriveNetIcon};
  for (int i = 0; i < kQXCommandCount; ++i) {
    auto* a = new QAction(rows[i].caption, this);
    if (rows[i].hint) {
      a->setStatusTip(rows[i].hint);
      a->setToolTip(rows[i].hint);
    }
    if (rows[i].image)
      a->setIcon(QXImageIcon(rows[i].image));
    else if (standard[i] != QStyle::SP_CustomBase)
      a->setIcon(QIcon::fromTheme(i == cmdNew ? "document-new" : i == cmdOpen ? "document-open"
                                  : i == cmdSave ? "document-save" : i == cmdSaveAs ? "document-save-as"
                                  : i == cmdExit ? "application-exit" : "", style->standardIcon(standard[i])));
    a->setData(i);
    m_Actions[size_t(i)] = a;
  }
  m_Actions[cmdNew]->setShortcut(QKeySequence::New);
  m_Actions[cmdOpen]->setShortcut(QKeySequence::Open);
  m_Actions[cmdSave]->setShortcut(QKeySequence::Save);
  m_Actions[cmdSaveAs]->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
  m_Actions[cmdExit]->setShortcut(QKeySequence::Quit);
  m_Actions[cmdInformation]->setShortcut(QKeySequence(Qt::Key_F1));
  m_Actions[cmdStartReorganization]->setShortcut(QKeySequence(Qt::Key_F9));
  m_Actions[cmdExit]->setMenuRole(QAction::QuitRole);
  m_Actions[cmdInformation]->setMenuRole(QAction::AboutRole);
}

void TKVCommandManager::UpdateEnabling(bool modified, size_t nodeCount) {
  m_Actions[cmdSave]->setEnabled(modified);
  m_Actions[cmdStartReorganization]->setEnabled(nodeCount > 4);
}

// --- Status panel ----------------------------------------------------------------------------------------

TQXModifiedStatusPanel::TQXModifiedStatusPanel(QWidget* parent) : QWidget(parent) {
  auto* l = new QHBoxLayout(this);
  l->setContentsMargins(2, 0, 2, 0);
  m_Icon = new QLabel;
  m_Text = new QLabel;
  l->addWidget(m_Icon);
  l->addWidget(m_Text);
  SetModified(false);
}

void TQXModifiedStatusPanel::SetModified(bool modified) {
  if (modified == m_Modified && !m_Text->text().isEmpty()) return;
  m_Modified = modified;
  QStyle* style = QApplication::style();
  int size = style->pixelMetric(QStyle::PM_SmallIconSize);
  m_Icon->setPixmap(style->standardIcon(modified ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxInformation)
                        .pixmap(size, size));
  m_Text->setText(modified ? "Data Modified" : "Data not Modified");
  QFont f = m_Text->font();
  f.setBold(modified);
  m_Text->setFont(f);
}

// --- Tree area -------------------------------------------------------------------------------------------

TQXDTreeArea::TQXDTreeArea(QWidget* parent) : QWidget(parent) {
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(0, 0, 0, 0);
  l->setSpacing(0);
  m_ToolBar = new QToolBar;
  m_ToolBar->setIconSize(QSize(16, 16));
  m_Tree = new TQXDTreeWidget;
  m_Tree->setContextMenuPolicy(Qt::CustomContextMenu);
  l->addWidget(m_ToolBar);
  l->addWidget(m_Tree);
}

// --- Main window -----------------------------------------------------------------------------------------

TQXMainWindow::TQXMainWindow(TQXSettings* settings, QWidget* parent)
    : QMainWindow(parent), m_Settings(settings ? settings : &QXSettings()) {
  QXInitUiResources();
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowIcon(QXAppIcon());
  m_Document = KVMakeRef<TQXDocument>(&m_Settings->TreeSettings(), static_cast<IQXDocumentHost*>(this));
  m_Validator = std::make_unique<TQXValidator>(m_Document->Tree(), m_Report);
  m_Commands = new TKVCommandManager(this);
  CreateCommands();
  CreateLayout();
  CreateTreeCommands();
  RestorePlacement();
  TreeWidget()->SetTree(&Tree());
  Tree().OnSelectionChanged = [this](TKVTreeItem* item) { SelectionChanged(item); };
  connect(TreeWidget()->ItemModel(), &TQXDTreeItemModel::TreeModified, this, &TQXMainWindow::UpdateCommands);
  connect(TreeWidget(), &TQXDTreeWidget::FilesDropped, this, [this](const QStringList& files) {
    for (const QString& f : files) OpenDocument(f);
  });
  SelectionChanged(nullptr);
  UpdateCaption();
  UpdateCommands();
  QXApplyDialogAnimation(m_Settings->DlgWindowAnimation(), m_Settings->DlgWindowAniDuration());
  QXInstallRunWindows(*this, *m_Settings, m_Report, *m_Validator);
  KVInstallSchemaPages(*this);
}

TQXMainWindow::~TQXMainWindow() {
  Tree().OnSelectionChanged = nullptr;
  if (m_FunctionList) delete m_FunctionList.data();
  TreeWidget()->SetTree(nullptr);
}

TQXDTreeWidget* TQXMainWindow::TreeWidget() const { return m_TreeArea->TreeWidget(); }

void TQXMainWindow::CreateCommands() {
  connect(Command(cmdConnect), &QAction::triggered, this, [this] {
    if (OnConnectToDatabase) OnConnectToDatabase();
  });
  connect(Command(cmdStartReorganization), &QAction::triggered, this, [this] {
    if (OnStartReorganization) OnStartReorganization();
  });
  connect(Command(cmdShowFunctions), &QAction::triggered, this, [this] { ShowFunctionList(); });
  connect(Command(cmdNew), &QAction::triggered, this, [this] { NewDocument(); });
  connect(Command(cmdOpen), &QAction::triggered, this, [this] { OpenWithDialog(); });
  connect(Command(cmdSave), &QAction::triggered, this, [this] { SaveDocument(); });
  connect(Command(cmdSaveAs), &QAction::triggered, this, [this] { SaveDocumentAs(); });
  connect(Command(cmdExit), &QAction::triggered, this, &QWidget::close);
  connect(Command(cmdSettings), &QAction::triggered, this, [this] { ShowSettings(); });
  connect(Command(cmdInformation), &QAction::triggered, this, [this] { ShowInformation(); });
  connect(Command(cmdWebSite), &QAction::triggered, this,
          [] { QProcess::startDetached("xdg-open", {QString(kQXHomePage)}); });

  QMenu* file = menuBar()->addMenu("&File");
  file->addAction(Command(cmdConnect));
  file->addSeparator();
  file->addAction(Command(cmdStartReorganization));
  file->addSeparator();
  file->addAction(Command(cmdShowFunctions));
  file->addSeparator();
  for (int id : {cmdNew, cmdOpen, cmdSave, cmdSaveAs}) file->addAction(Command(id));
  file->addSeparator();
  file->addAction(Command(cmdExit));
  QMenu* settings = menuBar()->addMenu("&Settings");
  settings->addAction(Command(cmdSettings));
  QMenu* help = menuBar()->addMenu("&?");
  help->addAction(Command(cmdInformation));
  help->addSeparator();
  help->addAction(Command(cmdWebSite));

  QToolBar* bar = addToolBar("Commands");
  bar->setObjectName("Commands");
  bar->setIconSize(QSize(16, 16));
  for (int id : {cmdNew, cmdOpen, cmdSave}) bar->addAction(Command(id));
  bar->addSeparator();
  for (int id : {cmdConnect, cmdShowFunctions, cmdStartReorganization}) bar->addAction(Command(id));
}

void TQXMainWindow::CreateLayout() {
  m_Splitter = new QSplitter(Qt::Horizontal);
  m_TreeArea = new TQXDTreeArea;
  m_Splitter->addWidget(m_TreeArea);
  auto* right = new QWidget;
  auto* rl = new QVBoxLayout(right);
  rl->setContentsMargins(4, 0, 0, 0);
  m_Header = new QLabel("General");
  m_Header->setObjectName("TDetailHeaderText");
  QFont hf = m_Header->font();
  hf.setBold(true);
  hf.setPointSizeF(hf.pointSizeF() * 1.2);
  m_Header->setFont(hf);
  m_Header->setMargin(6);
  m_Header->setAutoFillBackground(true);
  m_Header->setBackgroundRole(QPalette::Base);
  m_Header->setFrameShape(QFrame::StyledPanel);
  rl->addWidget(m_Header);
  m_Stack = new QStackedWidget;
  // In a narrow window the page scrolls rather than squeezing the tree area.
  auto* scroll = new QScrollArea;
  scroll->setWidget(m_Stack);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  rl->addWidget(scroll, 1);
  m_Splitter->addWidget(right);
  m_Splitter->setStretchFactor(0, 0);
  m_Splitter->setStretchFactor(1, 1);
  m_Splitter->setChildrenCollapsible(false);
  setCentralWidget(m_Splitter);

  auto* dflt = new TQXDfltDetailArea;
  connect(dflt, &TQXDfltDetailArea::ConnectRequested, Command(cmdConnect), &QAction::trigger);
  auto* field = new TQXDstFieldDetailArea;
  field->SetColumnSource([this](TKVTreeItem& db, const std::string& table, bool ask) {
    return TableColumns(db, table, ask);
  });
  m_Areas = {dflt, new TQXSrcConnectionDetailArea, new TQXDstConnectionDetailArea, new TQXSrcRecordsetDetailArea,
             new TQXDstRecordsetDetailArea, field, new TQXFVFuncDetailArea};
  for (size_t i = 0; i < m_Areas.size(); ++i) {
    m_Areas[i]->setObjectName(QString("DetailArea%1").arg(i));
    m_Stack->addWidget(m_Areas[i]);
    connect(m_Areas[i], &TQXDetailAreaBase::PropertyChanged, this, &TQXMainWindow::PropertyEdited);
  }
  // The explanatory hints of the detail pages stay up as long as the user setting says (-1: Qt's default).
  int hintMs = m_Settings->HintMaxShowTimeMS();
  for (QWidget* w : m_Stack->findChildren<QWidget*>()) w->setToolTipDuration(hintMs);
  m_ModifiedPanel = new TQXModifiedStatusPanel;
  statusBar()->addPermanentWidget(m_ModifiedPanel);
  statusBar()->setSizeGripEnabled(true);
}

void TQXMainWindow::CreateTreeCommands() {
  struct Row {
    const char* caption;
    int image;          // node image, or -1
    const char* icon;   // command image, or null
  };
  static const Row rows[kTreeCommandCount] = {
      {"Add Source Database", 0, nullptr},
      {"Add Source Recordset", 1, nullptr},
      {"Add Destination Database", 2, nullptr},
      {"Add Destination Recordset", 3, nullptr},
      {"Add Destination Field", 4, nullptr},
      {"Add all destination fields", -1, "cmd_addfields"},
      {"Sort tables by dependency", -1, "cmd_sort"},
      {"Validate All", -1, "cmd_validate"},
      {"Clear Validation", -1, "cmd_clearvalidation"},
      {"Delete selected node", -1, "cmd_delete"},
      {"Delete all nodes", -1, nullptr},
      {"Copy Subtree", -1, nullptr},
      {"Cut Subtree", -1, nullptr},
      {"Paste Subtree", -1, nullptr},
      {"Rename", -1, nullptr},
      {"Expand all", -1, nullptr},
      {"Collapse all", -1, nullptr},
      {"Show Hints", -1, nullptr},
  };
  TQXDTreeWidget* tree = TreeWidget();
  for (int i = 0; i < kTreeCommandCount; ++i) {
    auto* a = new QAction(rows[i].caption, this);
    if (rows[i].image >= 0) a->setIcon(QXNodeIcon(rows[i].image));
    if (rows[i].icon) a->setIcon(QXImageIcon(rows[i].icon));
    a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    tree->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] { RunTreeCommand(TreeCommand(i)); });
    m_TreeActions[size_t(i)] = a;
  }
  m_TreeActions[tcDeleteNode]->setShortcut(QKeySequence::Delete);
  m_TreeActions[tcCopy]->setShortcut(QKeySequence::Copy);
  m_TreeActions[tcCut]->setShortcut(QKeySequence::Cut);
  m_TreeActions[tcPaste]->setShortcut(QKeySequence::Paste);
  m_TreeActions[tcRename]->setShortcut(QKeySequence(Qt::Key_F2));
  m_TreeActions[tcCopy]->setIcon(QIcon::fromTheme("edit-copy"));
  m_TreeActions[tcCut]->setIcon(QIcon::fromTheme("edit-cut"));
  m_TreeActions[tcPaste]->setIcon(QIcon::fromTheme("edit-paste"));
  m_TreeActions[tcShowHints]->setCheckable(true);
  m_TreeActions[tcShowHints]->setChecked(true);
  m_AddFunctionMenu = new QMenu("Add function", this);
  m_AddFunctionMenu->setIcon(QXNodeIcon(5));

  QToolBar* bar = m_TreeArea->ToolBar();
  for (TreeCommand c : {tcAddSourceDatabase, tcAddSourceRecordset, tcAddDestinationDatabase,
                        tcAddDestinationRecordset, tcAddDestinationField})
    bar->addAction(TreeAction(c));
  bar->addAction(m_AddFunctionMenu->menuAction());
  bar->addAction(TreeAction(tcAddAllDestinationFields));
  bar->addSeparator();
  bar->addAction(TreeAction(tcValidateAll));
  bar->addAction(TreeAction(tcClearValidation));
  bar->addAction(TreeAction(tcDeleteNode));
  connect(tree, &QWidget::customContextMenuRequested, this, &TQXMainWindow::ShowContextMenu);
  connect(m_AddFunctionMenu->menuAction(), &QAction::triggered, this, [this] {
    // The toolbar button opens the list of functions.
    m_AddFunctionMenu->exec(QCursor::pos());
  });
}

void TQXMainWindow::RebuildFunctionMenu() {
  m_AddFunctionMenu->clear();
  for (const auto& f : FVRegisteredFunctions()) {
    QAction* a = m_AddFunctionMenu->addAction(QXNodeIcon(5), QXStr(f->Name));
    a->setStatusTip(QXStr(f->Description));
    TGUID id = f->Id;
    connect(a, &QAction::triggered, this, [this, id] {
      if (TKVTreeItem* item = Tree().AddNodeByCommand(TQXDAddCommand::AddFunction, id)) {
        (void)item;
        TreeWidget()->SyncSelection();
      } else {
        QApplication::beep();
      }
    });
  }
}

void TQXMainWindow::ShowContextMenu(const QPoint& pos) {
  UpdateCommands();
  QMenu menu(this);
  for (TreeCommand c : {tcAddSourceDatabase, tcAddSourceRecordset, tcAddDestinationDatabase,
                        tcAddDestinationRecordset, tcAddDestinationField})
    menu.addAction(TreeAction(c));
  menu.addMenu(m_AddFunctionMenu);
  menu.addAction(TreeAction(tcAddAllDestinationFields));
  menu.addSeparator();
  menu.addAction(TreeAction(tcSortByDependency));
  menu.addSeparator();
  menu.addAction(TreeAction(tcValidateAll));
  menu.addAction(TreeAction(tcClearValidation));
  menu.addSeparator();
  for (TreeCommand c : {tcCopy, tcCut, tcPaste}) menu.addAction(TreeAction(c));
  menu.addSeparator();
  for (TreeCommand c : {tcRename, tcDeleteNode, tcDeleteAll}) menu.addAction(TreeAction(c));
  menu.addSeparator();
  for (TreeCommand c : {tcExpandAll, tcCollapseAll, tcShowHints}) menu.addAction(TreeAction(c));
  if (auto* rs = Tree().Selected() ? Tree().Selected()->DataAs<TQXDRecordsetData>() : nullptr) {
    // The editor opens a connection of its own: the document's stays as a run needs it.
    menu.addSeparator();
    QAction* edit = menu.addAction("Edit Data");
    TKVOdbcConnection* c = rs->Recordset().Connection();
    std::string table = rs->TableName();
    edit->setEnabled(c && !table.empty());
    if (c) {
      // The database node's settings (credentials, access mode, timeouts) as they are now; the node's own
      // recordset settings serve the run, the editor starts from fresh ones.
      auto connection = KVMakeRef<TKVOdbcConnectProperties>();
      connection->Assign(c->Properties());
      connect(edit, &QAction::triggered, this, [this, connection, table] {
        auto recordset = KVMakeRef<TKVOdbcRecordsetProperties>();
        KVShowDataEditor(*connection, *recordset, KVSQLTextForTable(table), this);
      });
    }
  }
  menu.exec(TreeWidget()->viewport()->mapToGlobal(pos));
}

void TQXMainWindow::UpdateCommands() {
  m_Commands->UpdateEnabling(m_Document->Modified(), Tree().Count());
  m_ModifiedPanel->SetModified(m_Document->Modified());
  if (!m_TreeActions[0]) return;
  TKVTreeItem* sel = Tree().Selected();
  TreeAction(tcAddSourceDatabase)->setEnabled(Tree().CommandEnabled(TQXDAddCommand::AddSourceDatabase));
  TreeAction(tcAddSourceRecordset)->setEnabled(Tree().CommandEnabled(TQXDAddCommand::AddSourceRecordset));
  TreeAction(tcAddDestinationDatabase)->setEnabled(Tree().CommandEnabled(TQXDAddCommand::AddDestinationDatabase));
  TreeAction(tcAddDestinationRecordset)->setEnabled(Tree().CommandEnabled(TQXDAddCommand::AddDestinationRecordset));
  TreeAction(tcAddDestinationField)->setEnabled(Tree().CommandEnabled(TQXDAddCommand::AddDestinationField));
  m_AddFunctionMenu->setEnabled(Tree().CommandEnabled(TQXDAddCommand::AddFunction) && !m_AddFunctionMenu->isEmpty());
  TreeAction(tcAddAllDestinationFields)->setEnabled(sel && sel->DataAs<TQXDDestRSData>());
  TreeAction(tcSortByDependency)->setEnabled(sel && sel->DataAs<TQXDConnectionData>());
  TreeAction(tcValidateAll)->setEnabled(!Tree().Empty());
  TreeAction(tcClearValidation)->setEnabled(m_Validator->CanClearValidation());
  TreeAction(tcDeleteNode)->setEnabled(sel != nullptr);
  TreeAction(tcDeleteAll)->setEnabled(!Tree().Empty());
  TreeAction(tcCopy)->setEnabled(sel && QXDFindNodeKind(sel));
  TreeAction(tcCut)->setEnabled(sel && QXDFindNodeKind(sel));
  TreeAction(tcRename)->setEnabled(sel && Tree().CanEditLabel(*sel));
}

void TQXMainWindow::RunTreeCommand(TreeCommand c) {
  TQXDTreeWidget* view = TreeWidget();
  TKVTreeItem* sel = Tree().Selected();
  auto add = [&](TQXDAddCommand command) {
    if (Tree().AddNodeByCommand(command))
      view->SyncSelection();
    else
      QApplication::beep();
  };
  try {
    switch (c) {
      case tcAddSourceDatabase: add(TQXDAddCommand::AddSourceDatabase); break;
      case tcAddSourceRecordset: add(TQXDAddCommand::AddSourceRecordset); break;
      case tcAddDestinationDatabase: add(TQXDAddCommand::AddDestinationDatabase); break;
      case tcAddDestinationRecordset: add(TQXDAddCommand::AddDestinationRecordset); break;
      case tcAddDestinationField: add(TQXDAddCommand::AddDestinationField); break;
      case tcAddAllDestinationFields: {
        if (!sel || !sel->DataAs<TQXDDestRSData>() || !sel->Parent()) {
          QApplication::beep();
          break;
        }
        std::vector<std::string> columns =
            TableColumns(*sel->Parent(), sel->Title(), true);
        if (Tree().AddAllDestinationFields(*sel, columns) == 0) QApplication::beep();
        view->setExpanded(view->ItemModel()->IndexOf(sel), true);
        break;
      }
      case tcSortByDependency: {
        TKVTreeItem* db = sel ? QXDFindAncestorItem<TQXDConnectionData>(sel) : nullptr;
        if (!db || !QXDSortTablesByDependency(Tree(), *db)) QApplication::beep();
        break;
      }
      case tcValidateAll: {
        BeginWait();
        try {
          m_Validator->ValidateAll();
        } catch (...) {
          EndWait();
          throw;
        }
        EndWait();
        break;
      }
      case tcClearValidation: m_Validator->ClearValidation(); break;
      case tcDeleteNode:
        if (!Tree().DeleteSelected() && !sel) QApplication::beep();
        break;
      case tcDeleteAll: Tree().DeleteAll(); break;
      case tcCopy:
        if (!QXDCopySubtree(Clipboard(), sel)) QApplication::beep();
        break;
      case tcCut:
        if (!QXDCutSubtree(Clipboard(), Tree(), sel)) QApplication::beep();
        break;
      case tcPaste: {
        TKVTreeItem* pasted = QXDPasteSubtree(Clipboard(), Tree(), sel);
        if (!pasted)
          QApplication::beep();
        else if (pasted->Parent())
          view->setExpanded(view->ItemModel()->IndexOf(pasted->Parent()), true);
        break;
      }
      case tcRename:
        if (sel && Tree().CanEditLabel(*sel))
          view->edit(view->ItemModel()->IndexOf(sel));
        else
          QApplication::beep();
        break;
      case tcExpandAll: view->expandAll(); break;
      case tcCollapseAll: view->collapseAll(); break;
      case tcShowHints: view->ItemModel()->SetShowHints(TreeAction(tcShowHints)->isChecked()); break;
      default: break;
    }
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
  UpdateCommands();
}

// --- Selection and detail areas --------------------------------------------------------------------------

namespace {
int KindOf(TKVTreeItem* item) {
  if (!item) return 0;
  if (item->DataAs<TQXDDestConnectionData>()) return 2;
  if (item->DataAs<TQXDSourceConnectionData>()) return 1;
  if (item->DataAs<TQXDSourceRSData>()) return 3;
  if (item->DataAs<TQXDDestRSData>()) return 4;
  if (item->DataAs<TQXDDestFieldData>()) return 5;
  if (item->DataAs<TQXDFieldFuncData>()) return 6;
  return 0;
}
}  // namespace

void TQXMainWindow::SelectionChanged(TKVTreeItem* item) {
  m_FillingAreas = true;
  int kind = KindOf(item);
  for (size_t i = 0; i < m_Areas.size(); ++i)
    if (int(i) != kind) m_Areas[i]->ShowNode(nullptr);
  m_Areas[size_t(kind)]->ShowNode(kind == 0 ? nullptr : item);
  // Only the page shown claims room, so a narrow window scrolls the page it shows and no other.
  for (size_t i = 0; i < m_Areas.size(); ++i)
    m_Areas[i]->setSizePolicy(int(i) == kind ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                              int(i) == kind ? QSizePolicy::Preferred : QSizePolicy::Ignored);
  m_Stack->setCurrentIndex(kind);
  m_Stack->adjustSize();
  m_ShownKind = kind;
  m_FillingAreas = false;
  UpdateHeader();
  TreeWidget()->SyncSelection();
  UpdateCommands();
}

void TQXMainWindow::UpdateHeader() { m_Header->setText(QXStr(QXDDetailCaption(Tree().Selected()))); }

void TQXMainWindow::PropertyEdited(const QString& newTitle) {
  if (m_FillingAreas) return;
  m_Document->SetModified(true);
  if (!newTitle.isEmpty())
    if (TKVTreeItem* sel = Tree().Selected()) sel->SetTitle(QXStd(newTitle));
  UpdateHeader();
  UpdateCommands();
}

// --- Columns of tables -----------------------------------------------------------------------------------

std::vector<std::string> TQXMainWindow::TableColumns(TKVTreeItem& databaseNode, const std::string& table, bool ask) {
  std::vector<std::string> columns;
  auto* db = databaseNode.DataAs<TQXDConnectionData>();
  if (!db || table.empty()) return columns;
  TKVOdbcConnection& c = db->Connection();
  if (!c.Active()) {
    if (!ask) return columns;
    std::string name = KVDataSourceNameOfConnectionString(c.Properties().ConnectionString());
    if (name.empty()) name = databaseNode.Title();
    if (KVMessageDialog("The schema \"" + name + "\" has not been loeded, do you want to load this schema now?",
                        TKVSeverity::Confirmation, TKVMsgButtons::YesNo) != KV_IDYES)
      return columns;
  }
  BeginWait();
  try {
    columns = QXDReadTableColumns(*db, table);
  } catch (const std::exception& e) {
    EndWait();
    KVHandleException(e);
    return {};
  }
  EndWait();
  return columns;
}

// --- Documents -------------------------------------------------------------------------------------------

QString TQXMainWindow::Caption() const {
  return QString("%1 - [%2]").arg(QXProgramName(), QXStr(m_Document->Caption()));
}

void TQXMainWindow::UpdateCaption() { setWindowTitle(Caption()); }

void TQXMainWindow::TitleChanged(TQXDocument&) {
  UpdateCaption();
  UpdateCommands();
}

void TQXMainWindow::BeginWait() {
  if (m_WaitDepth++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
}

void TQXMainWindow::EndWait() {
  if (m_WaitDepth > 0 && --m_WaitDepth == 0) QApplication::restoreOverrideCursor();
}

void TQXMainWindow::ShowError(const std::exception& e) { KVHandleException(e); }

bool TQXMainWindow::QueryCloseDocument(TQXDocument& document) {
  if (!document.Modified()) return true;
  int answer = KVMessageDialog("The data of \"" + document.Caption() +
                                   "\" has been modified.\r\n\r\nDo you want to save the data?",
                               TKVSeverity::Confirmation, TKVMsgButtons::YesNoCancel);
  if (answer == KV_IDYES) {
    try {
      return document.Save() && !document.Modified();
    } catch (const std::exception& e) {
      KVHandleException(e);
      return false;
    }
  }
  return answer == KV_IDNO;
}

namespace {
QString DialogFilter(QString* selectedFor, const QString& fileName) {
  QStringList parts;
  const auto& formats = QXFileFormats();
  for (const TQXFileFormat& f : formats)
    if (f.Extension) parts << QString("%1 (*.%2)").arg(f.Description, f.Extension);
  parts << "All Files (*)";
  if (selectedFor) {
    int row = QXFileDialogFormatIndex(QXStd(fileName));
    *selectedFor = row < int(parts.size()) ? parts[row] : parts.last();
  }
  return parts.join(";;");
}
}  // namespace

bool TQXMainWindow::ChooseSaveFileName(TQXDocument& document, std::string& fileName) {
  QString current = QXStr(document.FileName());
  QString title = QString("Save %1 to file").arg("Reorganization definition");
  QString chosen;
  if (FileDialog) {
    chosen = FileDialog(true, title, current);
  } else {
    QString selected;
    QString filter = DialogFilter(&selected, current);
    chosen = QFileDialog::getSaveFileName(this, title, current, filter, &selected);
    // A name typed without extension takes the one of the chosen format.
    if (!chosen.isEmpty() && QFileInfo(chosen).suffix().isEmpty()) {
      if (selected.contains("*.qxt")) chosen += ".qxt";
      else if (selected.contains("*.qxs")) chosen += ".qxs";
    }
  }
  if (chosen.isEmpty()) return false;
  fileName = QXStd(chosen);
  return true;
}

bool TQXMainWindow::NewDocument() {
  try {
    if (!m_Document->New()) return false;
  } catch (const std::exception& e) {
    KVHandleException(e);
    return false;
  }
  SelectionChanged(nullptr);
  UpdateCaption();
  UpdateCommands();
  return true;
}

bool TQXMainWindow::OpenDocument(const QString& fileName) {
  bool opened = false;
  try {
    BeginWait();
    opened = m_Document->LoadFromFile(QXStd(fileName));
    EndWait();
  } catch (const std::exception& e) {
    EndWait();
    KVHandleException(e);
  }
  TreeWidget()->ApplyExpandedStates();
  SelectionChanged(Tree().Selected());
  UpdateCaption();
  UpdateCommands();
  return opened;
}

bool TQXMainWindow::OpenWithDialog() {
  QString current = QXStr(m_Document->FileName());
  QString title = QString("Load %1 from file").arg("Reorganization definition");
  QString chosen;
  if (FileDialog) {
    chosen = FileDialog(false, title, current);
  } else {
    QString selected;
    QString filter = DialogFilter(&selected, current);
    chosen = QFileDialog::getOpenFileName(this, title, current, filter, &selected);
  }
  return !chosen.isEmpty() && OpenDocument(chosen);
}

bool TQXMainWindow::RunSave(const std::function<bool()>& save) {
  bool saved = false;
  BeginWait();
  try {
    saved = save();
    EndWait();
  } catch (const std::exception& e) {
    EndWait();
    KVHandleException(e);
  }
  UpdateCaption();
  UpdateCommands();
  return saved;
}

bool TQXMainWindow::SaveDocument() {
  return RunSave([this] { return m_Document->Save(); });
}

bool TQXMainWindow::SaveDocumentAs() {
  std::string name;
  try {
    if (!ChooseSaveFileName(*m_Document, name)) return false;
  } catch (const std::exception& e) {
    KVHandleException(e);
    return false;
  }
  return RunSave([this, &name] { return m_Document->SaveAs(name); });
}

void TQXMainWindow::CloseToolWindows() {
  if (m_FunctionList) {
    m_FunctionList->close();
    delete m_FunctionList.data();
  }
  if (auto* runs = findChild<TQXRunWindows*>()) runs->FreeReportWindow();
  KVCloseSchemaPages(*this);
}

// The schema pages are the window list's one tool window.
void TQXMainWindow::LoadToolWindow(const std::string& className, IKVStorage& storage) {
  KVLoadSchemaToolWindow(*this, className, storage);
}
int TQXMainWindow::ToolWindowCount() const { return KVSchemaToolWindowCount(*this); }
void TQXMainWindow::StoreToolWindow(int, IKVStorage& storage) { KVStoreSchemaToolWindow(*this, storage); }

bool TQXMainWindow::ReportFormVisible() const {
  auto* runs = findChild<TQXRunWindows*>();
  return runs && runs->ExistingReportWindow() && runs->ExistingReportWindow()->isVisible();
}

void TQXMainWindow::ShowReportWindow() {
  if (auto* runs = findChild<TQXRunWindows*>()) runs->ShowReport();
}

bool TQXMainWindow::FunctionFormVisible() const { return m_FunctionList && m_FunctionList->isVisible(); }

void TQXMainWindow::ShowFunctionList() {
  if (!m_FunctionList) m_FunctionList = new TFVFListForm(m_Settings, this);
  m_FunctionList->show();
  m_FunctionList->raise();
  m_FunctionList->activateWindow();
}

void TQXMainWindow::ShowSettings() {
  TQXSettingsDlg dlg(*m_Settings, this);
  dlg.exec();
}

void TQXMainWindow::ShowInformation() {
  QDialog dlg(this);
  dlg.setWindowTitle("Informarion about this Application");
  auto* l = new QVBoxLayout(&dlg);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel;
  icon->setPixmap(QXAppIcon().pixmap(64, 64));
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* text = new QLabel(QString("<h3>Dabrix</h3><p>Data reorganization between relational databases through "
                                  "ODBC.</p><table><tr><td>Program:</td><td>%1</td></tr><tr><td>Version:</td>"
                                  "<td>%2</td></tr><tr><td>Build:</td><td>%3 %4</td></tr><tr><td>Qt:</td><td>%5"
                                  "</td></tr></table><p><a href=\"%6\">%6</a></p>")
                              .arg(QXProgramName(), DABRIX_VERSION, __DATE__, __TIME__, qVersion(), kQXHomePage));
  text->setOpenExternalLinks(true);
  text->setTextInteractionFlags(Qt::TextBrowserInteraction);
  row->addWidget(text, 1);
  l->addLayout(row);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  QPushButton* report = buttons->addButton("Problem Report", QDialogButtonBox::ActionRole);
  report->setToolTip(
      "Create an email with e detailed problem report. The email is only created not send. You decide yourself if "
      "and when to send this email");
  report->setObjectName("ProblemReport");
  connect(report, &QPushButton::clicked, &dlg, [&dlg] { QXCreateProblemReport(&dlg); });
  connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
  l->addWidget(buttons);
  QXAnimateDialog(&dlg);
  dlg.exec();
}

// --- Start-up and shut-down ------------------------------------------------------------------------------

void TQXMainWindow::StartUp(const QStringList& arguments, bool loadPlugins) {
  if (loadPlugins) {
    try {
      LoadPlugins("*.qxp", "PluginCreateObject");
      RebuildFunctionRegistry();
    } catch (const std::exception& e) {
      KVHandleException(e);
    }
  }
  RebuildFunctionMenu();
  UpdateCommands();
  if (!arguments.isEmpty() && QFileInfo(arguments.first()).isFile()) {
    OpenDocument(arguments.first());
    return;
  }
  QString last = QXStr(m_Settings->LastFileName());
  if (!last.isEmpty() && QFileInfo(last).isFile()) {
    if (KVMessageDialog("You had most recently been working on file \"" + QXStd(last) +
                            "\".\r\n\r\nDo you want to open this file again ?",
                        TKVSeverity::Confirmation, TKVMsgButtons::YesNo) == KV_IDYES)
      OpenDocument(last);
  }
}

void TQXMainWindow::RestorePlacement() {
  IKVStorage& s = m_Settings->Data();
  std::string keep = s.GetCurrentDir();
  int width = 500, height = 600, x = -1, y = -1;
  bool maximized = false;
  if (s.OpenDir(kQXMainWindowDir, false)) {
    width = s.ReadInteger("Width", width);
    height = s.ReadInteger("Height", height);
    x = s.ReadInteger("Left", -1);
    y = s.ReadInteger("Top", -1);
    maximized = s.ReadBoolean("Maximized", false);
  }
  s.OpenDir(keep.empty() ? "\\" : keep, false);
  setMinimumSize(325, 290);
  resize(qMax(325, width), qMax(290, height));
  if (x >= 0 && y >= 0) {
    // Only a place that is still on one of the screens.
    for (QScreen* screen : QGuiApplication::screens())
      if (screen->availableGeometry().contains(QPoint(x + 20, y + 20))) {
        move(x, y);
        break;
      }
  }
  if (maximized) setWindowState(windowState() | Qt::WindowMaximized);
  m_TreeWidth = m_Settings->QXDTreeAreaWidth();
  m_Splitter->setSizes({m_TreeWidth, qMax(100, width - m_TreeWidth)});
}

void TQXMainWindow::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  // The splitter shares out its width only once it is laid out; the stored tree width is applied then.
  if (m_TreeWidth > 0) {
    int total = m_Splitter->width();
    m_Splitter->setSizes({m_TreeWidth, qMax(100, total - m_TreeWidth)});
    m_TreeWidth = 0;
  }
}

namespace {
void WritePlacement(IKVStorage& s, const QWidget& w) {
  QRect g = w.isMaximized() ? w.normalGeometry() : w.geometry();
  s.WriteInteger("Left", g.x());
  s.WriteInteger("Top", g.y());
  s.WriteInteger("Width", g.width());
  s.WriteInteger("Height", g.height());
  s.WriteBoolean("Maximized", w.isMaximized());
}
}  // namespace

void TQXMainWindow::StoreMainWindow(IKVStorage& storage) {
  WritePlacement(storage, *this);
  try {
    m_Settings->SetValue(qxvQXDTreeAreaWidth, int32_t(m_Splitter->sizes().value(0, 200)));
    m_Settings->Data().Commit();
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}

void TQXMainWindow::StorePlacement() {
  IKVStorage& s = m_Settings->Data();
  std::string keep = s.GetCurrentDir();
  s.OpenDir(kQXMainWindowDir, true);
  WritePlacement(s, *this);
  s.OpenDir(keep.empty() ? "\\" : keep, false);
  m_Settings->SetValue(qxvQXDTreeAreaWidth, int32_t(m_Splitter->sizes().value(0, 200)));
  m_Settings->SetLastFileName(m_Document->FileName());
  s.Commit();
}

void TQXMainWindow::closeEvent(QCloseEvent* e) {
  if (!QueryCloseDocument(*m_Document)) {
    e->ignore();
    return;
  }
  try {
    StorePlacement();
  } catch (const std::exception& ex) {
    KVHandleException(ex);
  }
  if (m_FunctionList) m_FunctionList->close();
  e->accept();
}
