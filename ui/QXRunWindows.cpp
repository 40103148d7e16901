#include "ui/QXRunWindows.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QToolBar>
#include <QVBoxLayout>

#include <chrono>
#include <thread>

#include "definition/QXSettings.h"
#include "engine/QXValidate.h"
#include "ui/QXDTreeWidget.h"
#include "ui/QXMainWindow.h"
#include "ui/QXUiCommon.h"

namespace {
// Reads and writes a window's place in a directory of the settings file, leaving the current directory
// as it was (other code keeps relative positions in it).
void RestoreWindowPlace(TQXSettings* settings, QWidget& w, const char* dir, bool size) {
  if (!settings) return;
  IKVStorage& s = settings->Data();
  std::string keep = s.GetCurrentDir();
  if (s.OpenDir(dir, false)) {
    int x = s.ReadInteger("Left", -1), y = s.ReadInteger("Top", -1);
    if (size) {
      int width = s.ReadInteger("Width", -1), height = s.ReadInteger("Height", -1);
      if (width > 0 && height > 0) w.resize(qMax(w.minimumWidth(), width), qMax(w.minimumHeight(), height));
    }
    if (x >= 0 && y >= 0)
      for (QScreen* screen : QGuiApplication::screens())
        if (screen->availableGeometry().contains(QPoint(x + 20, y + 20))) {
          w.move(x, y);
          break;
        }
  }
  s.OpenDir(keep.empty() ? "\\" : keep, false);
}

void StoreWindowPlace(TQXSettings* settings, const QWidget& w, const char* dir,
                      const std::function<void(IKVStorage&)>& more = nullptr) {
  if (!settings) return;
  try {
    IKVStorage& s = settings->Data();
    std::string keep = s.GetCurrentDir();
    s.OpenDir(dir, true);
    QRect g = w.geometry();
    s.WriteInteger("Left", g.x());
    s.WriteInteger("Top", g.y());
    s.WriteInteger("Width", g.width());
    s.WriteInteger("Height", g.height());
    if (more) more(s);
    s.OpenDir(keep.empty() ? "\\" : keep, false);
    settings->Data().Commit();
  } catch (const std::exception& e) {
    // A settings file that cannot be written must not end the run or the dialog.
    KVHandleException(e);
  }
}
}  // namespace

// --- Progress ----------------------------------------------------------------------------------------------

TKVProgressDlg::TKVProgressDlg(TQXSettings* settings, QWidget* parent) : QDialog(parent), m_Settings(settings) {
  setWindowTitle("Executing data reorganization ...");
  setModal(true);
  setMinimumWidth(420);
  auto* l = new QVBoxLayout(this);
  m_Operation = new QLabel(this);
  m_Operation->setTextFormat(Qt::PlainText);
  m_Operation->setMinimumWidth(380);
  m_OperationBar = new QProgressBar(this);
  m_OperationBar->setRange(0, kBarRange);
  m_OperationBar->setValue(0);
  m_OperationBar->setTextVisible(false);
  m_Overall = new QLabel(this);
  m_OverallBar = new QProgressBar(this);
  m_OverallBar->setRange(0, kBarRange);
  m_OverallBar->setValue(0);
  m_OverallBar->setTextVisible(false);
  m_Cancel = new QPushButton("Cancel", this);
  l->addWidget(m_Operation);
  l->addWidget(m_OperationBar);
  l->addSpacing(8);
  l->addWidget(m_Overall);
  l->addWidget(m_OverallBar);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_Cancel);
  l->addLayout(buttons);
  m_Overall->setText(QString::asprintf("%s  %d %%", "Overall Progress", 0));
  connect(m_Cancel, &QPushButton::clicked, this, [this] { RequestCancel(); });
  RestoreWindowPlace(settings, *this, kQXProgressDlgDir, false);
}

TKVProgressDlg::~TKVProgressDlg() = default;

