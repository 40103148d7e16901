#pragma once
// The reorganization engine: one run of a definition tree (TQXExecuter), optionally on a worker thread
// (TQXExecThread), and the four interfaces through which a run talks to its surroundings: the progress
// sink (progress and the user's cancel request), the report sink (the operation report, line by line),
// the ask-user interface (the "Ask User" error action) and the parameter prompt (SQL parameter values).
//
// A run reads and writes only through the definition nodes, the database layer and the function
// registry. Memory does not grow with the number of records: the per-record loop reuses the locate list,
// the condition text and the field caches it set up when the recordsets were opened.
//
// Threading: Execute runs on one thread; every sink call of a run comes from that thread. With
// RunOnThread that is the worker thread, so sinks must be safe to call from it (the calling thread only
// waits). The tree must not be changed during a run.
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "definition/QXDTree.h"
#include "engine/QXWaitWatch.h"
#include "definition/QXDTreeOps.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVRefObject.h"
#include "foundation/KVVariant.h"

class TKVOdbcBatchInserter;

// --- Report colours (COLORREF layout 0x00BBGGRR) -------------------------------------------------------

inline constexpr uint32_t kQXColorBlack = 0x000000;    // (0, 0, 0)
inline constexpr uint32_t kQXColorNavy = 0x800000;     // (0, 0, 128)
inline constexpr uint32_t kQXColorDarkRed = 0x000080;  // (128, 0, 0)
inline constexpr uint32_t kQXColorRed = 0x0000FF;      // (255, 0, 0)

// --- Report sink ---------------------------------------------------------------------------------------

// A piece of a report line in one colour and weight. Never holds a line break.
struct TQXReportRun {
  std::string Text;
  uint32_t Color = kQXColorBlack;
  bool Bold = false;
};

// One line of the operation report: its runs in order (an empty line has none). The line break is implied.
struct TQXReportLine {
  std::vector<TQXReportRun> Runs;
  // The runs' texts concatenated.
  std::string Text() const;
};

// Receives the operation report. Every line of a run arrives complete, in report order, from the thread
// that runs Execute. Text the engine appends with embedded "\r\n" (heading, table summary lines) is cut
// into lines at the line breaks, so a sink never sees a line break inside a run. Tabs are kept.
class IQXExecReportSink {
 public:
  virtual ~IQXExecReportSink() = default;
  virtual void ReportLine(const TQXReportLine& line) = 0;
};

// --- Progress sink -------------------------------------------------------------------------------------

// What a run shows of its progress and how it learns of the user's cancel request. All calls come from
// the thread running Execute.
class IQXProgressSink {
 public:
  virtual ~IQXProgressSink() = default;
  // The number of operations (source recordsets) of the run; a display uses at least 1.
  virtual void SetOperationCount(int32_t count) = 0;
  // The next operation begins ("Reading Data From: db.table"); its own progress restarts.
  virtual void NextOperation(const std::string& text) = 0;
  // The number of steps (records) of the current operation.
  virtual void SetMaximum(int64_t maximum) = 0;
  // The current operation reached `position` (1-based record number). Sets `cancel` to true when the user
  // has asked to cancel; never clears it. A cancel requested from another thread (a dialog button, a
  // signal handler) must be kept in an atomic flag the sink reads here.
  virtual void ReportProgress(int64_t position, bool& cancel) = 0;
  // The run has been waiting for one database call for a while (typically for a lock another connection
  // holds): `text` says on what and for how long at most; "" when that call has ended. Unlike the calls
  // above this one comes from the run's watch thread, while the worker is blocked, so an implementation
  // must not race with its other operations. Showing it is optional.
  virtual void ShowWaiting(const std::string& text) { (void)text; }
  // Whether the user has asked to cancel, without a progress report: asked many times a second during a
  // long field value function call, so that the call can stop early. A sink that cannot tell answers false
  // and the run stops at the next record instead.
  virtual bool CancelRequested() const { return false; }
};

// --- Ask user ------------------------------------------------------------------------------------------

