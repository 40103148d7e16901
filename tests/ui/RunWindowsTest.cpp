// Runs from the main window: the shop demo run on the worker thread with its progress dialog and the
// coloured report, a cancel during the first record, "Ask User" answered No, the SQL parameter dialog's
// historic values, and the validation block in the report window.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <deque>
#include <memory>
#include <thread>

#include "definition/QXDTree.h"
#include "definition/QXSettings.h"
#include "engine/QXValidate.h"
#include "plugin_host/FVFunc.h"
#include "plugin_host/KVPluginMgr.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXMainWindow.h"
#include "ui/QXRunWindows.h"
#include "ui/QXUiCommon.h"

namespace {
// The scripted user: answers in order; remembers every text and what was on the screen when asked.
struct TAsked {
  std::string Text;
  bool OnUiThread = false;
  bool ProgressShown = false;
};
std::deque<int> g_Answers;
std::vector<TAsked> g_Asked;

int Answer(const std::string& text, TKVSeverity, TKVMsgButtons buttons) {
  TAsked a;
  a.Text = text;
  a.OnUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<TKVProgressDlg*>(w) && w->isVisible()) a.ProgressShown = true;
  g_Asked.push_back(a);
  if (g_Answers.empty()) return buttons == TKVMsgButtons::Ok ? KV_IDOK : KV_IDCANCEL;
  int r = g_Answers.front();
  g_Answers.pop_front();
  return r;
}

// One line of the report window: its text and the colour and weight of each of its fragments.
struct TShownLine {
  QString Text;
  std::vector<std::pair<QColor, bool>> Runs;
  int HeadingLevel = 0;
};

std::vector<TShownLine> ShownLines(QTextEdit* editor) {
  std::vector<TShownLine> lines;
  for (QTextBlock b = editor->document()->begin(); b.isValid(); b = b.next()) {
    TShownLine l;
    l.Text = b.text();
    l.HeadingLevel = b.blockFormat().headingLevel();
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      QTextCharFormat f = it.fragment().charFormat();
      l.Runs.emplace_back(f.foreground().color(), f.fontWeight() >= QFont::Bold);
    }
    lines.push_back(l);
  }
  return lines;
}

const QColor kNavy(0, 0, 128), kDarkRed(128, 0, 0), kRed(255, 0, 0), kBlack(0, 0, 0), kGreen(0, 128, 0);
}  // namespace

class RunWindowsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_Dir;
  QString m_OldCurrent;
  std::unique_ptr<TQXSettings> m_Settings;

  QString Path(const QString& name) const { return m_Dir.filePath(name); }
  static QString Cli() { return QString(DABRIX_BIN_DIR) + "/dabrix-cli"; }

  // Fresh demo databases in the working folder, where the definition looks for them.
  static bool MakeDatabases() {
    QProcess make;
    make.start("bash", {QString(DABRIX_SOURCE_DIR) + "/examples/shop/make-databases.sh", Cli(), QDir::currentPath()});
    return make.waitForFinished(60000) && make.exitCode() == 0;
  }
  static QString Query(const QString& db, const QString& sql) {
    QProcess q;
    q.start(Cli(), {"query", "Driver=SQLite3;Database=" + QDir::current().filePath(db), sql});
    q.waitForFinished(30000);
    return QString::fromUtf8(q.readAllStandardOutput());
  }

  std::unique_ptr<TQXMainWindow> ShopWindow() {
    auto w = std::make_unique<TQXMainWindow>(m_Settings.get());
    w->StartUp({}, false);
    w->show();
    if (!w->OpenDocument(QString(DABRIX_SOURCE_DIR) + "/examples/shop/shop.qxt")) return nullptr;
    return w;
  }
  static TQXRunWindows* Runs(TQXMainWindow& w) { return w.findChild<TQXRunWindows*>(); }
  static QTextEdit* ReportEditor(TQXMainWindow& w) { return Runs(w)->ReportWindow()->Editor(); }

 private slots:
  void initTestCase() {
    QVERIFY(m_Dir.isValid());
    m_OldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_Dir.path()));
    KVSetMessageDialogProc(Answer);
    m_Settings = std::make_unique<TQXSettings>(QXStd(Path("settings.PRS")));
    LoadPlugins("*.qxp", "PluginCreateObject");
    RebuildFunctionRegistry();
  }
  void cleanupTestCase() {
    KVSetMessageDialogProc({});
    KVReleasePlugins();
    QDir::setCurrent(m_OldCurrent);
  }
  void init() {
    g_Answers.clear();
    g_Asked.clear();
    m_Settings->SetErrorAction(0);
    QVERIFY(MakeDatabases());
  }

  // The demo run from the command: the progress dialog during the run, then the report window line by
  // line (texts, colours, weights, headings); a second run adds its block below the first.
  void shopDemoRunShowsTheColouredReport() {
    auto w = ShopWindow();
    QVERIFY(w);
    TQXRunWindows* runs = Runs(*w);
    QVERIFY(runs);
    QString caption, overallAtEnd, operationAtEnd;
    bool modal = false, cancelEnabled = false;
    connect(runs, &TQXRunWindows::RunStarting, this, [&](TKVProgressDlg* dlg) {
      caption = dlg->windowTitle();
      modal = dlg->isModal() && dlg->isVisible();
      cancelEnabled = dlg->CancelButton()->isEnabled();
      connect(dlg, &QDialog::finished, this, [&, dlg] {
        overallAtEnd = dlg->OverallText();
        operationAtEnd = dlg->OperationText();
      });
    });
    QVERIFY(w->Command(cmdStartReorganization)->isEnabled());
    w->Command(cmdStartReorganization)->trigger();
    QCOMPARE(caption, QString("Executing data reorganization ..."));
    QVERIFY(modal);
    QVERIFY(cancelEnabled);
    QCOMPARE(overallAtEnd, QString("Overall Progress  100 %"));
    QCOMPARE(operationAtEnd, QString("Reading Data From: Shop.order lines"));
    QCOMPARE(runs->LastExecuter()->Result(), TQXRunResult::Completed);
    QVERIFY2(g_Asked.empty(), g_Asked.empty() ? "" : g_Asked[0].Text.c_str());
    QVERIFY(runs->ReportWindow()->isVisible());

    std::vector<TShownLine> l = ShownLines(ReportEditor(*w));
    // 23 lines, and the empty one after the last line break.
    QCOMPARE(l.size(), size_t(24));
    // The window shows exactly the report's text.
    QCOMPARE(ReportEditor(*w)->toPlainText(), QXStr(QXReportPlainText(w->ValidationReport())));
    QCOMPARE(l[0].Text, QString());
    QCOMPARE(l[1].Text, QString());
    QVERIFY(l[2].Text.startsWith("Operation Started: "));
    QCOMPARE(l[3].Text, QString(l[2].Text.size(), '='));
    for (int i : {2, 3}) {
      QCOMPARE(l[i].Runs.size(), size_t(1));
      QCOMPARE(l[i].Runs[0].first, kNavy);
      QVERIFY(l[i].Runs[0].second);
      QCOMPARE(l[i].HeadingLevel, 2);
    }
    QVERIFY(l[4].Text.endsWith(" Reading Data From: Shop.customers"));
    QCOMPARE(l[4].Runs[0], std::make_pair(kDarkRed, false));
    QCOMPARE(l[4].HeadingLevel, 0);
    QCOMPARE(l[5].Text, QString("   Table \"clients\":\t4 Records Inserted\t1 Records Edited\t1 Records Skipped"));
    QCOMPARE(l[6].Text, QString("   Records Read: 6"));
    QCOMPARE(l[7].Text, QString("   Transactions: 1"));
    QVERIFY(l[8].Text.startsWith("   Duration: "));
    QVERIFY(l[9].Text.startsWith("   WriteDestRS: "));
    QVERIFY(l[10].Text.startsWith("   Total: "));
    for (int i = 5; i <= 10; ++i) QCOMPARE(l[i].Runs[0], std::make_pair(kNavy, false));
    QVERIFY(l[11].Text.endsWith(" Reading Data From: Shop.order lines"));
    QCOMPARE(l[12].Text, QString("   Table \"orders\":\t4 Records Inserted\t3 Records Edited\t0 Records Skipped"));
    QCOMPARE(l[13].Text, QString("   Table \"order_lines\":\t7 Records Inserted\t0 Records Edited\t0 Records Skipped"));
    QCOMPARE(l[14].Text, QString("   Records Read: 7"));
    QVERIFY(l[18].Text.startsWith("   Total: "));
    for (int i = 19; i <= 21; ++i) QCOMPARE(l[i].Text, QString());
    QVERIFY(l[22].Text.startsWith("Total Operation Duration: "));
    QCOMPARE(l[22].Runs[0], std::make_pair(kNavy, true));
    QCOMPARE(l[22].HeadingLevel, 2);
    // What the engine wrote reached the destination.
    QVERIFY(Query("shop-dest.db", "SELECT COUNT(*) FROM order_lines").contains("7"));

    // The second run grows the protocol; the first block stays as it was.
    size_t first = l.size();
    w->Command(cmdStartReorganization)->trigger();
    std::vector<TShownLine> l2 = ShownLines(ReportEditor(*w));
    QCOMPARE(l2.size(), first + 23);
    QCOMPARE(l2[4].Text, l[4].Text);
    QVERIFY(l2[first + 1].Text.startsWith("Operation Started: "));
    // Now everything is found and edited.
    QCOMPARE(l2[first + 4].Text, QString("   Table \"clients\":\t0 Records Inserted\t5 Records Edited\t1 Records Skipped"));

    // Save as RTF and as plain text, copy, clear.
    TKVReportDlg* dlg = runs->ReportWindow();
    dlg->SaveFileDialog = [this] { return Path("report.rtf"); };
    dlg->SaveAction()->trigger();
    dlg->SaveFileDialog = [this] { return Path("report.txt"); };
    dlg->SaveAction()->trigger();
    QFile rtf(Path("report.rtf")), txt(Path("report.txt"));
    QVERIFY(rtf.open(QIODevice::ReadOnly));
    QByteArray rtfText = rtf.readAll();
    QVERIFY(rtfText.startsWith("{\\rtf1"));
    QVERIFY(rtfText.contains("\\b "));
    QVERIFY(txt.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(txt.readAll()), ReportEditor(*w)->toPlainText());
    dlg->CopyAction()->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), ReportEditor(*w)->toPlainText());
    dlg->SaveFileDialog = [] { return QString(); };  // cancelled: nothing happens
    dlg->SaveAction()->trigger();
    dlg->ClearAction()->trigger();
    QVERIFY(w->ValidationReport().Empty());
    QCOMPARE(ReportEditor(*w)->toPlainText(), QString());
    // An unwritable file is an error in words, and the report stays.
    w->Command(cmdStartReorganization)->trigger();
    g_Asked.clear();
    dlg->SaveFileDialog = [this] { return Path("no-such-folder/report.txt"); };
    dlg->SaveAction()->trigger();
    QCOMPARE(g_Asked.size(), size_t(1));
    QVERIFY(!w->ValidationReport().Empty());
  }

  // The cancel button pressed before the first record is read: the run stops at that record, commits
  // and reports; the second table is never read.
  void cancelDuringTheFirstRecord() {
    auto w = ShopWindow();
    QVERIFY(w);
    TQXRunWindows* runs = Runs(*w);
    bool disabledAfterPress = false, closedByEscape = false;
    connect(runs, &TQXRunWindows::RunStarting, this, [&](TKVProgressDlg* dlg) {
      dlg->CancelButton()->click();
      disabledAfterPress = !dlg->CancelButton()->isEnabled() && dlg->CancelRequested();
      // Escape while busy only asks again; the dialog stays.
      QTest::keyClick(dlg, Qt::Key_Escape);
      closedByEscape = !dlg->isVisible();
    });
    w->Command(cmdStartReorganization)->trigger();
    QVERIFY(disabledAfterPress);
    QVERIFY(!closedByEscape);
    QCOMPARE(runs->LastExecuter()->Result(), TQXRunResult::Cancelled);
    QString text = ReportEditor(*w)->toPlainText();
    QVERIFY2(text.contains("Reading Data From: Shop.customers\n"), qPrintable(text));
    QVERIFY2(text.contains("   Records Read: 1\n"), qPrintable(text));
    QVERIFY(!text.contains("Shop.order lines"));
    QVERIFY(text.contains("Total Operation Duration: "));
    QVERIFY(g_Asked.empty());
    QVERIFY(Query("shop-dest.db", "SELECT COUNT(*) FROM orders").contains("0"));
    // The dialog left its place in the settings.
    IKVStorage& st = m_Settings->Data();
    std::string keep = st.GetCurrentDir();
    QVERIFY(st.OpenDir(kQXProgressDlgDir, false));
    QVERIFY(st.ReadInteger("Width", -1) > 0);
    st.OpenDir(keep.empty() ? "\\" : keep, false);
  }

  // A wait notice from another thread (the run's watch) covers the operation text until it is taken back.
  void waitNoticeCoversTheOperationText() {
    TKVProgressDlg dlg(m_Settings.get());
    std::thread([&] {
      dlg.NextOperation("Reading Data From: Shop.customers");
      dlg.ShowWaiting("Waiting for \"Shop.clients\" (locked by another connection?), at most 30 s");
    }).join();
    QTRY_COMPARE(dlg.OperationText(), QString("Waiting for \"Shop.clients\" (locked by another connection?), at most 30 s"));
    std::thread([&] { dlg.ShowWaiting(""); }).join();
    QTRY_COMPARE(dlg.OperationText(), QString("Reading Data From: Shop.customers"));
    dlg.RunFinished();
  }

  // A client already in the destination under the number the run inserts: "Ask User" asks on the user
  // interface thread while the progress dialog is up; No ends the run, and its error is shown after the
  // dialog closed.
  void askUserAnsweredNo() {
    Query("shop-dest.db", "INSERT INTO clients (client_id, email) VALUES (1, 'someone@example.net')");
    m_Settings->SetErrorAction(1);
    auto w = ShopWindow();
    QVERIFY(w);
    g_Answers = {KV_IDNO};
    w->Command(cmdStartReorganization)->trigger();
    QCOMPARE(g_Asked.size(), size_t(2));
    QVERIFY2(QXStr(g_Asked[0].Text).endsWith("\r\n\r\nContinue Operation ?"), g_Asked[0].Text.c_str());
    QVERIFY(g_Asked[0].OnUiThread);
    QVERIFY(g_Asked[0].ProgressShown);
    QVERIFY(g_Asked[1].OnUiThread);
    QVERIFY(!g_Asked[1].ProgressShown);
    QVERIFY(QXStr(g_Asked[0].Text).startsWith(QXStr(g_Asked[1].Text).section("\r\n", 0, 0).left(20)));
    QCOMPARE(Runs(*w)->LastExecuter()->Result(), TQXRunResult::Failed);
    std::vector<TShownLine> l = ShownLines(ReportEditor(*w));
    int red = 0;
    for (const TShownLine& line : l)
      if (!line.Runs.empty() && line.Runs[0].first == kRed) {
        ++red;
        QVERIFY(line.Text.startsWith("   "));
        QVERIFY(!line.Runs[0].second);
      }
    QCOMPARE(red, 1);
    QVERIFY(ReportEditor(*w)->toPlainText().contains("   Records Read: 1\n"));
    QVERIFY(!ReportEditor(*w)->toPlainText().contains("Shop.order lines"));
  }

  // The parameter dialog: the entry's value first, else the text last entered for that name; what was
  // typed is kept also when cancelled; the hint area remembers being hidden.
  void parameterDialogOffersHistoricValues() {
    m_Settings->SetHistoricValue("City", "'Paris'");
    m_Settings->SetHistoricValue("Id", "3");
    m_Settings->SetParameterHintVisible(true);
    TKVNameAndValueList params = {{"City", ""}, {"Id", "7"}, {"Other", ""}};
    {
      TQXParameterDlg dlg(*m_Settings, params);
      QCOMPARE(dlg.windowTitle(), QString("Assign SQL Parameter Values"));
      QCOMPARE(dlg.RowCount(), size_t(3));
      QCOMPARE(dlg.Field(0)->text(), QString("'Paris'"));
      QCOMPARE(dlg.Field(1)->text(), QString("7"));
      QCOMPARE(dlg.Field(2)->text(), QString());
      dlg.show();
      QVERIFY(dlg.HintArea()->isVisible());
      dlg.Field(2)->setText("42");
      dlg.Field(0)->setText("'Rome'");
      dlg.reject();
    }
    // Cancelled: the entries keep their values, the typed texts are historic now.
    QCOMPARE(params[0].Value, std::string());
    QCOMPARE(params[2].Value, std::string());
    QCOMPARE(m_Settings->HistoricValue("Other"), std::string("42"));
    QCOMPARE(m_Settings->HistoricValue("City"), std::string("'Rome'"));
    QCOMPARE(m_Settings->HistoricValue("Id"), std::string("7"));
    params = {{"City", ""}, {"Id", ""}, {"Other", ""}};
    {
      TQXParameterDlg dlg(*m_Settings, params);
      QCOMPARE(dlg.Field(0)->text(), QString("'Rome'"));
      QCOMPARE(dlg.Field(1)->text(), QString("7"));
      QCOMPARE(dlg.Field(2)->text(), QString("42"));
      dlg.show();
      dlg.HideHintButton()->click();
      QVERIFY(!dlg.HintArea()->isVisible());
      dlg.Field(1)->setText("8");
      dlg.accept();
    }
    QCOMPARE(params[0].Value, std::string("'Rome'"));
    QCOMPARE(params[1].Value, std::string("8"));
    QCOMPARE(params[2].Value, std::string("42"));
    QVERIFY(!m_Settings->ParameterHintVisible());
    {
      TQXParameterDlg dlg(*m_Settings, params);
      dlg.show();
      QVERIFY(!dlg.HintArea()->isVisible());
    }
    m_Settings->SetParameterHintVisible(true);
  }

  // A run whose source uses an SQL parameter asks for it on the user interface thread before reading;
  // the value typed is used and offered the next time; cancelling the dialog reads and writes nothing.
  void runAsksForItsParameters() {
    auto w = ShopWindow();
    QVERIFY(w);
    TKVTreeItem* customers = w->Tree().FirstTopLevel()->FirstChildItem();
    auto* rs = dynamic_cast<TQXDRecordsetData*>(QXDData(customers));
    QVERIFY(rs);
    rs->SetSQL("SELECT id, name, email, phone, city FROM customers WHERE id <= :MaxId ORDER BY id");
    m_Settings->SetHistoricValue("MaxId", "");
    QString offered;
    bool onUiThread = false, accept = true;
    QTimer answer;
    answer.setInterval(20);
    connect(&answer, &QTimer::timeout, this, [&] {
      for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* dlg = qobject_cast<TQXParameterDlg*>(top); dlg && dlg->isVisible()) {
          onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
          offered = dlg->Field(0)->text();
          dlg->Field(0)->setText("2");
          if (accept)
            dlg->accept();
          else
            dlg->reject();
        }
    });
    answer.start();
    w->Command(cmdStartReorganization)->trigger();
    QVERIFY(onUiThread);
    QCOMPARE(offered, QString());
    QCOMPARE(Runs(*w)->LastExecuter()->Result(), TQXRunResult::Completed);
    QString text = ReportEditor(*w)->toPlainText();
    QVERIFY2(text.contains("   Records Read: 2\n"), qPrintable(text));
    QCOMPARE(m_Settings->HistoricValue("MaxId"), std::string("2"));

    accept = false;
    offered.clear();
    w->Command(cmdStartReorganization)->trigger();
    QCOMPARE(offered, QString("2"));
    QCOMPARE(Runs(*w)->LastExecuter()->Result(), TQXRunResult::ParametersCancelled);
    QString after = ReportEditor(*w)->toPlainText().mid(text.size());
    QVERIFY2(after.contains("Operation Started: "), qPrintable(after));
    QVERIFY(after.contains("Total Operation Duration: "));
    QVERIFY(!after.contains("Reading Data From"));
    QVERIFY(g_Asked.empty());
  }

  // The document remembers whether the report window was open; opening a document frees the report.
  void reportWindowStateGoesWithTheDocument() {
    auto w = ShopWindow();
    QVERIFY(w);
    w->Command(cmdStartReorganization)->trigger();
    QVERIFY(Runs(*w)->ExistingReportWindow()->isVisible());
    w->FileDialog = [this](bool, const QString&, const QString&) { return Path("saved.qxt"); };
    QVERIFY(w->SaveDocumentAs());
    auto w2 = std::make_unique<TQXMainWindow>(m_Settings.get());
    w2->StartUp({}, false);
    w2->show();
    QVERIFY(w2->OpenDocument(Path("saved.qxt")));
    QVERIFY(Runs(*w2)->ExistingReportWindow());
    QVERIFY(Runs(*w2)->ExistingReportWindow()->isVisible());
    QCOMPARE(ReportEditor(*w2)->toPlainText(), QString());
    QVERIFY(w->OpenDocument(QString(DABRIX_SOURCE_DIR) + "/examples/shop/shop.qxt"));
    QVERIFY(w->ValidationReport().Empty());
    QVERIFY(!Runs(*w)->ExistingReportWindow());
  }

  // "Validate All" twice leaves one block below the run's protocol, colours the tree and selects a node's
  // result line in the report; "Clear Validation" removes the block and the colours and keeps the run.
  void validationTwiceLeavesOneBlock() {
    auto w = ShopWindow();
    QVERIFY(w);
    w->Command(cmdStartReorganization)->trigger();
    QString runText = ReportEditor(*w)->toPlainText();
    // A destination database without its tables: its recordsets fail.
    QVERIFY(QFile::remove("shop-dest.db"));
    TQXDTreeItemModel* model = w->TreeWidget()->ItemModel();
    TKVTreeItem* shop = w->Tree().FirstTopLevel();
    QVERIFY(shop);
    TKVTreeItem* clients = shop->FirstChildItem()->FirstChildItem()->FirstChildItem();
    QCOMPARE(clients->Title(), std::string("clients"));
    for (int round = 0; round < 2; ++round) {
      w->TreeAction(TQXMainWindow::tcValidateAll)->trigger();
      QTextEdit* e = ReportEditor(*w);
      QVERIFY(Runs(*w)->ReportWindow()->isVisible());
      QString text = e->toPlainText();
      QCOMPARE(text.count("Validation Started"), 1);
      QVERIFY(text.startsWith(runText));
      QCOMPARE(text, QXStr(QXReportPlainText(w->ValidationReport())));
      std::vector<TShownLine> l = ShownLines(e);
      int heading = -1;
      for (size_t i = 0; i < l.size(); ++i)
        if (l[i].Text.endsWith(": Validation Started")) heading = int(i);
      QVERIFY(heading > 0);
      QCOMPARE(l[size_t(heading)].Runs[0], std::make_pair(kNavy, true));
      QCOMPARE(l[size_t(heading)].HeadingLevel, 2);
      QCOMPARE(l[size_t(heading) + 1].Text, QString(l[size_t(heading)].Text.size(), '='));
      QCOMPARE(l[size_t(heading) + 2].Text, QString("Shop:"));
      QCOMPARE(l[size_t(heading) + 2].Runs[0], std::make_pair(kBlack, false));
      QCOMPARE(l[size_t(heading) + 3].Text, QString("Ok"));
      QCOMPARE(l[size_t(heading) + 3].Runs[0], std::make_pair(kGreen, false));
      QCOMPARE(model->data(model->IndexOf(shop), Qt::ForegroundRole).value<QColor>(), kBlack);
      QCOMPARE(model->data(model->IndexOf(clients), Qt::ForegroundRole).value<QColor>(), kRed);
      // Selecting a node selects its result line.
      w->Tree().Select(shop->FirstChildItem());
      QCOMPARE(e->textCursor().selectedText(), QString("Ok"));
      QCOMPARE(e->textCursor().blockNumber(), heading + 6);
      w->Tree().Select(clients);
      QVERIFY2(e->textCursor().selectedText().startsWith("Error: "), qPrintable(e->textCursor().selectedText()));
      // The message may run over several lines; the node's header is above its first.
      QTextBlock first = e->document()->findBlock(e->textCursor().selectionStart());
      QCOMPARE(first.previous().text(), QString("Shop.customers.Clean shop.clients:"));
      QCOMPARE(first.begin().fragment().charFormat().foreground().color(), kRed);
    }
    QVERIFY(w->TreeAction(TQXMainWindow::tcClearValidation)->isEnabled());
    w->TreeAction(TQXMainWindow::tcClearValidation)->trigger();
    QCOMPARE(ReportEditor(*w)->toPlainText(), runText);
    QCOMPARE(model->data(model->IndexOf(clients), Qt::ForegroundRole).value<QColor>(), kBlack);
    // Without a block, selecting a node selects nothing.
    w->Tree().Select(shop);
    QVERIFY(!ReportEditor(*w)->textCursor().hasSelection());
  }
};

int RunRunWindowsTest(int argc, char** argv) {
  RunWindowsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "RunWindowsTest.moc"
