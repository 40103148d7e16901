#pragma once
// The run's sinks for a terminal (dabrix-cli): a progress bar on standard error, the report on standard
// output, the "Ask User" question and the SQL parameter prompt on the terminal, and Ctrl-C as the cancel
// request.
//
// Nothing here assumes a user is present: every piece checks whether its stream is a terminal and falls
// back to the safe behaviour otherwise (no progress bar, no colours, "No" to the question, an error for a
// missing parameter). The sinks are called from the run's worker thread; the cancel request is set from a
// signal handler, so it is a lock-free atomic flag and nothing else happens in the handler.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DMExecute.h"
#include "engine/QXReport.h"

class TQXSettings;

// Whether the file descriptor is a terminal.
bool QXIsTerminal(int fd);

// --- Ctrl-C ------------------------------------------------------------------------------------------------

// While an object lives, SIGINT does not end the process but raises the cancel request, which the progress
// sink hands to the run at its next progress report. One Ctrl-C is enough: the run ends as a cancelled run
// (committed, closed, statistics written). The previous SIGINT disposition is restored by the destructor.
// Only one object may live at a time.
class TQXInterruptGuard {
 public:
  TQXInterruptGuard();
  ~TQXInterruptGuard();
  TQXInterruptGuard(const TQXInterruptGuard&) = delete;
  TQXInterruptGuard& operator=(const TQXInterruptGuard&) = delete;

  // Set by SIGINT (and by RequestCancel, for callers that want the same path).
  static std::atomic<bool>& CancelRequest();
  static void RequestCancel() { CancelRequest().store(true); }
};

// --- Progress ----------------------------------------------------------------------------------------------

// Shows the current operation's text, a bar, the position and maximum, the rate in records per second and
// the overall percentage ("Overall Progress  NN %", every operation one equal share) on one line of `out`,
// redrawn in place at most ten times a second. Draws nothing unless `show` (the caller passes whether `out`
// is a terminal and the user did not switch it off). The cancel request is passed on whether shown or not.
class TQXTerminalProgress : public IQXProgressSink {
 public:
  TQXTerminalProgress(FILE* out, bool show, const std::atomic<bool>* cancelRequest);
  ~TQXTerminalProgress() override;

  void SetOperationCount(int32_t count) override;
  void NextOperation(const std::string& text) override;
  void SetMaximum(int64_t maximum) override;
  void ReportProgress(int64_t position, bool& cancel) override;
  // On a terminal the wait replaces the bar until it is over; otherwise (a pipe, --no-progress) it is one
  // line of its own, so that a log shows why the run stood still.
  void ShowWaiting(const std::string& text) override;
  bool CancelRequested() const override;

  // Removes the bar from the screen, so that other output starts on a clean line; the next progress
  // report draws it again.
  void Clear();
  // The bar as it would be drawn now, `width` columns at most (exposed for tests).
  std::string BarText(int width) const;
  // The overall percentage, 0..100.
  int OverallPercent() const;

 private:
  void Draw(bool force);
  FILE* m_Out;
  bool m_Show;
  const std::atomic<bool>* m_CancelRequest;
  int32_t m_OperationCount = 1, m_OperationIndex = 0;
  std::string m_Operation;
  int64_t m_Maximum = 0, m_Position = 0;
  double m_OperationStartSeconds = 0, m_LastDrawSeconds = -1;
  bool m_Drawn = false;
  // The wait notice comes from another thread than the rest: drawing is one at a time.
  std::mutex m_DrawLock;
};

// --- Report ------------------------------------------------------------------------------------------------

// Writes every report line to `out` as it arrives: plain text, or with ANSI colours and bold when `ansi`
// (the caller passes whether `out` is a terminal). Clears the progress bar first when one is given. When
// `keep` is given the lines are also appended to it, for saving the report to a file at the end.
class TQXTerminalReport : public IQXExecReportSink {
 public:
  TQXTerminalReport(FILE* out, bool ansi, TQXTerminalProgress* progress = nullptr, TQXReport* keep = nullptr);
  void ReportLine(const TQXReportLine& line) override;

 private:
  FILE* m_Out;
  bool m_Ansi;
  TQXTerminalProgress* m_Progress;
  TQXReport* m_Keep;
};

// --- Ask user ----------------------------------------------------------------------------------------------

// "Ask User" on the terminal: the question on standard error, the answer (y/yes or n/no, letter case
// ignored, asked again on anything else) from standard input. Without a terminal on both, or at the end of
// the input, the answer is No, so the run stops as "Abort Operation" would stop it.
class TQXTerminalAskUser : public IQXAskUser {
 public:
  TQXTerminalAskUser(bool interactive, TQXTerminalProgress* progress = nullptr);
  bool AskContinue(const std::string& text) override;

 private:
  bool m_Interactive;
  TQXTerminalProgress* m_Progress;
};

// --- SQL parameters ----------------------------------------------------------------------------------------

// Gives a run its SQL parameter values: first those of the command line (`given`, names compared without
// letter case); the others are asked for on the terminal when `interactive`, offering the value last
// entered for that name in `settings` (taken when the answer is empty) and storing what was entered there.
// The end of the input cancels the run (nothing read or written). Without a terminal a parameter that was
// not given ends the run before reading with EKVException "No value given for the SQL parameter "%s"" and
// the hint to use --param.
class TQXTerminalParameterPrompt : public IQXParameterPrompt {
 public:
  TQXTerminalParameterPrompt(std::map<std::string, std::string> given, bool interactive, TQXSettings* settings,
                             TQXTerminalProgress* progress = nullptr);
  bool AskParameters(TKVNameAndValueList& parameters) override;

  // Names given on the command line that the run did not ask for (known after AskParameters).
  const std::vector<std::string>& UnusedNames() const { return m_Unused; }

 private:
  std::map<std::string, std::string> m_Given;  // key: upper-case name
  std::map<std::string, std::string> m_GivenSpelling;
  bool m_Interactive;
  TQXSettings* m_Settings;
  TQXTerminalProgress* m_Progress;
  std::vector<std::string> m_Unused;
};