// The question of the "Ask User" error action. `text` is "<message>\r\n\r\nContinue Operation ?" (message
// through the message text rule). True (Yes) goes on with the run, false (No) stops it with the error.
// Called from the thread running Execute. Without one, the engine asks KVMessageDialog (whose default,
// without a user, answers No).
class IQXAskUser {
 public:
  virtual ~IQXAskUser() = default;
  virtual bool AskContinue(const std::string& text) = 0;
};

// --- Parameter prompt ----------------------------------------------------------------------------------

// One SQL parameter of a run: its name (spelling of its first appearance in tree order) and the value
// entered, as text.
struct TKVNameAndValueObj {
  std::string Name;
  std::string Value;
};
// Sorted by name (case-insensitive), each name once.
using TKVNameAndValueList = std::vector<TKVNameAndValueObj>;

// Asks for the values of the run's SQL parameters before anything is read. `parameters` arrives sorted by
// name with empty values; the prompt fills in every value (offering and storing historic values is the
// prompt's business). Returning false cancels the run: nothing is read or written, the report gets the
// heading and the total duration only, and the run ends normally. Raising ends the run with that error
// (before reading). Without a prompt, a run whose tree uses parameters ends with an error naming the first
// one.
class IQXParameterPrompt {
 public:
  virtual ~IQXParameterPrompt() = default;
  virtual bool AskParameters(TKVNameAndValueList& parameters) = 0;
};

// --- Engine exceptions ---------------------------------------------------------------------------------

// Skips the current source record for one destination recordset; never reaches the error handling.
class EIgnoreRecord : public Exception {
 public:
  EIgnoreRecord() : Exception("Current Record will be Ignored") {}
  KV_EXCEPTION_CLASS(EIgnoreRecord, Exception)
};

// The definition refers to something that is not there (an origin-1 field naming no destination
// recordset). Goes through the error action like any write error.
class EQXDInconsistency : public Exception {
 public:
  explicit EQXDInconsistency(std::string message) : Exception(std::move(message)) {}
  KV_EXCEPTION_CLASS(EQXDInconsistency, Exception)
};

// --- Executer ------------------------------------------------------------------------------------------

// Statistics of the current source recordset (reset when each source recordset begins). Inserted and
// edited count all destination databases together; Transactions counts intermediate commits (the final
// commit at close is not counted).
struct TQXRunStatistics {
  int32_t RecordsInserted = 0;
  int32_t RecordsEdited = 0;
  int32_t Transactions = 0;
  int32_t LastCommitOperations = 0;
  int32_t WriteMilliseconds = 0;
  int32_t RecordsRead = 0;
};

// How the last run ended.
enum class TQXRunResult { NotRun, Completed, Cancelled, ParametersCancelled, Failed };

class TQXExecuter : public TKVRefLifeObject {
 public:
  // `tree` is not owned and must outlive the run; null makes Execute do nothing.
  explicit TQXExecuter(TQXDTreeView* tree = nullptr);
  ~TQXExecuter() override;
  std::string ClassName() const override { return "TQXExecuter"; }

  TQXDTreeView* TreeView() const { return m_Tree; }
  void SetTreeView(TQXDTreeView* tree) { m_Tree = tree; }
  // TKVErrorAction: 0 "Continue Operation", 1 "Ask User", 2 "Abort Operation" (default 0).
  int ErrorAction() const { return m_ErrorAction; }
  void SetErrorAction(int action) { m_ErrorAction = action; }
  // How long one database call may keep the run before the progress sink is told what it waits for
  // (ShowWaiting). Default one second.
  std::chrono::milliseconds WaitNotice() const { return m_WaitNotice; }
  void SetWaitNotice(std::chrono::milliseconds after) { m_WaitNotice = after; }
  // Run uses RunOnThread when set (default true), Execute otherwise.
  bool UseThread() const { return m_UseThread; }
  void SetUseThread(bool on) { m_UseThread = on; }
  // Sinks are not owned and must outlive the run; null: no report / ask KVMessageDialog / no parameters
  // can be given.
  void SetReportSink(IQXExecReportSink* sink) { m_ReportSink = sink; }
  IQXExecReportSink* ReportSink() const { return m_ReportSink; }
  void SetAskUser(IQXAskUser* ask) { m_AskUser = ask; }
  void SetParameterPrompt(IQXParameterPrompt* prompt) { m_ParameterPrompt = prompt; }

