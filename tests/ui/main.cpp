// Runs every window test class on one application object.
#include <QApplication>
#include <QTest>

#include "ui/QXUiCommon.h"

int RunMainWindowTest(int argc, char** argv);
int RunDocumentAndPagesTest(int argc, char** argv);
int RunRunWindowsTest(int argc, char** argv);
int RunSchemaPagesTest(int argc, char** argv);
int RunProblemReportTest(int argc, char** argv);
int RunDataEditorTest(int argc, char** argv);

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QXInitUiResources();
  int failed = 0;
  failed += RunMainWindowTest(argc, argv);
  failed += RunDocumentAndPagesTest(argc, argv);
  failed += RunRunWindowsTest(argc, argv);
  failed += RunSchemaPagesTest(argc, argv);
  failed += RunProblemReportTest(argc, argv);
  failed += RunDataEditorTest(argc, argv);
  return failed == 0 ? 0 : 1;
}
