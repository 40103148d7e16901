#include "ui/QXUiCommon.h"

#include <QAbstractAnimation>
#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDialog>
#include <QFileInfo>
#include <QHash>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>

#include "foundation/KVConvert.h"

static void InitResourcesOnce() { Q_INIT_RESOURCE(dabrix_ui); }

void QXInitUiResources() {
  static bool done = false;
  if (!done) {
    InitResourcesOnce();
    done = true;
  }
}

namespace {
// SVG images rendered at the screen's pixel ratio, so they stay sharp on high-DPI screens.
QPixmap Render(const QString& file, int size, qreal dpr) {
  QXInitUiResources();
  QSvgRenderer renderer(":/dabrix/" + file);
  QPixmap pm(QSize(size, size) * dpr);
  pm.fill(Qt::transparent);
  if (renderer.isValid()) {
    QPainter p(&pm);
    renderer.render(&p);
  }
  pm.setDevicePixelRatio(dpr);
  return pm;
}

QIcon SvgIcon(const QString& file) {
  static QHash<QString, QIcon> cache;
  auto it = cache.find(file);
  if (it != cache.end()) return *it;
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(Render(file, size, 1.0));
  cache.insert(file, icon);
  return icon;
}
}  // namespace

QIcon QXNodeIcon(int image) {
  if (image < 0 || image > 6) return {};
  return SvgIcon(QString("node%1.svg").arg(image));
}

QPixmap QXStatePixmap(int stateImage, qreal dpr) {
  if (stateImage < 1 || stateImage > 4) return {};
  static QHash<QString, QPixmap> cache;
  QString key = QString("%1@%2").arg(stateImage).arg(dpr);
  auto it = cache.find(key);
  if (it != cache.end()) return *it;
  QPixmap pm = Render(QString("state%1.svg").arg(stateImage), 16, dpr);
  cache.insert(key, pm);
  return pm;
}

QIcon QXImageIcon(const char* name) { return SvgIcon(QString(name) + ".svg"); }
QIcon QXAppIcon() { return SvgIcon("dabrix.svg"); }

QString QXProgramName() {
  QString path = QCoreApplication::applicationFilePath();
  QString name = path.isEmpty() ? QString("dabrix") : QFileInfo(path).completeBaseName();
  return name;
}

int QXMessageBox(QWidget* parent, const std::string& text, TKVSeverity severity, TKVMsgButtons buttons) {
  QMessageBox box(parent ? parent : QApplication::activeWindow());
  box.setWindowTitle(QString::fromUtf8(KVSeverityCaption(severity)));
  box.setText(QXStr(text).replace("\r\n", "\n"));
  switch (severity) {
    case TKVSeverity::Information: box.setIcon(QMessageBox::Information); break;
    case TKVSeverity::Confirmation: box.setIcon(QMessageBox::Question); break;
    case TKVSeverity::Warning: box.setIcon(QMessageBox::Warning); break;
    case TKVSeverity::Error: box.setIcon(QMessageBox::Critical); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  switch (buttons) {
    case TKVMsgButtons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case TKVMsgButtons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setEscapeButton(QMessageBox::No);
      break;
    case TKVMsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
  }
  QXAnimateDialog(&box);
  switch (box.exec()) {
    case QMessageBox::Yes: return KV_IDYES;
    case QMessageBox::No: return KV_IDNO;
    case QMessageBox::Cancel: return KV_IDCANCEL;
    case QMessageBox::Ok: return KV_IDOK;
    default:
      // Closed by the window manager: the safe answer of the button set.
      return buttons == TKVMsgButtons::YesNo ? KV_IDNO : buttons == TKVMsgButtons::Ok ? KV_IDOK : KV_IDCANCEL;
  }
}

void QXInstallMessageDialog() {
  KVSetMessageDialogProc([](const std::string& text, TKVSeverity severity, TKVMsgButtons buttons) {
    return QXMessageBox(nullptr, text, severity, buttons);
  });
}

// --- Dialog animation ------------------------------------------------------------------------------------

namespace {
int g_Animation = 1, g_AnimationMs = 250;

// Runs the opening animation once the dialog is on screen; the dialog owns the animation, so closing it
// early ends the animation with it.
class TDialogAnimator : public QObject {
 public:
  explicit TDialogAnimator(QDialog* d) : QObject(d), m_Dialog(d) { d->installEventFilter(this); }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (o == m_Dialog && e->type() == QEvent::Show && !m_Started) {
      m_Started = true;
      QTimer::singleShot(0, this, [this] { Start(); });
    }
    return false;
  }

 private:
  void Start() {
    if (g_AnimationMs <= 0) return;
    if (g_Animation == 1) {
      auto* a = new QPropertyAnimation(m_Dialog, "windowOpacity", this);
      a->setDuration(g_AnimationMs);
      a->setStartValue(0.0);
      a->setEndValue(1.0);
      a->start(QAbstractAnimation::DeleteWhenStopped);
    } else if (g_Animation == 2) {
      QRect end = m_Dialog->geometry();
      QRect start(end.center(), QSize(1, 1));
      auto* a = new QPropertyAnimation(m_Dialog, "geometry", this);
      a->setDuration(g_AnimationMs);
      a->setStartValue(start);
      a->setEndValue(end);
      a->start(QAbstractAnimation::DeleteWhenStopped);
    }
  }
  QDialog* m_Dialog;
  bool m_Started = false;
};
}  // namespace

void QXApplyDialogAnimation(int animation, int durationMs) {
  g_Animation = animation < 0 ? 0 : animation > 2 ? 2 : animation;
  g_AnimationMs = durationMs < 0 ? 0 : durationMs > 10000 ? 10000 : durationMs;
}
int QXDialogAnimation() { return g_Animation; }
int QXDialogAnimationDuration() { return g_AnimationMs; }

void QXAnimateDialog(QDialog* dialog) {
  if (dialog && g_Animation != 0) new TDialogAnimator(dialog);
}

// --- Clipboard -------------------------------------------------------------------------------------------

namespace {
QString FindFormat(const QMimeData* data, const std::string& format) {
  if (!data) return {};
  QString wanted = QXStr(format);
  for (const QString& f : data->formats())
    if (f.compare(wanted, Qt::CaseInsensitive) == 0) return f;
  return {};
}
}  // namespace

void TQXSystemClipboard::SetImage(const std::string& format, const std::string& bytes) {
  auto* data = new QMimeData;
  data->setData(QXStr(format), QByteArray(bytes.data(), qsizetype(bytes.size())));
  QGuiApplication::clipboard()->setMimeData(data);
}

bool TQXSystemClipboard::HasFormat(const std::string& format) const {
  return !FindFormat(QGuiApplication::clipboard()->mimeData(), format).isEmpty();
}

std::optional<std::string> TQXSystemClipboard::GetImage(const std::string& format) const {
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  QString f = FindFormat(data, format);
  if (f.isEmpty()) return std::nullopt;
  QByteArray bytes = data->data(f);
  return std::string(bytes.constData(), size_t(bytes.size()));
}
