// Detail pages (every control writes its node, the enabling rules, the pickers), the argument panel,
// documents through the window (save and reopen in both formats, the modified prompt, start-up), the
// subtree clipboard between two windows, and the settings dialog.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QDir>
#include <QProcess>
#include <QTest>
#include <QTreeWidget>
#include <QTreeView>

#include <deque>
#include <memory>

#include "plugin_host/FVFunc.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXDetailAreas.h"
#include "ui/QXMainWindow.h"
#include "ui/QXSettingsDlg.h"

namespace {
std::deque<int> g_Answers;
std::vector<std::string> g_Asked;
int Answer(const std::string& text, TKVSeverity, TKVMsgButtons buttons) {
  g_Asked.push_back(text);
  if (g_Answers.empty()) return buttons == TKVMsgButtons::Ok ? KV_IDOK : KV_IDCANCEL;
  int a = g_Answers.front();
  g_Answers.pop_front();
  return a;
}
const char* kTrimId = "{23AFD3B4-B47B-4ff7-BBE7-D5F5A386BA47}";
}  // namespace

class DocumentAndPagesTest : public QObject {
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
  static void Add(TQXMainWindow& w, TQXMainWindow::TreeCommand c) { w.TreeAction(c)->trigger(); }
  // Source database > source recordset "customers" > destination database > "first" and "second"
  // destination recordsets; "second" holds the field "name", which is left selected.
  static void BuildChain(TQXMainWindow& w) {
    Add(w, TQXMainWindow::tcAddSourceDatabase);
    Add(w, TQXMainWindow::tcAddSourceRecordset);
    w.Tree().Selected()->SetTitle("customers");
    Add(w, TQXMainWindow::tcAddDestinationDatabase);
    TKVTreeItem* db = w.Tree().Selected();
    Add(w, TQXMainWindow::tcAddDestinationRecordset);
    w.Tree().Selected()->SetTitle("first");
    w.Tree().Select(db);
    Add(w, TQXMainWindow::tcAddDestinationRecordset);
    w.Tree().Selected()->SetTitle("second");
    Add(w, TQXMainWindow::tcAddDestinationField);
    w.Tree().Selected()->SetTitle("name");
  }
  static TKVTreeItem* Find(TQXMainWindow& w, const char* path) { return QXDFindNodeByPath(w.Tree(), path); }
  QString Path(const char* name) const { return m_Dir.filePath(name); }

 private slots:
  void initTestCase() {
    QVERIFY(m_Dir.isValid());
    KVSetMessageDialogProc(Answer);
    m_Settings = std::make_unique<TQXSettings>(QXStd(Path("settings.PRS")));
    if (FVRegisteredFunctions().empty()) {
      LoadPlugins("*.qxp", "PluginCreateObject");
      RebuildFunctionRegistry();
    }
  }
  void cleanupTestCase() { KVSetMessageDialogProc({}); }
  void init() {
    g_Answers.clear();
    g_Asked.clear();
    m_Settings->SetLastFileName("");
  }

