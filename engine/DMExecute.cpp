#include "engine/DMExecute.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "db/KVConnectionString.h"
#include "db/KVOdbcBatchInsert.h"
#include "db/KVOdbcError.h"
#include "db/KVOdbcKeyWindow.h"
#include "db/KVOdbcParamType.h"
#include "db/KVOdbcRowWriter.h"
#include "db/KVSqlText.h"
#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVScopeExit.h"
#include "foundation/KVText.h"
#include "foundation/KVTrace.h"

namespace {

constexpr const char* kContinueQuestion = "Continue Operation";
// Bits of TQXDDestRSData::RunFlags.
constexpr uint8_t kRecordSkipped = 1;
// TQXDDestFieldData::RunInfo slots: [0] value assigned, [1] locate variant type (0x80000000 unresolved).
constexpr size_t kInfoAssigned = 0, kInfoLocateType = 1;
constexpr int32_t kUnresolvedType = static_cast<int32_t>(0x80000000u);

// Leaves the record being written without writing it. Its own outcome (skipped, or the error that
// stopped it) is what the run goes on with, so a failure to let go of it is only traced.
void DropRecord(TKVOdbcRecordset& rs) {
  KVTraceFailures("cancelling a destination record", [&rs] { rs.Cancel(); });
}

std::string TextOf(const TKVVariant& v) { return v.IsEmptyOrNull() ? std::string() : v.AsString(); }

bool IsNullOrEmptyString(const TKVVariant& v) {
  if (v.IsNull()) return true;
  return v.IsString() && v.AsString().empty();
}

// Lets the engine extend the message of an error in flight (the details of a failed write) without
// knowing its class: the message is the base's protected member.
struct TMessageAccess : Exception {
  static std::string& Of(Exception& e) { return e.*(&TMessageAccess::m_Message); }
};

// The one address the wait watch knows a node by, whichever of its classes the caller holds.
const void* WaitKey(const TQXDDataBase* node) { return node; }

int64_t TickMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

template <class F>
void VisitPreOrder(TKVTreeItem& item, const F& visit) {
  visit(item);
  for (size_t i = 0; i < item.ChildCount(); ++i) VisitPreOrder(*item.Child(i), visit);
}

// Each driver reads the whole result of a statement into client memory unless its connection says
// otherwise; a source table of millions of rows would then have to fit into memory. psqlODBC fetches through
// a server-side cursor with "UseDeclareFetch", the SQLite driver steps through the result with "StepAPI",
// and the MariaDB driver streams forward-only results with "NO_CACHE" (from its version 3.1.17 on; older
// ones ignore the key). Only source connections get it: a destination re-executes its locate for every
// record, and a declared cursor would triple the round trips there.
struct TStreamingSetting {
  std::vector<const char*> DriverNames;  // lower-case parts of the "Driver" value
  const char* DbmsName;                  // SQL_DBMS_NAME, for connections through a data source name
  const char* Key;
};
const std::vector<TStreamingSetting>& StreamingSettings() {
  static const std::vector<TStreamingSetting> settings = {
      {{"postgres", "psqlodbc"}, "PostgreSQL", "UseDeclareFetch"},
      {{"sqlite"}, "SQLite", "StepAPI"},
      {{"mariadb", "maodbc", "mysql"}, "MariaDB", "NO_CACHE"},
  };
  return settings;
}

const TStreamingSetting* SettingForDriver(const std::string& connectionString) {
  const std::string driver = KVLowerCase(TKVConnectionStringParser(connectionString).Value("Driver"));
  if (driver.empty()) return nullptr;
  for (const TStreamingSetting& s : StreamingSettings())
    for (const char* name : s.DriverNames)
      if (driver.find(name) != std::string::npos) return &s;
  return nullptr;
}

const TStreamingSetting* SettingForDbms(const std::string& dbmsName) {
  for (const TStreamingSetting& s : StreamingSettings())
    if (KVSameText(dbmsName, s.DbmsName)) return &s;
  return nullptr;
}

// Opens a source database node so that its reads stream. Returns the connection string to put back after
// the close ("" when it was left as it is). A string in which the user gave the setting is never changed.
std::string OpenSourceConnection(TQXDConnectionData& node) {
  TKVOdbcConnectProperties& properties = node.Connection().Properties();
  const std::string original = properties.ConnectionString();
  // Opens with the streaming setting; a failed open puts the user's connection string back.
  auto openStreaming = [&](const TStreamingSetting& setting) {
    TKVConnectionStringParser parser(original);
    if (parser.Contains(setting.Key)) {
      node.Open();
      return std::string();
    }
    parser.SetValue(setting.Key, "1");
    properties.SetConnectionString(parser.Text());
    try {
      node.Open();
    } catch (...) {
      // Raised again below; the node goes back to the user's connection string.
      node.Close();
      properties.SetConnectionString(original);
      throw;
    }
    return original;
  };
  if (const TStreamingSetting* setting = SettingForDriver(original)) return openStreaming(*setting);
  node.Open();
  // A data source name hides the driver: ask the server, and connect again with the setting.
  const TStreamingSetting* setting = nullptr;
  try {
    setting = SettingForDbms(node.Connection().DbmsName());
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Warning, std::string("source connection: no DBMS name: ") + e.what());
  }
  if (!setting) return {};
  node.Close();
  return openStreaming(*setting);
}

// Whether a participating field below the destination database of `destRS` takes its value from the last
// record written there ("From other destination recordset" naming its title).
bool ReadByOriginOneFields(TKVTreeItem& destRS) {
  TKVTreeItem* db = destRS.Parent();
  if (!db) return false;
  bool read = false;
  VisitPreOrder(*db, [&](TKVTreeItem& node) {
    auto* f = node.DataAs<TQXDDestFieldData>();
    if (f && f->Active() && f->FieldValueorigin() == fvoDestRecordset &&
        KVSameText(f->DestRecordsetName(), destRS.Title()))
      read = true;
  });
  return read;
}

// "name: literal" joined by ", ", the form every value list of an error's details takes.
void AppendNamedValue(std::string& out, const std::string& name, const TKVVariant& value) {
  if (!out.empty()) out += ", ";
  out += name + ": " + KVValueAsSQLLiteral(value);
}

std::string RecordValuesText(TKVOdbcRecordsetBase& rs) {
  std::string out;
  for (size_t i = 0; i < rs.FieldCount(); ++i) AppendNamedValue(out, rs.Field(i).Name(), rs.Field(i).Value());
  return out;
}

// The record error that ends a run, found while a batch was written: the error action has already been
// asked about it and its red line written. It passes the per-record error handling of the record being
// processed when the batch was written (whose details it does not carry, and which must not report it a
// second time); the source recordset's loop ends the run with the error inside.
struct TQXHandledRecordError {
  std::exception_ptr Error;
};

std::exception_ptr WithoutHandledWrapper(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const TQXHandledRecordError& handled) {
    return handled.Error;
  } catch (...) {
    return error;  // any other error is the error itself
  }
}

}  // namespace

// --- report helpers --------------------------------------------------------------------------------------

std::string TQXReportLine::Text() const {
  std::string s;
  for (const TQXReportRun& r : Runs) s += r.Text;
  return s;
}

std::string QXFormatElapsed(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  int64_t ms = milliseconds % 1000, s = (milliseconds / 1000) % 60, m = (milliseconds / 60000) % 60,
          h = (milliseconds / 3600000) % 24;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>(h), static_cast<int>(m),
                static_cast<int>(s), static_cast<int>(ms));
  return buf;
}

int64_t QXElapsedMilliseconds(double from, double to) {
  double ms = (to - from) * 86400000.0;
  return ms <= 0 ? 0 : static_cast<int64_t>(ms + 0.5);
}

std::string QXFormatReportDateTime(double value) {
  try {
    return KVFormatFixedDateTime(value);
  } catch (const std::exception&) {
    KVTraceDropped("a date outside the report's range");
    return {};  // the line goes out without its date
  }
}

std::string QXFormatReportTime(double days) {
  std::string t = QXFormatElapsed(QXElapsedMilliseconds(0, days));
  return t.substr(0, 8);
}

