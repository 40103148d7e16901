#include "ui/QXProblemReport.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtGlobal>

#include "diagnostics/KVProblemReport.h"
#include "foundation/KVExceptions.h"
#include "ui/QXUiCommon.h"

namespace {
TQXDesktopLauncher& Launcher() {
  static TQXDesktopLauncher launcher;
  return launcher;
}

QString FindProgram(const QString& program) {
  if (Launcher().Find) return Launcher().Find(program);
  return QStandardPaths::findExecutable(program);
}

bool StartProgram(const QString& program, const QStringList& arguments) {
  if (Launcher().Start) return Launcher().Start(program, arguments);
  return QProcess::startDetached(program, arguments);
}
}  // namespace

TQXDesktopLauncher QXSetDesktopLauncher(TQXDesktopLauncher launcher) {
  TQXDesktopLauncher old = Launcher();
  Launcher() = std::move(launcher);
  return old;
}

QString QXCreateProblemReport(QWidget*) {
  std::string path;
  try {
    TKVProblemReportData data =
        KVGatherProblemReport(QXStd(QXProgramName()), DABRIX_VERSION, {{"Qt", qVersion()}, {"Qt (built with)", QT_VERSION_STR}});
    path = KVWriteProblemReportFile(KVProblemReportXml(data));
  } catch (const std::exception& e) {
    KVHandleException(e);
    return {};
  }
  QString file = QXStr(path);
  QString folder = QFileInfo(file).absolutePath();
  QString mail = FindProgram("xdg-email");
  if (!mail.isEmpty() &&
      StartProgram(mail, {"--utf8", "--subject", QXProgramName() + " " + DABRIX_VERSION + " problem report",
                          "--body",
                          "Please describe what you did when the problem occurred.\n\nThe attached report holds "
                          "the last error messages, the program and library versions, the loaded plug-ins "
                          "and the operating system.",
                          "--attach", file})) {
    KVShowMessage("An e-mail draft with the problem report attached has been opened. Nothing has been sent: "
                  "you decide yourself if and when to send it.\r\n\r\nThe report is saved as \"" + path + "\"",
                  TKVSeverity::Information);
    return file;
  }
  QString open = FindProgram("xdg-open");
  if (!open.isEmpty() && StartProgram(open, {folder})) {
    KVShowMessage("No e-mail program could be opened. The problem report is saved as \"" + path +
                      "\"; its folder is shown so that you can attach it to an e-mail yourself",
                  TKVSeverity::Information);
    return file;
  }
  KVShowMessage("No e-mail program could be opened. The problem report is saved as \"" + path +
                    "\"; attach this file to an e-mail yourself",
                TKVSeverity::Information);
  return file;
}