  void destinationRecordsetPage() {
    auto w = NewWindow();
    BuildChain(*w);
    TKVTreeItem* second = Find(*w, "New Source Database.customers.New Destination Database.second");
    QVERIFY(second);
    w->Tree().Select(second);
    QCOMPARE(w->ShownKind(), 4);
    auto* area = static_cast<TQXRecordsetDetailArea*>(w->DetailArea(4));
    QStringList tabs;
    for (int i = 0; i < area->Tabs()->count(); ++i) tabs << area->Tabs()->tabText(i);
    QCOMPARE(tabs, QStringList({"Manipulation", "Properties", "SQL"}));
    // "Always insert new record": the three check boxes are off.
    QVERIFY(area->AlwaysInsert->isChecked());
    QVERIFY(!area->EditIfExists->isEnabled() && !area->InsertIfNotExists->isEnabled() && !area->AssertExists->isEnabled());
    w->Document().SetModified(false);
    area->TryFind->click();
    auto* rs = second->DataAs<TQXDDestRSData>();
    QVERIFY(!rs->AlwaysInsertNewRecord());
    QVERIFY(w->Document().Modified());
    QVERIFY(area->EditIfExists->isEnabled() && area->InsertIfNotExists->isEnabled());
    // "Insert new record if not exists" (on by default) keeps the assertion off.
    QVERIFY(area->InsertIfNotExists->isChecked());
    QVERIFY(!area->AssertExists->isEnabled());
    area->InsertIfNotExists->click();
    QVERIFY(!rs->InsertRecordIfNotExists());
    QVERIFY(area->AssertExists->isEnabled());
    area->AssertExists->click();
    area->EditIfExists->click();
    QVERIFY(rs->AssertRecordExists() && rs->EditRecordIfExists());
    // SQL in a fixed-pitch font, written as typed.
    QVERIFY(QFontInfo(area->SQLEditor()->font()).fixedPitch());
    area->SQLEditor()->setPlainText("SELECT * FROM clients");
    QCOMPARE(rs->SQL(), std::string("SELECT * FROM clients"));
    // Recordset properties.
    area->Properties()->MaxRows->setValue(25);
    QCOMPARE(rs->Recordset().Properties().MaximumRecordsReturned(), 25);
    // Filling the page for another node does not mark the document modified.
    w->Document().SetModified(false);
    w->Tree().Select(Find(*w, "New Source Database.customers.New Destination Database.first"));
    w->Tree().Select(second);
    QVERIFY(!w->Document().Modified());
    QVERIFY(area->TryFind->isChecked() && area->AssertExists->isChecked());
  }

  void destinationFieldPage() {
    auto w = NewWindow();
    BuildChain(*w);
    auto* area = static_cast<TQXDstFieldDetailArea*>(w->DetailArea(5));
    TKVTreeItem* field = w->Tree().Selected();
    auto* f = field->DataAs<TQXDDestFieldData>();
    QCOMPARE(w->ShownKind(), 5);
    // The recordset picker offers the recordsets before the field's own.
    QCOMPARE(area->DestRecordset->count(), 1);
    QCOMPARE(area->DestRecordset->itemText(0), QString("first"));
    QVERIFY(area->FromOtherDest->isEnabled());
    QVERIFY(!area->DestRecordset->isEnabled());
    QVERIFY(area->SourceField->isEnabled() && !area->FixedValue->isEnabled());
    area->FromOtherDest->click();
    QCOMPARE(int(f->FieldValueorigin()), 1);
    QVERIFY(area->DestRecordset->isEnabled() && area->DestField->isEnabled() && !area->SourceField->isEnabled());
    area->DestRecordset->setCurrentIndex(0);
    QCOMPARE(f->DestRecordsetName(), std::string("first"));
    area->Fixed->click();
    QVERIFY(area->FixedValue->isEnabled());
    QTest::keyClicks(area->FixedValue, "N/A");
    QCOMPARE(f->FixedValue(), std::string("N/A"));
    QCOMPARE(int(f->FieldValueorigin()), 2);
    area->SkipIfNull->click();
    QVERIFY(f->IgnoreRecordIfNULL());
    // Clearing both assign check boxes disables "Assign mode".
    area->AssignMode->setCurrentIndex(2);
    emit area->AssignMode->activated(2);
    QCOMPARE(int(f->AssignMode()), 2);
    area->AssignWhenEditing->click();
    QVERIFY(area->AssignMode->isEnabled());
    area->AssignWhenInserting->click();
    QVERIFY(!f->AssignValueWhenEditing() && !f->AssignValueWhenInserting());
    QVERIFY(!area->AssignMode->isEnabled());
    // The recordset always inserts: no record lookup.
    QVERIFY(!area->LocateWithValue->isEnabled() && !area->MatchKind->isEnabled() && !area->MatchCase->isEnabled());
    field->Parent()->DataAs<TQXDDestRSData>()->SetAlwaysInsertNewRecord(false);
    w->Tree().Select(field->Parent());
    w->Tree().Select(field);
    QVERIFY(area->LocateWithValue->isEnabled() && !area->MatchKind->isEnabled());
    area->LocateWithValue->click();
    QVERIFY(f->LocateWithValue());
    QCOMPARE(f->NodeImage(), 6);
    QVERIFY(area->MatchKind->isEnabled() && area->MatchCase->isEnabled());
    area->MatchCase->click();
    QVERIFY(f->MatchCase());

    // A field of the first recordset has no other destination recordset to take values from.
    TKVTreeItem* first = Find(*w, "New Source Database.customers.New Destination Database.first");
    w->Tree().Select(first);
    Add(*w, TQXMainWindow::tcAddDestinationField);
    QCOMPARE(area->DestRecordset->count(), 0);
    QVERIFY(!area->FromOtherDest->isEnabled());

    // The source field picker asks before it reads a catalog that is not loaded; No leaves it empty.
    g_Answers = {KV_IDNO};
    area->SourceField->clear();
    area->FillSourceFields(true);
    QCOMPARE(g_Asked.size(), size_t(1));
    QCOMPARE(QXStr(g_Asked[0]),
             QString("The schema \"New Source Database\" has not been loeded, do you want to load this schema now?"));
    QCOMPARE(area->SourceField->count(), 0);
  }