  // One whole run on the calling thread (does nothing without a tree or a progress sink). An error that
  // ends the run passes on after everything opened is closed (destination databases committed) and the
  // statistics and total duration are reported.
  void Execute(IQXProgressSink* progress);
  // Execute on a TQXExecThread; waits for it and raises the error that ended the run again on the calling
  // thread (the original exception object, so class, severity, object and routine are kept).
  void RunOnThread(IQXProgressSink* progress);
  // RunOnThread or Execute by UseThread.
  void Run(IQXProgressSink* progress);

  // How the last run ended, and the cancel flag as the last run left it.
  TQXRunResult Result() const { return m_Result; }
  bool Cancelled() const { return m_Cancel; }
  // The statistics of the source recordset read last.
  const TQXRunStatistics& Statistics() const { return m_Stats; }
  // Record errors the last run reported (one red line each), whatever the error action made of them: a
  // run that went on past failed records still dropped them.
  int64_t RecordErrors() const { return m_RecordErrors; }
  // Batches of the last run written on a thread of their own while the next records were read.
  int64_t BatchesWrittenInBackground() const { return m_BackgroundBatches; }

  // --- steps of a run, public for the validation and for tests
  // Whether the node takes part in a run now: definition data, checked and effectively enabled (Active),
  // run not cancelled. Each step checks the node data's class itself.
  bool Participates(const TKVTreeItem* item) const;
  // The number of participating source recordsets in the whole tree.
  int32_t CountSourceRecordsets() const;
  // The SQL parameter names of every participating source and destination recordset, sorted by name,
  // each once, with empty values.
  TKVNameAndValueList CollectSqlParameters() const;
  // Gives every parameter of every participating recordset the value entered for its name (as a string).
  void AssignSqlParameters(const TKVNameAndValueList& values);
  // Reads one source recordset node; false when the run has been cancelled.
  bool ReadSourceRecordset(TKVTreeItem& item);
  // Writes the current source record into every destination recordset below the node and applies the
  // transaction rule. Always true.
  bool WriteDestDatabase(TKVTreeItem& item);
  // Writes the current source record into one destination recordset (EIgnoreRecord never leaves it).
  void WriteDestRecordset(TKVTreeItem& item);
  // Writes the red error line and answers whether to go on (by the error action).
  bool HandleRecordError(const std::exception& e);
  // For an error of a write through the destination database `db`: when the connection is gone, nothing
  // more can be written there and asking whether to go on would only add a red line per remaining record.
  // Then the error says so, gets its red line and true is returned: the run stops with it, whatever the
  // error action. False for any other error.
  bool HandleLostConnection(std::exception& e, TKVTreeItem& db);
  // Appends text followed by "\r\n" to the report (nothing without a report sink).
  void ReportLine(const std::string& text, uint32_t color, bool bold = false);

