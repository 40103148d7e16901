// The information dialog's "Problem Report": the report file reaches a mail draft (or the file manager, or
// at least the user's knowledge) with the recent errors in it; nothing is sent.
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include "ui/QXMainWindow.h"
#include "ui/QXProblemReport.h"
#include "ui/QXUiCommon.h"

namespace {
std::vector<std::string> g_Messages;
int Note(const std::string& text, TKVSeverity, TKVMsgButtons) {
  g_Messages.push_back(text);
  return KV_IDOK;
}

struct TStarted {
  QString Program;
  QStringList Arguments;
};

QString Gunzip(const QString& file) {
  QProcess p;
  p.start("gzip", {"-dc", file});
  p.waitForFinished(20000);
  return QString::fromUtf8(p.readAllStandardOutput());
}
}  // namespace

class ProblemReportTest : public QObject {
  Q_OBJECT

  QTemporaryDir m_Dir;
  QByteArray m_OldTmp;
  std::unique_ptr<TQXSettings> m_Settings;
  std::vector<TStarted> m_Started;
  QStringList m_Installed;

  void InstallLauncher() {
    QXSetDesktopLauncher({[this](const QString& p) { return m_Installed.contains(p) ? "/usr/bin/" + p : QString(); },
                          [this](const QString& p, const QStringList& a) {
                            m_Started.push_back({p, a});
                            return true;
                          }});
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_Dir.isValid());
    m_OldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_Dir.path().toUtf8());  // the reports land in this test's folder
    KVSetMessageDialogProc(Note);
    m_Settings = std::make_unique<TQXSettings>(QXStd(m_Dir.filePath("settings.PRS")));
    InstallLauncher();
  }
  void cleanupTestCase() {
    QXSetDesktopLauncher({});
    KVSetMessageDialogProc({});
    KVClearRecentErrors();
    if (m_OldTmp.isNull()) qunsetenv("TMPDIR");
    else qputenv("TMPDIR", m_OldTmp);
  }
  void init() {
    g_Messages.clear();
    m_Started.clear();
  }

  // From the information dialog's button to a draft with the file attached; the error shown earlier is in
  // the file with its detailed text.
  void buttonOpensMailDraftWithReport() {
    m_Installed = {"xdg-email", "xdg-open"};
    KVClearRecentErrors();
    KVHandleException(EKVException("Could not open <Orders> & \"Items\"", "Demo", "TKVOdbcDatabase", "Connect"));
    g_Messages.clear();

    TQXMainWindow w(m_Settings.get());
    w.StartUp({}, false);
    w.show();
    bool enabled = false, clicked = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!dlg) return;
      poll.stop();
      auto* report = dlg->findChild<QPushButton*>("ProblemReport");
      if (report) {
        enabled = report->isEnabled();
        report->click();
        clicked = true;
      }
      dlg->accept();
    });
    poll.start();
    w.Command(cmdInformation)->trigger();
    QVERIFY(clicked);
    QVERIFY(enabled);

    QCOMPARE(m_Started.size(), size_t(1));
    QCOMPARE(m_Started[0].Program, QString("/usr/bin/xdg-email"));
    const QStringList& a = m_Started[0].Arguments;
    int attach = a.indexOf("--attach");
    QVERIFY(attach >= 0 && attach + 1 < a.size());
    QVERIFY(a.contains("--subject"));
    QString file = a[attach + 1];
    QVERIFY2(file.startsWith(m_Dir.path() + "/"), qPrintable(file));
    QVERIFY(file.endsWith(".xml.gz"));
    struct stat st {};
    QCOMPARE(stat(file.toLocal8Bit().constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);

    QString xml = Gunzip(file);
    QVERIFY2(xml.startsWith("<?xml"), qPrintable(xml.left(200)));
    QVERIFY2(xml.contains("Could not open &lt;Orders&gt; &amp; &quot;Items&quot;"), qPrintable(xml));
    QVERIFY(xml.contains("TKVOdbcDatabase"));
    QVERIFY(xml.contains("<Library name=\"Qt\">" + QString(qVersion()) + "</Library>"));
    QVERIFY(xml.contains("<Library name=\"libsodium\">"));

    QCOMPARE(g_Messages.size(), size_t(1));
    QVERIFY(QXStr(g_Messages[0]).contains("Nothing has been sent"));
    QVERIFY(QXStr(g_Messages[0]).contains(file));
  }

  // Without a mail helper the folder is shown; without any helper the user is told where the file is.
  void fallbacksShowFolderOrName() {
    m_Installed = {"xdg-open"};
    QString file = QXCreateProblemReport(nullptr);
    QVERIFY(QFileInfo(file).isFile());
    QCOMPARE(m_Started.size(), size_t(1));
    QCOMPARE(m_Started[0].Program, QString("/usr/bin/xdg-open"));
    QCOMPARE(m_Started[0].Arguments, QStringList{QFileInfo(file).absolutePath()});
    QVERIFY(QXStr(g_Messages.back()).contains(file));

    m_Started.clear();
    m_Installed = {};
    QString second = QXCreateProblemReport(nullptr);
    QVERIFY(QFileInfo(second).isFile());
    QVERIFY(second != file);  // every report gets its own private folder
    QVERIFY(m_Started.empty());
    QVERIFY(QXStr(g_Messages.back()).contains(second));
    QVERIFY(QXStr(g_Messages.back()).contains("attach this file to an e-mail yourself"));
  }
};

int RunProblemReportTest(int argc, char** argv) {
  ProblemReportTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ProblemReportTest.moc"