  void connectionAndSourcePages() {
    auto w = NewWindow();
    BuildChain(*w);
    TKVTreeItem* src = w->Tree().TopLevel(0);
    w->Tree().Select(src);
    QCOMPARE(w->ShownKind(), 1);
    QCOMPARE(w->Header()->text(), QString("Source Database: New Source Database"));
    auto* sarea = static_cast<TQXConnectionDetailArea*>(w->DetailArea(1));
    QVERIFY(sarea->TransactionSize() == nullptr);
    QCOMPARE(sarea->Properties()->Password->echoMode(), QLineEdit::Password);
    // A connection string names the node after its data source.
    sarea->Properties()->ConnectionString->setText("Driver=SQLite3;Database=/tmp/shop-src.db");
    emit sarea->Properties()->ConnectionString->textEdited("");
    QCOMPARE(src->DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(),
             std::string("Driver=SQLite3;Database=/tmp/shop-src.db"));
    QCOMPARE(w->Header()->text(), QString("Source Database: ") + QXStr(src->Title()));
    QTest::keyClicks(sarea->Properties()->UserName, "scott");
    QCOMPARE(src->DataAs<TQXDConnectionData>()->Connection().Properties().UserName(), std::string("scott"));
    sarea->Properties()->AccessMode->setCurrentIndex(1);
    emit sarea->Properties()->AccessMode->activated(1);
    QCOMPARE(int(src->DataAs<TQXDConnectionData>()->Connection().Properties().AccessMode()), 1);

    TKVTreeItem* srs = src->Child(0);
    w->Tree().Select(srs);
    QCOMPARE(w->ShownKind(), 3);
    auto* rarea = static_cast<TQXRecordsetDetailArea*>(w->DetailArea(3));
    QCOMPARE(rarea->Tabs()->tabText(0), QString("Properties"));
    rarea->RecordsToRead()->setValue(100);
    QCOMPARE(srs->DataAs<TQXDSourceRSData>()->MaxRecordsToRead(), 100);

    // Destination database: transaction size, and assigning its properties to the other destinations.
    TKVTreeItem* ddb = srs->Child(0);
    w->Tree().Select(srs);
    Add(*w, TQXMainWindow::tcAddDestinationDatabase);
    TKVTreeItem* ddb2 = w->Tree().Selected();
    w->Tree().Select(ddb);
    QCOMPARE(w->ShownKind(), 2);
    auto* darea = static_cast<TQXConnectionDetailArea*>(w->DetailArea(2));
    QCOMPARE(darea->TransactionSize()->maximum(), 2147483647);
    darea->TransactionSize()->setValue(50);
    QCOMPARE(ddb->DataAs<TQXDDestConnectionData>()->TransactionSize(), 50);
    darea->Properties()->ConnectionString->setText("DSN=warehouse");
    emit darea->Properties()->ConnectionString->textEdited("");
    QCOMPARE(ddb->Title(), std::string("warehouse"));
    darea->AssignToAll()->click();
    QCOMPARE(ddb2->DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(), std::string("DSN=warehouse"));
    QCOMPARE(ddb2->Title(), std::string("warehouse"));
    QCOMPARE(ddb2->DataAs<TQXDDestConnectionData>()->TransactionSize(), 0);
  }

