// "Edit Data" on a real SQLite database: the grid reads only the rows it shows, and edits, inserts and
// confirmed deletions made through the navigator are in the database afterwards; the search locates or
// filters, the header shows and changes the sort order, and a detail grid follows its master's grid.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>

#include "db/KVOdbcConnection.h"
#include "db/KVRecordsetMasterSource.h"
#include "definition/QXDTree.h"
#include "ui/KVDataEditor.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXMainWindow.h"
#include "ui/QXStatementScheduler.h"
#include "ui/QXUiCommon.h"

namespace {
std::deque<int> g_Answers;
std::vector<std::string> g_Asked;
int Answer(const std::string& text, TKVSeverity, TKVMsgButtons) {
  g_Asked.push_back(text);
  if (g_Answers.empty()) return KV_IDOK;
  int a = g_Answers.front();
  g_Answers.pop_front();
  return a;
}

TKVRef<TKVOdbcConnection> Connect(const QString& file) {
  auto c = KVMakeRef<TKVOdbcConnection>();
  c->Properties().SetConnectionString("Driver=SQLite3;Database=" + QXStd(file));
  c->Properties().SetDriverDialogs(ddNoDriverDialogs);
  c->Activate();
  return c;
}

// One value read by a connection of its own, as another program would see it.
std::string ReadBack(const QString& file, const std::string& sql) {
  auto c = Connect(file);
  auto rs = KVMakeRef<TKVOdbcRecordset>(c);
  rs->SetSQL(sql);
  rs->Open();
  std::string v = rs->HasCurrentRecord() ? rs->Field(0).Value().AsString() : std::string("<none>");
  rs->Close();
  c->Deactivate();
  return v;
}
}  // namespace

class DataEditorTest : public QObject {
  Q_OBJECT
  QTemporaryDir m_Dir;
  QString m_File;

  // Customers c0001..c0400; every third lives in Oslo, the rest in Rome, customer 7 nowhere (NULL).
  void MakeCustomers() {
    auto c = Connect(m_File);
    c->ExecuteSQL("DROP TABLE IF EXISTS Customers");
    c->ExecuteSQL("CREATE TABLE Customers (id INTEGER PRIMARY KEY, name VARCHAR(20), city VARCHAR(20))");
    c->ExecuteSQL("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
                  "INSERT INTO Customers SELECT i, printf('c%04d', i), CASE WHEN i = 7 THEN NULL "
                  "WHEN i % 3 = 0 THEN 'Oslo' ELSE 'Rome' END FROM n");
    c->Deactivate();
  }

  TKVRef<TKVOdbcRecordset> Recordset(const TKVRef<TKVOdbcConnection>& c, const std::string& sql) {
    auto rs = KVMakeRef<TKVOdbcRecordset>(c);
    rs->SetSQL(sql);
    return rs;
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_Dir.isValid());
    KVSetMessageDialogProc(Answer);
    m_File = m_Dir.filePath("editor.db");
    auto c = Connect(m_File);
    c->ExecuteSQL("CREATE TABLE Orders (id INTEGER PRIMARY KEY, name VARCHAR(40), amount INTEGER)");
    c->ExecuteSQL("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                  "INSERT INTO Orders SELECT i, 'order ' || i, i * 10 FROM n");
    c->Deactivate();
  }
  void cleanupTestCase() { KVSetMessageDialogProc({}); }