 private:
  struct TDestRSCache;
  struct TFieldCache;
  struct TQueuedRow;
  void AppendReport(const std::string& text, uint32_t color, bool bold);
  // Calls `visit` with the recordset of every participating source and destination recordset node.
  template <class F>
  void ForEachRunRecordset(const F& visit) const;
  void FlushReport();
  void ResetStatistics();
  void AddLocateValues(TKVTreeItem& rsItem, TDestRSCache& cache);
  bool LocateAndEditOrInsert(TKVTreeItem& rsItem, TDestRSCache& cache);
  void AssignDestFieldValue(TFieldCache& field, TKVOdbcRecordset& recordset);
  void KeepSourceRecord(const TDestRSCache& cache, TQueuedRow& q);
  // Appends the destination and source details to a record error's message: of the records as they are, or
  // of a queued row whose batch reported it.
  void AddErrorDetails(std::exception& e, TKVTreeItem& rsItem, const TQueuedRow* queued = nullptr);
  TDestRSCache& CacheFor(TKVTreeItem& rsItem);
  TDestRSCache* FindCache(const TKVTreeItem& rsItem) const;
  // Batched inserts: whether a destination recordset may collect its new records, queuing one, and writing
  // what was queued (the batch's failing rows go through the error action as their records would have).
  bool MayBatchInserts(TKVTreeItem& rsItem, TDestRSCache& cache) const;
  bool MayQueueAfterLocate(TDestRSCache& cache) const;
  void MakeQueueKey(TDestRSCache& cache, bool stored);
  void QueueInsert(TDestRSCache& cache);
  // Batched edits of an upsert: whether a recordset that locates by its integer primary key may look keys up
  // in a window of the table's keys and collect the edits of the records it finds; queuing one such edit;
  // writing the queued ones (failing ones go through the error action as their records would have).
  bool MayBatchEdits(TDestRSCache& cache) const;
  void SetUpKeyWindow(TDestRSCache& cache);
  void QueueEdit(TDestRSCache& cache);
  void FlushEdits(TDestRSCache& cache);
  void StopBatchingEdits(TDestRSCache& cache);
  // Writes the queued inserts, then the queued edits.
  void FlushBatch(TDestRSCache& cache);
  void FlushInserts(TDestRSCache& cache);
  // Overlapped writing: whether a batched recordset may write a full batch on a thread of its own while the
  // next records are read and queued; starting that; finishing the batch in flight (its outcome handled as
  // a flush's, before anything else uses the connection).
  bool MayOverlapWrites(const TDestRSCache& cache) const;
  void FlushInsertsInBackground(TDestRSCache& cache);
  void FlushEditsInBackground(TDestRSCache& cache);
  void FinishInFlight(TDestRSCache& cache);
  void DropQueuedAfterStop(TDestRSCache& cache);
  // Writes a queued edit of a failed batch as it would have been written at once.
  std::function<void(size_t)> EditReplay(TDestRSCache& cache, std::vector<TQueuedRow>& queued);
  // `inFlight`: the outcome of the batch written in the background, instead of a flush of the pending rows.
  void WriteBatch(TDestRSCache& cache, TKVOdbcBatchInserter& batch, const std::vector<TQueuedRow>& queued,
                  const std::function<void(size_t)>& writeRow, int32_t& runCount, int32_t& nodeCount,
                  bool lossMovesWindow, bool inFlight = false);
  void FlushAllBatches();
  void TakeFieldValue(TKVTreeItem& rsItem, TDestRSCache& cache, TFieldCache& field);
  void WriteStatisticsBlock(double sourceStart);
  // The counters of the recordsets below a destination database whose connection was lost go back to what
  // its last commit kept: the server dropped the rest.
  void ForgetUncommitted(TKVTreeItem& db);
  // Describes the participating nodes below a source recordset (and itself) to the wait watch.
  void DescribeWaits(TKVTreeItem& sourceItem);

  // The steps of Execute. BeginRun resets the run's state; EndRun, which runs however the run ends, reports
  // the total duration and lets go of the sinks.
  void BeginRun(IQXProgressSink& progress);
  void ReportRunHeading();
  // Asks for the values of the tree's SQL parameters and assigns them; false when the user cancelled.
  bool AskForSqlParameters();
  // Opens a top-level database node (a source one streaming) and reads its source recordsets; closes it.
  void RunTopLevelNode(TKVTreeItem& top);
  void EndRun();