  void argumentPanel() {
    auto w = NewWindow();
    BuildChain(*w);
    TKVTreeItem* field = w->Tree().Selected();
    TKVTreeItem* fn = w->Tree().DropFunction(*TGUID::TryParse(kTrimId), field);
    w->Tree().Select(fn);
    QCOMPARE(w->ShownKind(), 6);
    QCOMPARE(w->Header()->text(), QString("Function Arguments: Trim Characters"));
    auto* area = static_cast<TQXFVFuncDetailArea*>(w->DetailArea(6));
    const auto& controls = area->ArgumentControls();
    QCOMPARE(controls.size(), size_t(4));
    auto* chars = qobject_cast<QLineEdit*>(controls[0]);
    QVERIFY(chars);
    QVERIFY(chars->toolTip().contains("Characters to be removed"));
    auto* left = qobject_cast<QCheckBox*>(controls[2]);
    QVERIFY(left);
    QCOMPARE(left->text(), QString("Trim only the left side of the string"));
    auto* node = fn->DataAs<TQXDFieldFuncData>();
    w->Document().SetModified(false);
    left->click();
    QCOMPARE(node->Argument(2).Value().VarType(), uint16_t(varBoolean));
    QVERIFY(node->Argument(2).Value().AsBoolean());
    QVERIFY(w->Document().Modified());
    chars->selectAll();
    QTest::keyClicks(chars, "-");
    QCOMPARE(node->Argument(0).Value().AsString(), std::string("-"));
  }

  void functionKeepsTheSelectionWhileItsArgumentsAreWrong() {
    auto w = NewWindow();
    BuildChain(*w);
    TKVTreeItem* field = w->Tree().Selected();
    TKVTreeItem* fn = w->Tree().DropFunction(*TGUID::TryParse("{DEF8510F-D1CB-4e7f-95C7-FF6EC4609A9E}"), field);
    QVERIFY(fn);
    w->Tree().Select(fn);
    auto* area = static_cast<TQXFVFuncDetailArea*>(w->DetailArea(6));
    auto* minimum = qobject_cast<QSpinBox*>(area->ArgumentControls()[0]);
    QVERIFY(minimum);
    QCOMPARE(minimum->value(), 5);
    minimum->setValue(20);  // more than the maximum of 10
    QCOMPARE(fn->DataAs<TQXDFieldFuncData>()->Argument(0).Value().VarType(), uint16_t(varInteger));
    // Clicking another node shows the plug-in's error and keeps the function selected.
    g_Asked.clear();
    QTreeView* view = w->TreeWidget();
    view->setCurrentIndex(w->TreeWidget()->ItemModel()->IndexOf(field));
    QTest::qWait(20);
    QCOMPARE(w->Tree().Selected(), fn);
    QCOMPARE(view->currentIndex(), w->TreeWidget()->ItemModel()->IndexOf(fn));
    QCOMPARE(g_Asked.size(), size_t(1));
    QVERIFY(QXStr(g_Asked[0]).startsWith("Minimum length (20) must be less than or equal to the maximum length (10)"));
    minimum->setValue(3);
    view->setCurrentIndex(w->TreeWidget()->ItemModel()->IndexOf(field));
    QCOMPARE(w->Tree().Selected(), field);

    // A confirming function asks with Yes and No; Yes lets it shorten its characters.
    TKVTreeItem* rc = w->Tree().DropFunction(*TGUID::TryParse("{91106769-BF7F-4c32-85D4-309112F50836}"), field);
    w->Tree().Select(rc);
    auto* node = rc->DataAs<TQXDFieldFuncData>();
    node->SetArgumentValue(0, TKVVariant(std::string("abc")));
    node->SetArgumentValue(1, TKVVariant(std::string("x")));
    int buttons = -1;
    KVSetMessageDialogProc([&](const std::string& text, TKVSeverity, TKVMsgButtons b) {
      g_Asked.push_back(text);
      buttons = int(b);
      return KV_IDYES;
    });
    QVERIFY(w->Tree().Select(field));
    KVSetMessageDialogProc(Answer);
    QCOMPARE(buttons, int(TKVMsgButtons::YesNo));
    QCOMPARE(node->Argument(0).Value().AsString(), std::string("a"));
  }

