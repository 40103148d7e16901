#include "engine/DMExecute.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "db/KVConnectionString.h"
#include "db/KVOdbcBatchInsert.h"
#include "db/KVOdbcError.h"
#include "db/KVOdbcRowWriter.h"
#include "db/KVSqlText.h"
#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVText.h"
#include "foundation/KVTrace.h"

namespace {

constexpr const char* kContinueQuestion = "Continue Operation";
// Bits of TQXDDestRSData::RunFlags.
constexpr uint8_t kRecordSkipped = 1;
// TQXDDestFieldData::RunInfo slots: [0] value assigned, [1] locate variant type (0x80000000 unresolved).
constexpr size_t kInfoAssigned = 0, kInfoLocateType = 1;
constexpr int32_t kUnresolvedType = static_cast<int32_t>(0x80000000u);

int CompareAscii(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
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
  std::string driver = TKVConnectionStringParser(connectionString).Value("Driver");
  for (char& c : driver) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
    return error;
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
    return {};
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
};

struct TQXExecuter::TQueuedRow {
  int32_t SourcePosition = 0;
  std::vector<TKVVariant> DestValues, SourceValues;
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
  // The recordset's counters at its database's last commit (what a lost connection keeps).
  int32_t CommittedInserted = 0, CommittedEdited = 0;
  // A recordset that locates before it inserts: the locate values of the queued rows. A record whose locate
  // values are among them would find its row only once it is written: the batch is written first.
  bool QueuesAfterLocate = false;
  std::unordered_set<std::string> QueuedKeys;
  std::string Key;  // the current record's, reused
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

TKVNameAndValueList TQXExecuter::CollectSqlParameters() const {
  TKVNameAndValueList list;
  if (!m_Tree) return list;
  for (size_t t = 0; t < m_Tree->TopLevelCount(); ++t) {
    VisitPreOrder(*m_Tree->TopLevel(t), [&](TKVTreeItem& item) {
      auto* rs = item.DataAs<TQXDRecordsetData>();
      if (!rs || !Participates(&item)) return;
      if (!item.DataAs<TQXDSourceRSData>() && !item.DataAs<TQXDDestRSData>()) return;
      for (const std::string& name : KVSqlParameterNames(rs->Recordset().Sql().Text())) {
        auto pos = std::lower_bound(list.begin(), list.end(), name, [](const TKVNameAndValueObj& e, const std::string& n) {
          return CompareAscii(e.Name, n) < 0;
        });
        if (pos != list.end() && CompareAscii(pos->Name, name) == 0) continue;
        list.insert(pos, TKVNameAndValueObj{name, {}});
      }
    });
  }
  return list;
}

void TQXExecuter::AssignSqlParameters(const TKVNameAndValueList& values) {
  if (!m_Tree) return;
  for (size_t t = 0; t < m_Tree->TopLevelCount(); ++t) {
    VisitPreOrder(*m_Tree->TopLevel(t), [&](TKVTreeItem& item) {
      auto* rs = item.DataAs<TQXDRecordsetData>();
      if (!rs || !Participates(&item)) return;
      if (!item.DataAs<TQXDSourceRSData>() && !item.DataAs<TQXDDestRSData>()) return;
      TKVSqlProperty& sql = rs->Recordset().Sql();
      for (const std::string& name : KVSqlParameterNames(sql.Text())) {
        for (const TKVNameAndValueObj& v : values) {
          if (CompareAscii(v.Name, name) != 0) continue;
          // The user enters SQL literals ("'abc'", 42): the text goes into the statement unchanged.
          TKVSqlParameter& parameter = sql.Parameters().Add(name);
          parameter.SetLiteral(true);
          parameter.SetValue(TKVVariant::FromString(v.Value));
          break;
        }
      }
    });
  }
}

void TQXExecuter::Execute(IQXProgressSink* progress) {
  if (!m_Tree || !progress) return;
  m_Progress = progress;
  m_Result = TQXRunResult::Failed;
  m_RecordErrors = 0;
  ResetStatistics();
  m_Cancel = false;
  m_OperationStart = m_SourceStart = KVNow();
  m_PendingLine.Runs.clear();
  m_Watch = std::make_unique<TQXWaitWatch>(m_WaitNotice, [progress](const std::string& text) {
    progress->ShowWaiting(text);
  });

  auto finish = [this] {
    m_Watch.reset();  // before the sink goes: it is the watch's receiver
    try {
      ReportLine("\r\n\r\n", kQXColorBlack);
      ReportLine(std::string("Total Operation Duration") + ": " +
                     QXFormatElapsed(QXElapsedMilliseconds(m_OperationStart, KVNow())),
                 kQXColorNavy, true);
      FlushReport();
    } catch (...) {
    }
    m_Progress = nullptr;
    m_Caches.clear();
  };

  try {
    progress->SetOperationCount(CountSourceRecordsets());
    ReportLine("\r\n", kQXColorBlack);
    std::string started = std::string("Operation Started") + ": " + QXFormatReportDateTime(m_OperationStart);
    ReportLine(started, kQXColorNavy, true);
    ReportLine(std::string(started.size(), '='), kQXColorNavy, true);

    TKVNameAndValueList parameters = CollectSqlParameters();
    bool go = true;
    if (!parameters.empty()) {
      if (!m_ParameterPrompt)
        throw EKVException("No value has been given for the SQL parameter \"" + parameters.front().Name + "\"",
                           this, "TQXExecuter.Execute");
      go = m_ParameterPrompt->AskParameters(parameters);
      if (go) AssignSqlParameters(parameters);
    }

    if (go) {
      for (size_t t = 0; t < m_Tree->TopLevelCount(); ++t) {
        TKVTreeItem* top = m_Tree->TopLevel(t);
        TQXDDataBase* data = QXDData(top);
        if (!data || !Participates(top)) continue;
        auto* sourceDb = top->DataAs<TQXDSourceConnectionData>();
        std::string restoreConnectionString;
        auto close = [&] {
          try {
            data->Close();
          } catch (...) {
          }
          if (!restoreConnectionString.empty()) {
            try {
              sourceDb->Connection().Properties().SetConnectionString(restoreConnectionString);
            } catch (...) {
            }
          }
        };
        try {
          if (sourceDb) {
            restoreConnectionString = OpenSourceConnection(*sourceDb);
            for (size_t i = 0; i < top->ChildCount(); ++i)
              if (!ReadSourceRecordset(*top->Child(i))) break;
          } else {
            data->Open();
          }
        } catch (...) {
          close();
          throw;
        }
        close();
      }
    }
    m_Result = !go ? TQXRunResult::ParametersCancelled
                   : (m_Cancel ? TQXRunResult::Cancelled : TQXRunResult::Completed);
  } catch (...) {
    m_Result = TQXRunResult::Failed;
    finish();
    throw;
  }
  finish();
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

bool TQXExecuter::ReadSourceRecordset(TKVTreeItem& item) {
  auto* source = item.DataAs<TQXDSourceRSData>();
  if (!source || !Participates(&item) || !item.Parent()) return !m_Cancel;

  m_SourceStart = KVNow();
  double sourceStart = m_SourceStart;
  std::string operation = std::string("Reading Data From") + ": " + item.Parent()->Title() + "." + item.Title();
  if (m_Progress) m_Progress->NextOperation(operation);
  ReportLine(QXFormatReportDateTime(sourceStart) + " " + operation, kQXColorDarkRed);

  ResetStatistics();
  m_Cancel = false;
  m_Caches.clear();
  m_LostDatabase = nullptr;

  TKVOdbcRecordset& rs = source->Recordset();
  // The source streams through a forward-only cursor whatever the node's settings: a scrollable cursor
  // makes some drivers hold the whole result in memory. The node's settings come back at the end.
  // Read-only as well: the source is never written, and an updatable cursor makes psqlODBC select its row
  // identifier ("ctid") too, which the system views (pg_stat_activity) do not have.
  const TKVCursorType savedSourceCursor = rs.Properties().CursorType();
  const TUpdateStrategy savedSourceStrategy = rs.Properties().UpdateStrategy();
  struct TDestSetup {
    TQXDDataBase* Node;
    TQXDDestRSData* Dest;
    TKVCursorType Cursor;
    TKVRecordsetOpenMode Mode;
    IQXReportSink* Sink;
  };
  std::vector<TDestSetup> opened;
  bool sourceOpened = false;

  auto closeAll = [&] {
    // The batch inserters hold statement handles of the destination connections: they go first.
    for (auto& c : m_Caches) c->Batch.reset();
    // Databases after everything below them: a disconnect frees the statement handles of its recordsets,
    // which their own close would then free a second time. Otherwise in opening order, which is the order
    // of the recordsets' lines in the report.
    for (int pass = 0; pass < 2; ++pass)
      for (TDestSetup& s : opened) {
        bool database = dynamic_cast<TQXDConnectionData*>(s.Node) != nullptr;
        if (database != (pass == 1)) continue;
        try {
          TQXWaitWatch::TScope closing(m_Watch.get(), WaitKey(s.Node));
          s.Node->Close();
        } catch (const std::exception& e) {
          KVTrace(TKVTraceCategory::Exception, std::string("closing a node after the run: ") + e.what());
        }
      }
    for (TDestSetup& s : opened) {
      if (s.Dest) {
        try {
          s.Dest->Recordset().SetOpenMode(s.Mode);
          s.Dest->Recordset().Properties().SetCursorType(s.Cursor);
          s.Dest->Recordset().SetReadBackInserted(true);
        } catch (...) {
        }
        s.Dest->SetReportSink(s.Sink);
      }
    }
    opened.clear();
    if (sourceOpened) {
      try {
        source->Close();
      } catch (...) {
      }
    }
    try {
      rs.Properties().SetCursorType(savedSourceCursor);
      rs.Properties().SetUpdateStrategy(savedSourceStrategy);
    } catch (...) {
    }
    m_Caches.clear();
  };

  try {
    rs.Properties().SetCursorType(ctForwardOnly);
    rs.Properties().SetUpdateStrategy(usReadOnly);
    sourceOpened = true;
    source->Open();

    int32_t count = rs.Scrollable() ? rs.RecordCount() : rs.CountBySelect();  // a forward-only cursor tells only 1
    int32_t n = count;  // -1: unknown, read to the end
    if (source->MaxRecordsToRead() > 0 && (n < 0 || n > source->MaxRecordsToRead())) n = source->MaxRecordsToRead();
    if (m_Progress) m_Progress->SetMaximum(n < 0 ? 0 : n);

    for (size_t c = 0; c < item.ChildCount(); ++c) {
      VisitPreOrder(*item.Child(c), [&](TKVTreeItem& node) {
        TQXDDataBase* d = QXDData(&node);
        if (!d || !d->Active()) return;
        TDestSetup setup{d, node.DataAs<TQXDDestRSData>(), ctForwardOnly, TKVRecordsetOpenMode::ReadRows, nullptr};
        if (setup.Dest) {
          // Opening must not read the destination table: the locate executes its own condition.
          TKVOdbcRecordset& dr = setup.Dest->Recordset();
          setup.Cursor = dr.Properties().CursorType();
          setup.Mode = dr.OpenMode();
          setup.Sink = setup.Dest->ReportSink();
          dr.Properties().SetCursorType(ctForwardOnly);
          dr.SetOpenMode(TKVRecordsetOpenMode::ColumnsOnly);
          // Reading an inserted row back costs a query per record: only worth it when a field takes a value
          // from this recordset's last record (its generated key, a default).
          dr.SetReadBackInserted(ReadByOriginOneFields(node));
          setup.Dest->SetReportSink(m_NodeReport.get());
        }
        opened.push_back(setup);
        d->Open();
      });
    }
    DescribeWaits(item);

    for (int32_t i = 1; (n < 0 || i <= n) && !m_Cancel; ++i) {
      if (!rs.HasCurrentRecord()) break;  // fewer rows than counted
      m_Stats.RecordsRead = i;
      if (m_Progress) m_Progress->ReportProgress(i, m_Cancel);
      for (size_t c = 0; c < item.ChildCount(); ++c) {
        TKVTreeItem* child = item.Child(c);
        // Participates(child) spelled out: one cast per child and record instead of two.
        auto* destDb = child->DataAs<TQXDDestConnectionData>();
        if (destDb && !m_Cancel && destDb->Active()) WriteDestDatabase(*child);
      }
      if (n < 0 || i < n) {
        TQXWaitWatch::TScope reading(m_Watch.get(), WaitKey(source));
        rs.MoveToNext();
        // A fetch that failed leaves no current record, as the end of the data does: the server going away
        // in the middle must end the run with its error, not as if everything had been read.
        if (!rs.HasCurrentRecord() && rs.LastFetchReturnCode() != SQL_NO_DATA)
          KVOdbcCheck(rs.LastFetchReturnCode(), &rs, "TQXExecuter.ReadSourceRecordset");
      }
    }
    // Records queued before the end (or a cancel) are written: they were read and counted.
    FlushAllBatches();
  } catch (...) {
    std::exception_ptr error = WithoutHandledWrapper(std::current_exception());
    // What was queued before the record that ended the run would have been written by then.
    try {
      FlushAllBatches();
    } catch (const std::exception& e) {
      KVTrace(TKVTraceCategory::Exception, std::string("queued inserts after the run's error: ") + e.what());
    } catch (...) {
    }
    if (m_LostDatabase) ForgetUncommitted(*m_LostDatabase);
    closeAll();
    try {
      WriteStatisticsBlock(sourceStart);
    } catch (...) {
    }
    std::rethrow_exception(error);
  }
  closeAll();
  WriteStatisticsBlock(sourceStart);
  return !m_Cancel;
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

void TQXExecuter::QueueInsert(TDestRSCache& cache) {
  TKVOdbcRecordset& rs = cache.Data->Recordset();
  if (cache.Batch->NeedsFlushBefore(rs)) FlushBatch(cache);
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
  q.SourceValues.clear();
  q.SourcePosition = 0;
  if (cache.Source) {
    TKVOdbcRecordset& src = cache.Source->Recordset();
    q.SourcePosition = src.Position();
    q.SourceValues.resize(src.FieldCount());
    for (size_t i = 0; i < src.FieldCount(); ++i) q.SourceValues[i] = src.Field(i).Value();
  }
  rs.Cancel();
}

void TQXExecuter::FlushBatch(TDestRSCache& cache) {
  cache.QueuedKeys.clear();
  if (!cache.Batch || cache.Batch->Pending() == 0) return;
  TQXDDestRSData& dest = *cache.Data;
  int64_t start = TickMs();
  std::exception_ptr stop;
  int32_t stoppedAtPosition = 0;
  // A failing row is the record error its record would have raised when written alone: its details, its
  // red line, the error action's answer.
  auto onRowError = [&](size_t row, const std::exception_ptr& error) -> bool {
    const TQueuedRow& q = cache.Queued[row];
    try {
      std::rethrow_exception(error);
    } catch (std::exception& e) {
      AddErrorDetails(e, *cache.Item, &q);
      if (!HandleLostConnection(e, *cache.Item->Parent()) && HandleRecordError(e)) return true;
    } catch (...) {
    }
    stop = error;
    stoppedAtPosition = q.SourcePosition;
    return false;
  };
  TKVBatchFlushResult result;
  try {
    result = cache.Batch->Flush(onRowError);
  } catch (std::exception& e) {
    // A connection that went away between two batches fails the whole flush, before any row.
    HandleLostConnection(e, *cache.Item->Parent());
    throw;
  }
  m_Stats.WriteMilliseconds += static_cast<int32_t>(TickMs() - start);
  // Queued rows were counted when they were queued; those not written were never inserted.
  auto lost = static_cast<int32_t>(result.Rows - result.Written);
  m_Stats.RecordsInserted -= lost;
  dest.RecordsInserted -= lost;
  if (stop) {
    // The run ends at the failing record, as it would have when that record was written alone.
    if (stoppedAtPosition > 0 && stoppedAtPosition < m_Stats.RecordsRead) m_Stats.RecordsRead = stoppedAtPosition;
    throw TQXHandledRecordError{stop};
  }
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
            if (other && CompareAscii(db->Child(i)->Title(), d.DestRecordsetName()) == 0) {
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
    if (KVIsModifyingState(state)) {
      for (TFieldCache& f : cache.Fields) AssignDestFieldValue(f, rs);
      if (cache.Batch && state == rsInserting && (dest.AlwaysInsertNewRecord() || cache.QueuesAfterLocate))
        QueueInsert(cache);
      else
        rs.ApplyChanges();
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
    try {
      rs.Cancel();
    } catch (...) {
    }
    ++dest.RecordsSkipped;
  } catch (const TQXHandledRecordError&) {
    try {
      rs.Cancel();
    } catch (...) {
    }
    throw;
  } catch (std::exception& e) {
    AddErrorDetails(e, item);
    try {
      rs.Cancel();
    } catch (...) {
    }
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
  // only the bound values change. "= ?" with a NULL matches nothing, as "= NULL" did.
  cache.Condition.clear();
  cache.BoundValues.resize(cache.Locate.size());
  for (size_t i = 0; i < cache.Locate.size(); ++i) {
    if (i) cache.Condition += " AND ";
    cache.Condition += cache.Locate[i].Field->DestFieldname();
    cache.Condition += " = ?";
    cache.BoundValues[i].FieldName = cache.Locate[i].Field->DestFieldname();
    cache.BoundValues[i].Value = cache.Locate[i].Value;
  }
  if (cache.QueuesAfterLocate && cache.Batch->Pending() > 0) {
    MakeQueueKey(cache, false);
    if (cache.QueuedKeys.count(cache.Key)) FlushBatch(cache);
  }
  rs.SetOpenMode(TKVRecordsetOpenMode::ReadRows);
  rs.ReExecuteWithValues(cache.Condition, cache.BoundValues);

  if (!rs.HasCurrentRecord()) {
    if (dest.InsertRecordIfNotExists()) {
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
  TKVOdbcField* found = nullptr;
  if (cached.TargetIndex < recordset.FieldCount()) {
    TKVOdbcField& candidate = recordset.Field(cached.TargetIndex);
    if (KVSameText(candidate.Name(), field.DestFieldname())) found = &candidate;
  }
  if (!found) {
    found = &recordset.FieldByName(field.DestFieldname());
    for (size_t i = 0; i < recordset.FieldCount(); ++i)
      if (&recordset.Field(i) == found) cached.TargetIndex = i;
  }
  TKVOdbcField& target = *found;
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
    const TKVRecordsetState state = queued ? rsInserting : rs.State();
    std::string details = std::string("Destination Table") + ": " + std::string(KVTrim(rs.Sql().StatementName()));
    details += std::string("\r\n") + "Operation" + ": " + KVRecordsetStateCaption(state);
    // Only a record being edited holds values that were there. A new record, or none at all (nothing located
    // yet, a columns-only open), holds buffers that an assignment may not have reached: show what was to be
    // written instead of values that never were. A queued row kept what it was to write.
    std::string values;
    if (!queued && (state == rsEditing || (state == rsBrowsing && rs.HasCurrentRecord()))) {
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
  } catch (const std::exception& failure) {
    KVTrace(TKVTraceCategory::Exception, std::string("error details: ") + failure.what());
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
