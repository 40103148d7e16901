#pragma once
// Pieces every window of the desktop program shares: the drawn images of node kinds, state images and
// commands, colours given as COLORREF values, the message dialog the core asks its questions through, the
// dialog animation of the user settings, and the system clipboard behind the subtree clipboard.
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

#include <optional>
#include <string>

#include "definition/QXDClipboard.h"
#include "foundation/KVExceptions.h"

class QDialog;
class QWidget;

// Makes the compiled-in images available (once per process; the library is static).
void QXInitUiResources();

// Node image 0..6 of the node kind table (source database, source recordset, destination database,
// destination recordset, destination field, function, destination field used for locating).
QIcon QXNodeIcon(int image);
// State image 1..4: active unchecked, active checked, inactive unchecked, inactive checked.
QPixmap QXStatePixmap(int stateImage, qreal devicePixelRatio = 1.0);
// A command image by its file name without extension ("cmd_run").
QIcon QXImageIcon(const char* name);
QIcon QXAppIcon();

// A COLORREF (0x00BBGGRR) as a colour.
inline QColor QXColor(uint32_t colorRef) {
  return QColor(int(colorRef & 0xFF), int((colorRef >> 8) & 0xFF), int((colorRef >> 16) & 0xFF));
}

inline QString QXStr(const std::string& s) { return QString::fromStdString(s); }
inline std::string QXStd(const QString& s) { return s.toStdString(); }

// The program's name as the caption shows it (the program file's name without folder and extension).
QString QXProgramName();

// Installs the message dialog over QMessageBox as the core's routine for questions and messages.
// The severity names the caption and the icon; the button set maps to the dialog's buttons and the
// pressed one is answered with the core's result codes.
void QXInstallMessageDialog();
// The message box itself (also used by the windows directly).
int QXMessageBox(QWidget* parent, const std::string& text, TKVSeverity severity, TKVMsgButtons buttons);

// Applies the dialog animation of the user settings (values 12 and 13) to every dialog opened later.
void QXApplyDialogAnimation(int animation, int durationMs);
// Makes a dialog open with the configured animation (called by the dialogs of this program).
void QXAnimateDialog(QDialog* dialog);
int QXDialogAnimation();
int QXDialogAnimationDuration();

// The subtree clipboard on the system clipboard: one image under the node kind's format name, so that a
// subtree copied in one running program pastes into another.
class TQXSystemClipboard : public IQXDClipboard {
 public:
  void SetImage(const std::string& format, const std::string& bytes) override;
  bool HasFormat(const std::string& format) const override;
  std::optional<std::string> GetImage(const std::string& format) const override;
};

// The drag payload of a field value function (its id as braced text) and of a node moved in a tree.
inline constexpr const char* kQXFunctionMime = "application/x-dabrix-function";
inline constexpr const char* kQXNodeMime = "application/x-dabrix-node";