  void clipboardBetweenWindows() {
    auto a = NewWindow();
    BuildChain(*a);
    TKVTreeItem* second = Find(*a, "New Source Database.customers.New Destination Database.second");
    a->Tree().Select(second);
    a->TreeAction(TQXMainWindow::tcCopy)->trigger();
    QVERIFY(QGuiApplication::clipboard()->mimeData()->formats().contains("{E02B92A7-762B-4e5c-BBA8-9196DB36F369}"));

    auto b = NewWindow();
    Add(*b, TQXMainWindow::tcAddSourceDatabase);
    TKVTreeItem* top = b->Tree().Selected();
    // A destination recordset does not go under a source database: refused, nothing changes.
    b->TreeAction(TQXMainWindow::tcPaste)->trigger();
    QCOMPARE(b->Tree().Count(), size_t(1));
    b->Tree().Select(top);
    Add(*b, TQXMainWindow::tcAddSourceRecordset);
    Add(*b, TQXMainWindow::tcAddDestinationDatabase);
    TKVTreeItem* db = b->Tree().Selected();
    b->TreeAction(TQXMainWindow::tcPaste)->trigger();
    QCOMPARE(db->ChildCount(), size_t(1));
    QCOMPARE(db->Child(0)->Title(), std::string("second"));
    QCOMPARE(db->Child(0)->ChildCount(), size_t(1));
    QCOMPARE(db->Child(0)->Child(0)->Title(), std::string("name"));
    QCOMPARE(b->TreeWidget()->ItemModel()->rowCount(b->TreeWidget()->ItemModel()->IndexOf(db)), 1);
    QVERIFY(b->Document().Modified());
    // Cut removes the subtree from the first window.
    a->Tree().Select(second);
    a->TreeAction(TQXMainWindow::tcCut)->trigger();
    QVERIFY(!Find(*a, "New Source Database.customers.New Destination Database.second"));
  }

  void saveAndReopenBothFormats() {
    for (const char* name : {"def.qxt", "def.qxs"}) {
      auto w = NewWindow();
      BuildChain(*w);
      QString file = Path(name);
      QString askedTitle;
      w->FileDialog = [&](bool save, const QString& title, const QString&) {
        askedTitle = title;
        return save ? file : QString();
      };
      // Save on a new document asks for a name.
      QVERIFY(w->SaveDocument());
      QCOMPARE(askedTitle, QString("Save Reorganization definition to file"));
      QVERIFY(!w->Document().Modified());
      QVERIFY(!w->Command(cmdSave)->isEnabled());
      QCOMPARE(w->windowTitle(), "test_ui - [" + file + "]");
      QFile f(file);
      QVERIFY(f.open(QIODevice::ReadOnly));
      QCOMPARE(f.read(1) == "[", QString(name).endsWith(".qxt"));
      f.close();
      // Save without changes writes nothing.
      QDateTime stamp = QFileInfo(file).lastModified();
      QVERIFY(!w->SaveDocument());
      QCOMPARE(QFileInfo(file).lastModified(), stamp);

      auto r = NewWindow();
      QVERIFY(r->OpenDocument(file));
      QCOMPARE(r->Tree().Count(), w->Tree().Count());
      QVERIFY(Find(*r, "New Source Database.customers.New Destination Database.second.name"));
      QVERIFY(!r->Document().Modified());
      // Opening the open file again does nothing, not even the prompt.
      r->Tree().TopLevel(0)->SetTitle("changed");
      QVERIFY(!r->OpenDocument(file));
      QVERIFY(g_Asked.empty());
      r->Document().SetModified(false);
    }
  }