  // The steps of ReadSourceRecordset. TOpenedNodes closes what the reading opened and restores the settings
  // it changed, however the reading ends.
  class TOpenedNodes;
  // Reports and announces the reading, resets the per-source state; returns its start.
  double BeginSourceRecordset(TKVTreeItem& item);
  // The number of records to read (at most the node's maximum); -1 when unknown: read to the end.
  int32_t RecordsToRead(TQXDSourceRSData& source);
  void OpenNodesBelow(TKVTreeItem& sourceItem, TOpenedNodes& opened);
  // Writes record after record into the destination databases below the source, until `count` records (or
  // the data, or the user's cancel) end.
  void CopySourceRecords(TKVTreeItem& sourceItem, TQXDSourceRSData& source, int32_t count);
  // Raises the error of a fetch that failed (rather than ending as if the data had ended).
  void MoveToNextSourceRecord(TQXDSourceRSData& source);
  // After the error that ends the reading: writes what was queued, and forgets what a lost connection dropped.
  void WriteQueuedAfterError();

  class TNodeReportAdapter;
  // The progress sink's cancel request, handed to function calls.
  class TCallCancel : public IQXCancelCheck {
   public:
    explicit TCallCancel(const TQXExecuter& executer) : m_Executer(executer) {}
    bool CancelRequested() const override {
      return m_Executer.m_Progress && m_Executer.m_Progress->CancelRequested();
    }

   private:
    const TQXExecuter& m_Executer;
  };
  TQXDTreeView* m_Tree;
  int m_ErrorAction = 0;
  bool m_UseThread = true;
  IQXExecReportSink* m_ReportSink = nullptr;
  IQXAskUser* m_AskUser = nullptr;
  IQXParameterPrompt* m_ParameterPrompt = nullptr;
  IQXProgressSink* m_Progress = nullptr;
  bool m_Cancel = false;
  TQXRunResult m_Result = TQXRunResult::NotRun;
  double m_OperationStart = 0, m_SourceStart = 0;
  TQXRunStatistics m_Stats;
  int64_t m_RecordErrors = 0;
  int64_t m_BackgroundBatches = 0;
  std::unique_ptr<TNodeReportAdapter> m_NodeReport;
  TCallCancel m_CallCancel{*this};
  TQXReportLine m_PendingLine;
  std::vector<std::unique_ptr<TDestRSCache>> m_Caches;
  std::chrono::milliseconds m_WaitNotice{1000};
  std::unique_ptr<TQXWaitWatch> m_Watch;
  TKVTreeItem* m_LostDatabase = nullptr;
};

// The worker thread of a run: starts at once, runs the executer's Execute with the sink it was given and
// keeps any exception escaping it. Holds a reference to the executer until its body ends.
class TQXExecThread {
 public:
  TQXExecThread(TQXExecuter& executer, IQXProgressSink* progress);
  ~TQXExecThread();  // waits for the thread
  TQXExecThread(const TQXExecThread&) = delete;
  TQXExecThread& operator=(const TQXExecThread&) = delete;
  // Waits for the body to end (no time limit).
  void WaitFor();
  // The exception that escaped Execute (null when none), and its facts.
  std::exception_ptr Exception() const { return m_Exception; }
  const TKVExceptionInformation& ExceptionInformation() const { return m_Info; }

 private:
  TKVRef<TQXExecuter> m_Executer;
  std::exception_ptr m_Exception;
  TKVExceptionInformation m_Info;
  std::thread m_Thread;
};

// --- Report formatting helpers (shared with the report writers and the terminal) ------------------------

// An elapsed time in milliseconds as "hh:nn:ss.zzz"; the hour field is the hour of the day, so 25 hours
// show as 01.
std::string QXFormatElapsed(int64_t milliseconds);
// Elapsed time between two date-time values (days), in milliseconds, never negative.
int64_t QXElapsedMilliseconds(double from, double to);
// Local date and time as the report shows it (short date, blank, long time).
std::string QXFormatReportDateTime(double value);
// A time of day as the report shows durations ("hh:nn:ss", long time format, no date).
std::string QXFormatReportTime(double days);
// An error message made one line: every run of blanks, tabs and line breaks becomes one blank, a run that
// held a line break becomes ", " and that blank; trailing white space is dropped.
std::string QXMessageOneLine(const std::string& message);
