// The schema pages against real data sources: a SQLite file and the PostgreSQL test server, read through
// the connect dialog and the window's connect command, stored into and read back from the document, and
// dragged onto the definition tree.
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <deque>
#include <memory>

#include "db/KVConnectionString.h"
#include "db/KVOdbcSchemaRecordset.h"
#include "db/KVOdbcStatement.h"
#include "ui/KVSchemaPages.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXDetailAreas.h"
#include "ui/QXMainWindow.h"
#include "ui/QXUiCommon.h"

namespace {
std::deque<int> g_SchemaAnswers;
std::vector<std::string> g_SchemaAsked;

int SchemaAnswer(const std::string& text, TKVSeverity, TKVMsgButtons buttons) {
  g_SchemaAsked.push_back(text);
  if (g_SchemaAnswers.empty()) return buttons == TKVMsgButtons::Ok ? KV_IDOK : KV_IDNO;
  int a = g_SchemaAnswers.front();
  g_SchemaAnswers.pop_front();
  return a;
}

void Exec(const std::string& connectionString, const std::vector<std::string>& statements) {
  auto c = KVMakeRef<TKVOdbcConnection>();
  c->Properties().SetConnectionString(connectionString);
  c->Properties().SetDriverDialogs(ddNoDriverDialogs);
  c->Activate();
  for (const auto& sql : statements) {
    auto st = KVMakeRef<TKVOdbcStatement>(c);
    st->ExecuteText(sql);
  }
  c->Deactivate();
}

QStringList TopCaptions(TKVSchemaTreeArea* page) {
  QStringList l;
  for (int i = 0; i < page->Tree()->topLevelItemCount(); ++i) l << page->Tree()->topLevelItem(i)->text(0);
  return l;
}

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& title) {
  for (int i = 0; i < parent->childCount(); ++i)
    if (parent->child(i)->data(0, snrTitle).toString() == title) return parent->child(i);
  return nullptr;
}
}  // namespace

class SchemaPagesTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_Dir;
  std::unique_ptr<TQXSettings> m_Settings;
  QString m_Sqlite;      // the connection string of the shop file
  std::string m_Chosen;  // what the scripted connect dialog answers

  std::unique_ptr<TQXMainWindow> NewWindow() {
    auto w = std::make_unique<TQXMainWindow>(m_Settings.get());
    KVInstallSchemaPages(*w, [this](TKVOdbcConnectProperties& p) {
      p.SetConnectionString(m_Chosen);
      p.SetDriverDialogs(ddNoDriverDialogs);
      return !m_Chosen.empty();
    });
    return w;
  }

  TKVSchemaTreeArea* Connect(TQXMainWindow& w, const std::string& connectionString) {
    m_Chosen = connectionString;
    w.Command(cmdConnect)->trigger();
    TKVSchemaPagesDlg* dlg = KVSchemaPages(w, false);
    return dlg ? dlg->FindPage(KVSchemaDataSourceName(*[&] {
      auto p = KVMakeRef<TKVOdbcConnectProperties>();
      p->SetConnectionString(connectionString);
      return p;
    }())) : nullptr;
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_Dir.isValid());
    m_Settings = std::make_unique<TQXSettings>(QXStd(m_Dir.filePath("settings.PRS")));
    KVSetMessageDialogProc(SchemaAnswer);
    QString file = m_Dir.filePath("shop.db");
    m_Sqlite = "Driver=SQLite3;Database=" + file;
    Exec(QXStd(m_Sqlite), {"CREATE TABLE Orders (id INTEGER NOT NULL PRIMARY KEY, customer VARCHAR(40), amount REAL)",
                           "CREATE TABLE Customers (id INTEGER NOT NULL PRIMARY KEY, name VARCHAR(60))",
                           "CREATE TABLE \"Odd\"\"Name\" (x INTEGER)",
                           "CREATE VIEW BigOrders AS SELECT * FROM Orders WHERE amount > 100",
                           "INSERT INTO Orders VALUES (1, 'Ann', 50), (2, 'Bob', 150), (3, 'Cid', 250)",
                           "INSERT INTO \"Odd\"\"Name\" VALUES (7)"});
  }

  void cleanupTestCase() { KVSetMessageDialogProc({}); }

  // The connect command opens one page per data source with the tables and views, their record counts
  // and columns; a second connect to the same source shows the same page.
  void connectLoadsTheCatalogOfASqliteFile() {
    auto w = NewWindow();
    TKVSchemaTreeArea* page = Connect(*w, QXStd(m_Sqlite));
    QVERIFY(page);
    QCOMPARE(page->DataSourceName(), std::string("shop.db"));
    QVERIFY2(page->LastError().isEmpty(), qPrintable(page->LastError()));
    QCOMPARE(TopCaptions(page), QStringList({"Tables: 3", "Views: 1"}));
    QTreeWidgetItem* tables = page->Tree()->topLevelItem(0);
    QTreeWidgetItem* orders = Child(tables, "Orders");
    QVERIFY(orders);
    QCOMPARE(orders->data(0, snrClass).toString(), QString("TSTTableData"));
    QCOMPARE(orders->data(0, snrHint).toString(), QString("Orders: 3 records"));
    // The quote inside a name is doubled for the count.
    QCOMPARE(Child(tables, "Odd\"Name")->data(0, snrHint).toString(), QString("Odd\"Name: 1 records"));
    QCOMPARE(orders->child(0)->text(0), QString("Columns: 3"));
    QTreeWidgetItem* id = Child(orders->child(0), "id");
    QVERIFY(id);
    QCOMPARE(id->data(0, snrClass).toString(), QString("TSTColumnData"));
    QVERIFY2(id->data(0, snrHint).toString().startsWith("Name:\t\tid\rDatatype:\tINTEGER\r"),
             qPrintable(id->data(0, snrHint).toString()));
    QVERIFY(id->data(0, snrHint).toString().endsWith("Nullable:\tNot Null"));
    QVERIFY(Child(orders->child(0), "customer")->data(0, snrHint).toString().endsWith("Nulls Allowed"));
    QCOMPARE(Child(page->Tree()->topLevelItem(1), "BigOrders")->data(0, snrHint).toString(),
             QString("BigOrders: 2 records"));

    // Show/Hide: SQLite lists no system tables (count 0); hiding removes the list again.
    page->CommandButton(TKVSchemaTreeArea::scShowSysTables)->defaultAction()->trigger();
    QCOMPARE(TopCaptions(page), QStringList({"System Tables: 0", "Tables: 3", "Views: 1"}));
    page->CommandButton(TKVSchemaTreeArea::scShowSysTables)->defaultAction()->trigger();
    page->CommandButton(TKVSchemaTreeArea::scShowViews)->defaultAction()->trigger();
    QCOMPARE(TopCaptions(page), QStringList({"Tables: 3"}));
    QCOMPARE(page->LoadedSchemaLists(), uint32_t(1u << slTables));

    // Edit Data waits for a registered editor and a table.
    KVSetSchemaDataEditor(nullptr);
    page->Tree()->setCurrentItem(orders);
    QVERIFY(!page->CommandEnabled(TKVSchemaTreeArea::scEditData));
    std::string editedSql;
    KVSetSchemaDataEditor([&](const TKVOdbcConnectProperties&, const TKVOdbcRecordsetProperties&,
                                  const std::string& sql) { editedSql = sql; });
    QVERIFY(page->CommandEnabled(TKVSchemaTreeArea::scEditData));
    page->Tree()->setCurrentItem(orders->child(0));
    QVERIFY(!page->CommandEnabled(TKVSchemaTreeArea::scEditData));
    page->Tree()->setCurrentItem(orders);
    page->RunCommand(TKVSchemaTreeArea::scEditData);
    QCOMPARE(editedSql, std::string("SELECT * FROM Orders"));
    KVSetSchemaDataEditor(nullptr);

    // The node hints of the definition come from the loaded page.
    QVERIFY(QXSchemaHintSource());
    QCOMPARE(*QXSchemaHintSource()->TableHint("shop.db", "orders"), std::string("Orders: 3 records"));
    QVERIFY(QXSchemaHintSource()->ColumnHint("shop.db", "Orders", "amount")->find("Datatype:\tREAL") !=
            std::string::npos);
    QVERIFY(!QXSchemaHintSource()->TableHint("other.db", "Orders"));

    TKVSchemaTreeArea* again = Connect(*w, QXStd(m_Sqlite));
    QCOMPARE(again, page);
    QCOMPARE(KVSchemaPages(*w, false)->PageCount(), 1);
  }

  // A source that cannot be read leaves an empty page with the driver's message, not a crash.
  void unreadableSourceShowsTheError() {
    auto w = NewWindow();
    TKVSchemaTreeArea* page = Connect(*w, "Driver=No Such Driver;Database=x");
    QVERIFY(page);
    QCOMPARE(page->Tree()->topLevelItemCount(), 0);
    QVERIFY(!page->LastError().isEmpty());
  }

  // Store puts the tree into "\Schemata", the document origin reads it back with the data source gone,
  // Remove deletes it; the pages come back from the window list with the question for a failing one.
  void storeLoadAndRemoveSchemaData() {
    QString copy = m_Dir.filePath("shop-copy.db");
    QFile::remove(copy);
    QVERIFY(QFile::copy(m_Dir.filePath("shop.db"), copy));
    std::string cs = "Driver=SQLite3;Database=" + QXStd(copy);
    auto w = NewWindow();
    TKVSchemaTreeArea* page = Connect(*w, cs);
    QVERIFY(page);
    QVERIFY(!page->CommandEnabled(TKVSchemaTreeArea::scRemoveSchema));
    QVERIFY(page->CommandEnabled(TKVSchemaTreeArea::scStoreSchema));
    page->RunCommand(TKVSchemaTreeArea::scStoreSchema);
    QVERIFY(page->HasStoredSchema());
    QVERIFY(page->CommandEnabled(TKVSchemaTreeArea::scRemoveSchema));
    QVERIFY(w->Document().Modified());
    QString qxs = m_Dir.filePath("schema.qxs");
    QVERIFY(w->Document().SaveAs(QXStd(qxs)));

    // The data source is gone: the stored copy still shows the whole tree.
    QVERIFY(QFile::remove(copy));
    page->OriginCombo()->setCurrentIndex(TKVSchemaTreeArea::soDocument);
    emit page->OriginCombo()->activated(TKVSchemaTreeArea::soDocument);
    QCOMPARE(page->SchemaLoadOrigin(), int(TKVSchemaTreeArea::soDocument));
    QVERIFY2(page->LastError().isEmpty(), qPrintable(page->LastError()));
    QCOMPARE(TopCaptions(page), QStringList({"Tables: 3", "Views: 1"}));
    QTreeWidgetItem* orders = page->LocateNode("Orders");
    QVERIFY(orders);
    QCOMPARE(orders->data(0, snrHint).toString(), QString("Orders: 3 records"));
    QCOMPARE(orders->child(0)->text(0), QString("Columns: 3"));
    QVERIFY(page->LocateNode("Orders", "amount"));
    // Hiding and showing reloads from the document.
    page->ToggleList(slViews);
    page->ToggleList(slViews);
    QCOMPARE(TopCaptions(page), QStringList({"Tables: 3", "Views: 1"}));

    // Page state through a storage: the stored page loads again; the page of the deleted file with origin
    // 0 fails and the user is asked whether to go on.
    TKVSchemaPagesDlg* dlg = KVSchemaPages(*w, false);
    TKVSchemaTreeArea* live = dlg->OpenPage([&] {
      auto p = KVMakeRef<TKVOdbcConnectProperties>();
      p->SetConnectionString(QXStd(m_Sqlite));
      return p;
    }().operator*());
    QCOMPARE(dlg->PageCount(), 2);
    IKVStorage& s = w->Document().Storage();
    {
      TKVVsdDirPathKeeper keep(s, "\\WindowList\\00000", true);
      dlg->StoreData(s);
    }
    QVERIFY(live);
    QVERIFY(s.DirExists("\\WindowList\\00000\\Page00000"));
    QVERIFY(s.DirExists("\\WindowList\\00000\\Page00001"));
    // All pages load: both come back, the first from the document.
    {
      TKVVsdDirPathKeeper keep(s, "\\WindowList\\00000", false);
      dlg->LoadData(s);
    }
    QCOMPARE(dlg->PageCount(), 2);
    QCOMPARE(dlg->Page(0)->SchemaLoadOrigin(), int(TKVSchemaTreeArea::soDocument));
    QCOMPARE(TopCaptions(dlg->Page(0)), QStringList({"Tables: 3", "Views: 1"}));
    QCOMPARE(TopCaptions(dlg->Page(1)), QStringList({"Tables: 3", "Views: 1"}));

    // Remove: the document holds no schema of the copy any more; the stored page then fails to load.
    dlg->Page(0)->RunCommand(TKVSchemaTreeArea::scRemoveSchema);
    QVERIFY(!dlg->Page(0)->HasStoredSchema());
    {
      TKVVsdDirPathKeeper keep(s, "\\WindowList\\00000", false);
      g_SchemaAsked.clear();
      g_SchemaAnswers = {KV_IDYES};
      dlg->LoadData(s);
    }
    QCOMPARE(g_SchemaAsked.size(), size_t(1));
    QVERIFY2(QXStr(g_SchemaAsked[0]).endsWith("Continue loading the remaining Pages?"), g_SchemaAsked[0].c_str());
    QCOMPARE(dlg->PageCount(), 1);
    QCOMPARE(dlg->Page(0)->DataSourceName(), std::string("shop.db"));
    // Declining stops with the error.
    {
      TKVVsdDirPathKeeper keep(s, "\\WindowList\\00000", false);
      g_SchemaAnswers = {KV_IDNO};
      bool raised = false;
      try {
        dlg->LoadData(s);
      } catch (const std::exception&) {
        raised = true;
      }
      QVERIFY(raised);
    }
  }

  // The pages are saved in the document's window list and come back when it is opened; a page that
  // cannot load asks whether to go on.
  void pagesComeBackWithTheDocument() {
    QString qxs = m_Dir.filePath("pages.qxs");
    {
      auto w = NewWindow();
      QVERIFY(Connect(*w, QXStd(m_Sqlite)));
      // A source that cannot be read keeps its page, empty, and is stored like any other.
      QVERIFY(Connect(*w, "Driver=No Such Driver;Database=gone"));
      KVSchemaPages(*w, false)->Page(0)->ToggleList(slSystemTables);
      QCOMPARE(KVSchemaToolWindowCount(*w), 1);
      QVERIFY(w->Document().SaveAs(QXStd(qxs)));
    }
    // Loading the unreadable page asks; Yes goes on and keeps the readable page.
    auto w = NewWindow();
    g_SchemaAsked.clear();
    g_SchemaAnswers = {KV_IDYES};
    QVERIFY(w->OpenDocument(qxs));
    QCOMPARE(g_SchemaAsked.size(), size_t(1));
    QVERIFY2(QXStr(g_SchemaAsked[0]).endsWith("Continue loading the remaining Pages?"), g_SchemaAsked[0].c_str());
    TKVSchemaPagesDlg* dlg = KVSchemaPages(*w, false);
    QVERIFY(dlg);
    QCOMPARE(dlg->PageCount(), 1);
    QCOMPARE(dlg->Page(0)->DataSourceName(), std::string("shop.db"));
    QCOMPARE(TopCaptions(dlg->Page(0)), QStringList({"System Tables: 0", "Tables: 3", "Views: 1"}));
  }

  // Dragging a table, a column folder and a column onto the definition tree creates the nodes of the
  // drop rules; a table dropped three times gets numbered titles.
  void dragTablesAndColumnsIntoTheDefinition() {
    auto w = NewWindow();
    TKVSchemaTreeArea* page = Connect(*w, QXStd(m_Sqlite));
    QVERIFY(page);
    TQXDTreeWidget* tree = w->TreeWidget();
    auto mime = [&](QTreeWidgetItem* node) {
      auto item = page->SchemaItemOf(node);
      return std::unique_ptr<QMimeData>(item ? KVSchemaItemMimeData(*item) : new QMimeData);
    };
    QTreeWidgetItem* orders = page->LocateNode("Orders");
    QTreeWidgetItem* customers = page->LocateNode("Customers");

    // A table onto empty space: a source database named after the data source and a source recordset.
    auto m = mime(orders);
    QVERIFY(tree->CanDrop(m.get(), nullptr));
    QVERIFY(tree->Drop(m.get(), nullptr));
    TKVTreeItem* srcDb = w->Tree().TopLevel(0);
    QCOMPARE(srcDb->Title(), std::string("shop.db"));
    QVERIFY(srcDb->DataAs<TQXDSourceConnectionData>());
    QCOMPARE(srcDb->DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(), QXStd(m_Sqlite));
    TKVTreeItem* srcRs = srcDb->Child(0);
    QCOMPARE(srcRs->Title(), std::string("Orders"));
    QVERIFY(srcRs->DataAs<TQXDSourceRSData>());

    // The same table three times onto the source recordset: destination recordsets Orders, Orders2, Orders3.
    for (int i = 0; i < 3; ++i) QVERIFY(tree->Drop(mime(orders).get(), srcRs));
    TKVTreeItem* dstDb = srcRs->Child(0);
    QVERIFY(dstDb->DataAs<TQXDDestConnectionData>());
    QCOMPARE(dstDb->ChildCount(), size_t(3));
    QCOMPARE(dstDb->Child(0)->Title(), std::string("Orders"));
    QCOMPARE(dstDb->Child(1)->Title(), std::string("Orders2"));
    QCOMPARE(dstDb->Child(2)->Title(), std::string("Orders3"));

    // The column folder of Orders onto the recordset titled "Orders": one destination field per column,
    // titled with its name. "Orders2" does not name the table and refuses the folder.
    QTreeWidgetItem* folder = orders->child(0);
    QVERIFY(!tree->CanDrop(mime(folder).get(), dstDb->Child(1)));
    QVERIFY(tree->Drop(mime(folder).get(), dstDb->Child(0)));
    TKVTreeItem* first = dstDb->Child(0);
    QCOMPARE(first->ChildCount(), size_t(3));
    QCOMPARE(first->Child(0)->Title(), std::string("id"));
    QCOMPARE(first->Child(1)->Title(), std::string("customer"));
    QCOMPARE(first->Child(2)->Title(), std::string("amount"));
    QCOMPARE(first->Child(2)->DataAs<TQXDDestFieldData>()->DestFieldname(), std::string("amount"));

    // A title "table#anything" names its table: one column onto "Orders#3", and onto one of its fields.
    QVERIFY(w->Tree().EditLabel(*dstDb->Child(2), "Orders#3"));
    TKVTreeItem* third = dstDb->Child(2);
    QVERIFY(tree->Drop(mime(page->LocateNode("Orders", "amount")).get(), third));
    QVERIFY(tree->Drop(mime(page->LocateNode("Orders", "id")).get(), third->Child(0)));
    QCOMPARE(third->ChildCount(), size_t(2));
    QCOMPARE(third->Child(0)->Title(), std::string("amount"));
    QCOMPARE(third->Child(1)->Title(), std::string("id"));
    // A column of another table is refused there and changes nothing.
    auto foreign = mime(page->LocateNode("Customers", "name"));
    QVERIFY(!tree->CanDrop(foreign.get(), third));
    QVERIFY(!tree->Drop(foreign.get(), third));
    QCOMPARE(third->ChildCount(), size_t(2));

    // Shift: the table arrives with all its destination fields.
    QTest::keyPress(tree, Qt::Key_Shift, Qt::ShiftModifier);
    QVERIFY(tree->Drop(mime(customers).get(), srcRs));
    QTest::keyRelease(tree, Qt::Key_Shift);
    TKVTreeItem* cust = dstDb->Child(3);
    QCOMPARE(cust->Title(), std::string("Customers"));
    QCOMPARE(cust->ChildCount(), size_t(2));
    QCOMPARE(cust->Child(1)->Title(), std::string("name"));

    // A list folder onto empty space: a source recordset for each table.
    QVERIFY(tree->Drop(mime(page->Tree()->topLevelItem(0)).get(), nullptr));
    QCOMPARE(srcDb->ChildCount(), size_t(4));
    // A broken payload is refused.
    QMimeData junk;
    junk.setData(kKVSchemaMime, "garbage");
    QVERIFY(!tree->CanDrop(&junk, nullptr));
  }

  // "New" starts a document without the pages of the one before.
  void newDocumentClosesTheSchemaPages() {
    auto w = NewWindow();
    QVERIFY(Connect(*w, QXStd(m_Sqlite)));
    QCOMPARE(KVSchemaToolWindowCount(*w), 1);
    w->Document().SetModified(false);
    QVERIFY(w->NewDocument());
    QCOMPARE(KVSchemaToolWindowCount(*w), 0);
    QVERIFY(!KVSchemaPages(*w, false));
  }

  // Escape stops a long load; the captions show what was reached.
  void escapeStopsLoading() {
    QString file = m_Dir.filePath("many.db");
    std::string cs = "Driver=SQLite3;Database=" + QXStd(file);
    std::vector<std::string> sql;
    for (int i = 0; i < 200; ++i) sql.push_back("CREATE TABLE t" + std::to_string(i) + " (a INTEGER, b TEXT)");
    Exec(cs, sql);
    auto w = NewWindow();
    TKVSchemaPagesDlg* dlg = KVSchemaPages(*w, true);
    auto p = KVMakeRef<TKVOdbcConnectProperties>();
    p->SetConnectionString(cs);
    TKVSchemaTreeArea* page = nullptr;
    QTimer::singleShot(0, [&] {
      if (!page) page = dlg->Page(0);
      QVERIFY(page && page->Loading());
      QVERIFY(!page->CommandEnabled(TKVSchemaTreeArea::scRefresh));
      QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QCoreApplication::sendEvent(page->Tree(), &esc);
    });
    page = dlg->OpenPage(*p);
    QVERIFY(!page->Loading());
    QVERIFY(page->CommandEnabled(TKVSchemaTreeArea::scRefresh));
    QCOMPARE(page->Tree()->topLevelItemCount(), 1);  // the views were not reached
    QString caption = page->Tree()->topLevelItem(0)->text(0);
    int count = caption.section(": ", 1).toInt();
    QVERIFY2(caption.startsWith("Tables: ") && count > 0 && count < 200, qPrintable(caption));
    QCOMPARE(page->Tree()->topLevelItem(0)->childCount(), count);
    // Refresh loads the lists shown (the views were never reached) again, this time whole.
    QVERIFY(page->Refresh());
    QCOMPARE(TopCaptions(page), QStringList({"Tables: 200"}));
    page->ToggleList(slViews);
    QCOMPARE(TopCaptions(page), QStringList({"Tables: 200", "Views: 0"}));
  }

  // The connect dialog builds the connection string for the PostgreSQL driver and tests it; the page
  // then shows the server's tables.
  void postgresqlThroughTheConnectDialog() {
    const char* env = std::getenv("DABRIX_PG_CONN");
    if (!env || !*env) {
      // Where servers are required (the test command, CI) a missing one is a broken set-up.
      const char* required = std::getenv("DABRIX_REQUIRE_SERVERS");
      const char* ci = std::getenv("CI");
      if ((required && *required) || (ci && *ci))
        QFAIL("DABRIX_PG_CONN is not set, but this run requires its database server");
      QSKIP("DABRIX_PG_CONN is not set");
    }
    TKVConnectionStringParser pg(env);
    Exec(env, {"DROP TABLE IF EXISTS h7_orders", "CREATE TABLE h7_orders (id integer NOT NULL PRIMARY KEY, note varchar(20))",
               "INSERT INTO h7_orders VALUES (1, 'a'), (2, NULL)"});

    TKVOdbcConnectDlg dlg;
    int driver = dlg.Driver()->findText(QXStr(pg.Value("Driver")));
    QVERIFY(driver > 0);
    dlg.Driver()->setCurrentIndex(driver);
    QCOMPARE(dlg.Port->value(), 5432);
    dlg.Server->setText(QXStr(pg.Value("Servername")));
    dlg.Database->setText(QXStr(pg.Value("Database")));
    dlg.User->setText(QXStr(pg.Value("Username")));
    // Nothing listens on port 1.
    dlg.Port->setValue(1);
    dlg.Password->setText(QXStr(pg.Value("Password")));
    dlg.BuildConnectionString();
    QVERIFY(!dlg.TestConnection());
    QVERIFY(!dlg.TestResult()->text().isEmpty());
    QVERIFY(dlg.TestResult()->text() != "Connection succeeded.");
    dlg.Port->setValue(std::stoi(pg.Value("Port")));
    QVERIFY2(dlg.TestConnection(), qPrintable(dlg.TestResult()->text()));
    QCOMPARE(dlg.TestResult()->text(), QString("Connection succeeded."));
    dlg.PropertyArea()->Store(dlg.Properties());

    auto w = NewWindow();
    TKVSchemaTreeArea* page = KVSchemaPages(*w, true)->OpenPage(dlg.Properties());
    QVERIFY2(page->LastError().isEmpty(), qPrintable(page->LastError()));
    QCOMPARE(page->DataSourceName(), pg.Value("Database"));
    QTreeWidgetItem* t = page->LocateNode("h7_orders");
    QVERIFY(t);
    QCOMPARE(t->data(0, snrHint).toString(), QString("h7_orders: 2 records"));
    QTreeWidgetItem* note = page->LocateNode("h7_orders", "note");
    QVERIFY(note);
    QVERIFY2(note->data(0, snrHint).toString().contains("Datatype:\tvarchar"), qPrintable(note->data(0, snrHint).toString()));
    QVERIFY(note->data(0, snrHint).toString().endsWith("Nulls Allowed"));
    Exec(env, {"DROP TABLE h7_orders"});
  }

  // Where no data-source administrator is installed, the dialog says where the data sources are defined.
  void connectDialogListsSourcesAndNamesTheIniFiles() {
    TKVOdbcConnectDlg dlg;
    QVERIFY(dlg.Driver()->findText("SQLite3") > 0);
    dlg.Driver()->setCurrentIndex(dlg.Driver()->findText("SQLite3"));
    dlg.File->setText(m_Dir.filePath("shop.db"));
    QCOMPARE(dlg.PropertyArea()->ConnectionString->text(), "Driver=SQLite3;Database=" + m_Dir.filePath("shop.db"));
    QVERIFY(dlg.TestConnection());
    bool named = false;
    for (QLabel* l : dlg.findChildren<QLabel*>())
      if (l->text().contains("odbc.ini")) named = true;
    for (QPushButton* b : dlg.findChildren<QPushButton*>())
      if (b->text().startsWith("ODBC Data Source Administrator")) named = true;
    QVERIFY(named);
  }
};

int RunSchemaPagesTest(int argc, char** argv) {
  SchemaPagesTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "SchemaPagesTest.moc"