  void modifiedPromptAnswers() {
    auto w = NewWindow();
    QString file = Path("prompt.qxt");
    w->FileDialog = [&](bool, const QString&, const QString&) { return file; };
    Add(*w, TQXMainWindow::tcAddSourceDatabase);
    // Cancel stops the action.
    g_Answers = {KV_IDCANCEL};
    QVERIFY(!w->NewDocument());
    QCOMPARE(w->Tree().Count(), size_t(1));
    QCOMPARE(QXStr(g_Asked.back()), QString("The data of \"New reorganization definition\" has been modified.\r\n\r\n"
                                             "Do you want to save the data?"));
    // Closing with Cancel keeps the window.
    g_Answers = {KV_IDCANCEL};
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    // No goes on without saving.
    g_Answers = {KV_IDNO};
    QVERIFY(w->NewDocument());
    QCOMPARE(w->Tree().Count(), size_t(0));
    QVERIFY(!QFile::exists(file));
    // Yes saves (asking for the name) and goes on.
    Add(*w, TQXMainWindow::tcAddSourceDatabase);
    g_Answers = {KV_IDYES};
    QVERIFY(w->NewDocument());
    QVERIFY(QFile::exists(file));
    QCOMPARE(w->Tree().Count(), size_t(0));
    // Closing stores the last file name, which the next start offers.
    QVERIFY(w->OpenDocument(file));
    QVERIFY(w->close());
    QCOMPARE(QXStr(m_Settings->LastFileName()), file);
    g_Asked.clear();
    g_Answers = {KV_IDYES};
    auto next = std::make_unique<TQXMainWindow>(m_Settings.get());
    next->StartUp({}, false);
    QCOMPARE(g_Asked.size(), size_t(1));
    QCOMPARE(QXStr(g_Asked[0]), "You had most recently been working on file \"" + file +
                                    "\".\r\n\r\nDo you want to open this file again ?");
    QCOMPARE(QXStr(next->Document().FileName()), file);
  }

  void startUpWithDocumentArgument() {
    QString file = Path("arg.qxs");
    {
      auto w = NewWindow();
      BuildChain(*w);
      w->FileDialog = [&](bool, const QString&, const QString&) { return file; };
      QVERIFY(w->SaveDocumentAs());
    }
    m_Settings->SetLastFileName(QXStd(Path("prompt.qxt")));
    auto w = std::make_unique<TQXMainWindow>(m_Settings.get());
    w->StartUp({file}, false);
    // The argument wins; the most recent file is not offered.
    QVERIFY(g_Asked.empty());
    QCOMPARE(QXStr(w->Document().FileName()), file);
    QCOMPARE(w->Tree().Count(), size_t(6));
    QCOMPARE(w->windowTitle(), "test_ui - [" + file + "]");
  }

