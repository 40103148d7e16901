// dabrix: the desktop program. Builds, edits, saves and opens reorganization definitions.
#include <QApplication>
#include <QTimer>

#include "plugin_host/KVPluginMgr.h"
#include "ui/QXMainWindow.h"
#include "ui/QXStatementScheduler.h"
#include "ui/QXUiCommon.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("dabrix");
  QApplication::setApplicationDisplayName("Dabrix");
  QApplication::setApplicationVersion(DABRIX_VERSION);
  QApplication::setDesktopFileName("dabrix");
  QXInitUiResources();
  QApplication::setWindowIcon(QXAppIcon());
  QXInstallMessageDialog();
  QXInstallStatementScheduler();
  int rc = 0;
  {
    TQXMainWindow window;
    window.show();
    QStringList arguments = QApplication::arguments().mid(1);
    // The plug-ins load and the document opens once the window is on screen.
    QTimer::singleShot(0, &window, [&window, arguments] { window.StartUp(arguments); });
    rc = app.exec();
  }
  KVSetMessageDialogProc({});
  KVSetStatementScheduler(nullptr);
  // Plug-in objects go before their modules are unloaded.
  KVReleasePlugins();
  return rc;
}