void TKVProgressDlg::SetOperationCount(int32_t count) { m_Count = qMax(1, count); }

void TKVProgressDlg::NextOperation(const std::string& text) {
  m_Maximum = 0;
  m_LastShown = 0;
  int index = m_Index++, count = m_Count;
  QString t = QXStr(text);
  QMetaObject::invokeMethod(this, [this, t, index, count] { ShowOperation(t, index, count); },
                            Qt::QueuedConnection);
}

void TKVProgressDlg::SetMaximum(int64_t maximum) { m_Maximum = maximum; }

void TKVProgressDlg::ReportProgress(int64_t position, bool& cancel) {
  if (m_CancelRequest.load()) cancel = true;
  // Redrawing for every record would flood the user interface thread on fast runs: with a known number of
  // records once per step of the bar, without one (a driver that cannot count) ten times a second.
  if (m_Maximum > 0) {
    int64_t step = qMax<int64_t>(1, m_Maximum / kBarRange);
    if (position - m_LastShown < step && position != m_Maximum) return;
  } else {
    auto now = std::chrono::steady_clock::now();
    if (m_LastShown > 0 && now - m_LastShownTime < std::chrono::milliseconds(100)) return;
    m_LastShownTime = now;
  }
  m_LastShown = position;
  int64_t maximum = m_Maximum;
  int index = qMax(0, m_Index - 1), count = m_Count;
  QMetaObject::invokeMethod(this, [=, this] { ShowPosition(position, maximum, index, count); },
                            Qt::QueuedConnection);
}

void TKVProgressDlg::ShowWaiting(const std::string& text) {
  QString t = QXStr(text);
  QMetaObject::invokeMethod(
      this, [this, t] { m_Operation->setText(t.isEmpty() ? m_OperationShown : t); }, Qt::QueuedConnection);
}

void TKVProgressDlg::ShowOperation(const QString& text, int index, int count) {
  m_OperationShown = text;
  m_Operation->setText(text);
  m_OperationBar->setValue(0);
  ShowPosition(0, 0, index, count);
}

void TKVProgressDlg::ShowPosition(int64_t position, int64_t maximum, int index, int count) {
  double share = maximum > 0 ? qBound(0.0, double(position) / double(maximum), 1.0) : 0.0;
  // An operation of unknown length shows a busy bar once it has begun.
  if (maximum <= 0 && position > 0)
    m_OperationBar->setRange(0, 0);
  else {
    m_OperationBar->setRange(0, kBarRange);
    m_OperationBar->setValue(int(share * kBarRange));
  }
  double overall = (double(index) + share) / double(qMax(1, count));
  m_OverallBar->setValue(int(overall * kBarRange));
  m_OverallPercent = qBound(0, int(overall * 100.0), 100);
  m_Overall->setText(QString::asprintf("%s  %d %%", "Overall Progress", m_OverallPercent));
}

void TKVProgressDlg::RequestCancel() {
  m_CancelRequest.store(true);
  if (m_Busy) m_Cancel->setEnabled(false);
}

void TKVProgressDlg::RunFinished() {
  m_Busy = false;
  m_Cancel->setEnabled(true);
  StorePlacement();
  accept();
}

QString TKVProgressDlg::OperationText() const { return m_Operation->text(); }
QString TKVProgressDlg::OverallText() const { return m_Overall->text(); }

