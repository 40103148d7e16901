#pragma once
// The information dialog's "Problem Report": the report file is made and handed to the user's mail program
// as a draft with the file attached; the user decides whether and when to send it.
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// How desktop helpers are found and started; replaceable so the window tests need no desktop session.
struct TQXDesktopLauncher {
  std::function<QString(const QString& program)> Find;  // full path, or empty when not installed
  std::function<bool(const QString& program, const QStringList& arguments)> Start;  // detached
};
// Installs a launcher; an empty member restores the real one. Returns the previous launcher.
TQXDesktopLauncher QXSetDesktopLauncher(TQXDesktopLauncher launcher);

// Writes the report (into a private folder under the temp folder), opens the mail draft with
// `xdg-email`, else shows the file's folder with `xdg-open`, and tells the user where the file is.
// Returns the file's path, or an empty string when it could not be written (the user has been told why).
QString QXCreateProblemReport(QWidget* parent);