std::string QXMessageOneLine(const std::string& message) {
  std::string out;
  size_t i = 0;
  while (i < message.size()) {
    char c = message[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      bool lineBreak = false;
      while (i < message.size() &&
             (message[i] == ' ' || message[i] == '\t' || message[i] == '\r' || message[i] == '\n')) {
        if (message[i] == '\r' || message[i] == '\n') lineBreak = true;
        ++i;
      }
      if (i == message.size()) break;  // trailing white space is dropped
      out += lineBreak ? ", " : " ";
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

// --- per destination recordset caches --------------------------------------------------------------------

struct TQXExecuter::TFieldCache {
  TKVTreeItem* Item = nullptr;
  TQXDDestFieldData* Data = nullptr;
  std::vector<TQXDFieldFuncData*> Functions;
  TKVOdbcField* SourceField = nullptr;          // origin 0, valid while the source is open
  // Where the destination field was last found among the recordset's fields; checked by name before use, as
  // a re-execution may make the fields anew.
  size_t TargetIndex = SIZE_MAX;
  TQXDDestRSData* OtherRecordset = nullptr;     // origin 1
  bool TakesValue() const {
    return Data->LocateWithValue() || Data->AssignValueWhenEditing() || Data->AssignValueWhenInserting();
  }
  bool Assigned() const { return Data->RunInfo[kInfoAssigned] != 0; }
  // The recordset's field this destination field writes: found by name once, then at its remembered place.
  TKVOdbcField& Target(TKVOdbcRecordset& recordset) {
    if (TargetIndex < recordset.FieldCount()) {
      TKVOdbcField& candidate = recordset.Field(TargetIndex);
      if (KVSameText(candidate.Name(), Data->DestFieldname())) return candidate;
    }
    TKVOdbcField& found = recordset.FieldByName(Data->DestFieldname());
    for (size_t i = 0; i < recordset.FieldCount(); ++i)
      if (&recordset.Field(i) == &found) TargetIndex = i;
    return found;
  }
};

struct TQXExecuter::TQueuedRow {
  int32_t SourcePosition = 0;
  std::vector<TKVVariant> DestValues, SourceValues;
  // A queued edit: the key of its row, and the record's values as its failed write left them (the located
  // row with the new values), which its error shows as an edit written at once would.
  bool Edit = false;
  TKVVariant Key;
  std::string EditedValues;
};

struct TQXExecuter::TDestRSCache {
  TKVTreeItem* Item = nullptr;
  TQXDDestRSData* Data = nullptr;
  TKVTreeItem* SourceItem = nullptr;
  TQXDSourceRSData* Source = nullptr;  // SourceItem's data
  std::vector<TFieldCache> Fields;
  struct TLocate {
    const TQXDDestFieldData* Field;
    TKVVariant Value;
  };
  std::vector<TLocate> Locate;  // reused record after record
  std::string Condition;
  std::vector<TKVOdbcRecordsetBase::TKVBoundValue> BoundValues;
  // An insert-only recordset that nothing reads back collects its new records and writes them with
  // parameter arrays. Each queued row keeps what its error report would show: its source position, the
  // values to be written (Empty for a field without one) and the source record's values. Slots are reused.
  std::unique_ptr<TKVOdbcBatchInserter> Batch;
  std::vector<TQueuedRow> Queued;
  // A full batch may be written on a thread of its own while the next one gathers (MayOverlapWrites): the
  // queued rows of the batch in flight.
  bool Overlap = false;
  std::vector<TQueuedRow> QueuedInFlight, QueuedEditsInFlight;
  std::unordered_set<std::string> QueuedKeysInFlight;  // the locate keys of the inserts in flight
  // The recordset's counters at its database's last commit (what a lost connection keeps).
  int32_t CommittedInserted = 0, CommittedEdited = 0;
  // A recordset that locates before it inserts: the locate values of the queued rows. A record whose locate
  // values are among them would find its row only once it is written: the batch is written first.
  bool QueuesAfterLocate = false;
  std::unordered_set<std::string> QueuedKeys;
  std::string Key;  // the current record's, reused
  // An upsert locating by its integer primary key (MayBatchEdits) answers its locate from a window of the
  // table's keys, and queues the edits of the records it finds: the edit batch's rows and their keys (a key
  // edited again waits for the batch to be written). Inserts and edits are never pending at once, so that
  // the table sees every change in record order.
  std::unique_ptr<TKVOdbcKeyWindow> Window;
  std::unique_ptr<TKVOdbcBatchInserter> Edits;
  std::vector<TQueuedRow> QueuedEdits;
  std::unordered_set<int64_t> EditKeys;
  std::string KeyField, KeyCondition;  // the locate field, and the condition locating by it
  std::vector<TKVOdbcRecordsetBase::TKVBoundValue> ReplayValues;
  bool EditFound = false;      // the current record's row exists and waits to be edited in the batch
  bool CurrentKeyKnown = false;  // the window answered for the current record's key
  int64_t CurrentKey = 0;
};

// Hands the destination recordset nodes' summary lines to the report.
class TQXExecuter::TNodeReportAdapter : public IQXReportSink {
 public:
  explicit TNodeReportAdapter(TQXExecuter& owner) : m_Owner(owner) {}
  void ReportLine(const std::string& text, uint32_t color) override { m_Owner.AppendReport(text, color, false); }

 private:
  TQXExecuter& m_Owner;
};

// --- executer ----------------------------------------------------------------------------------------------

TQXExecuter::TQXExecuter(TQXDTreeView* tree) : m_Tree(tree), m_NodeReport(std::make_unique<TNodeReportAdapter>(*this)) {}

TQXExecuter::~TQXExecuter() = default;

void TQXExecuter::AppendReport(const std::string& text, uint32_t color, bool bold) {
  if (!m_ReportSink) return;
  size_t start = 0;
  while (start <= text.size()) {
    size_t brk = text.find("\r\n", start);
    std::string piece = text.substr(start, brk == std::string::npos ? std::string::npos : brk - start);
    if (!piece.empty()) m_PendingLine.Runs.push_back(TQXReportRun{std::move(piece), color, bold});
    if (brk == std::string::npos) break;
    m_ReportSink->ReportLine(m_PendingLine);
    m_PendingLine.Runs.clear();
    start = brk + 2;
  }
}

void TQXExecuter::FlushReport() {
  if (m_ReportSink && !m_PendingLine.Runs.empty()) m_ReportSink->ReportLine(m_PendingLine);
  m_PendingLine.Runs.clear();
}

void TQXExecuter::ReportLine(const std::string& text, uint32_t color, bool bold) {
  AppendReport(text + "\r\n", color, bold);
}

void TQXExecuter::ResetStatistics() { m_Stats = TQXRunStatistics{}; }

bool TQXExecuter::Participates(const TKVTreeItem* item) const {
  if (m_Cancel || !item) return false;
  const TQXDDataBase* d = QXDData(item);
  return d && d->Active();
}

int32_t TQXExecuter::CountSourceRecordsets() const {
  if (!m_Tree) return 0;
  int32_t n = 0;
  for (size_t t = 0; t < m_Tree->TopLevelCount(); ++t) {
    TKVTreeItem* db = m_Tree->TopLevel(t);
    if (!Participates(db) || !db->DataAs<TQXDSourceConnectionData>()) continue;
    for (size_t i = 0; i < db->ChildCount(); ++i)
      if (Participates(db->Child(i)) && db->Child(i)->DataAs<TQXDSourceRSData>()) ++n;
  }
  return n;
}

template <class F>
void TQXExecuter::ForEachRunRecordset(const F& visit) const {
  if (!m_Tree) return;
  for (size_t t = 0; t < m_Tree->TopLevelCount(); ++t) {
    VisitPreOrder(*m_Tree->TopLevel(t), [&](TKVTreeItem& item) {
      auto* rs = item.DataAs<TQXDRecordsetData>();
      if (!rs || !Participates(&item)) return;
      if (item.DataAs<TQXDSourceRSData>() || item.DataAs<TQXDDestRSData>()) visit(rs->Recordset());
    });
  }
}

TKVNameAndValueList TQXExecuter::CollectSqlParameters() const {
  TKVNameAndValueList list;
  ForEachRunRecordset([&](TKVOdbcRecordset& rs) {
    for (const std::string& name : KVSqlParameterNames(rs.Sql().Text())) {
      auto pos = std::lower_bound(list.begin(), list.end(), name, [](const TKVNameAndValueObj& e, const std::string& n) {
        return KVCompareText(e.Name, n) < 0;
      });
      if (pos != list.end() && KVCompareText(pos->Name, name) == 0) continue;
      list.insert(pos, TKVNameAndValueObj{name, {}});
    }
  });
  return list;
}

void TQXExecuter::AssignSqlParameters(const TKVNameAndValueList& values) {
  ForEachRunRecordset([&](TKVOdbcRecordset& rs) {
    TKVSqlProperty& sql = rs.Sql();
    for (const std::string& name : KVSqlParameterNames(sql.Text())) {
      for (const TKVNameAndValueObj& v : values) {
        if (KVCompareText(v.Name, name) != 0) continue;
        // The user enters SQL literals ("'abc'", 42): the text goes into the statement unchanged.
        TKVSqlParameter& parameter = sql.Parameters().Add(name);
        parameter.SetLiteral(true);
        parameter.SetValue(TKVVariant::FromString(v.Value));
        break;
      }
    }
  });
}

void TQXExecuter::Execute(IQXProgressSink* progress) {
  if (!m_Tree || !progress) return;
  BeginRun(*progress);
  const TKVOnExit endRun("ending the run", [this] { EndRun(); });
  progress->SetOperationCount(CountSourceRecordsets());
  ReportRunHeading();
  if (!AskForSqlParameters()) {
    m_Result = TQXRunResult::ParametersCancelled;
    return;
  }
  for (size_t t = 0; t < m_Tree->TopLevelCount(); ++t) RunTopLevelNode(*m_Tree->TopLevel(t));
  m_Result = m_Cancel ? TQXRunResult::Cancelled : TQXRunResult::Completed;
}

void TQXExecuter::BeginRun(IQXProgressSink& progress) {
  m_Progress = &progress;
  m_Result = TQXRunResult::Failed;  // until the run gets to its end
  m_RecordErrors = 0;
  m_BackgroundBatches = 0;
  ResetStatistics();
  m_Cancel = false;
  m_OperationStart = m_SourceStart = KVNow();
  m_PendingLine.Runs.clear();
  m_Watch = std::make_unique<TQXWaitWatch>(m_WaitNotice, [&progress](const std::string& text) {
    progress.ShowWaiting(text);
  });
}

void TQXExecuter::ReportRunHeading() {
  ReportLine("\r\n", kQXColorBlack);
  std::string started = std::string("Operation Started") + ": " + QXFormatReportDateTime(m_OperationStart);
  ReportLine(started, kQXColorNavy, true);
  ReportLine(std::string(started.size(), '='), kQXColorNavy, true);
}

bool TQXExecuter::AskForSqlParameters() {
  TKVNameAndValueList parameters = CollectSqlParameters();
  if (parameters.empty()) return true;
  if (!m_ParameterPrompt)
    throw EKVException("No value has been given for the SQL parameter \"" + parameters.front().Name + "\"", this,
                       "TQXExecuter.Execute");
  if (!m_ParameterPrompt->AskParameters(parameters)) return false;
  AssignSqlParameters(parameters);
  return true;
}

void TQXExecuter::RunTopLevelNode(TKVTreeItem& top) {
  TQXDDataBase* data = QXDData(&top);
  if (!data || !Participates(&top)) return;
  auto* sourceDb = top.DataAs<TQXDSourceConnectionData>();
  // The user's connection string, while the source runs with one of its own ("" otherwise).
  std::string userConnectionString;
  const TKVOnExit restore("putting a source's connection string back", [&] {
    if (!userConnectionString.empty()) sourceDb->Connection().Properties().SetConnectionString(userConnectionString);
  });
  const TKVOnExit close("closing a database node after the run", [data] { data->Close(); });
  if (!sourceDb) {
    data->Open();
    return;
  }
  userConnectionString = OpenSourceConnection(*sourceDb);
  for (size_t i = 0; i < top.ChildCount(); ++i)
    if (!ReadSourceRecordset(*top.Child(i))) break;
}

void TQXExecuter::EndRun() {
  m_Watch.reset();  // before the sink goes: it is the watch's receiver
  KVTraceFailures("reporting the run's duration", [this] {
    ReportLine("\r\n\r\n", kQXColorBlack);
    ReportLine(std::string("Total Operation Duration") + ": " +
                   QXFormatElapsed(QXElapsedMilliseconds(m_OperationStart, KVNow())),
               kQXColorNavy, true);
    FlushReport();
  });
  m_Progress = nullptr;
  m_Caches.clear();
}

void TQXExecuter::WriteStatisticsBlock(double sourceStart) {
  double now = KVNow();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d", m_Stats.RecordsRead);
  ReportLine(std::string("   Records Read") + ": " + buf, kQXColorNavy);
  std::snprintf(buf, sizeof buf, "%d", m_Stats.Transactions);
  ReportLine(std::string("   Transactions") + ": " + buf, kQXColorNavy);
  ReportLine(std::string("   Duration") + ": " + QXFormatReportTime(now - sourceStart), kQXColorNavy);
  ReportLine("   WriteDestRS: " + QXFormatElapsed(m_Stats.WriteMilliseconds), kQXColorNavy);
  ReportLine("   Total: " + QXFormatElapsed(QXElapsedMilliseconds(sourceStart, now)), kQXColorNavy);
}

// What reading one source recordset opened and changed: the source itself and every participating node
// below it. However the reading ends, the destructor closes them all and gives each its own settings back.
class TQXExecuter::TOpenedNodes {
 public:
  // Keeps the source's settings.
  TOpenedNodes(TQXExecuter& owner, TQXDSourceRSData& source)
      : m_Owner(owner),
        m_Source(source),
        m_SourceCursor(source.Recordset().Properties().CursorType()),
        m_SourceStrategy(source.Recordset().Properties().UpdateStrategy()) {}
  ~TOpenedNodes();
  TOpenedNodes(const TOpenedNodes&) = delete;
  TOpenedNodes& operator=(const TOpenedNodes&) = delete;

  // The source streams through a forward-only cursor whatever the node's settings: a scrollable cursor
  // makes some drivers hold the whole result in memory. Read-only as well: the source is never written, and
  // an updatable cursor makes psqlODBC select its row identifier ("ctid") too, which the system views
  // (pg_stat_activity) do not have.
  void OpenSource();
  // Opens one participating node below the source; a destination recordset for its columns only.
  void OpenBelow(TKVTreeItem& node, TQXDDataBase& data);

 private:
  struct TNode {
    TQXDDataBase* Data;
    TQXDDestRSData* Dest;  // a destination recordset's own settings, put back after the close
    TKVCursorType Cursor;
    TKVRecordsetOpenMode Mode;
    IQXReportSink* Sink;
  };
  void CloseNodes();
  void RestoreDestinationSettings();

  TQXExecuter& m_Owner;
  TQXDSourceRSData& m_Source;
  const TKVCursorType m_SourceCursor;
  const TUpdateStrategy m_SourceStrategy;
  bool m_SourceOpened = false;  // set before the open: a failed open is closed as well
  std::vector<TNode> m_Nodes;   // in opening order, which is the order of their lines in the report
};

void TQXExecuter::TOpenedNodes::OpenSource() {
  TKVOdbcRecordset& rs = m_Source.Recordset();
  rs.Properties().SetCursorType(ctForwardOnly);
  rs.Properties().SetUpdateStrategy(usReadOnly);
  m_SourceOpened = true;
  m_Source.Open();
}

void TQXExecuter::TOpenedNodes::OpenBelow(TKVTreeItem& node, TQXDDataBase& data) {
  TNode opened{&data, node.DataAs<TQXDDestRSData>(), ctForwardOnly, TKVRecordsetOpenMode::ReadRows, nullptr};
  if (opened.Dest) {
    // Opening must not read the destination table: the locate executes its own condition.
    TKVOdbcRecordset& dr = opened.Dest->Recordset();
    opened.Cursor = dr.Properties().CursorType();
    opened.Mode = dr.OpenMode();
    opened.Sink = opened.Dest->ReportSink();
    dr.Properties().SetCursorType(ctForwardOnly);
    dr.SetOpenMode(TKVRecordsetOpenMode::ColumnsOnly);
    // Reading an inserted row back costs a query per record: only worth it when a field takes a value from
    // this recordset's last record (its generated key, a default).
    dr.SetReadBackInserted(ReadByOriginOneFields(node));
    opened.Dest->SetReportSink(m_Owner.m_NodeReport.get());
  }
  m_Nodes.push_back(opened);
  data.Open();
}

TQXExecuter::TOpenedNodes::~TOpenedNodes() {
  // The batch inserters hold statement handles of the destination connections: they go first.
  for (auto& c : m_Owner.m_Caches) {
    c->Batch.reset();
    c->Edits.reset();
    c->Window.reset();
  }
  CloseNodes();
  RestoreDestinationSettings();
  if (m_SourceOpened) KVTraceFailures("closing the source recordset after the run", [this] { m_Source.Close(); });
  KVTraceFailures("restoring the source recordset's settings", [this] {
    m_Source.Recordset().Properties().SetCursorType(m_SourceCursor);
    m_Source.Recordset().Properties().SetUpdateStrategy(m_SourceStrategy);
  });
  m_Owner.m_Caches.clear();
}

void TQXExecuter::TOpenedNodes::CloseNodes() {
  // Databases after everything below them: a disconnect frees the statement handles of its recordsets,
  // which their own close would then free a second time.
  for (bool databases : {false, true})
    for (TNode& n : m_Nodes) {
      if ((dynamic_cast<TQXDConnectionData*>(n.Data) != nullptr) != databases) continue;
      KVTraceFailures("closing a node after the run", [&] {
        TQXWaitWatch::TScope closing(m_Owner.m_Watch.get(), WaitKey(n.Data));
        n.Data->Close();
      });
    }
}

void TQXExecuter::TOpenedNodes::RestoreDestinationSettings() {
  for (TNode& n : m_Nodes) {
    if (!n.Dest) continue;
    KVTraceFailures("restoring a destination recordset's settings", [&] {
      TKVOdbcRecordset& dr = n.Dest->Recordset();
      dr.SetOpenMode(n.Mode);
      dr.Properties().SetCursorType(n.Cursor);
      dr.SetReadBackInserted(true);
    });
    n.Dest->SetReportSink(n.Sink);
  }
}

bool TQXExecuter::ReadSourceRecordset(TKVTreeItem& item) {
  auto* source = item.DataAs<TQXDSourceRSData>();
  if (!source || !Participates(&item) || !item.Parent()) return !m_Cancel;

  const double sourceStart = BeginSourceRecordset(item);
  std::exception_ptr error;
  {
    TOpenedNodes opened(*this, *source);
    try {
      opened.OpenSource();
      const int32_t count = RecordsToRead(*source);
      if (m_Progress) m_Progress->SetMaximum(count < 0 ? 0 : count);
      OpenNodesBelow(item, opened);
      DescribeWaits(item);
      CopySourceRecords(item, *source, count);
      // Records queued before the end (or a cancel) are written: they were read and counted.
      FlushAllBatches();
    } catch (...) {
      // Kept to be raised again once everything is closed.
      error = WithoutHandledWrapper(std::current_exception());
      WriteQueuedAfterError();
    }
  }
  if (error) {
    KVTraceFailures("reporting the statistics after the run's error", [&] { WriteStatisticsBlock(sourceStart); });
    std::rethrow_exception(error);
  }
  WriteStatisticsBlock(sourceStart);
  return !m_Cancel;
}

double TQXExecuter::BeginSourceRecordset(TKVTreeItem& item) {
  m_SourceStart = KVNow();
  std::string operation = std::string("Reading Data From") + ": " + item.Parent()->Title() + "." + item.Title();
  if (m_Progress) m_Progress->NextOperation(operation);
  ReportLine(QXFormatReportDateTime(m_SourceStart) + " " + operation, kQXColorDarkRed);
  ResetStatistics();
  m_Cancel = false;
  m_Caches.clear();
  m_LostDatabase = nullptr;
  return m_SourceStart;
}

int32_t TQXExecuter::RecordsToRead(TQXDSourceRSData& source) {
  TKVOdbcRecordset& rs = source.Recordset();
  int32_t n = rs.Scrollable() ? rs.RecordCount() : rs.CountBySelect();  // a forward-only cursor tells only 1
  if (source.MaxRecordsToRead() > 0 && (n < 0 || n > source.MaxRecordsToRead())) n = source.MaxRecordsToRead();
  return n;
}

void TQXExecuter::OpenNodesBelow(TKVTreeItem& sourceItem, TOpenedNodes& opened) {
  for (size_t c = 0; c < sourceItem.ChildCount(); ++c)
    VisitPreOrder(*sourceItem.Child(c), [&](TKVTreeItem& node) {
      TQXDDataBase* d = QXDData(&node);
      if (d && d->Active()) opened.OpenBelow(node, *d);
    });
}

void TQXExecuter::CopySourceRecords(TKVTreeItem& sourceItem, TQXDSourceRSData& source, int32_t count) {
  TKVOdbcRecordset& rs = source.Recordset();
  for (int32_t i = 1; (count < 0 || i <= count) && !m_Cancel; ++i) {
    if (!rs.HasCurrentRecord()) break;  // fewer rows than counted
    m_Stats.RecordsRead = i;
    if (m_Progress) m_Progress->ReportProgress(i, m_Cancel);
    for (size_t c = 0; c < sourceItem.ChildCount(); ++c) {
      TKVTreeItem* child = sourceItem.Child(c);
      // Participates(child) spelled out: one cast per child and record instead of two.
      auto* destDb = child->DataAs<TQXDDestConnectionData>();
      if (destDb && !m_Cancel && destDb->Active()) WriteDestDatabase(*child);
    }
    if (count < 0 || i < count) MoveToNextSourceRecord(source);
  }
}

void TQXExecuter::MoveToNextSourceRecord(TQXDSourceRSData& source) {
  TKVOdbcRecordset& rs = source.Recordset();
  TQXWaitWatch::TScope reading(m_Watch.get(), WaitKey(&source));
  rs.MoveToNext();
  // A fetch that failed leaves no current record, as the end of the data does: the server going away in
  // the middle must end the run with its error, not as if everything had been read.
  if (!rs.HasCurrentRecord() && rs.LastFetchReturnCode() != SQL_NO_DATA)
    KVOdbcCheck(rs.LastFetchReturnCode(), &rs, "TQXExecuter.ReadSourceRecordset");
}

void TQXExecuter::WriteQueuedAfterError() {
  // What was queued before the record that ended the run would have been written by then.
  KVTraceFailures("queued inserts after the run's error", [this] { FlushAllBatches(); });
  if (m_LostDatabase) ForgetUncommitted(*m_LostDatabase);
}

bool TQXExecuter::WriteDestDatabase(TKVTreeItem& item) {
  auto* db = item.DataAs<TQXDDestConnectionData>();
  if (!db) return true;
  for (size_t c = 0; c < item.ChildCount(); ++c) {
    TKVTreeItem* child = item.Child(c);
    auto* dest = child->DataAs<TQXDDestRSData>();
    if (!dest || m_Cancel || !dest->Active()) continue;  // Participates(child), with the cast made once
    try {
      TQXWaitWatch::TScope writing(m_Watch.get(), WaitKey(dest));
      WriteDestRecordset(*child);
    } catch (const EQXCallCancelled&) {
      // The user's cancel reached a long function call: the record is dropped like the rest of the run.
      m_Cancel = true;
      return true;
    } catch (std::exception& e) {
      if (HandleLostConnection(e, item) || !HandleRecordError(e)) throw;
    }
  }
  uint32_t size = static_cast<uint32_t>(db->TransactionSize());
  uint32_t done = static_cast<uint32_t>(m_Stats.RecordsInserted) + static_cast<uint32_t>(m_Stats.RecordsEdited);
  if (size != 0 && done >= static_cast<uint32_t>(m_Stats.LastCommitOperations) + size) {
    TQXWaitWatch::TScope committing(m_Watch.get(), WaitKey(db));
    // A commit makes the queued rows of this database's recordsets part of the transaction first.
    for (size_t c = 0; c < item.ChildCount(); ++c)
      if (TDestRSCache* cache = FindCache(*item.Child(c))) FlushBatch(*cache);
    done = static_cast<uint32_t>(m_Stats.RecordsInserted) + static_cast<uint32_t>(m_Stats.RecordsEdited);
    db->Connection().CommitTransaction();
    for (size_t c = 0; c < item.ChildCount(); ++c)
      if (TDestRSCache* cache = FindCache(*item.Child(c))) {
        cache->CommittedInserted = cache->Data->RecordsInserted;
        cache->CommittedEdited = cache->Data->RecordsEdited;
        // What other connections committed meanwhile is seen from the next transaction on.
        if (cache->Window) cache->Window->Reset();
      }
    m_Stats.LastCommitOperations = static_cast<int32_t>(done);
    ++m_Stats.Transactions;
    db->Connection().BeginTransaction();
  }
  return true;
}

TQXExecuter::TDestRSCache& TQXExecuter::CacheFor(TKVTreeItem& rsItem) {
  for (auto& c : m_Caches)
    if (c->Item == &rsItem) return *c;
  auto cache = std::make_unique<TDestRSCache>();
  cache->Item = &rsItem;
  cache->Data = rsItem.DataAs<TQXDDestRSData>();
  cache->SourceItem = QXDFindAncestorItem<TQXDSourceRSData>(&rsItem);
  if (cache->SourceItem) cache->Source = cache->SourceItem->DataAs<TQXDSourceRSData>();
  for (size_t i = 0; i < rsItem.ChildCount(); ++i) {
    TKVTreeItem* f = rsItem.Child(i);
    auto* fd = f->DataAs<TQXDDestFieldData>();
    if (!fd || !fd->Active()) continue;
    TFieldCache fc;
    fc.Item = f;
    fc.Data = fd;
    for (size_t k = 0; k < f->ChildCount(); ++k) {
      auto* fn = f->Child(k)->DataAs<TQXDFieldFuncData>();
      if (fn && fn->Active()) fc.Functions.push_back(fn);
    }
    cache->Fields.push_back(std::move(fc));
  }
  if (MayBatchInserts(rsItem, *cache)) {
    auto* db = rsItem.Parent()->DataAs<TQXDDestConnectionData>();
    size_t capacity = std::min<size_t>(TKVOdbcBatchInserter::kDefaultCapacity,
                                       static_cast<size_t>(static_cast<uint32_t>(db->TransactionSize())));
    cache->Batch = std::make_unique<TKVOdbcBatchInserter>(cache->Data->Recordset(), capacity);
    cache->QueuesAfterLocate = !cache->Data->AlwaysInsertNewRecord();
    if (cache->QueuesAfterLocate) SetUpKeyWindow(*cache);
    cache->Overlap = MayOverlapWrites(*cache);
  }
  m_Caches.push_back(std::move(cache));
  return *m_Caches.back();
}

TQXExecuter::TDestRSCache* TQXExecuter::FindCache(const TKVTreeItem& rsItem) const {
  for (auto& c : m_Caches)
    if (c->Item == &rsItem) return c.get();
  return nullptr;
}

// A batch changes when rows reach the table, not what reaches it: only where nothing could see the
// difference. The rows of a transaction are seen at its commit, so the database works in transactions (in
// autocommit every row is seen at once, and must be), large enough for arrays to pay; the recordset always
// inserts, no field reads its rows back, its connection writes through our own statements (not the
// driver's positioned operations), and no other destination recordset of this source recordset works on
// the same table (its locate would miss rows still queued).
constexpr int32_t kMinBatchTransactionSize = 64;

bool TQXExecuter::MayBatchInserts(TKVTreeItem& rsItem, TDestRSCache& cache) const {
  TQXDDestRSData& dest = *cache.Data;
  TKVOdbcRecordset& rs = dest.Recordset();
  if (rs.ReadsBackInserted() || !rs.Active()) return false;
  if (!dest.AlwaysInsertNewRecord() && !MayQueueAfterLocate(cache)) return false;
  auto* db = rsItem.Parent() ? rsItem.Parent()->DataAs<TQXDDestConnectionData>() : nullptr;
  if (!db) return false;
  const auto size = static_cast<uint32_t>(db->TransactionSize());
  if (size < static_cast<uint32_t>(kMinBatchTransactionSize)) return false;
  // For comparing both ways of writing (the benchmark): DABRIX_NO_BATCH_INSERTS=1 writes record by record.
  if (const char* off = std::getenv("DABRIX_NO_BATCH_INSERTS"); off && *off && *off != '0') return false;
  if (!rs.Connection() || rs.Connection()->Properties().CursorOrigin() == coUseDriverCursors) return false;

  const std::string table(KVTrim(rs.Sql().Clause(TKVSqlClause::From)));
  if (table.empty() || !cache.SourceItem) return false;
  bool shared = false;
  VisitPreOrder(*cache.SourceItem, [&](TKVTreeItem& node) {
    auto* other = node.DataAs<TQXDDestRSData>();
    if (!other || &node == &rsItem || !other->Active()) return;
    if (KVSameText(KVTrim(other->Recordset().Sql().Clause(TKVSqlClause::From)), table)) shared = true;
  });
  if (shared) return false;
  try {
    KVSingleTableOfFromClause(table, &rs);
  } catch (const std::exception&) {
    return false;  // not one table: the row writer raises its own error for each record
  }
  return true;
}

// A record not found by its locate values may wait in the batch too, when whether a later record finds it
// depends on nothing but its locate values being the same: every locate field writes its value into the new
// row unchanged, into an integer column (equal in the database exactly when equal here: no collation, no
// rounding), and no other field writes that column. Records that are found are edited at once, after the
// queued rows are written, so that the database sees every change in record order.
bool TQXExecuter::MayQueueAfterLocate(TDestRSCache& cache) const {
  TQXDDestRSData& dest = *cache.Data;
  if (!dest.InsertRecordIfNotExists()) return false;
  TKVOdbcRecordset& rs = dest.Recordset();
  bool any = false;
  for (const TFieldCache& f : cache.Fields) {
    if (!f.Data->LocateWithValue()) continue;
    any = true;
    if (!f.Data->AssignValueWhenInserting() || f.Data->AssignMode() != amAssignValue) return false;
    for (const TFieldCache& other : cache.Fields)
      if (&other != &f && KVSameText(other.Data->DestFieldname(), f.Data->DestFieldname())) return false;
    const TKVOdbcField* field = nullptr;
    for (size_t i = 0; i < rs.FieldCount() && !field; ++i)
      if (KVSameText(rs.Field(i).Name(), f.Data->DestFieldname())) field = &rs.Field(i);
    if (!field) return false;
    switch (field->DataType()) {
      case fdtInt8: case fdtUInt8: case fdtInt16: case fdtUInt16: case fdtInt32: case fdtUInt32: case fdtInt64:
      case fdtUInt64:
        break;
      default:
        return false;
    }
  }
  return any;
}

// The locate values of the current record (set by LocateAndEditOrInsert) as one text; with `stored`, the
// values its new row holds in the locate columns instead, as a locate would compare them (a value converted
// on its way into the field, a fraction cut off, is found by what was stored, not by what was given).
void TQXExecuter::MakeQueueKey(TDestRSCache& cache, bool stored) {
  cache.Key.clear();
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  for (const auto& l : cache.Locate) {
    if (stored) {
      TKVVariant v = rs.FieldByName(l.Field->DestFieldname()).Value();
      const auto type = static_cast<uint16_t>(l.Field->RunInfo[kInfoLocateType]);
      cache.Key += KVValueAsSQLLiteral(v.IsNull() || v.VarType() == type ? v : v.ChangeType(type));
    } else {
      cache.Key += KVValueAsSQLLiteral(l.Value);
    }
    cache.Key += '\x1f';
  }
}

// A queued row keeps its source record: a failure reported when the batch is written names the record
// that caused it, not the one read last.
void TQXExecuter::KeepSourceRecord(const TDestRSCache& cache, TQueuedRow& q) {
  q.SourceValues.clear();
  q.SourcePosition = 0;
  if (!cache.Source) return;
  TKVOdbcRecordset& src = cache.Source->Recordset();
  q.SourcePosition = src.Position();
  q.SourceValues.resize(src.FieldCount());
  for (size_t i = 0; i < src.FieldCount(); ++i) q.SourceValues[i] = src.Field(i).Value();
}

void TQXExecuter::QueueInsert(TDestRSCache& cache) {
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  if (cache.Batch->NeedsFlushBefore(rs)) {
    if (cache.Overlap)
      FlushInsertsInBackground(cache);
    else
      FlushBatch(cache);
  }
  if (cache.QueuesAfterLocate) {
    MakeQueueKey(cache, true);
    cache.QueuedKeys.insert(cache.Key);
  }
  size_t row = cache.Batch->Add(rs);
  if (cache.Queued.size() <= row) cache.Queued.resize(row + 1);
  TQueuedRow& q = cache.Queued[row];
  q.DestValues.resize(cache.Fields.size());
  for (size_t i = 0; i < cache.Fields.size(); ++i)
    q.DestValues[i] = cache.Fields[i].Assigned() ? cache.Fields[i].Data->RunValue : TKVVariant();
  KeepSourceRecord(cache, q);
  rs.Cancel();
}

void TQXExecuter::FlushBatch(TDestRSCache& cache) {
  FlushInserts(cache);
  FlushEdits(cache);
}

void TQXExecuter::FlushInserts(TDestRSCache& cache) {
  FinishInFlight(cache);
  cache.QueuedKeys.clear();
  if (!cache.Batch || cache.Batch->Pending() == 0) return;
  // The window took the failed rows' keys for written.
  WriteBatch(cache, *cache.Batch, cache.Queued, nullptr, m_Stats.RecordsInserted, cache.Data->RecordsInserted, true);
}

// The database works while the engine reads and queues the next records (two threads: the source's driver
// and ours on one, the destination's driver and its server on the other). Only where nothing could tell:
// the recordset is the only destination of its source recordset, so that no other recordset's statement,
// commit or rollback wants the connection while a batch is in flight, no other destination sees records
// read after a failing one, and the source reads through a connection of its own. The recordset's own
// uses of the connection finish the batch in flight first (FinishInFlight): a commit, the end of the
// source, a locate the key window cannot answer from memory, a record written at once. A failure in the
// batch in flight is handled when it is finished: its rows go through the error action in their order, as
// a flushed batch's do, and where the error action ends the run, the records queued after them are dropped,
// as they would never have been read.
bool TQXExecuter::MayOverlapWrites(const TDestRSCache& cache) const {
  if (!cache.Batch || !cache.SourceItem || !cache.Source) return false;
  // For comparing both ways of writing (the benchmark): DABRIX_NO_OVERLAP=1 writes every batch in turn.
  if (const char* off = std::getenv("DABRIX_NO_OVERLAP"); off && *off && *off != '0') return false;
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  TKVOdbcRecordset& src = cache.Source->Recordset();
  if (!rs.Connection() || !src.Connection() || rs.Connection() == src.Connection() ||
      rs.Connection()->OdbcHandle() == src.Connection()->OdbcHandle())
    return false;
  size_t others = 0;
  VisitPreOrder(*cache.SourceItem, [&](TKVTreeItem& node) {
    if (&node == cache.SourceItem || &node == cache.Item) return;
    if (node.DataAs<TQXDSourceRSData>() || node.DataAs<TQXDDestRSData>()) ++others;
  });
  return others == 0;
}

void TQXExecuter::FlushInsertsInBackground(TDestRSCache& cache) {
  FinishInFlight(cache);
  if (cache.Batch->Pending() == 0) return;
  // The queued rows follow their batch once it is on its way (a batch that could not start stays pending,
  // its rows where they were).
  cache.Batch->FlushInBackground();
  std::swap(cache.Queued, cache.QueuedInFlight);
  std::swap(cache.QueuedKeys, cache.QueuedKeysInFlight);
  cache.QueuedKeys.clear();
  ++m_BackgroundBatches;
}

void TQXExecuter::FlushEditsInBackground(TDestRSCache& cache) {
  FinishInFlight(cache);
  if (cache.Edits->Pending() == 0) return;
  cache.Edits->FlushInBackground();
  std::swap(cache.QueuedEdits, cache.QueuedEditsInFlight);
  // A key may be edited again in the next batch: the one in flight is written before it.
  cache.EditKeys.clear();
  ++m_BackgroundBatches;
}

// At most one batch of a recordset is in flight, inserts or edits.
void TQXExecuter::FinishInFlight(TDestRSCache& cache) {
  try {
    if (cache.Batch && cache.Batch->InFlight()) {
      cache.QueuedKeysInFlight.clear();
      // The window took the failed rows' keys for written.
      WriteBatch(cache, *cache.Batch, cache.QueuedInFlight, nullptr, m_Stats.RecordsInserted,
                 cache.Data->RecordsInserted, true, true);
    }
    if (cache.Edits && cache.Edits->InFlight())
      WriteBatch(cache, *cache.Edits, cache.QueuedEditsInFlight, EditReplay(cache, cache.QueuedEditsInFlight),
                 m_Stats.RecordsEdited, cache.Data->RecordsEdited, false, true);
  } catch (const TQXHandledRecordError&) {
    DropQueuedAfterStop(cache);
    throw;
  }
}

// The run ends at a record of the batch in flight: the records queued since were read after it, and are
// neither written nor counted.
void TQXExecuter::DropQueuedAfterStop(TDestRSCache& cache) {
  auto drop = [](TKVOdbcBatchInserter* batch, auto& keys, auto& runCount, auto& nodeCount) {
    if (!batch) return;
    auto dropped = static_cast<int32_t>(batch->Pending());
    batch->Clear();
    keys.clear();
    runCount -= dropped;
    nodeCount -= dropped;
  };
  drop(cache.Batch.get(), cache.QueuedKeys, m_Stats.RecordsInserted, cache.Data->RecordsInserted);
  drop(cache.Edits.get(), cache.EditKeys, m_Stats.RecordsEdited, cache.Data->RecordsEdited);
}

// A failing row is the record error its record would have raised when written alone: its details, its red
// line, the error action's answer. Queued rows were counted (`runCount`, `nodeCount`) when they were queued;
// those not written are taken off again. Raises TQXHandledRecordError where the error action ends the run.
void TQXExecuter::WriteBatch(TDestRSCache& cache, TKVOdbcBatchInserter& batch, const std::vector<TQueuedRow>& queued,
                             const std::function<void(size_t)>& writeRow, int32_t& runCount, int32_t& nodeCount,
                             bool lossMovesWindow, bool inFlight) {
  int64_t start = TickMs();
  std::exception_ptr stop;
  int32_t stoppedAtPosition = 0;
  auto onRowError = [&](size_t row, const std::exception_ptr& error) -> bool {
    const TQueuedRow& q = queued[row];
    try {
      std::rethrow_exception(error);
    } catch (std::exception& e) {
      AddErrorDetails(e, *cache.Item, &q);
      if (!HandleLostConnection(e, *cache.Item->Parent()) && HandleRecordError(e)) return true;
    } catch (...) {
      // No error the error action could weigh: it ends the run, as it would have for the record alone.
    }
    stop = error;
    stoppedAtPosition = q.SourcePosition;
    return false;
  };
  TKVBatchFlushResult result;
  try {
    result = inFlight ? batch.FinishBackgroundFlush(onRowError, writeRow) : batch.Flush(onRowError, writeRow);
  } catch (std::exception& e) {
    // A connection that went away between two batches fails the whole flush, before any row.
    HandleLostConnection(e, *cache.Item->Parent());
    throw;
  }
  m_Stats.WriteMilliseconds += static_cast<int32_t>(TickMs() - start);
  auto lost = static_cast<int32_t>(result.Rows - result.Written);
  runCount -= lost;
  nodeCount -= lost;
  if (lost > 0 && lossMovesWindow && cache.Window) cache.Window->Reset();
  if (stop) {
    // The run ends at the failing record, as it would have when that record was written alone.
    if (stoppedAtPosition > 0 && stoppedAtPosition < m_Stats.RecordsRead) m_Stats.RecordsRead = stoppedAtPosition;
    throw TQXHandledRecordError{stop};
  }
}

// The edits of an upsert may wait in a batch when nothing could tell them from edits written at once: the
// recordset queues its new records (MayQueueAfterLocate: the table is written by this recordset alone,
// nothing reads its rows back), it locates by one integer field that is the table's whole primary key (the
// UPDATE of a queued edit names its row by that key, and the window of keys answers the locate exactly),
// every field assigned on an edit replaces the column's value (the others read the stored one), and the
// update strategy adds nothing to the key (the row-version and value comparisons keep their own writes).
bool TQXExecuter::MayBatchEdits(TDestRSCache& cache) const {
  TQXDDestRSData& dest = *cache.Data;
  TKVOdbcRecordset& rs = dest.Recordset();
  if (!cache.QueuesAfterLocate || rs.Properties().UpdateStrategy() != usMinimalLock) return false;
  const TFieldCache* key = nullptr;
  for (const TFieldCache& f : cache.Fields) {
    if (!f.Data->LocateWithValue()) continue;
    if (key) return false;
    key = &f;
  }
  if (!key) return false;
  const TKVOdbcField* keyField = nullptr;
  for (size_t i = 0; i < rs.FieldCount() && !keyField; ++i)
    if (KVSameText(rs.Field(i).Name(), key->Data->DestFieldname())) keyField = &rs.Field(i);
  if (!keyField || keyField->DataType() == fdtUInt64) return false;  // every value must fit an int64
  if (!dest.EditRecordIfExists()) return true;
  bool sets = false;
  for (const TFieldCache& f : cache.Fields) {
    if (!f.Data->AssignValueWhenEditing()) continue;
    if (f.Data->AssignMode() != amAssignValue) return false;
    bool exists = false;
    for (size_t i = 0; i < rs.FieldCount() && !exists; ++i) exists = KVSameText(rs.Field(i).Name(), f.Data->DestFieldname());
    if (!exists) return false;
    if (!KVSameText(f.Data->DestFieldname(), key->Data->DestFieldname())) sets = true;
  }
  return sets;
}

void TQXExecuter::SetUpKeyWindow(TDestRSCache& cache) {
  if (!MayBatchEdits(cache)) return;
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  try {
    TKVOdbcConnection& connection = *rs.Connection();
    if (!TKVOdbcKeyWindow::Supported(connection.DbmsName())) return;
    for (const TFieldCache& f : cache.Fields)
      if (f.Data->LocateWithValue()) cache.KeyField = f.Data->DestFieldname();
    const std::string column = KVColumnNameOfField(rs.FieldByName(cache.KeyField));
    TKVTableName table = KVSingleTableOfFromClause(rs.Sql().Clause(TKVSqlClause::From), &rs);
    std::vector<std::string> key = KVPrimaryKeyColumns(connection.OdbcHandle(), table, &rs);
    if (key.size() != 1 || !KVSameText(key.front(), column)) return;
    char quote[8] = {};
    SQLSMALLINT length = 0;
    KVOdbcCheck(SQLGetInfo(connection.OdbcHandle(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length), &rs,
                "KeyWindow", connection.OdbcHandle(), SQL_HANDLE_DBC);
    cache.KeyCondition = cache.KeyField + " = ?";
    // The window grows while the keys come in order, but need not reach past a transaction's records: the
    // commit forgets it.
    const auto* db = cache.Item->Parent()->DataAs<TQXDDestConnectionData>();
    const size_t transaction = db ? static_cast<uint32_t>(db->TransactionSize()) : 0;
    const size_t maxRows = transaction == 0 ? TKVOdbcKeyWindow::kMaxRows
                                            : std::clamp<size_t>(transaction, TKVOdbcKeyWindow::kDefaultRows,
                                                                 TKVOdbcKeyWindow::kMaxRows);
    cache.Window = std::make_unique<TKVOdbcKeyWindow>(connection.OdbcHandle(), KVTableNameSQL(table, quote),
                                                      KVQuoteIdentifier(column, quote), &rs,
                                                      TKVOdbcKeyWindow::kDefaultRows, maxRows);
    if (cache.Data->EditRecordIfExists()) {
      cache.Edits = std::make_unique<TKVOdbcBatchInserter>(rs, cache.Batch->Capacity());
      cache.Edits->SetUpdateKey(column);
    }
  } catch (const std::exception& e) {
    // Without the catalog's answer the records are located one by one, as always.
    KVTrace(TKVTraceCategory::Warning, std::string("batched edits: ") + e.what());
    cache.Window.reset();
    cache.Edits.reset();
  }
}

void TQXExecuter::StopBatchingEdits(TDestRSCache& cache) {
  FlushEdits(cache);
  cache.Edits.reset();
  cache.QueuedEdits.clear();
  // A found record is edited through the recordset from now on, which needs its row located.
  if (cache.Data->EditRecordIfExists()) cache.Window.reset();
}

void TQXExecuter::QueueEdit(TDestRSCache& cache) {
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  for (const TFieldCache& f : cache.Fields)
    if (!f.Assigned())
      throw EKVException("Field Value \"" + f.Data->DestFieldname() + "\" has not been assigned", this,
                         "TQXExecuter.AssignDestFieldValue");
  const TKVVariant& key = cache.Locate.front().Value;
  // The batch copies its values from the fields: a new record serves as their scratch space, cancelled
  // afterwards, which leaves the recordset as it was.
  auto fill = [&] {
    rs.Insert();
    for (TFieldCache& f : cache.Fields)
      if (f.Data->AssignValueWhenEditing()) f.Target(rs).SetValue(f.Data->RunValue);
    TKVOdbcField& keyField = rs.FieldByName(cache.KeyField);
    if (!keyField.Assigned()) keyField.SetValue(key);
  };
  size_t row = 0;
  try {
    fill();
    if (cache.Edits->NeedsFlushBefore(rs)) {
      rs.Cancel();
      if (cache.Overlap)
        FlushEditsInBackground(cache);
      else
        FlushEdits(cache);
      fill();
    }
    row = cache.Edits->Add(rs);
  } catch (...) {
    if (rs.State() == rsInserting) rs.Cancel();
    throw;
  }
  rs.Cancel();
  if (cache.QueuedEdits.size() <= row) cache.QueuedEdits.resize(row + 1);
  TQueuedRow& q = cache.QueuedEdits[row];
  q.Edit = true;
  q.Key = key;
  q.EditedValues.clear();
  q.DestValues.resize(cache.Fields.size());
  for (size_t i = 0; i < cache.Fields.size(); ++i) q.DestValues[i] = cache.Fields[i].Data->RunValue;
  KeepSourceRecord(cache, q);
  cache.EditKeys.insert(cache.CurrentKey);
}

void TQXExecuter::FlushEdits(TDestRSCache& cache) {
  FinishInFlight(cache);
  cache.EditKeys.clear();
  if (!cache.Edits || cache.Edits->Pending() == 0) return;
  WriteBatch(cache, *cache.Edits, cache.QueuedEdits, EditReplay(cache, cache.QueuedEdits), m_Stats.RecordsEdited,
             cache.Data->RecordsEdited, false);
}

// A batch that failed is written again record by record, each edit as it would have been written at once:
// located, edited through the recordset, so that its error is the one its record would have raised.
std::function<void(size_t)> TQXExecuter::EditReplay(TDestRSCache& cache, std::vector<TQueuedRow>& queued) {
  return [this, &cache, &queued](size_t row) {
    TKVOdbcRecordset& rs = cache.Data->Recordset();
    TQueuedRow& q = queued[row];
    cache.ReplayValues.resize(1);
    cache.ReplayValues[0].FieldName = cache.KeyField;
    cache.ReplayValues[0].Value = q.Key;
    rs.SetOpenMode(TKVRecordsetOpenMode::ReadRows);
    rs.ReExecuteWithValues(cache.KeyCondition, cache.ReplayValues);
    if (!rs.HasCurrentRecord())
      throw EKVException("No record found in recordset \"" + rs.Sql().StatementName() + "\" matching the values: (" +
                             cache.KeyField + ": " + KVValueAsSQLLiteral(q.Key) + ")",
                         this, "LocateAndEditOrInsert");
    rs.Edit();
    try {
      for (size_t i = 0; i < cache.Fields.size(); ++i)
        if (cache.Fields[i].Data->AssignValueWhenEditing())
          rs.FieldByName(cache.Fields[i].Data->DestFieldname()).SetValue(q.DestValues[i]);
      rs.ApplyChanges();
    } catch (...) {
      KVTraceFailures("keeping the values of a failed edit", [&] { q.EditedValues = RecordValuesText(rs); });
      DropRecord(rs);
      throw;
    }
  };
}

void TQXExecuter::FlushAllBatches() {
  for (auto& c : m_Caches) {
    TQXWaitWatch::TScope writing(m_Watch.get(), WaitKey(c->Data));
    FlushBatch(*c);
  }
}

void TQXExecuter::TakeFieldValue(TKVTreeItem& rsItem, TDestRSCache& cache, TFieldCache& f) {
  {
    TQXDDestFieldData& d = *f.Data;
    switch (d.FieldValueorigin()) {
      case fvoSourceRecordset: {
        if (!f.SourceField) {
          if (!cache.SourceItem)
            throw EQXDInconsistency("Cannot assign Value to Field '" + rsItem.Title() + "." + d.DestFieldname() +
                                    "', there is no source recordset above it");
          f.SourceField =
              &cache.SourceItem->DataAs<TQXDSourceRSData>()->Recordset().FieldByName(d.SourceRecordsetFieldname());
        }
        d.RunValue = f.SourceField->Value();
        break;
      }
      case fvoDestRecordset: {
        if (!f.OtherRecordset) {
          TKVTreeItem* db = rsItem.Parent();
          for (size_t i = 0; db && i < db->ChildCount(); ++i) {
            auto* other = db->Child(i)->DataAs<TQXDDestRSData>();
            if (other && KVCompareText(db->Child(i)->Title(), d.DestRecordsetName()) == 0) {
              f.OtherRecordset = other;
              break;
            }
          }
          if (!f.OtherRecordset)
            throw EQXDInconsistency("Cannot assign Value to Field '" + rsItem.Title() + "." + d.DestFieldname() +
                                    "', there is no preceeding destination recordset with name '" +
                                    d.DestRecordsetName() + "'");
        }
        if (f.OtherRecordset->RunFlags & kRecordSkipped)
          d.RunValue = TKVVariant::Null();
        else
          d.RunValue = f.OtherRecordset->Recordset().FieldByName(d.DestRecordsetFieldname()).Value();
        break;
      }
      case fvoFixedValue:
        d.RunValue = TKVVariant::FromString(d.FixedValue());
        break;
      default:
        return;
    }
    d.RunInfo[kInfoAssigned] = 1;
    return;
  }
}

void TQXExecuter::WriteDestRecordset(TKVTreeItem& item) {
  TDestRSCache& cache = CacheFor(item);
  TQXDDestRSData& dest = *cache.Data;
  TKVOdbcRecordset& rs = dest.Recordset();

  for (TFieldCache& f : cache.Fields) {
    f.Data->RunValue = TKVVariant();
    f.Data->RunInfo[kInfoAssigned] = 0;
  }
  for (TFieldCache& f : cache.Fields)
    if (f.TakesValue()) TakeFieldValue(item, cache, f);
  for (TFieldCache& f : cache.Fields) {
    if (!f.Assigned()) continue;
    for (TQXDFieldFuncData* fn : f.Functions) f.Data->RunValue = fn->CallFunction(f.Data->RunValue, &m_CallCancel);
  }

  cache.EditFound = false;
  cache.CurrentKeyKnown = false;
  try {
    for (TFieldCache& f : cache.Fields) {
      dest.RunFlags &= static_cast<uint8_t>(~kRecordSkipped);
      if (f.Data->IgnoreRecordIfNULL() && f.Assigned() && IsNullOrEmptyString(f.Data->RunValue)) {
        dest.RunFlags |= kRecordSkipped;
        throw EIgnoreRecord();
      }
    }
    int64_t start = TickMs();
    if (dest.AlwaysInsertNewRecord())
      rs.Insert();
    else
      LocateAndEditOrInsert(item, cache);
    TKVRecordsetState state = rs.State();
    if (cache.EditFound) {
      cache.EditFound = false;
      QueueEdit(cache);
      m_Stats.WriteMilliseconds += static_cast<int32_t>(TickMs() - start);
      ++m_Stats.RecordsEdited;
      ++dest.RecordsEdited;
    } else if (KVIsModifyingState(state)) {
      for (TFieldCache& f : cache.Fields) AssignDestFieldValue(f, rs);
      // The key the new row holds, which the window answers for from now on.
      bool windowKey = false;
      int64_t storedKey = 0;
      if (cache.Window && state == rsInserting && cache.CurrentKeyKnown) {
        TKVVariant v = rs.FieldByName(cache.KeyField).Value();
        if (!v.IsNull()) {
          storedKey = v.AsInt64();
          windowKey = true;
        }
      }
      if (cache.Batch && state == rsInserting && (dest.AlwaysInsertNewRecord() || cache.QueuesAfterLocate)) {
        QueueInsert(cache);
      } else {
        FinishInFlight(cache);
        rs.ApplyChanges();
      }
      if (windowKey && cache.Window) cache.Window->Added(storedKey);
      m_Stats.WriteMilliseconds += static_cast<int32_t>(TickMs() - start);
      if (state == rsInserting) {
        ++m_Stats.RecordsInserted;
        ++dest.RecordsInserted;
      } else {
        ++m_Stats.RecordsEdited;
        ++dest.RecordsEdited;
      }
    }
  } catch (const EIgnoreRecord&) {
    DropRecord(rs);
    ++dest.RecordsSkipped;
  } catch (const TQXHandledRecordError&) {
    DropRecord(rs);
    throw;
  } catch (std::exception& e) {
    AddErrorDetails(e, item);
    DropRecord(rs);
    throw;
  }
}

void TQXExecuter::AddLocateValues(TKVTreeItem& rsItem, TDestRSCache& cache) {
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  cache.Locate.clear();
  for (TFieldCache& f : cache.Fields) {
    TQXDDestFieldData& d = *f.Data;
    if (!d.LocateWithValue()) continue;
    if (!f.Assigned())
      throw EKVException("Locate Value for field \"" + d.DestFieldname() + "\" is not Valid", this,
                         "TQXExecuter.AddLocateValue");
    if (d.RunInfo[kInfoLocateType] == kUnresolvedType) {
      TKVOdbcField* field = nullptr;
      try {
        field = &rs.FieldByName(d.DestFieldname());
      } catch (const std::exception& e) {
        throw EKVException("Table: \"" + std::string(KVTrim(rs.Sql().StatementName())) + "\", Field: \"" +
                               d.DestFieldname() + "\" -> " + KVErrorText(e),
                           this, "AddLocateValue");
      }
      if (field->DataType() == fdtBinary)
        throw EKVException("Unsupported value (" + std::to_string(static_cast<int>(fdtBinary)) +
                               ") for \"TKVFieldDataType\"",
                           this, "AddLocateValue");
      d.RunInfo[kInfoLocateType] = KVVarTypeOfFieldDataType(field->DataType(), "AddLocateValue");
    }
    uint16_t type = static_cast<uint16_t>(d.RunInfo[kInfoLocateType]);
    const TKVVariant& v = d.RunValue;
    if (v.IsNull() || v.VarType() == type)
      cache.Locate.push_back({&d, v});
    else
      cache.Locate.push_back({&d, v.ChangeType(type)});
  }
  (void)rsItem;
}

bool TQXExecuter::LocateAndEditOrInsert(TKVTreeItem& rsItem, TDestRSCache& cache) {
  TQXDDestRSData& dest = *cache.Data;
  TKVOdbcRecordset& rs = dest.Recordset();
  AddLocateValues(rsItem, cache);
  if (cache.Locate.empty()) {
    TKVTreeItem* db = rsItem.Parent();
    throw EKVException("Destination Recordset '" + (db ? db->Title() : std::string()) + "." + rsItem.Title() +
                           "': \"Try to find existing Record\" has been set on the destiantion recordset, but no "
                           "destination field has it's \"Use value to find existing Record\" properties set",
                       this, "WriteDestRecordset");
  }
  // The condition names the same fields for every record, so one prepared SELECT serves the whole run:
  // only the bound values change, and its text is made for the first record. "= ?" with a NULL matches
  // nothing, as "= NULL" did.
  if (cache.BoundValues.size() != cache.Locate.size()) {
    cache.Condition.clear();
    cache.BoundValues.resize(cache.Locate.size());
    for (size_t i = 0; i < cache.Locate.size(); ++i) {
      if (i) cache.Condition += " AND ";
      cache.Condition += cache.Locate[i].Field->DestFieldname();
      cache.Condition += " = ?";
      cache.BoundValues[i].FieldName = cache.Locate[i].Field->DestFieldname();
    }
  }
  for (size_t i = 0; i < cache.Locate.size(); ++i) cache.BoundValues[i].Value = cache.Locate[i].Value;
  if (cache.QueuesAfterLocate && (cache.Batch->Pending() > 0 || cache.Batch->InFlight())) {
    MakeQueueKey(cache, false);
    if (cache.QueuedKeys.count(cache.Key) || cache.QueuedKeysInFlight.count(cache.Key)) FlushBatch(cache);
  }
  // Keys in no useful order make the window read more than it answers: per record from then on.
  if (cache.Window && !cache.Window->Worthwhile()) cache.Window.reset();
  bool found;
  if (cache.Window && !cache.Locate.front().Value.IsNull()) {
    cache.CurrentKey = cache.Locate.front().Value.AsInt64();
    cache.CurrentKeyKnown = true;
    if (!cache.Window->Answers(cache.CurrentKey)) FinishInFlight(cache);
    found = cache.Window->Contains(cache.CurrentKey);
  } else {
    FinishInFlight(cache);
    rs.SetOpenMode(TKVRecordsetOpenMode::ReadRows);
    rs.ReExecuteWithValues(cache.Condition, cache.BoundValues);
    found = rs.HasCurrentRecord();
  }

  if (!found) {
    if (dest.InsertRecordIfNotExists()) {
      if (cache.Edits && cache.Edits->Pending() > 0) {
        // As for inserts between edits: batches too small to pay end the batching of edits.
        if (cache.Edits->Pending() < static_cast<size_t>(kMinBatchTransactionSize))
          StopBatchingEdits(cache);
        else
          FlushEdits(cache);
      }
      rs.Insert();
    } else if (dest.AssertRecordExists()) {
      std::string values;
      for (size_t i = 0; i < cache.Locate.size(); ++i) {
        if (i) values += ", ";
        values += cache.Locate[i].Field->DestFieldname() + ": " + KVValueAsSQLLiteral(cache.Locate[i].Value);
      }
      throw EKVException("No record found in recordset \"" + rs.Sql().StatementName() +
                             "\" matching the values: (" + values + ")",
                         this, "LocateAndEditOrInsert");
    }
    return false;
  }
  if (dest.EditRecordIfExists()) {
    if (cache.QueuesAfterLocate && cache.Batch->Pending() > 0) {
      // Edits between few new records make batches too small to pay: the rest of the run inserts record by
      // record.
      if (cache.Batch->Pending() < static_cast<size_t>(kMinBatchTransactionSize)) cache.QueuesAfterLocate = false;
      FlushBatch(cache);
    }
    if (cache.Edits) {
      cache.CurrentKey = cache.Locate.front().Value.AsInt64();
      if (cache.EditKeys.count(cache.CurrentKey)) FlushEdits(cache);
      cache.EditFound = true;
      return true;
    }
    rs.Edit();
  }
  return true;
}

void TQXExecuter::AssignDestFieldValue(TFieldCache& cached, TKVOdbcRecordset& recordset) {
  TQXDDestFieldData& field = *cached.Data;
  if (field.RunInfo[kInfoAssigned] == 0)
    throw EKVException("Field Value \"" + field.DestFieldname() + "\" has not been assigned", this,
                       "TQXExecuter.AssignDestFieldValue");
  TKVRecordsetState state = recordset.State();
  if (!((state == rsInserting && field.AssignValueWhenInserting()) ||
        (state == rsEditing && field.AssignValueWhenEditing())))
    return;
  TKVOdbcField& target = cached.Target(recordset);
  const TKVVariant& v = field.RunValue;
  switch (field.AssignMode()) {
    case amInsertAtBeginning:
      target.SetValue(TKVVariant::FromString(TextOf(v) + TextOf(target.Value())));
      break;
    case amAppendToEnd:
      target.SetValue(TKVVariant::FromString(TextOf(target.Value()) + TextOf(v)));
      break;
    case amNumericAdd: {
      TKVVariant c = target.Value();
      target.SetValue(TKVVariant::Add(c.IsEmptyOrNull() ? TKVVariant(int32_t{0}) : c,
                                      v.IsEmptyOrNull() ? TKVVariant(int32_t{0}) : v));
      break;
    }
    default:
      target.SetValue(v);
      break;
  }
}

void TQXExecuter::AddErrorDetails(std::exception& e, TKVTreeItem& rsItem, const TQueuedRow* queued) {
  auto* ex = dynamic_cast<Exception*>(&e);
  if (!ex || ex->Message().empty()) return;
  try {
    auto* dest = rsItem.DataAs<TQXDDestRSData>();
    TKVOdbcRecordset& rs = dest->Recordset();
    const TKVRecordsetState state = queued ? (queued->Edit ? rsEditing : rsInserting) : rs.State();
    std::string details = std::string("Destination Table") + ": " + std::string(KVTrim(rs.Sql().StatementName()));
    details += std::string("\r\n") + "Operation" + ": " + KVRecordsetStateCaption(state);
    // Only a record being edited holds values that were there. A new record, or none at all (nothing located
    // yet, a columns-only open), holds buffers that an assignment may not have reached: show what was to be
    // written instead of values that never were. A queued row kept what it was to write.
    std::string values;
    if (queued && queued->Edit && !queued->EditedValues.empty()) {
      values = queued->EditedValues;
    } else if (!queued && (state == rsEditing || (state == rsBrowsing && rs.HasCurrentRecord()))) {
      values = RecordValuesText(rs);
    } else {
      const std::vector<TFieldCache>& fields = CacheFor(rsItem).Fields;
      for (size_t i = 0; i < fields.size(); ++i) {
        if (queued ? i >= queued->DestValues.size() || queued->DestValues[i].IsEmpty() : !fields[i].Assigned())
          continue;
        AppendNamedValue(values, fields[i].Data->DestFieldname(),
                         queued ? queued->DestValues[i] : fields[i].Data->RunValue);
      }
    }
    details += std::string("\r\n") + "Destination Values" + ": (" + values + ")";
    if (TKVTreeItem* srcItem = QXDFindAncestorItem<TQXDSourceRSData>(&rsItem)) {
      TKVOdbcRecordset& src = srcItem->DataAs<TQXDSourceRSData>()->Recordset();
      std::string sourceValues;
      if (queued)
        for (size_t i = 0; i < src.FieldCount() && i < queued->SourceValues.size(); ++i)
          AppendNamedValue(sourceValues, src.Field(i).Name(), queued->SourceValues[i]);
      else
        sourceValues = RecordValuesText(src);
      details += std::string("\r\n\r\n") + "Source Table" + ": " + std::string(KVTrim(src.Sql().StatementName()));
      details += std::string("\r\n") + "Source Record Position" + ": " +
                 std::to_string(queued ? queued->SourcePosition : src.Position());
      details += std::string("\r\n") + "Source Values" + ": (" + sourceValues + ")";
    }
    TMessageAccess::Of(*ex) += "\r\n\r\n" + details;
  } catch (const std::exception&) {
    KVTraceDropped("error details");  // the error goes on with its own message
  }
}

bool TQXExecuter::HandleRecordError(const std::exception& e) {
  std::string message = KVErrorText(e);
  ++m_RecordErrors;
  ReportLine("   " + QXMessageOneLine(message), kQXColorRed);
  if (KVIsExceptionClass(e, "EAbort")) return false;
  switch (m_ErrorAction) {
    case eaContinueOperation:
      return true;
    case eaAskUser:
      if (m_AskUser)
        return m_AskUser->AskContinue(KVMessageText(message) + "\r\n\r\n" + kContinueQuestion + " ?");
      return KVContinueAfterError(&e, eaAskUser, kContinueQuestion);
    default:
      return false;
  }
}

bool TQXExecuter::HandleLostConnection(std::exception& e, TKVTreeItem& db) {
  auto* data = db.DataAs<TQXDDestConnectionData>();
  auto* odbc = dynamic_cast<EODBCError*>(&e);
  if (!data || !odbc) return false;
  if (!odbc->ConnectionLost() && !data->Connection().ConnectionDead()) return false;
  if (m_LostDatabase == &db) return true;  // said once: the queued rows of the run's end fail the same way
  m_LostDatabase = &db;
  TMessageAccess::Of(*odbc) = "The connection to the destination database \"" + db.Title() +
                              "\" has been lost, the run stops.\r\n\r\n" + odbc->Message();
  ++m_RecordErrors;
  ReportLine("   " + QXMessageOneLine(KVErrorText(e)), kQXColorRed);
  return true;
}

void TQXExecuter::ForgetUncommitted(TKVTreeItem& db) {
  auto* data = db.DataAs<TQXDDestConnectionData>();
  if (!data || data->TransactionSize() == 0) return;  // autocommit: every write that succeeded is kept
  for (size_t c = 0; c < db.ChildCount(); ++c) {
    TDestRSCache* cache = FindCache(*db.Child(c));
    if (!cache) continue;
    TQXDDestRSData& dest = *cache->Data;
    m_Stats.RecordsInserted -= dest.RecordsInserted - cache->CommittedInserted;
    m_Stats.RecordsEdited -= dest.RecordsEdited - cache->CommittedEdited;
    dest.RecordsInserted = cache->CommittedInserted;
    dest.RecordsEdited = cache->CommittedEdited;
  }
}

void TQXExecuter::DescribeWaits(TKVTreeItem& sourceItem) {
  if (!m_Watch) return;
  auto text = [](const std::string& what, const TKVOdbcConnection& connection) {
    std::string t = "Waiting for \"" + what + "\" (locked by another connection?)";
    if (int32_t ms = connection.LockWaitMilliseconds(); ms >= 0)
      t += ", at most " + std::to_string((ms + 999) / 1000) + " s";
    return t;
  };
  TKVTreeItem* sourceDb = sourceItem.Parent();
  if (auto* source = sourceItem.DataAs<TQXDSourceRSData>(); source && sourceDb)
    if (auto* connection = sourceDb->DataAs<TQXDConnectionData>())
      m_Watch->Describe(WaitKey(source), text(sourceDb->Title() + "." + sourceItem.Title(), connection->Connection()));
  for (size_t c = 0; c < sourceItem.ChildCount(); ++c) {
    TKVTreeItem& db = *sourceItem.Child(c);
    auto* dbData = db.DataAs<TQXDDestConnectionData>();
    if (!dbData) continue;
    m_Watch->Describe(WaitKey(dbData), text(db.Title(), dbData->Connection()));
    for (size_t r = 0; r < db.ChildCount(); ++r)
      if (auto* dest = db.Child(r)->DataAs<TQXDDestRSData>())
        m_Watch->Describe(WaitKey(dest), text(db.Title() + "." + db.Child(r)->Title(), dbData->Connection()));
  }
}

void TQXExecuter::RunOnThread(IQXProgressSink* progress) {
  TQXExecThread thread(*this, progress);
  thread.WaitFor();
  if (thread.Exception()) std::rethrow_exception(thread.Exception());
}

void TQXExecuter::Run(IQXProgressSink* progress) {
  if (m_UseThread)
    RunOnThread(progress);
  else
    Execute(progress);
}

// --- worker thread -----------------------------------------------------------------------------------------

TQXExecThread::TQXExecThread(TQXExecuter& executer, IQXProgressSink* progress) : m_Executer(&executer) {
  m_Thread = std::thread([this, progress] {
    try {
      m_Executer->Execute(progress);
    } catch (...) {
      // Not dropped: RunOnThread raises it again on the calling thread.
      m_Exception = std::current_exception();
      m_Info = TKVExceptionInformation::FromCurrent();
    }
    m_Executer.reset();
  });
}

TQXExecThread::~TQXExecThread() { WaitFor(); }

void TQXExecThread::WaitFor() {
  if (m_Thread.joinable()) m_Thread.join();
}
