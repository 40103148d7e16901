#pragma once
// The windows of a run: the progress dialog (the run's progress sink), the operation report window (the
// protocol of runs and validations, in colour), the SQL parameter dialog, and the piece that starts a run
// from the main window on the engine's worker thread while the user interface thread keeps working.
//
// Threading: the engine calls its sinks from the worker thread. Nothing here touches a widget or the
// report document from that thread: progress, report lines and questions cross to the user interface
// thread as queued calls (questions as blocking ones, the worker waits for the answer).
#include <QDialog>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/DMExecute.h"
#include "engine/QXReport.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTextEdit;
class QToolBar;
class QAction;
class QFrame;
class TQXSettings;
class TQXValidator;
class TQXMainWindow;

// --- Progress ----------------------------------------------------------------------------------------------

class TKVProgressDlg : public QDialog, public IQXProgressSink {
  Q_OBJECT
 public:
  // The range of both bars; the operation bar is redrawn once the position moved by maximum / this.
  static constexpr int kBarRange = 1000;

  explicit TKVProgressDlg(TQXSettings* settings, QWidget* parent = nullptr);
  ~TKVProgressDlg() override;

  // IQXProgressSink (worker thread)
  void SetOperationCount(int32_t count) override;
  void NextOperation(const std::string& text) override;
  void SetMaximum(int64_t maximum) override;
  void ReportProgress(int64_t position, bool& cancel) override;
  // (the run's watch thread) The operation line says what the run waits for, until "" gives it back.
  void ShowWaiting(const std::string& text) override;

  // Asks the run to stop at its next progress report (any thread).
  void RequestCancel();
  bool CancelRequested() const override { return m_CancelRequest.load(); }
  // The run ended: the dialog may close and closes (user interface thread).
  void RunFinished();
  bool Busy() const { return m_Busy; }

  QString OperationText() const;
  QString OverallText() const;
  int OverallPercent() const { return m_OverallPercent; }
  QProgressBar* OperationBar() const { return m_OperationBar; }
  QProgressBar* OverallBar() const { return m_OverallBar; }
  QPushButton* CancelButton() const { return m_Cancel; }

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  void ShowOperation(const QString& text, int index, int count);
  void ShowPosition(int64_t position, int64_t maximum, int index, int count);
  void StorePlacement();

  TQXSettings* m_Settings;
  QLabel* m_Operation;
  QProgressBar* m_OperationBar;
  QLabel* m_Overall;
  QProgressBar* m_OverallBar;
  QPushButton* m_Cancel;
  bool m_Busy = true;
  int m_OverallPercent = 0;
  QString m_OperationShown;  // the operation's own text while a wait notice covers it
  std::atomic<bool> m_CancelRequest{false};
  // Worker side only.
  int32_t m_Count = 1, m_Index = 0;
  int64_t m_Maximum = 0, m_LastShown = 0;
  std::chrono::steady_clock::time_point m_LastShownTime;
};

// --- Report ------------------------------------------------------------------------------------------------

// Shows a report document as it grows; also when it changes behind its back (a validation block that was
// removed) the next append or Reload brings the window up to date.
class TKVReportDlg : public QDialog {
  Q_OBJECT
 public:
  // `report` must outlive the window; the window renders what it holds and every later append.
  explicit TKVReportDlg(TQXReport& report, QWidget* parent = nullptr);
  ~TKVReportDlg() override;

  TQXReport& Report() { return m_Report; }
  QTextEdit* Editor() const { return m_Editor; }
  QAction* SaveAction() const { return m_Save; }
  QAction* ClearAction() const { return m_Clear; }
  QAction* CopyAction() const { return m_Copy; }

  // Appends to the report (and so to the window).
  void Append(const std::string& text, uint32_t color, bool bold);
  void AppendLine(const TQXReportLine& line) { m_Report.ReportLine(line); }
  // Renders the whole report again.
  void Reload();
  // Selects a byte range of the report text and scrolls it into view.
  void SelectReportRange(size_t start, size_t length);
  // The character position in the window of a byte position of the report.
  int DocumentPosition(size_t reportPosition) const;

  void SaveWithDialog();
  void ClearReport();
  void CopyToClipboard();
  // The save dialog, replaceable (tests): the chosen file name or an empty text when cancelled.
  std::function<QString()> SaveFileDialog;

 private:
  void Render(const std::string& text, uint32_t color, bool bold);
  void MarkHeadings(int fromBlock);

  TQXReport& m_Report;
  QTextEdit* m_Editor;
  QAction* m_Save;
  QAction* m_Clear;
  QAction* m_Copy;
  size_t m_Rendered = 0;  // bytes of the report the window shows
  bool m_PendingCR = false;
};

// --- SQL parameters ----------------------------------------------------------------------------------------

class TQXParameterDlg : public QDialog {
  Q_OBJECT
 public:
  // `parameters` stays owned by the caller; on confirming, every entry's value is its row's text.
  TQXParameterDlg(TQXSettings& settings, TKVNameAndValueList& parameters, QWidget* parent = nullptr);

  // Shows the dialog modally; true unless cancelled.
  static bool Execute(TQXSettings& settings, TKVNameAndValueList& parameters, QWidget* parent);

  QLineEdit* Field(size_t row) const { return m_Fields.at(row); }
  size_t RowCount() const { return m_Fields.size(); }
  QFrame* HintArea() const { return m_Hint; }
  QPushButton* HideHintButton() const { return m_HideHint; }

  void done(int result) override;

 private:
  TQXSettings& m_Settings;
  TKVNameAndValueList& m_Parameters;
  std::vector<QLineEdit*> m_Fields;
  QFrame* m_Hint;
  QPushButton* m_HideHint;
  bool m_HintVisible = true;
};

// --- Runs and the report window of the main window ----------------------------------------------------------

class TQXRunWindows : public QObject {
  Q_OBJECT
 public:
  // Lives as long as the window (its child); the references are the window's own members.
  TQXRunWindows(TQXMainWindow& window, TQXSettings& settings, TQXReport& report, TQXValidator& validator);

  // The report window, created on first use.
  TKVReportDlg* ReportWindow();
  TKVReportDlg* ExistingReportWindow() const { return m_ReportDlg; }
  void ShowReport();
  // A document is opened: the report window and what it showed go.
  void FreeReportWindow();
  // "Start Data Reorganization": the run of the document's tree with progress dialog and report. Returns
  // how it ended (Failed also when the error was shown).
  TQXRunResult StartReorganization();
  // Called after "Validate All" (`show`: the report window comes up) and "Clear Validation".
  void ValidationChanged(bool show);
  void ShowValidationResult(TKVTreeItem* item);

  // The last run's executer (null before the first run).
  TQXExecuter* LastExecuter() const { return m_Executer.get(); }

 signals:
  // The dialog is shown and the worker not yet started (tests press its buttons here).
  void RunStarting(TKVProgressDlg* dialog);

 private:
  TQXMainWindow& m_Window;
  TQXSettings& m_Settings;
  TQXReport& m_Report;
  TQXValidator& m_Validator;
  QPointer<TKVReportDlg> m_ReportDlg;
  TKVRef<TQXExecuter> m_Executer;
};

// Sets the main window's run command and routes its validation into the report window.
TQXRunWindows* QXInstallRunWindows(TQXMainWindow& window, TQXSettings& settings, TQXReport& report,
                                   TQXValidator& validator);