  // Sorted by the field searched, the record is located; otherwise only the matching records are shown.
  void searchLocatesWhenSortedByTheFieldElseFilters() {
    MakeCustomers();
    auto c = Connect(m_File);
    {
      TKVDataEditor editor(Recordset(c, "SELECT id, name, city FROM Customers ORDER BY name"), "Customers");
      editor.show();
      QVERIFY(QTest::qWaitForWindowExposed(&editor));
      auto& model = editor.Model();
      QCOMPARE(model.rowCount(), 400);
      editor.SearchField()->setCurrentText("name");
      editor.SearchValue()->setText("c0321");
      QVERIFY(editor.Search());
      QCOMPARE(editor.CurrentPosition(), 321);
      QCOMPARE(model.Recordset().Position(), 321);
      QCOMPARE(model.data(model.index(320, 1), Qt::DisplayRole).toString(), QString("c0321"));
      QVERIFY2(model.RowsRead() < 150, qPrintable(QString::number(model.RowsRead())));  // a bisection, no scan
      QCOMPARE(model.rowCount(), 400);

      // Nothing found: the user stays where he was and is told.
      editor.SearchValue()->setText("c9999");
      QVERIFY(!editor.Search());
      QCOMPARE(editor.CurrentPosition(), 321);
      QCOMPARE(model.Recordset().Position(), 321);
      QCOMPARE(editor.StatusText(), QString("Record not found"));
      // "Closest Match" takes the nearest record; the case of the text counts only with "Match case".
      editor.SearchMatchKind()->setCurrentText("Closest Match");
      editor.SearchValue()->setText("c0100x");
      QVERIFY(editor.Search());
      QCOMPARE(model.data(model.index(editor.CurrentPosition() - 1, 1), Qt::DisplayRole).toString().left(4),
               QString("c010"));
      editor.SearchMatchKind()->setCurrentText("Exact Match");
      editor.SearchValue()->setText("C0042");
      QVERIFY(editor.Search());
      QCOMPARE(editor.CurrentPosition(), 42);
      editor.SearchMatchCase()->setChecked(true);
      QVERIFY(!editor.Search());
      editor.SearchMatchCase()->setChecked(false);

      // Not sorted by city: a filter.
      editor.SearchField()->setCurrentText("city");
      editor.SearchValue()->setText("Oslo");
      QVERIFY(editor.Search());
      QCOMPARE(model.rowCount(), 133);
      QCOMPARE(model.data(model.index(0, 1), Qt::DisplayRole).toString(), QString("c0003"));
      QVERIFY(editor.ClearFilterButton()->isEnabled());
      // Another value replaces the condition; an empty text looks for NULL.
      editor.SearchValue()->setText("");
      QVERIFY(editor.Search());
      QCOMPARE(model.rowCount(), 1);
      QCOMPARE(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QString("7"));
      QCOMPARE(model.data(model.index(0, 2), Qt::DisplayRole).toString(), QString(""));
      editor.ClearFilter();
      QCOMPARE(model.rowCount(), 400);
      QVERIFY(!editor.ClearFilterButton()->isEnabled());
      QCOMPARE(model.Recordset().Sql().Clause(TKVSqlClause::Where), std::string());
    }
    c->Deactivate();
  }

  // The header shows the ORDER BY clause; a click sorts ascending, then descending, then not by that column.
  void headerShowsAndChangesTheSortOrder() {
    auto c = Connect(m_File);
    {
      TKVDataEditor editor(Recordset(c, "SELECT id, name, city FROM Customers ORDER BY city DESC, name"), "Customers");
      editor.show();
      QVERIFY(QTest::qWaitForWindowExposed(&editor));
      auto& model = editor.Model();
      auto header = [&](int column) { return model.headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(); };
      QCOMPARE(header(0), QString("id"));
      QCOMPARE(header(1), QString("name ▲2"));
      QCOMPARE(header(2), QString("city ▼"));
      QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::UserRole).toInt(), -1);
      QVERIFY(model.headerData(1, Qt::Horizontal, Qt::ToolTipRole).toString().startsWith("Name:\t\tname\nDatatype:\tString"));

