// The desktop program's windows, driven as a user drives them (commands, clicks, drops, the clipboard) on
// the offscreen platform. Questions are answered by a scripted message dialog; file dialogs by a script.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <deque>
#include <memory>

#include "definition/QXDClipboard.h"
#include "plugin_host/FVFunc.h"
#include "plugin_host/KVPluginMgr.h"
#include "ui/FVFListForm.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXDetailAreas.h"
#include "ui/QXMainWindow.h"
#include "ui/QXSettingsDlg.h"
#include "ui/QXUiCommon.h"

namespace {
// The scripted user: answers questions in order and remembers what was asked.
struct TScriptedUser {
  std::deque<int> Answers;
  std::vector<std::string> Asked;
};
TScriptedUser g_User;

int Answer(const std::string& text, TKVSeverity, TKVMsgButtons buttons) {
  g_User.Asked.push_back(text);
  if (g_User.Answers.empty()) return buttons == TKVMsgButtons::Ok ? KV_IDOK : KV_IDCANCEL;
  int a = g_User.Answers.front();
  g_User.Answers.pop_front();
  return a;
}

const char* kTrimId = "{23AFD3B4-B47B-4ff7-BBE7-D5F5A386BA47}";
}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_Dir;
  std::unique_ptr<TQXSettings> m_Settings;

  std::unique_ptr<TQXMainWindow> NewWindow() {
    auto w = std::make_unique<TQXMainWindow>(m_Settings.get());
    w->StartUp({}, false);
    w->show();
    w->activateWindow();
    (void)QTest::qWaitForWindowActive(w.get());
    return w;
  }
  static void Add(TQXMainWindow& w, TQXMainWindow::TreeCommand c) {
    QVERIFY(w.TreeAction(c)->isEnabled());
    w.TreeAction(c)->trigger();
  }
  // Source database > source recordset > destination database > two destination recordsets, the second
  // with one field, which is left selected.
  static void BuildChain(TQXMainWindow& w) {
    Add(w, TQXMainWindow::tcAddSourceDatabase);
    Add(w, TQXMainWindow::tcAddSourceRecordset);
    Add(w, TQXMainWindow::tcAddDestinationDatabase);
    TKVTreeItem* db = w.Tree().Selected();
    Add(w, TQXMainWindow::tcAddDestinationRecordset);
    w.Tree().Selected()->SetTitle("first");
    w.Tree().Select(db);
    Add(w, TQXMainWindow::tcAddDestinationRecordset);
    w.Tree().Selected()->SetTitle("second");
    Add(w, TQXMainWindow::tcAddDestinationField);
  }
  QString Path(const char* name) const { return m_Dir.filePath(name); }

 private slots:
  void initTestCase() {
    QVERIFY(m_Dir.isValid());
    KVSetMessageDialogProc(Answer);
    m_Settings = std::make_unique<TQXSettings>(QXStd(Path("settings.PRS")));
    // The delivered plug-in lies beside the test program.
    LoadPlugins("*.qxp", "PluginCreateObject");
    RebuildFunctionRegistry();
    QVERIFY(!FVRegisteredFunctions().empty());
  }
  void cleanupTestCase() {
    KVSetMessageDialogProc({});
    KVReleasePlugins();
  }
  void init() {
    g_User = {};
    m_Settings->SetValue(qxvConfirmSingleDelete, true);
    m_Settings->SetLastFileName("");
  }

  void commandsMenusAndEnabling() {
    auto w = NewWindow();
    QCOMPARE(w->windowTitle(), QString("test_ui - [New reorganization definition]"));
    QCOMPARE(w->Command(cmdStartReorganization)->statusTip(), QString("Start the data reorgainzation now"));
    QCOMPARE(w->Command(cmdInformation)->text(), QString("Informarion about this Application ..."));
    QCOMPARE(w->Command(cmdSave)->shortcut(), QKeySequence(QKeySequence::Save));
    QCOMPARE(w->Command(cmdInformation)->shortcut(), QKeySequence(Qt::Key_F1));
    // "File": 0 | 1 | 2 | 3, 4, 5, 6 | 7
    QList<QAction*> menus = w->menuBar()->actions();
    QCOMPARE(menus.size(), 3);
    QStringList items;
    for (QAction* a : menus[0]->menu()->actions()) items << (a->isSeparator() ? "|" : a->text());
    QCOMPARE(items, QStringList({"Connect to ODBC Database ...", "|", "Start Data Reorganization", "|",
                                 "Show Field Value Functions", "|", "New", "Open", "Save", "Save As ...", "|", "Exit"}));
    QCOMPARE(menus[2]->text(), QString("&?"));

    QVERIFY(!w->Command(cmdSave)->isEnabled());
    QCOMPARE(w->ModifiedPanel()->Text(), QString("Data not Modified"));
    QVERIFY(!w->ModifiedPanel()->Bold());
    // Four nodes cannot be started; the fifth enables the run.
    Add(*w, TQXMainWindow::tcAddSourceDatabase);
    Add(*w, TQXMainWindow::tcAddSourceRecordset);
    Add(*w, TQXMainWindow::tcAddDestinationDatabase);
    QVERIFY(!w->TreeAction(TQXMainWindow::tcAddDestinationField)->isEnabled());
    Add(*w, TQXMainWindow::tcAddDestinationRecordset);
    QCOMPARE(w->Tree().Count(), size_t(4));
    QVERIFY(!w->Command(cmdStartReorganization)->isEnabled());
    Add(*w, TQXMainWindow::tcAddDestinationField);
    QVERIFY(w->Command(cmdStartReorganization)->isEnabled());
    QVERIFY(w->Command(cmdSave)->isEnabled());
    QCOMPARE(w->ModifiedPanel()->Text(), QString("Data Modified"));
    QVERIFY(w->ModifiedPanel()->Bold());
    // The selection follows the command, and the header names the kind and the title.
    QCOMPARE(w->ShownKind(), 5);
    QCOMPARE(w->Header()->text(), QString("Destination Field: New Destination Field"));
    QCOMPARE(w->TreeWidget()->currentIndex(), w->TreeWidget()->ItemModel()->IndexOf(w->Tree().Selected()));
    // "Add function" lists the registered functions and adds under the selected field.
    QCOMPARE(w->AddFunctionMenu()->actions().size(), int(FVRegisteredFunctions().size()));
    w->AddFunctionMenu()->actions().first()->trigger();
    QCOMPARE(w->ShownKind(), 6);
    QCOMPARE(w->Tree().Selected()->Title(), FVRegisteredFunctions().front()->Name);
    g_User.Answers = {KV_IDNO};
  }

  void treeImagesColoursAndCheckBoxes() {
    auto w = NewWindow();
    BuildChain(*w);
    TQXDTreeItemModel* m = w->TreeWidget()->ItemModel();
    TKVTreeItem* top = w->Tree().TopLevel(0);
    TKVTreeItem* field = w->Tree().Selected();
    QModelIndex ti = m->IndexOf(top), fi = m->IndexOf(field);
    QCOMPARE(m->data(ti, TQXDTreeItemModel::StateImageRole).toInt(), 2);
    QCOMPARE(m->data(fi, Qt::ForegroundRole).value<QColor>(), QColor(Qt::black));
    w->Document().SetModified(false);
    // A click on the state image unchecks; everything below turns inactive and grey.
    w->TreeWidget()->scrollTo(ti);
    QTest::mouseClick(w->TreeWidget()->viewport(), Qt::LeftButton, {}, w->TreeWidget()->StateImageRect(ti).center());
    QVERIFY(!QXDData(top)->Checked());
    QVERIFY(w->Document().Modified());
    QCOMPARE(m->data(ti, TQXDTreeItemModel::StateImageRole).toInt(), 3);
    QCOMPARE(m->data(fi, TQXDTreeItemModel::StateImageRole).toInt(), 4);
    QCOMPARE(m->data(fi, Qt::ForegroundRole).value<QColor>(), QColor(0x80, 0x80, 0x80));
    QTest::mouseClick(w->TreeWidget()->viewport(), Qt::LeftButton, {}, w->TreeWidget()->StateImageRect(ti).center());
    QCOMPARE(m->data(fi, TQXDTreeItemModel::StateImageRole).toInt(), 2);
    // A validated node is bold and coloured by its severity.
    QXDData(field)->SetValidationSeverity(4);
    QVERIFY(m->data(fi, Qt::FontRole).value<QFont>().bold());
    QCOMPARE(m->data(fi, Qt::ForegroundRole).value<QColor>(), QColor(0xFF, 0, 0));
    QXDData(field)->ClearValidation();
    QVERIFY(!m->data(fi, Qt::FontRole).value<QFont>().bold());
    // Node images differ by kind; a function node refuses in-place editing, a field takes the typed title.
    QVERIFY(!m->data(ti, Qt::DecorationRole).value<QIcon>().isNull());
    TKVTreeItem* fn = w->Tree().DropFunction(*TGUID::TryParse(kTrimId), field);
    QVERIFY(fn);
    QModelIndex ni = m->IndexOf(fn);
    QVERIFY(!(m->flags(ni) & Qt::ItemIsEditable));
    QVERIFY(m->flags(fi) & Qt::ItemIsEditable);
    QVERIFY(m->setData(fi, "price"));
    QCOMPARE(field->Title(), std::string("price"));
    // Hints: the function's description while "Show Hints" is on.
    QVERIFY(m->data(ni, Qt::ToolTipRole).toString().startsWith("Remove all Characters"));
    w->TreeAction(TQXMainWindow::tcShowHints)->trigger();
    QVERIFY(m->data(ni, Qt::ToolTipRole).isNull());
    g_User.Answers = {KV_IDNO};
  }

  void moveAndDropAndDelete() {
    auto w = NewWindow();
    Add(*w, TQXMainWindow::tcAddSourceDatabase);
    TKVTreeItem* a = w->Tree().Selected();
    w->Tree().Select(nullptr);
    Add(*w, TQXMainWindow::tcAddSourceDatabase);
    TKVTreeItem* b = w->Tree().Selected();
    Add(*w, TQXMainWindow::tcAddSourceRecordset);
    TKVTreeItem* rs = w->Tree().Selected();
    TQXDTreeWidget* view = w->TreeWidget();
    // b moves before its sibling a; a recordset cannot go among databases.
    std::unique_ptr<QMimeData> drag(view->NodeMimeData(b));
    QVERIFY(view->CanDrop(drag.get(), a));
    QVERIFY(view->Drop(drag.get(), a));
    QCOMPARE(w->Tree().TopLevel(0), b);
    QCOMPARE(view->ItemModel()->index(0, 0).internalPointer(), static_cast<void*>(b));
    std::unique_ptr<QMimeData> drag2(view->NodeMimeData(rs));
    QVERIFY(!view->CanDrop(drag2.get(), a));
    QVERIFY(!view->Drop(drag2.get(), a));
    QCOMPARE(rs->Parent(), b);
    // A node dragged from another window's tree is not moved here.
    auto other = NewWindow();
    QVERIFY(!other->TreeWidget()->CanDrop(drag.get(), nullptr));
    // A function from the function list lands only on a field (or a function node).
    w->Tree().Select(rs);
    Add(*w, TQXMainWindow::tcAddDestinationDatabase);
    Add(*w, TQXMainWindow::tcAddDestinationRecordset);
    Add(*w, TQXMainWindow::tcAddDestinationField);
    TKVTreeItem* field = w->Tree().Selected();
    w->ShowFunctionList();
    TFVFListForm* list = w->FunctionList();
    QVERIFY(list);
    QTreeWidgetItem* row = list->List()->topLevelItem(0);
    std::unique_ptr<QMimeData> fdrag(list->List()->model()->mimeData({list->List()->model()->index(0, 0)}));
    QVERIFY(fdrag && fdrag->hasFormat(kQXFunctionMime));
    QVERIFY(!view->CanDrop(fdrag.get(), b));
    QVERIFY(view->Drop(fdrag.get(), field));
    QCOMPARE(field->ChildCount(), size_t(1));
    QCOMPARE(QXStr(field->Child(0)->Title()), row->text(0));
    // Delete with the confirmation: No keeps the node, Yes removes it with its subtree.
    w->Tree().Select(b);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    w->TreeWidget()->setFocus();
    g_User.Answers = {KV_IDNO};
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(w->Tree().TopLevelCount(), size_t(2));
    QCOMPARE(g_User.Asked.size(), size_t(1));
    QCOMPARE(QXStr(g_User.Asked.back()),
             QString("Do you want to delete the node 'New Source Database' and all it's subnodes ?"));
    g_User.Answers = {KV_IDYES};
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(w->Tree().TopLevelCount(), size_t(1));
    QCOMPARE(view->ItemModel()->rowCount(), 1);
    QCOMPARE(w->ShownKind(), 0);
    QCOMPARE(w->Header()->text(), QString("General"));
    g_User.Answers = {KV_IDNO, KV_IDNO};
  }

  void filesDroppedFromTheFileManagerOpen() {
    QString file = Path("dropped.qxt");
    {
      auto w = NewWindow();
      Add(*w, TQXMainWindow::tcAddSourceDatabase);
      w->FileDialog = [&](bool, const QString&, const QString&) { return file; };
      QVERIFY(w->SaveDocument());
    }
    auto w = NewWindow();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    QVERIFY(w->TreeWidget()->CanDrop(&data, nullptr));
    QVERIFY(w->TreeWidget()->Drop(&data, nullptr));
    QTRY_COMPARE(QXStr(w->Document().FileName()), file);
    QCOMPARE(w->Tree().Count(), size_t(1));
    // The detail pages' hints follow the user setting.
    QCOMPARE(w->DetailArea(2)->findChildren<QSpinBox*>().first()->toolTipDuration(), -1);
  }

  void functionListWindow() {
    auto w = NewWindow();
    w->ShowFunctionList();
    TFVFListForm* list = w->FunctionList();
    QCOMPARE(list->windowTitle(), QString("Field Value Functions"));
    QCOMPARE(list->size(), QSize(700, 300));
    QCOMPARE(list->List()->headerItem()->text(0), QString("FunctionName"));
    QCOMPARE(list->List()->headerItem()->text(1), QString("Description"));
    QCOMPARE(list->List()->header()->sectionSize(0), 140);
    auto functions = FVRegisteredFunctions();
    QCOMPARE(list->List()->topLevelItemCount(), int(functions.size()));
    for (int i = 0; i < int(functions.size()); ++i)
      QCOMPARE(list->List()->topLevelItem(i)->text(0), QXStr(functions[size_t(i)]->Name));
    QVERIFY(list->HintArea() && list->HintArea()->isVisibleTo(list));
    list->HintArea()->hide();
    list->close();
    // The closed hint area stays closed next time.
    TFVFListForm again(m_Settings.get());
    QVERIFY(again.HintArea() == nullptr);
    TKVRef<TKVPersistentData> keep;
    IKVStorage& s = m_Settings->Data();
    s.OpenDir(kQXFVFListWindowDir, true);
    s.WriteBoolean("HintMessageVisible", true);
    s.OpenDir("\\", false);
  }
};

int RunMainWindowTest(int argc, char** argv) {
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
