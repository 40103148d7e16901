// "Edit Data" on a real SQLite database: the grid reads only the rows it shows, and edits, inserts and
// confirmed deletions made through the navigator are in the database afterwards.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>

#include "db/KVOdbcConnection.h"
#include "definition/QXDTree.h"
#include "ui/KVDataEditor.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXMainWindow.h"
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