      // A click on "id": first item, ascending.
      QTest::mouseClick(editor.Grid()->horizontalHeader()->viewport(), Qt::LeftButton, {},
                        QPoint(editor.Grid()->horizontalHeader()->sectionViewportPosition(0) + 5, 5));
      QCOMPARE(header(0), QString("id ▲"));
      QCOMPARE(header(2), QString("city ▼2"));
      QCOMPARE(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QString("1"));
      editor.ToggleSort(0);
      QCOMPARE(header(0), QString("id ▼"));
      QCOMPARE(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QString("400"));
      editor.ToggleSort(0);
      QCOMPARE(header(0), QString("id"));
      QCOMPARE(header(2), QString("city ▼"));
      QCOMPARE(model.Recordset().Sql().Clause(TKVSqlClause::OrderBy), std::string("city DESC, name"));
      QCOMPARE(model.data(model.index(0, 1), Qt::DisplayRole).toString(), QString("c0001"));  // Rome first
    }
    c->Deactivate();
  }

  // Several selected records go after one question; No keeps them all.
  void multiSelectionDeleteAsksOnce() {
    auto c = Connect(m_File);
    {
      TKVDataEditor editor(Recordset(c, "SELECT * FROM Customers ORDER BY id"), "Customers");
      editor.show();
      QVERIFY(QTest::qWaitForWindowExposed(&editor));
      auto& model = editor.Model();
      auto select = [&] {
        editor.GoTo(10);
        auto* sel = editor.Grid()->selectionModel();
        sel->clearSelection();
        for (int row : {9, 11, 14})
          sel->select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
      };
      select();
      g_Asked.clear();
      g_Answers = {KV_IDNO};
      editor.Command(TKVDataEditor::ncDelete)->trigger();
      QVERIFY(g_Asked == std::vector<std::string>({"Delete 3 records ?"}));
      QCOMPARE(model.rowCount(), 400);
      select();
      g_Answers = {KV_IDYES};
      editor.Command(TKVDataEditor::ncDelete)->trigger();
      QCOMPARE(model.rowCount(), 397);
      QCOMPARE(model.data(model.index(9, 0), Qt::DisplayRole).toString(), QString("11"));
      QCOMPARE(model.data(model.index(10, 0), Qt::DisplayRole).toString(), QString("13"));
      QCOMPARE(model.data(model.index(12, 0), Qt::DisplayRole).toString(), QString("16"));
    }
    c->Deactivate();
    QCOMPARE(ReadBack(m_File, "SELECT Count(*) FROM Customers WHERE id IN (10, 12, 15)"), std::string("0"));
    QCOMPARE(ReadBack(m_File, "SELECT Count(*) FROM Customers"), std::string("397"));
  }

  // A detail grid shows the lines of the master grid's record, re-executed once the user stops moving.
  void detailGridFollowsTheMasterGrid() {
    KVSetStatementScheduler(QXMakeStatementScheduler());
    auto c = Connect(m_File);
    c->ExecuteSQL("DROP TABLE IF EXISTS Lines");
    c->ExecuteSQL("CREATE TABLE Lines (line INTEGER PRIMARY KEY, customer_id INTEGER, item VARCHAR(20))");
    c->ExecuteSQL("INSERT INTO Lines VALUES (1, 1, 'pen'), (2, 1, 'ink'), (3, 2, 'pad'), (4, 4, 'cup')");
    {
      TKVDataEditor master(Recordset(c, "SELECT * FROM Customers ORDER BY id"), "Customers");
      auto lines = Recordset(c, "SELECT * FROM Lines WHERE customer_id = :id ORDER BY line");
      lines->Properties().SetTimedReExecutionDelay(50);
      lines->SetMasterSource(KVMakeRef<TKVRecordsetMasterSource>(TKVRef<TKVOdbcRecordsetBase>(&master.Recordset())));
      TKVDataEditor detail(lines, "Lines");
      master.show();
      detail.show();
      QVERIFY(QTest::qWaitForWindowExposed(&detail));
      QCOMPARE(detail.Model().rowCount(), 2);

      // Scrolling the master's grid reads other rows, but its record stays the one chosen.
      master.Grid()->scrollToBottom();
      QTest::qWait(100);
      QCOMPARE(master.Recordset().Position(), 1);
      QCOMPARE(detail.Model().rowCount(), 2);

      master.Command(TKVDataEditor::ncNext)->trigger();
      master.Command(TKVDataEditor::ncNext)->trigger();
      master.Command(TKVDataEditor::ncNext)->trigger();  // customer 4
      QCOMPARE(detail.Model().rowCount(), 2);  // not yet: the event loop runs it
      QTRY_COMPARE(detail.Model().data(detail.Model().index(0, 2), Qt::DisplayRole).toString(), QString("cup"));
      QCOMPARE(detail.Model().rowCount(), 1);
      master.GoTo(3);
      QTRY_COMPARE(detail.Model().rowCount(), 0);

      // A line inserted in the detail grid belongs to the master's record.
      detail.Command(TKVDataEditor::ncInsert)->trigger();
      int row = detail.Model().InsertRow();
      QCOMPARE(detail.Model().data(detail.Model().index(row, 1), Qt::DisplayRole).toString(), QString("3"));
      QVERIFY(detail.Model().setData(detail.Model().index(row, 0), "5", Qt::EditRole));
      QVERIFY(detail.Model().setData(detail.Model().index(row, 2), "mug", Qt::EditRole));
      detail.Command(TKVDataEditor::ncPost)->trigger();
      QCOMPARE(detail.Model().rowCount(), 1);
      QCOMPARE(detail.Model().data(detail.Model().index(0, 2), Qt::DisplayRole).toString(), QString("mug"));
      QByteArray shots = qgetenv("DABRIX_SCREENSHOT_DIR");
      if (!shots.isEmpty()) QVERIFY(detail.grab().save(QString::fromLocal8Bit(shots) + "/data-editor-detail.png"));
      lines->SetMasterSource(nullptr);
    }
    c->Deactivate();
    KVSetStatementScheduler(nullptr);
    QCOMPARE(ReadBack(m_File, "SELECT customer_id FROM Lines WHERE item = 'mug'"), std::string("3"));
  }

  void editsInsertsAndDeletesReachTheDatabase() {
    auto c = Connect(m_File);
    {
      TKVDataEditor editor(c, "Orders");
      editor.show();
      QVERIFY(QTest::qWaitForWindowExposed(&editor));
      auto& model = editor.Model();
      QCOMPARE(model.rowCount(), 3000);
      QCOMPARE(model.columnCount(), 3);
      QCOMPARE(model.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QString("name"));
      // Only what the window shows has been read.
      QVERIFY2(model.RowsRead() > 0 && model.RowsRead() < 200, qPrintable(QString::number(model.RowsRead())));
      QCOMPARE(editor.CurrentPosition(), 1);
      QVERIFY(!editor.Command(TKVDataEditor::ncPrior)->isEnabled());

      editor.Command(TKVDataEditor::ncLast)->trigger();
      QCOMPARE(editor.CurrentPosition(), 3000);
      QCOMPARE(editor.PositionBox()->value(), 3000);
      QCOMPARE(model.data(model.index(2999, 1), Qt::DisplayRole).toString(), QString("order 3000"));
      QVERIFY(model.RowsRead() < 400);
      editor.PositionBox()->setValue(5);
      QCOMPARE(editor.CurrentPosition(), 5);
      editor.Command(TKVDataEditor::ncNext)->trigger();
      QCOMPARE(editor.CurrentPosition(), 6);
      editor.Command(TKVDataEditor::ncPrior)->trigger();

      // An edit typed into the grid, applied with the navigator.
      QVERIFY(model.flags(model.index(4, 1)) & Qt::ItemIsEditable);
      QVERIFY(model.setData(model.index(4, 1), "changed <5>", Qt::EditRole));
      QCOMPARE(model.Recordset().State(), rsEditing);
      QVERIFY(editor.Command(TKVDataEditor::ncPost)->isEnabled());
      editor.Command(TKVDataEditor::ncPost)->trigger();
      QCOMPARE(model.Recordset().State(), rsBrowsing);
      QCOMPARE(model.data(model.index(4, 1), Qt::DisplayRole).toString(), QString("changed <5>"));

      // A cancelled edit writes nothing.
      QVERIFY(model.setData(model.index(5, 2), "999", Qt::EditRole));
      editor.Command(TKVDataEditor::ncCancel)->trigger();
      QCOMPARE(model.data(model.index(5, 2), Qt::DisplayRole).toString(), QString("60"));

      // Insert a record.
      editor.Command(TKVDataEditor::ncInsert)->trigger();
      QCOMPARE(model.Recordset().State(), rsInserting);
      QCOMPARE(model.rowCount(), 3001);
      int row = model.InsertRow();
      QCOMPARE(editor.CurrentPosition(), row + 1);
      QVERIFY(model.setData(model.index(row, 0), "5001", Qt::EditRole));
      QVERIFY(model.setData(model.index(row, 1), "new order", Qt::EditRole));
      editor.Command(TKVDataEditor::ncPost)->trigger();
      QCOMPARE(model.Recordset().State(), rsBrowsing);
      QCOMPARE(model.rowCount(), 3001);

      // Deleting asks first; No keeps the record.
      editor.GoTo(2);
      g_Asked.clear();
      g_Answers = {KV_IDNO};
      editor.Command(TKVDataEditor::ncDelete)->trigger();
      QCOMPARE(g_Asked.size(), size_t(1));
      QCOMPARE(g_Asked[0], std::string("Delete current record ?"));
      QCOMPARE(model.rowCount(), 3001);
      g_Answers = {KV_IDYES};
      editor.Command(TKVDataEditor::ncDelete)->trigger();
      QCOMPARE(model.rowCount(), 3000);
      QCOMPARE(editor.CurrentPosition(), 2);
      QCOMPARE(model.data(model.index(1, 0), Qt::DisplayRole).toString(), QString("3"));

      // While a record is edited the rows around it still show (the cursor stays on the edited one).
      editor.GoTo(4);
      QVERIFY(model.setData(model.index(3, 1), "typed, not yet applied", Qt::EditRole));
      QCOMPARE(model.data(model.index(5, 1), Qt::DisplayRole).toString(), QString("order 7"));
      QCOMPARE(model.data(model.index(2, 1), Qt::DisplayRole).toString(), QString("order 4"));
      QCOMPARE(model.Recordset().Position(), 4);
      // For the documentation: scripts/screenshots.sh names a folder.
      QByteArray shots = qgetenv("DABRIX_SCREENSHOT_DIR");
      if (!shots.isEmpty()) QVERIFY(editor.grab().save(QString::fromLocal8Bit(shots) + "/data-editor.png"));
      editor.Command(TKVDataEditor::ncCancel)->trigger();
      QCOMPARE(model.data(model.index(3, 1), Qt::DisplayRole).toString(), QString("changed <5>"));
    }
    c->Deactivate();
    QCOMPARE(ReadBack(m_File, "SELECT name FROM Orders WHERE id = 5"), std::string("changed <5>"));
    QCOMPARE(ReadBack(m_File, "SELECT amount FROM Orders WHERE id = 6"), std::string("60"));
    QCOMPARE(ReadBack(m_File, "SELECT name FROM Orders WHERE id = 5001"), std::string("new order"));
    QCOMPARE(ReadBack(m_File, "SELECT Count(*) FROM Orders WHERE id = 2"), std::string("0"));
    QCOMPARE(ReadBack(m_File, "SELECT Count(*) FROM Orders"), std::string("3000"));
  }

  // A recordset node's context menu opens the editor on its table, through the database node's connection.
  void contextMenuOfRecordsetNodeOpensEditor() {
    TQXSettings settings(QXStd(m_Dir.filePath("settings.PRS")));
    TQXMainWindow w(&settings);
    w.StartUp({}, false);
    w.show();
    w.TreeAction(TQXMainWindow::tcAddSourceDatabase)->trigger();
    w.Tree().Selected()->DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(
        "Driver=SQLite3;Database=" + QXStd(m_File));
    w.TreeAction(TQXMainWindow::tcAddSourceRecordset)->trigger();
    auto* rs = w.Tree().Selected()->DataAs<TQXDRecordsetData>();
    QVERIFY(rs);
    rs->SetTableName("Orders");
    QStringList entries;
    bool enabled = false;
    QTimer::singleShot(50, this, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      for (QAction* a : menu->actions()) {
        entries << a->text();
        if (a->text() == "Edit Data") {
          enabled = a->isEnabled();
          a->trigger();
        }
      }
      menu->close();
    });
    emit w.TreeWidget()->customContextMenuRequested(QPoint(5, 5));
    QVERIFY2(entries.contains("Edit Data"), qPrintable(entries.join("|")));
    QVERIFY(enabled);
    TKVDataEditor* editor = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* e = qobject_cast<TKVDataEditor*>(top)) editor = e;
    QVERIFY(editor);
    QCOMPARE(editor->Model().rowCount(), 3000);
    QCOMPARE(editor->windowTitle(), QString("Edit Data - Orders"));
    editor->close();  // deletes itself
    QTest::qWait(10);
  }
};

int RunDataEditorTest(int argc, char** argv) {
  DataEditorTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "DataEditorTest.moc"