void TKVProgressDlg::closeEvent(QCloseEvent* e) {
  if (m_Busy) {
    RequestCancel();
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

void TKVProgressDlg::reject() {
  // Escape and the window's close button only ask the run to stop; it closes the dialog when it ended.
  if (m_Busy) {
    RequestCancel();
    return;
  }
  QDialog::reject();
}

void TKVProgressDlg::StorePlacement() { StoreWindowPlace(m_Settings, *this, kQXProgressDlgDir); }

// --- Report ------------------------------------------------------------------------------------------------

TKVReportDlg::TKVReportDlg(TQXReport& report, QWidget* parent) : QDialog(parent), m_Report(report) {
  setWindowTitle("Operation Report");
  setWindowFlags(Qt::Window);
  setModal(false);
  resize(640, 420);
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(0, 0, 0, 0);
  l->setSpacing(0);
  auto* bar = new QToolBar(this);
  bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  m_Save = bar->addAction("Save ...");
  m_Save->setToolTip("Save the report as RTF or plain text");
  m_Copy = bar->addAction("Copy");
  m_Copy->setToolTip("Copy the selection (or the whole report) to the clipboard");
  m_Clear = bar->addAction("Clear");
  m_Clear->setToolTip("Remove everything from the report");
  m_Editor = new QTextEdit(this);
  m_Editor->setReadOnly(true);
  m_Editor->setUndoRedoEnabled(false);
  m_Editor->setLineWrapMode(QTextEdit::NoWrap);
  // The report aligns its columns with blanks and tabs; a fixed-pitch font keeps them aligned.
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  m_Editor->document()->setDefaultFont(font);
  m_Editor->setTabStopDistance(QFontMetricsF(font).horizontalAdvance(QLatin1Char(' ')) * 8);
  l->addWidget(bar);
  l->addWidget(m_Editor);
  connect(m_Save, &QAction::triggered, this, [this] { SaveWithDialog(); });
  connect(m_Copy, &QAction::triggered, this, [this] { CopyToClipboard(); });
  connect(m_Clear, &QAction::triggered, this, [this] { ClearReport(); });
  m_Report.OnAppend = [this](const std::string& text, uint32_t color, bool bold) {
    // Anything that changed the report without an append (a removed range) shows as a length mismatch.
    if (m_Rendered + text.size() != m_Report.Length())
      Reload();
    else
      Render(text, color, bold);
  };
  Reload();
}

// The report may be destroyed before this window (both belong to the main window), so the destructor
// leaves the report alone; the owner resets OnAppend when it keeps the report longer.
TKVReportDlg::~TKVReportDlg() = default;

void TKVReportDlg::Append(const std::string& text, uint32_t color, bool bold) { m_Report.Append(text, color, bold); }

void TKVReportDlg::Render(const std::string& text, uint32_t color, bool bold) {
  QTextCursor c(m_Editor->document());
  c.movePosition(QTextCursor::End);
  int firstBlock = c.blockNumber();
  QTextCharFormat f;
  f.setForeground(QXColor(color));
  f.setFontWeight(bold ? QFont::Bold : QFont::Normal);
  // "\r\n", "\r" and "\n" each end one line; a "\r" at the end of one append may pair with a "\n" that
  // starts the next.
  QString out;
  out.reserve(int(text.size()));
  QString t = QString::fromUtf8(text.data(), qsizetype(text.size()));
  for (QChar ch : t) {
    if (ch == u'\n') {
      if (m_PendingCR) {
        m_PendingCR = false;
        continue;
      }
      out += QChar::ParagraphSeparator;
    } else if (ch == u'\r') {
      out += QChar::ParagraphSeparator;
      m_PendingCR = true;
      continue;
    } else {
      out += ch;
    }
    m_PendingCR = false;
  }
  c.insertText(out, f);
  m_Rendered += text.size();
  MarkHeadings(firstBlock);
  m_Editor->setTextCursor(c);
  m_Editor->ensureCursorVisible();
}

void TKVReportDlg::MarkHeadings(int fromBlock) {
  // A line written all in bold (the heading of a run or validation, its row of "=", the total) is a
  // heading: it gets the heading level and a slightly larger size.
  QTextDocument* doc = m_Editor->document();
  for (QTextBlock b = doc->findBlockByNumber(qMax(0, fromBlock - 1)); b.isValid(); b = b.next()) {
    bool allBold = !b.text().isEmpty();
    for (auto it = b.begin(); allBold && !it.atEnd(); ++it)
      if (it.fragment().charFormat().fontWeight() < QFont::Bold) allBold = false;
    QTextBlockFormat bf = b.blockFormat();
    int level = allBold ? 2 : 0;
    if (bf.headingLevel() == level) continue;
    bf.setHeadingLevel(level);
    QTextCursor c(b);
    c.setBlockFormat(bf);
  }
}

void TKVReportDlg::Reload() {
  m_Editor->clear();
  m_Rendered = 0;
  m_PendingCR = false;
  for (const TQXReportSpan& s : m_Report.Spans()) Render(s.Text, s.Color, s.Bold);
}

int TKVReportDlg::DocumentPosition(size_t reportPosition) const {
  std::string prefix = m_Report.TextAt(0, reportPosition);
  QString q = QString::fromUtf8(prefix.data(), qsizetype(prefix.size()));
  // "\r\n" is one paragraph break in the window.
  return int(q.size() - q.count(QStringLiteral("\r\n")));
}

void TKVReportDlg::SelectReportRange(size_t start, size_t length) {
  QTextCursor c(m_Editor->document());
  c.setPosition(DocumentPosition(start));
  c.setPosition(DocumentPosition(start + length), QTextCursor::KeepAnchor);
  m_Editor->setTextCursor(c);
  m_Editor->ensureCursorVisible();
}

void TKVReportDlg::SaveWithDialog() {
  QString name = SaveFileDialog ? SaveFileDialog()
                                : QFileDialog::getSaveFileName(this, "Save Report", QString(),
                                                               "Rich Text Format (*.rtf);;Text files (*.txt)");
  if (name.isEmpty()) return;
  try {
    QXSaveReport(m_Report, QXStd(name));
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
}

void TKVReportDlg::ClearReport() { m_Report.Clear(), Reload(); }

void TKVReportDlg::CopyToClipboard() {
  if (m_Editor->textCursor().hasSelection()) {
    m_Editor->copy();
    return;
  }
  auto* mime = new QMimeData;
  mime->setText(QXStr(QXReportPlainText(m_Report)));
  mime->setHtml(m_Editor->document()->toHtml());
  mime->setData("text/rtf", QByteArray::fromStdString(QXReportRtf(m_Report)));
  QGuiApplication::clipboard()->setMimeData(mime);
}

// --- SQL parameters ----------------------------------------------------------------------------------------

TQXParameterDlg::TQXParameterDlg(TQXSettings& settings, TKVNameAndValueList& parameters, QWidget* parent)
    : QDialog(parent), m_Settings(settings), m_Parameters(parameters) {
  setWindowTitle("Assign SQL Parameter Values");
  auto* l = new QVBoxLayout(this);
  auto* header = new QLabel("<b>Assign SQL Parameter Values</b><br>SQL-Parameter", this);
  l->addWidget(header);

  m_Hint = new QFrame(this);
  m_Hint->setFrameShape(QFrame::StyledPanel);
  auto* hl = new QVBoxLayout(m_Hint);
  auto* hintTitle = new QLabel("<b>Enter SQL literal values here</b>", m_Hint);
  auto* hintText = new QLabel(
      "The values entered here are inserted into the SQL string without change. So string values must be "
      "entered quoted here etc.",
      m_Hint);
  hintText->setWordWrap(true);
  m_HideHint = new QPushButton("Hide", m_Hint);
  auto* top = new QHBoxLayout;
  top->addWidget(hintTitle, 1);
  top->addWidget(m_HideHint);
  hl->addLayout(top);
  hl->addWidget(hintText);
  l->addWidget(m_Hint);
  m_HintVisible = settings.ParameterHintVisible();
  m_Hint->setVisible(m_HintVisible);
  connect(m_HideHint, &QPushButton::clicked, this, [this] {
    m_HintVisible = false;
    m_Hint->setVisible(false);
  });

  auto* rowsWidget = new QWidget(this);
  auto* form = new QFormLayout(rowsWidget);
  auto historic = settings.HistoricValues();
  for (const TKVNameAndValueObj& p : parameters) {
    auto* field = new QLineEdit(rowsWidget);
    std::string value = p.Value;
    if (value.empty())
      for (const auto& [name, text] : historic)
        if (name == p.Name) {
          value = text;
          break;
        }
    field->setText(QXStr(value));
    form->addRow(QXStr(p.Name) + ":", field);
    m_Fields.push_back(field);
  }
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(rowsWidget);
  l->addWidget(scroll, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  l->addWidget(buttons);
  setMinimumSize(360, 220);
  RestoreWindowPlace(&settings, *this, kQXParameterDlgDir, true);
}

void TQXParameterDlg::done(int result) {
  // What was typed is offered again next time, also when the dialog was cancelled.
  try {
    for (size_t i = 0; i < m_Fields.size(); ++i)
      m_Settings.SetHistoricValue(m_Parameters[i].Name, QXStd(m_Fields[i]->text()));
    m_Settings.SetParameterHintVisible(m_HintVisible);
  } catch (const std::exception& e) {
    KVHandleException(e);
  }
  StoreWindowPlace(&m_Settings, *this, kQXParameterDlgDir);
  if (result == QDialog::Accepted)
    for (size_t i = 0; i < m_Fields.size(); ++i) m_Parameters[i].Value = QXStd(m_Fields[i]->text());
  QDialog::done(result);
}

bool TQXParameterDlg::Execute(TQXSettings& settings, TKVNameAndValueList& parameters, QWidget* parent) {
  TQXParameterDlg dlg(settings, parameters, parent);
  QXAnimateDialog(&dlg);
  return dlg.exec() == QDialog::Accepted;
}

// --- Runs --------------------------------------------------------------------------------------------------

namespace {
// The engine's report lines, carried to the report window on the user interface thread.
class TQueuedReportSink : public IQXExecReportSink {
 public:
  explicit TQueuedReportSink(TKVReportDlg* dlg) : m_Dlg(dlg) {}
  void ReportLine(const TQXReportLine& line) override {
    QPointer<TKVReportDlg> dlg = m_Dlg;
    QMetaObject::invokeMethod(
        m_Dlg, [dlg, line] {
          if (dlg) dlg->AppendLine(line);
        },
        Qt::QueuedConnection);
  }

 private:
  TKVReportDlg* m_Dlg;
};

// "Ask User": the question is shown on the user interface thread while the worker waits for the answer.
class TQueuedAskUser : public IQXAskUser {
 public:
  explicit TQueuedAskUser(QObject* context) : m_Context(context) {}
  bool AskContinue(const std::string& text) override {
    bool yes = false;
    QMetaObject::invokeMethod(
        m_Context, [&] { yes = KVMessageDialog(text, TKVSeverity::Confirmation, TKVMsgButtons::YesNo) == KV_IDYES; },
        Qt::BlockingQueuedConnection);
    return yes;
  }

 private:
  QObject* m_Context;
};

class TQueuedParameterPrompt : public IQXParameterPrompt {
 public:
  TQueuedParameterPrompt(QWidget* parent, TQXSettings& settings) : m_Parent(parent), m_Settings(settings) {}
  bool AskParameters(TKVNameAndValueList& parameters) override {
    bool ok = false;
    QMetaObject::invokeMethod(
        m_Parent, [&] { ok = TQXParameterDlg::Execute(m_Settings, parameters, m_Parent); },
        Qt::BlockingQueuedConnection);
    return ok;
  }

 private:
  QWidget* m_Parent;
  TQXSettings& m_Settings;
};
}  // namespace

TQXRunWindows::TQXRunWindows(TQXMainWindow& window, TQXSettings& settings, TQXReport& report,
                             TQXValidator& validator)
    : QObject(&window), m_Window(window), m_Settings(settings), m_Report(report), m_Validator(validator) {}

TKVReportDlg* TQXRunWindows::ReportWindow() {
  if (!m_ReportDlg) m_ReportDlg = new TKVReportDlg(m_Report, &m_Window);
  return m_ReportDlg;
}

void TQXRunWindows::FreeReportWindow() {
  m_Report.OnAppend = nullptr;
  delete m_ReportDlg.data();
  m_Report.Clear();
}

void TQXRunWindows::ShowReport() {
  TKVReportDlg* dlg = ReportWindow();
  dlg->show();
  dlg->raise();
}

TQXRunResult TQXRunWindows::StartReorganization() {
  TQXDTreeView& tree = m_Window.Tree();
  if (tree.Empty()) return TQXRunResult::NotRun;
  ShowReport();
  TKVReportDlg* report = ReportWindow();
  m_Executer = KVMakeRef<TQXExecuter>(&tree);
  TQXExecuter& executer = *m_Executer;
  executer.SetErrorAction(m_Settings.ErrorAction());
  TKVProgressDlg progress(&m_Settings, &m_Window);
  TQueuedReportSink reportSink(report);
  TQueuedAskUser ask(&progress);
  TQueuedParameterPrompt prompt(&progress, m_Settings);
  executer.SetReportSink(&reportSink);
  executer.SetAskUser(&ask);
  executer.SetParameterPrompt(&prompt);

  QXAnimateDialog(&progress);
  progress.show();
  emit RunStarting(&progress);
  std::exception_ptr failure;
  // The executer waits for its worker; this thread waits for the executer, so the user interface thread
  // only runs the dialog's event loop until the run ended.
  std::thread runner([&] {
    try {
      executer.RunOnThread(&progress);
    } catch (...) {
      failure = std::current_exception();
    }
    QMetaObject::invokeMethod(&progress, [&progress] { progress.RunFinished(); }, Qt::QueuedConnection);
  });
  progress.exec();
  runner.join();
  // Lines still queued for the report window arrive before anything else is shown.
  QCoreApplication::sendPostedEvents(report);
  executer.SetReportSink(nullptr);
  executer.SetAskUser(nullptr);
  executer.SetParameterPrompt(nullptr);
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      KVHandleException(e);
    } catch (...) {
      KVHandleException(EKVException("Unknown error", nullptr, "StartReorganization"));
    }
    return TQXRunResult::Failed;
  }
  return executer.Result();
}

void TQXRunWindows::ValidationChanged(bool show) {
  if (show) ShowReport();
  if (m_ReportDlg) m_ReportDlg->Reload();
}

void TQXRunWindows::ShowValidationResult(TKVTreeItem* item) {
  if (!item || !m_ReportDlg || !m_ReportDlg->isVisible()) return;
  size_t start = 0, length = 0;
  if (m_Validator.ValidationResultRange(*item, start, length)) m_ReportDlg->SelectReportRange(start, length);
}

TQXRunWindows* QXInstallRunWindows(TQXMainWindow& window, TQXSettings& settings, TQXReport& report,
                                   TQXValidator& validator) {
  auto* run = new TQXRunWindows(window, settings, report, validator);
  window.OnStartReorganization = [run] { run->StartReorganization(); };
  // These connections come after the window's own, so the validation has happened when they run.
  QObject::connect(window.TreeAction(TQXMainWindow::tcValidateAll), &QAction::triggered, run,
                   [run] { run->ValidationChanged(true); });
  QObject::connect(window.TreeAction(TQXMainWindow::tcClearValidation), &QAction::triggered, run,
                   [run] { run->ValidationChanged(false); });
  auto previous = window.Tree().OnSelectionChanged;
  window.Tree().OnSelectionChanged = [run, previous](TKVTreeItem* item) {
    if (previous) previous(item);
    run->ShowValidationResult(item);
  };
  return run;
}