  // The shop's clients built by hand through the commands and pages, saved, and run by the command-line
  // program as the demo runs.
  void definitionBuiltByHandRunsWithTheCli() {
    QString dir = Path("shop");
    QDir().mkpath(dir);
    QString cli = QString(DABRIX_BIN_DIR) + "/dabrix-cli";
    QProcess make;
    make.start("bash", {QString(DABRIX_SOURCE_DIR) + "/examples/shop/make-databases.sh", cli, dir});
    QVERIFY(make.waitForFinished(60000));
    QCOMPARE(make.exitCode(), 0);
    QString src = "Driver=SQLite3;Database=" + dir + "/shop-source.db";
    QString dst = "Driver=SQLite3;Database=" + dir + "/shop-dest.db";

    auto w = NewWindow();
    TQXDTreeItemModel* model = w->TreeWidget()->ItemModel();
    Add(*w, TQXMainWindow::tcAddSourceDatabase);
    auto* sarea = static_cast<TQXConnectionDetailArea*>(w->DetailArea(1));
    sarea->Properties()->ConnectionString->setText(src);
    emit sarea->Properties()->ConnectionString->textEdited(src);
    Add(*w, TQXMainWindow::tcAddSourceRecordset);
    QVERIFY(model->setData(model->IndexOf(w->Tree().Selected()), "customers"));
    auto* srarea = static_cast<TQXRecordsetDetailArea*>(w->DetailArea(3));
    srarea->SQLEditor()->setPlainText("SELECT id, name, email FROM customers ORDER BY id");
    Add(*w, TQXMainWindow::tcAddDestinationDatabase);
    auto* darea = static_cast<TQXConnectionDetailArea*>(w->DetailArea(2));
    darea->Properties()->ConnectionString->setText(dst);
    emit darea->Properties()->ConnectionString->textEdited(dst);
    Add(*w, TQXMainWindow::tcAddDestinationRecordset);
    TKVTreeItem* clients = w->Tree().Selected();
    QVERIFY(model->setData(model->IndexOf(clients), "clients"));
    static_cast<TQXRecordsetDetailArea*>(w->DetailArea(4))->SQLEditor()->setPlainText("SELECT * FROM clients");
    // The columns come from the destination's catalog after the question.
    g_Answers = {KV_IDYES};
    w->TreeAction(TQXMainWindow::tcAddAllDestinationFields)->trigger();
    QCOMPARE(g_Asked.size(), size_t(1));
    QVERIFY2(QXStr(g_Asked[0]).startsWith("The schema \"New Destination Database\" has not been loeded"), g_Asked[0].c_str());
    QCOMPARE(clients->ChildCount(), size_t(6));
    QCOMPARE(clients->Child(2)->Title(), std::string("full_name"));
    // client_id and full_name come from the source's "id" and "name"; phone, city and origin are not
    // read: unchecked.
    auto* farea = static_cast<TQXDstFieldDetailArea*>(w->DetailArea(5));
    w->Tree().Select(clients->Child(0));
    farea->SourceField->setEditText("id");
    w->Tree().Select(clients->Child(2));
    farea->SourceField->setEditText("name");
    // A buyer without e-mail address is skipped.
    w->Tree().Select(clients->Child(1));
    farea->SkipIfNull->click();
    QCOMPARE(clients->Child(2)->DataAs<TQXDDestFieldData>()->SourceRecordsetFieldname(), std::string("name"));
    for (size_t i : {3, 4, 5}) w->TreeWidget()->ToggleCheck(model->IndexOf(clients->Child(i)));
    // The e-mail address is trimmed by a function dropped from the function list.
    w->ShowFunctionList();
    QTreeWidget* list = w->FunctionList()->List();
    QModelIndex trim;
    for (int r = 0; r < list->topLevelItemCount(); ++r)
      if (list->topLevelItem(r)->text(0) == "Trim Characters") trim = list->model()->index(r, 0);
    std::unique_ptr<QMimeData> drag(list->model()->mimeData({trim}));
    QVERIFY(w->TreeWidget()->Drop(drag.get(), clients->Child(1)));
    QVERIFY(w->Command(cmdStartReorganization)->isEnabled());

    QString file = Path("byhand.qxt");
    w->FileDialog = [&](bool, const QString&, const QString&) { return file; };
    QVERIFY(w->SaveDocument());
    QProcess run;
    run.start(cli, {"run", file, "--error-action", "abort"});
    QVERIFY(run.waitForFinished(60000));
    QVERIFY2(run.exitCode() == 0, run.readAllStandardOutput() + run.readAllStandardError());
    QProcess query;
    query.start(cli, {"query", dst, "SELECT client_id, full_name FROM clients WHERE email = 'ADA@Example.org'"});
    QVERIFY(query.waitForFinished(60000));
    QByteArray out = query.readAllStandardOutput();
    QVERIFY2(out.contains("Ada Lovelace"), out);
  }

  void settingsDialog() {
    m_Settings->SetErrorAction(2);
    m_Settings->SetDlgWindowAnimation(7);  // out of range: acts as "Collapse to center"
    TQXSettingsDlg dlg(*m_Settings);
    QCOMPARE(dlg.windowTitle(), QString("Dabrix - Settings"));
    QCOMPARE(dlg.ErrorAction()->currentText(), QString("Abort Operation"));
    QCOMPARE(dlg.Animation()->currentText(), QString("Collapse to center"));
    QCOMPARE(dlg.Duration()->maximum(), 10000);
    dlg.ErrorAction()->setCurrentIndex(0);
    dlg.Animation()->setCurrentIndex(1);
    dlg.Duration()->setValue(400);
    dlg.Apply();
    QCOMPARE(m_Settings->ErrorAction(), 0);
    QCOMPARE(int(m_Settings->DlgWindowAnimation()), 1);
    QCOMPARE(m_Settings->DlgWindowAniDuration(), 400);
    QCOMPARE(QXDialogAnimation(), 1);
    QCOMPARE(QXDialogAnimationDuration(), 400);
    // Cancelling writes nothing.
    TQXSettingsDlg dlg2(*m_Settings);
    dlg2.ErrorAction()->setCurrentIndex(1);
    dlg2.reject();
    QCOMPARE(m_Settings->ErrorAction(), 0);
    QXApplyDialogAnimation(0, 0);
  }
};

int RunDocumentAndPagesTest(int argc, char** argv) {
  DocumentAndPagesTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "DocumentAndPagesTest.moc"
