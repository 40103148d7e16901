// Runs across databases and the less common write paths: SQLite and the PostgreSQL server of the test
// command (skipped when DABRIX_PG_CONN is unset), two destination databases, values taken from another
// destination recordset, numeric adding, and field value functions of the delivered plug-in module.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/DbTestSupport.h"
#include "db/KVOdbcStatement.h"
#include "engine/DMExecute.h"
#include "engine/EngineTestSupport.h"
#include "plugin_host/FVFunc.h"
#include "plugin_host/KVPluginMgr.h"

namespace {

using TLines = enginetest::TReportLines;

struct TProgressHook : IQXProgressSink {
  int64_t Max = -1;
  std::function<void(int64_t)> OnRecord;
  // What ShowWaiting was told, in order (it comes from the run's watch thread).
  std::mutex WaitingLock;
  std::vector<std::string> Waiting;
  void ShowWaiting(const std::string& text) override {
    std::lock_guard guard(WaitingLock);
    Waiting.push_back(text);
  }
  void SetOperationCount(int32_t) override {}
  void NextOperation(const std::string&) override {}
  void SetMaximum(int64_t m) override { Max = m; }
  void ReportProgress(int64_t pos, bool&) override {
    if (OnRecord) OnRecord(pos);
  }
  // The user's cancel request as a long function call asks for it.
  std::function<bool()> OnCancelCheck;
  bool CancelRequested() const override { return OnCancelCheck && OnCancelCheck(); }
};

void Exec(const TKVRef<TKVOdbcConnection>& c, const std::string& sql) {
  TKVOdbcStatement s{c};
  s.ExecuteText(sql);
}

void ExecQuietly(const TKVRef<TKVOdbcConnection>& c, const std::string& sql) {
  try {
    Exec(c, sql);
  } catch (const std::exception&) {
  }
}

using enginetest::QueryRows;
std::string Query(const TKVRef<TKVOdbcConnection>& c, const std::string& sql) { return QueryRows(c, sql); }

// Builds definition trees node by node.
class TTree {
 public:
  TQXDTreeView View;
  TKVTreeItem& SourceDb(const std::string& title, const std::string& conn) {
    auto& n = View.AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), title);
    n.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(conn);
    View.InitNewNode(n);
    return n;
  }
  TKVTreeItem& SourceRS(TKVTreeItem& db, const std::string& title, const std::string& sql) {
    auto& n = View.AppendNode(&db, std::make_unique<TQXDSourceRSData>(), title);
    View.InitNewNode(n);
    n.DataAs<TQXDSourceRSData>()->SetSQL(sql);
    return n;
  }
  TKVTreeItem& DestDb(TKVTreeItem& rs, const std::string& title, const std::string& conn, int32_t size) {
    auto& n = View.AppendNode(&rs, std::make_unique<TQXDDestConnectionData>(), title);
    n.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(conn);
    n.DataAs<TQXDDestConnectionData>()->SetTransactionSize(size);
    View.InitNewNode(n);
    return n;
  }
  // A destination recordset that finds records by the fields marked as locate fields: edit when found,
  // insert when not (or always insert).
  TKVTreeItem& DestRS(TKVTreeItem& db, const std::string& title, const std::string& sql, bool upsert) {
    auto& n = View.AppendNode(&db, std::make_unique<TQXDDestRSData>(), title);
    View.InitNewNode(n);
    auto* d = n.DataAs<TQXDDestRSData>();
    d->SetSQL(sql);
    d->SetAlwaysInsertNewRecord(!upsert);
    d->SetEditRecordIfExists(upsert);
    return n;
  }
  TQXDDestFieldData& Field(TKVTreeItem& rs, const std::string& dest, const std::string& src, bool locate = false) {
    auto& f = View.AppendNode(&rs, std::make_unique<TQXDDestFieldData>(), dest);
    View.InitNewNode(f);
    auto* d = f.DataAs<TQXDDestFieldData>();
    d->SetDestFieldname(dest);
    d->SetSourceRecordsetFieldname(src);
    d->SetLocateWithValue(locate);
    return *d;
  }
  TQXDFieldFuncData& Function(TKVTreeItem& rs, const std::string& field, const TGUID& id) {
    for (size_t i = 0; i < rs.ChildCount(); ++i) {
      if (rs.Child(i)->Title() != field) continue;
      auto& fn = View.AppendNode(rs.Child(i), std::make_unique<TQXDFieldFuncData>(), "function");
      View.InitNewNode(fn);
      fn.DataAs<TQXDFieldFuncData>()->SetFunctionId(id);
      return *fn.DataAs<TQXDFieldFuncData>();
    }
    throw std::runtime_error("no field " + field);
  }
};

// Heading at the top, one source recordset, statistics and total at the bottom; `body` are the lines in
// between (error lines and table lines).
void ExpectReport(const std::vector<std::string>& t, const std::string& source, const std::vector<std::string>& body,
                  const std::string& read, const std::string& transactions) {
  ASSERT_EQ(t.size(), 14u + body.size()) << ::testing::PrintToString(t);
  EXPECT_EQ(t[0], "");
  EXPECT_EQ(t[1], "");
  EXPECT_EQ(t[2].rfind("Operation Started: ", 0), 0u) << t[2];
  EXPECT_EQ(t[3], std::string(t[2].size(), '='));
  EXPECT_NE(t[4].find(" Reading Data From: " + source), std::string::npos) << t[4];
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i].size() > 1 && body[i].back() == '*')  // prefix match for error lines
      EXPECT_EQ(t[5 + i].rfind(body[i].substr(0, body[i].size() - 1), 0), 0u) << t[5 + i];
    else
      EXPECT_EQ(t[5 + i], body[i]);
  }
  testsupport::ExpectRunStatistics(t, read, transactions);
}

std::string TableLine(const std::string& table, int inserted, int edited, int skipped) {
  return "   Table \"" + table + "\":\t" + std::to_string(inserted) + " Records Inserted\t" + std::to_string(edited) +
         " Records Edited\t" + std::to_string(skipped) + " Records Skipped";
}

class RunScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Src = "Driver=SQLite3;Database=" + m_Temp.file("src.db");
    m_SrcConn = dbtest::Connect(m_Src);
    Exec(m_SrcConn, "CREATE TABLE cust (id INTEGER PRIMARY KEY, name VARCHAR(40), phone VARCHAR(40), amount INTEGER)");
    for (int i = 1; i <= 25; ++i)
      Exec(m_SrcConn, "INSERT INTO cust VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "', " +
                          (i % 5 == 0 ? std::string("NULL") : "'p" + std::to_string(i) + "'") + ", " +
                          std::to_string(i) + ")");
  }
  void TearDown() override {
    m_Exec.reset();
    m_Tree.reset();
    m_SrcConn->Deactivate();
  }
  std::string SqliteDest(const std::string& name, const std::string& ddl, TKVRef<TKVOdbcConnection>& conn) {
    std::string cs = "Driver=SQLite3;Database=" + m_Temp.file(name);
    conn = dbtest::Connect(cs);
    Exec(conn, ddl);
    return cs;
  }
  // A new tree copying `table` of the source `connection` by id into the table t (id, val) of the SQLite
  // file d.db, in transactions of 1,000; `dest` is a connection to d.db. Returns the source database node.
  TKVTreeItem& ServerTableIntoSqlite(const std::string& title, const std::string& connection,
                                     const std::string& table, TKVRef<TKVOdbcConnection>& dest) {
    std::string d = SqliteDest("d.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, val VARCHAR(20))", dest);
    m_Tree = std::make_unique<TTree>();
    TKVTreeItem& srcDb = m_Tree->SourceDb(title, connection);
    TKVTreeItem& rs = m_Tree->SourceRS(srcDb, "src", "SELECT * FROM " + table + " ORDER BY id");
    TKVTreeItem& dst = m_Tree->DestRS(m_Tree->DestDb(rs, "Lite", d, 1000), "t", "SELECT * FROM t", false);
    m_Tree->Field(dst, "id", "id");
    m_Tree->Field(dst, "val", "val");
    return srcDb;
  }
  TKVTreeItem& NewTree() {
    m_Tree = std::make_unique<TTree>();
    TKVTreeItem& db = m_Tree->SourceDb("Src", m_Src);
    return m_Tree->SourceRS(db, "cust", "SELECT * FROM cust ORDER BY id");
  }
  // Runs on the worker thread as the program does; returns the error message that ended the run ("" none).
  std::string Run(int errorAction = eaContinueOperation, IQXAskUser* ask = nullptr) {
    m_Exec = std::make_unique<TQXExecuter>(&m_Tree->View);
    m_Exec->SetErrorAction(errorAction);
    m_Exec->SetAskUser(ask);
    m_Exec->SetReportSink(&m_Report);
    m_Report.Lines.clear();
    try {
      m_Exec->RunOnThread(&m_Progress);
    } catch (const std::exception& e) {
      return KVErrorText(e);
    }
    return {};
  }

  testsupport::TempDir m_Temp;
  std::string m_Src;
  TKVRef<TKVOdbcConnection> m_SrcConn;
  std::unique_ptr<TTree> m_Tree;
  std::unique_ptr<TQXExecuter> m_Exec;
  TLines m_Report;
  TProgressHook m_Progress;
};

TEST_F(RunScenario, TwoDestinationDatabasesShareTheCountButOnlyTheSizedOneCommits) {
  TKVRef<TKVOdbcConnection> c1, c2;
  std::string d1 = SqliteDest("d1.db", "CREATE TABLE t1 (id INTEGER PRIMARY KEY)", c1);
  std::string d2 = SqliteDest("d2.db", "CREATE TABLE t2 (id INTEGER PRIMARY KEY)", c2);
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& r1 = m_Tree->DestRS(m_Tree->DestDb(rs, "D1", d1, 5), "t1", "SELECT * FROM t1", false);
  m_Tree->Field(r1, "id", "id");
  TKVTreeItem& r2 = m_Tree->DestRS(m_Tree->DestDb(rs, "D2", d2, 0), "t2", "SELECT * FROM t2", false);
  m_Tree->Field(r2, "id", "id");
  // Before record 5 is written D1 has committed once (the common count reached 5 after its write of
  // record 3); D2 works in autocommit, so its 4 rows are visible to another connection at once.
  std::string seen1, seen2;
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos != 5) return;
    seen1 = Query(c1, "SELECT count(*) FROM t1");
    seen2 = Query(c2, "SELECT count(*) FROM t2");
  };
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(seen1, "3;");
  EXPECT_EQ(seen2, "4;");
  // Commits when the count of both reaches 5, 11, 17, 23, 29, 35, 41, 47 (checked after D1's write).
  EXPECT_EQ(m_Exec->Statistics().Transactions, 8);
  EXPECT_EQ(m_Exec->Statistics().RecordsInserted, 50);
  EXPECT_EQ(Query(c1, "SELECT count(*) FROM t1"), "25;");  // the rest committed at the close
  EXPECT_EQ(Query(c2, "SELECT count(*) FROM t2"), "25;");
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine("t1", 25, 0, 0), TableLine("t2", 25, 0, 0)}, "25", "8");
  c1->Deactivate();
  c2->Deactivate();
}

TEST_F(RunScenario, ValueFromOtherDestinationRecordsetIsNullWhenThatOneSkipped) {
  TKVRef<TKVOdbcConnection> c;
  std::string d = SqliteDest("d.db", "CREATE TABLE ta (id INTEGER PRIMARY KEY, phone VARCHAR(40), note VARCHAR(9) DEFAULT 'dflt')", c);
  Exec(c, "CREATE TABLE tb (id INTEGER PRIMARY KEY, aphone VARCHAR(40), anote VARCHAR(9))");
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& db = m_Tree->DestDb(rs, "D", d, 0);
  TKVTreeItem& ta = m_Tree->DestRS(db, "TA", "SELECT * FROM ta", false);
  m_Tree->Field(ta, "id", "id");
  m_Tree->Field(ta, "phone", "phone").SetIgnoreRecordIfNULL(true);
  TKVTreeItem& tb = m_Tree->DestRS(db, "tb", "SELECT * FROM tb", false);
  m_Tree->Field(tb, "id", "id");
  for (auto [dest, from] : {std::pair{"aphone", "phone"}, std::pair{"anote", "note"}}) {
    auto& f = m_Tree->Field(tb, dest, "");
    f.SetFieldValueorigin(fvoDestRecordset);
    f.SetDestRecordsetName("ta");  // titles compare without regard to case
    f.SetDestRecordsetFieldname(from);
  }
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(Query(c, "SELECT count(*) FROM ta"), "20;");
  EXPECT_EQ(Query(c, "SELECT id, aphone, anote FROM tb WHERE id IN (4, 5, 6) ORDER BY id"), "4,p4,dflt;5,,;6,p6,dflt;");  // the default the database filled in shows
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine("ta", 20, 0, 5), TableLine("tb", 25, 0, 0)}, "25", "0");

  // A name that matches no destination recordset of the database: one red line per record.
  m_Tree->View.TopLevel(0)->Child(0)->DataAs<TQXDSourceRSData>()->SetMaxRecordsToRead(2);
  tb.Child(1)->DataAs<TQXDDestFieldData>()->SetDestRecordsetName("nope");
  Exec(c, "DELETE FROM ta");
  Exec(c, "DELETE FROM tb");
  EXPECT_EQ(Run(), "");
  const std::string missing = "   Cannot assign Value to Field 'tb.aphone', there is no preceeding destination "
                              "recordset with name 'nope'";
  ExpectReport(m_Report.Texts(), "Src.cust", {missing, missing, TableLine("ta", 2, 0, 0)}, "2", "0");
  EXPECT_EQ(m_Report.Lines[5].Runs[0].Color, kQXColorRed);
  EXPECT_EQ(Query(c, "SELECT count(*) FROM tb"), "0;");
  c->Deactivate();
}

TEST_F(RunScenario, NumericAddTreatsNullAsZero) {
  TKVRef<TKVOdbcConnection> c;
  std::string d = SqliteDest("d.db", "CREATE TABLE acc (id INTEGER PRIMARY KEY, total INTEGER)", c);
  Exec(c, "INSERT INTO acc VALUES (1, NULL)");
  Exec(c, "INSERT INTO acc VALUES (2, 100)");
  TKVTreeItem& rs = NewTree();
  rs.DataAs<TQXDSourceRSData>()->SetMaxRecordsToRead(3);
  TKVTreeItem& acc = m_Tree->DestRS(m_Tree->DestDb(rs, "D", d, 0), "acc", "SELECT * FROM acc", true);
  m_Tree->Field(acc, "id", "id", true);
  m_Tree->Field(acc, "total", "amount").SetAssignMode(amNumericAdd);
  EXPECT_EQ(Run(), "");
  // Edited NULL + 1, edited 100 + 2, inserted (current value NULL) 3.
  EXPECT_EQ(Query(c, "SELECT id, total FROM acc ORDER BY id"), "1,1;2,102;3,3;");
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine("acc", 1, 2, 0)}, "3", "0");
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(Query(c, "SELECT id, total FROM acc ORDER BY id"), "1,2;2,104;3,6;");
  c->Deactivate();
}

// The delivered function module, loaded from a program folder of the test's own.
class RunWithPlugins : public RunScenario {
 protected:
  void SetUp() override {
    RunScenario::SetUp();
    m_Old = KVSetPluginFolderProvider([this] { return std::vector<std::string>{m_Plugins.path().string() + "/"}; });
    std::filesystem::copy_file(std::string(DABRIX_BIN_DIR) + "/DabrixPlugin.qxp", m_Plugins.file("dabrix.qxp"));
    LoadPlugins("*.qxp", "PluginCreateObject");
    RebuildFunctionRegistry();
  }
  void TearDown() override {
    RunScenario::TearDown();
    KVReleasePlugins();
    KVSetPluginFolderProvider(m_Old);
  }
  testsupport::TempDir m_Plugins;
  TKVPluginFolderProvider m_Old;
};

constexpr TGUID kSetIfRegExMatch = KVGuid("{93D899E9-7020-4B94-A1C0-63DBB05E585F}");
constexpr TGUID kRegExReplace = KVGuid("{6CE005AB-6B1B-4175-A385-90E642229A5B}");

// The cancel (Ctrl-C, the dialog's button) while a function works on a large value reaches the function:
// it stops, and the run ends as cancelled with what was written before it, not with an error.
TEST_F(RunWithPlugins, CancelDuringALongFunctionCallEndsTheRunAsCancelled) {
  Exec(m_SrcConn, "CREATE TABLE big (id INTEGER PRIMARY KEY, body TEXT)");
  Exec(m_SrcConn, "INSERT INTO big VALUES (1, 'short')");
  // 300,000 times "a": a back-reference in a repeated group keeps this pattern's search over it
  // quadratic, hours long.
  Exec(m_SrcConn, "INSERT INTO big VALUES (2, replace(hex(zeroblob(150000)), '0', 'a'))");
  Exec(m_SrcConn, "INSERT INTO big VALUES (3, 'after')");
  TKVRef<TKVOdbcConnection> c;
  std::string d = SqliteDest("d.db", "CREATE TABLE ok (id INTEGER PRIMARY KEY, body TEXT)", c);
  m_Tree = std::make_unique<TTree>();
  TKVTreeItem& rs = m_Tree->SourceRS(m_Tree->SourceDb("Src", m_Src), "big", "SELECT * FROM big ORDER BY id");
  TKVTreeItem& ok = m_Tree->DestRS(m_Tree->DestDb(rs, "D", d, 0), "ok", "SELECT * FROM ok", false);
  m_Tree->Field(ok, "id", "id");
  m_Tree->Field(ok, "body", "body");
  TQXDFieldFuncData& replace = m_Tree->Function(ok, "body", kRegExReplace);
  replace.SetArgumentValue(0, TKVVariant::FromString("(:1a)(\\1)*b"));
  replace.SetArgumentValue(1, TKVVariant::FromString("x"));

  // The user asks to cancel while the second record's value is being searched.
  int64_t record = 0;
  int asked = 0, askedDuringSecond = 0;
  m_Progress.OnRecord = [&](int64_t pos) { record = pos; };
  m_Progress.OnCancelCheck = [&] {
    ++asked;
    if (record == 2) ++askedDuringSecond;
    return askedDuringSecond >= 3;
  };
  EXPECT_EQ(Run(eaContinueOperation), "");
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Cancelled);
  EXPECT_EQ(askedDuringSecond, 3);  // the function stopped at the first "yes"
  EXPECT_EQ(record, 2);             // and the third record was not read
  EXPECT_EQ(Query(c, "SELECT id, body FROM ok"), "1,short;");
  ExpectReport(m_Report.Texts(), "Src.big", {TableLine("ok", 1, 0, 0)}, "2", "0");
  c->Deactivate();
}

TEST_F(RunWithPlugins, FunctionTurningValueIntoNullSkipsAndFunctionErrorIsARecordError) {
  TKVRef<TKVOdbcConnection> c;
  std::string d = SqliteDest("d.db", "CREATE TABLE ok (id INTEGER PRIMARY KEY, name VARCHAR(40))", c);
  Exec(c, "CREATE TABLE bad (id INTEGER PRIMARY KEY, name VARCHAR(40))");
  TKVTreeItem& rs = NewTree();
  rs.DataAs<TQXDSourceRSData>()->SetMaxRecordsToRead(12);
  TKVTreeItem& db = m_Tree->DestDb(rs, "D", d, 0);
  TKVTreeItem& ok = m_Tree->DestRS(db, "ok", "SELECT * FROM ok", false);
  m_Tree->Field(ok, "id", "id");
  m_Tree->Field(ok, "name", "name").SetIgnoreRecordIfNULL(true);
  // n1, n10, n11, n12 become NULL (the default new value is "<Null>").
  m_Tree->Function(ok, "name", kSetIfRegExMatch).SetArgumentValue(0, TKVVariant::FromString("n1.*"));
  TKVTreeItem& bad = m_Tree->DestRS(db, "bad", "SELECT * FROM bad", false);
  m_Tree->Field(bad, "id", "id");
  m_Tree->Field(bad, "name", "name");
  m_Tree->Function(bad, "name", kSetIfRegExMatch).SetArgumentValue(0, TKVVariant::FromString("(unclosed"));

  EXPECT_EQ(Run(eaContinueOperation), "");
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Completed);
  EXPECT_EQ(Query(c, "SELECT count(*), min(id) FROM ok"), "8,2;");
  EXPECT_EQ(Query(c, "SELECT count(*) FROM bad"), "0;");
  auto t = m_Report.Texts();
  std::vector<std::string> body(12, "   *");
  body.push_back(TableLine("ok", 8, 0, 4));
  ExpectReport(t, "Src.cust", body, "12", "0");
  for (size_t i = 5; i < 17; ++i) {
    EXPECT_EQ(m_Report.Lines[i].Runs[0].Color, kQXColorRed);
    EXPECT_EQ(t[i], t[5]);  // the same plug-in message for every record, no record details
  }
  EXPECT_GT(t[5].size(), 4u);

  // Abort: the first failing function ends the run with the plug-in's error.
  Exec(c, "DELETE FROM ok");
  EXPECT_NE(Run(eaAbortOperation), "");
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Failed);
  EXPECT_EQ(Query(c, "SELECT count(*) FROM ok"), "0;");  // record 1 was skipped at "ok" before "bad" failed
  c->Deactivate();
}

// --- PostgreSQL ------------------------------------------------------------------------------------------

class RunPostgres : public RunScenario {
 protected:
  void SetUp() override {
    std::string pg;
    DABRIX_SERVER_CONNECTION("DABRIX_PG_CONN", pg);
    RunScenario::SetUp();
    m_Pg = pg;
    m_PgConn = dbtest::Connect(m_Pg);
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_Table = "runpg_" + std::string(info->name()).substr(0, 30);
    for (char& ch : m_Table) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ExecQuietly(m_PgConn, "DROP TABLE " + m_Table + " CASCADE");
  }
  void TearDown() override {
    if (m_PgConn) {
      ExecQuietly(m_PgConn, "DROP TABLE " + m_Table + " CASCADE");
      m_PgConn->Deactivate();
    }
    if (m_SrcConn) RunScenario::TearDown();
  }
  std::string m_Pg, m_Table;
  TKVRef<TKVOdbcConnection> m_PgConn;
};

TEST_F(RunPostgres, SqliteToPostgresInsertsThenEdits) {
  Exec(m_PgConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60), phone VARCHAR(40), n INTEGER)");
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& dst = m_Tree->DestRS(m_Tree->DestDb(rs, "Pg", m_Pg, 10), m_Table, "SELECT * FROM " + m_Table, true);
  m_Tree->Field(dst, "id", "id", true);
  m_Tree->Field(dst, "name", "name").SetAssignMode(amAppendToEnd);
  m_Tree->Field(dst, "phone", "phone");
  m_Tree->Field(dst, "n", "amount").SetAssignMode(amNumericAdd);
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(m_Progress.Max, 25);
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine(m_Table, 25, 0, 0)}, "25", "2");
  EXPECT_EQ(Run(), "");
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine(m_Table, 0, 25, 0)}, "25", "2");
  EXPECT_EQ(Query(m_PgConn, "SELECT id, name, phone, n FROM " + m_Table + " WHERE id IN (4, 5) ORDER BY id"),
            "4,n4n4,p4,8;5,n5n5,,10;");
  EXPECT_EQ(Query(m_PgConn, "SELECT count(*) FROM " + m_Table), "25;");
}

TEST_F(RunPostgres, PostgresSourceStreamsIntoSqlite) {
  Exec(m_PgConn, "CREATE TABLE " + m_Table + " AS SELECT g AS id, 'v' || g AS val FROM generate_series(1, 3000) g");
  // Read through a view: a source needs no row identifier of its own.
  Exec(m_PgConn, "CREATE VIEW " + m_Table + "_v AS SELECT * FROM " + m_Table);
  TKVRef<TKVOdbcConnection> c;
  std::string d = SqliteDest("d.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, val VARCHAR(20))", c);
  m_Tree = std::make_unique<TTree>();
  TKVTreeItem& pgDb = m_Tree->SourceDb("Pg", m_Pg);
  TKVTreeItem& rs = m_Tree->SourceRS(pgDb, "src", "SELECT * FROM " + m_Table + "_v ORDER BY id");
  TKVTreeItem& dst = m_Tree->DestRS(m_Tree->DestDb(rs, "Lite", d, 1000), "t", "SELECT * FROM t", false);
  m_Tree->Field(dst, "id", "id");
  m_Tree->Field(dst, "val", "val");
  // While the run reads, the source's server session fetches from a declared cursor in portions: the
  // result is not held in client memory as a whole.
  std::string fetching;
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos == 150)
      fetching = Query(m_PgConn, "SELECT count(*) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND "
                                 "datname = current_database() AND query ILIKE '%fetch % in %'");
  };
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(fetching, "1;");
  EXPECT_EQ(m_Progress.Max, 3000);
  ExpectReport(m_Report.Texts(), "Pg.src", {TableLine("t", 3000, 0, 0)}, "3000", "3");
  EXPECT_EQ(Query(c, "SELECT count(*), min(val), max(id) FROM t"), "3000,v1,3000;");
  // The node's connection string is the user's again.
  EXPECT_EQ(pgDb.DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(), m_Pg);
  c->Deactivate();
}

TEST_F(RunPostgres, DestinationServerGoingAwayEndsTheRunAndKeepsWhatWasCommitted) {
  Exec(m_PgConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60))");
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& dst = m_Tree->DestRS(m_Tree->DestDb(rs, "Pg", m_Pg, 5), m_Table, "SELECT * FROM " + m_Table, false);
  m_Tree->Field(dst, "id", "id");
  m_Tree->Field(dst, "name", "name");
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos == 12)
      Query(m_PgConn, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND "
                      "datname = current_database() AND query ILIKE '%" + m_Table + "%'");
  };
  auto start = std::chrono::steady_clock::now();
  std::string error = Run(eaAbortOperation);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_NE(error, "");
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Failed);
  // Record 11 was in the transaction the server dropped: it is not counted as inserted.
  ExpectReport(m_Report.Texts(), "Src.cust", {"   *", TableLine(m_Table, 10, 0, 0)}, "12", "2");
  EXPECT_EQ(m_Report.Lines[5].Runs[0].Color, kQXColorRed);
  // Two transactions of 5 committed.
  EXPECT_EQ(Query(m_PgConn, "SELECT count(*), max(id) FROM " + m_Table), "10,10;");
}

// --- MariaDB ---------------------------------------------------------------------------------------------

class RunMariaDB : public RunScenario {
 protected:
  void SetUp() override {
    DABRIX_SERVER_CONNECTION("DABRIX_MARIADB_CONN", m_My);
    RunScenario::SetUp();
    m_MyConn = dbtest::Connect(m_My);
    // One table per test: the tests of this fixture may run at the same time against the same server.
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_Table = "runmy_" + std::string(info->name()).substr(0, 30);
    for (char& ch : m_Table) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ExecQuietly(m_MyConn, "DROP TABLE " + m_Table);
  }
  void TearDown() override {
    if (m_MyConn) {
      ExecQuietly(m_MyConn, "DROP TABLE " + m_Table);
      m_MyConn->Deactivate();
    }
    if (m_SrcConn) RunScenario::TearDown();
  }
  std::string m_My, m_Table;
  TKVRef<TKVOdbcConnection> m_MyConn;
};

// A MariaDB source is read with the driver's streaming setting for the run only (drivers before 3.1.17
// ignore it and still read the whole result: the run must work either way).
TEST_F(RunMariaDB, MariaDBSourceIntoSqliteWithTheStreamingSetting) {
  Exec(m_MyConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, val VARCHAR(20)) CHARACTER SET utf8mb4");
  Exec(m_MyConn, "INSERT INTO " + m_Table + " SELECT seq, CONCAT('v', seq) FROM seq_1_to_3000");
  TKVRef<TKVOdbcConnection> c;
  TKVTreeItem& myDb = ServerTableIntoSqlite("My", m_My, m_Table, c);
  std::string during;
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos == 150) during = myDb.DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString();
  };
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(during, m_My + ";NO_CACHE=1");
  EXPECT_EQ(m_Progress.Max, 3000);
  EXPECT_EQ(Query(c, "SELECT count(*), min(val), max(id) FROM t"), "3000,v1,3000;");
  EXPECT_EQ(myDb.DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(), m_My);
  c->Deactivate();
}

// Upserts into MariaDB: the first run inserts, the second finds every record by its bound key and edits it
// (MariaDB counts an update that changes nothing as no row: the edit writes a value that differs).
TEST_F(RunMariaDB, UpsertInsertsThenEditsWithOneLocateStatement) {
  Exec(m_MyConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60), n INTEGER) "
                 "CHARACTER SET utf8mb4");
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& dst = m_Tree->DestRS(m_Tree->DestDb(rs, "My", m_My, 10), m_Table, "SELECT * FROM " + m_Table, true);
  m_Tree->Field(dst, "id", "id", true);
  m_Tree->Field(dst, "name", "name");
  m_Tree->Field(dst, "n", "amount").SetAssignMode(amNumericAdd);
  EXPECT_EQ(Run(), "");
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine(m_Table, 25, 0, 0)}, "25", "2");
  EXPECT_EQ(Run(), "");
  ExpectReport(m_Report.Texts(), "Src.cust", {TableLine(m_Table, 0, 25, 0)}, "25", "2");
  EXPECT_EQ(dst.DataAs<TQXDDestRSData>()->Recordset().BoundPrepareCount(), 2);  // one per run
  EXPECT_EQ(Query(m_MyConn, "SELECT count(*), min(id), max(id) FROM " + m_Table), "25,1,25;");
}

// --- Servers that go away in the middle of a run ----------------------------------------------------------

// The engine's own connection is ended from the server side, as when the server is restarted or an
// administrator ends the session: pg_terminate_backend on PostgreSQL, KILL CONNECTION on MariaDB. Its
// session is found by asking through that connection itself, so that the test ends nobody else's session.
class LostServer : public RunScenario, public ::testing::WithParamInterface<dbtest::TDbKind> {
 protected:
  void SetUp() override {
    m_Server = dbtest::ConnectionStringFor(GetParam(), "");
    if (m_Server.empty()) {
      if (testsupport::ServersRequired()) FAIL() << dbtest::DbKindName(GetParam()) << " server is not set up";
      GTEST_SKIP() << dbtest::DbKindName(GetParam()) << " server is not set up";
    }
    RunScenario::SetUp();
    m_ServerConn = dbtest::Connect(m_Server);
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_Table = "lost_" + std::string(info->name()).substr(0, 24);
    for (char& ch : m_Table)
      ch = std::isalnum(static_cast<unsigned char>(ch)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(ch))) : '_';
    ExecQuietly(m_ServerConn, "DROP TABLE " + m_Table);
  }
  void TearDown() override {
    if (m_ServerConn) {
      ExecQuietly(m_ServerConn, "DROP TABLE " + m_Table);
      m_ServerConn->Deactivate();
    }
    if (m_SrcConn) RunScenario::TearDown();
  }
  bool IsPostgres() const { return GetParam() == dbtest::TDbKind::PostgreSQL; }
  // The server's number for the session of `c` (called on the thread that uses c).
  std::string SessionOf(TKVOdbcConnection& c) {
    std::string id = Query(TKVRef<TKVOdbcConnection>(&c), IsPostgres() ? "SELECT pg_backend_pid()" : "SELECT CONNECTION_ID()");
    return id.substr(0, id.find(';'));
  }
  void EndSession(const std::string& id) {
    if (IsPostgres())
      Query(m_ServerConn, "SELECT pg_terminate_backend(" + id + ")");
    else
      Exec(m_ServerConn, "KILL CONNECTION " + id);
  }
  static TKVOdbcConnection& ConnectionOf(TKVTreeItem& db) { return db.DataAs<TQXDConnectionData>()->Connection(); }
  // cust -> the server's table, with the given transaction size; the destination database node.
  TKVTreeItem& ToServer(int32_t transactionSize) {
    Exec(m_ServerConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60))");
    TKVTreeItem& rs = NewTree();
    TKVTreeItem& db = m_Tree->DestDb(rs, "Dst", m_Server, transactionSize);
    TKVTreeItem& dst = m_Tree->DestRS(db, m_Table, "SELECT * FROM " + m_Table, false);
    m_Tree->Field(dst, "id", "id");
    m_Tree->Field(dst, "name", "name");
    return db;
  }
  std::string m_Server, m_Table;
  TKVRef<TKVOdbcConnection> m_ServerConn;
};

struct TCountingAsk : IQXAskUser {
  int Asked = 0;
  bool AskContinue(const std::string&) override {
    ++Asked;
    return true;
  }
};

// Going on after a lost destination could only fail every remaining record, one red line each: the run stops
// at the first failure with one error, whatever the error action, without asking, and what the server
// committed stays. Record by record (transaction size 5) and with batched inserts (size 100: the rows of
// the one transaction are queued and lost together).
TEST_P(LostServer, DestinationGoneStopsTheRunWithOneErrorUnderEveryErrorAction) {
  const std::string lost = "   The connection to the destination database \"Dst\" has been lost, the run stops.";
  for (int32_t size : {5, 100}) {
    for (int action : {eaContinueOperation, eaAskUser}) {
      SCOPED_TRACE("transaction size " + std::to_string(size) + ", error action " + std::to_string(action));
      ExecQuietly(m_ServerConn, "DROP TABLE " + m_Table);
      TKVTreeItem& db = ToServer(size);
      m_Progress.OnRecord = [&](int64_t pos) {
        if (pos == 12) EndSession(SessionOf(ConnectionOf(db)));
      };
      TCountingAsk ask;
      auto start = std::chrono::steady_clock::now();
      std::string error = Run(action, &ask);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
      EXPECT_EQ(error.rfind(lost.substr(3), 0), 0u) << error;
      EXPECT_EQ(m_Exec->Result(), TQXRunResult::Failed);
      EXPECT_EQ(m_Exec->RecordErrors(), 1);
      EXPECT_EQ(ask.Asked, 0);
      std::vector<std::string> t = m_Report.Texts();
      if (size == 5) {
        // Two transactions of 5 committed; 11 went with the session. The run ends at record 12.
        ExpectReport(t, "Src.cust", {lost + "*", TableLine(m_Table, 10, 0, 0)}, "12", "2");
        EXPECT_EQ(Query(m_ServerConn, "SELECT count(*), max(id) FROM " + m_Table), "10,10;");
      } else {
        // Nothing committed before the end of the data: the queued rows fail at the last write, all lost.
        ExpectReport(t, "Src.cust", {lost + "*"}, "25", "0");
        EXPECT_EQ(Query(m_ServerConn, "SELECT count(*) FROM " + m_Table), "0;");
      }
      EXPECT_EQ(m_Report.Lines[5].Runs[0].Color, kQXColorRed);
    }
  }
}

// Transactions longer than two batches: a batch is written on a thread of its own while the next gathers.
// The session ends while one is in flight or about to be: the run still stops with the one lost-connection
// error, does not hang, and the server keeps nothing of the uncommitted transaction.
TEST_P(LostServer, DestinationGoneWhileABatchIsWrittenInTheBackground) {
  {
    auto src = dbtest::Connect(m_Src);
    Exec(src, "CREATE TABLE many (id INTEGER PRIMARY KEY, name VARCHAR(40))");
    Exec(src, "INSERT INTO many WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
              "SELECT i, 'n' || i FROM n");
    src->Deactivate();
  }
  Exec(m_ServerConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60))");
  m_Tree = std::make_unique<TTree>();
  TKVTreeItem& rs = m_Tree->SourceRS(m_Tree->SourceDb("Src", m_Src), "many", "SELECT * FROM many ORDER BY id");
  TKVTreeItem& db = m_Tree->DestDb(rs, "Dst", m_Server, 5000);
  TKVTreeItem& dst = m_Tree->DestRS(db, m_Table, "SELECT * FROM " + m_Table, false);
  m_Tree->Field(dst, "id", "id");
  m_Tree->Field(dst, "name", "name");
  // The session's number is asked before any batch is in flight: the connection then belongs to the writer.
  std::string session;
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos == 1) session = SessionOf(ConnectionOf(db));
    if (pos == 1002) EndSession(session);
  };
  auto start = std::chrono::steady_clock::now();
  std::string error = Run(eaContinueOperation);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(error.rfind("The connection to the destination database \"Dst\" has been lost, the run stops.", 0), 0u)
      << error;
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Failed);
  EXPECT_EQ(m_Exec->RecordErrors(), 1);
  EXPECT_GE(m_Exec->BatchesWrittenInBackground(), 1);
  EXPECT_EQ(Query(m_ServerConn, "SELECT count(*) FROM " + m_Table), "0;");
}

// A source whose server goes away while its rows are fetched in portions: the run ends with the driver's
// error instead of taking the failed fetch for the end of the data, and the destination keeps what was
// written up to there.
TEST_P(LostServer, SourceGoneEndsTheRunAndKeepsWhatWasWritten) {
  if (IsPostgres())
    Exec(m_ServerConn, "CREATE TABLE " + m_Table + " AS SELECT g AS id, 'v' || g AS val FROM generate_series(1, 3000) g");
  else
    Exec(m_ServerConn, "CREATE TABLE " + m_Table + " AS SELECT seq AS id, CONCAT('v', seq) AS val FROM seq_1_to_3000");
  TKVRef<TKVOdbcConnection> c;
  TKVTreeItem& srcDb = ServerTableIntoSqlite("Srv", m_Server, m_Table, c);
  std::string session;
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos == 1) session = SessionOf(ConnectionOf(srcDb));
    if (pos == 150) EndSession(session);
  };
  std::string error = Run();
  const int32_t read = m_Exec->Statistics().RecordsRead;
  EXPECT_EQ(Query(c, "SELECT count(*) FROM t"), std::to_string(read) + ";");
  if (IsPostgres() || !error.empty()) {
    EXPECT_NE(error, "");
    EXPECT_EQ(m_Exec->Result(), TQXRunResult::Failed);
    EXPECT_GE(read, 150);
    EXPECT_LT(read, 3000);
  } else {
    // This MariaDB driver reads the whole result at the execute (it knows no streaming before 3.1.17):
    // nothing is fetched from the server afterwards, so the run has all of it.
    EXPECT_EQ(read, 3000);
  }
  c->Deactivate();
}

// SQLite -> MariaDB -> SQLite: what comes back is what went out, NULLs included.
TEST_P(LostServer, RoundTripThroughTheServer) {
  Exec(m_ServerConn, "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60), phone VARCHAR(40), "
                     "amount INTEGER)");
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& there = m_Tree->DestRS(m_Tree->DestDb(rs, "Srv", m_Server, 10), m_Table, "SELECT * FROM " + m_Table, true);
  for (const char* f : {"id", "name", "phone", "amount"}) m_Tree->Field(there, f, f, std::string(f) == "id");
  ASSERT_EQ(Run(), "");
  Exec(m_SrcConn, "CREATE TABLE back (id INTEGER PRIMARY KEY, name VARCHAR(60), phone VARCHAR(40), amount INTEGER)");
  m_Tree = std::make_unique<TTree>();
  TKVTreeItem& from = m_Tree->SourceRS(m_Tree->SourceDb("Srv", m_Server), "t", "SELECT * FROM " + m_Table + " ORDER BY id");
  TKVTreeItem& back = m_Tree->DestRS(m_Tree->DestDb(from, "Lite", m_Src, 10), "back", "SELECT * FROM back", false);
  for (const char* f : {"id", "name", "phone", "amount"}) m_Tree->Field(back, f, f);
  ASSERT_EQ(Run(), "");
  ExpectReport(m_Report.Texts(), "Srv.t", {TableLine("back", 25, 0, 0)}, "25", "2");
  EXPECT_EQ(Query(m_SrcConn, "SELECT count(*) FROM back"), "25;");
  EXPECT_EQ(Query(m_SrcConn, "SELECT count(*) FROM cust c JOIN back b ON b.id = c.id AND b.name = c.name AND "
                             "b.phone IS c.phone AND b.amount = c.amount"),
            "25;");
}

// --- A destination another writer has locked ----------------------------------------------------------------

// The first record's row (PostgreSQL, MariaDB: an uncommitted insert of the same key by a second connection)
// or the whole file (SQLite: another process in a write transaction) is locked when the run starts. The
// write waits as long as the connection string allows (1 s here), says meanwhile what it waits for, then
// fails under the error action; the lock holder lets go at record 2 and the other records are written.
class LockedDestination : public RunScenario, public ::testing::WithParamInterface<dbtest::TDbKind> {
 protected:
  void SetUp() override {
    if (GetParam() != dbtest::TDbKind::SQLite) {
      m_Server = dbtest::ConnectionStringFor(GetParam(), "");
      if (m_Server.empty()) {
        if (testsupport::ServersRequired()) FAIL() << dbtest::DbKindName(GetParam()) << " server is not set up";
        GTEST_SKIP() << dbtest::DbKindName(GetParam()) << " server is not set up";
      }
    }
    RunScenario::SetUp();
  }
  void TearDown() override {
    m_Holder.reset();
    m_HolderConn.reset();
    if (m_ServerConn) {
      ExecQuietly(m_ServerConn, "DROP TABLE " + m_Table);
      m_ServerConn->Deactivate();
    }
    if (m_SrcConn) RunScenario::TearDown();
  }
  std::string m_Server, m_Table = "locked_dest";
  TKVRef<TKVOdbcConnection> m_ServerConn, m_HolderConn;
  std::unique_ptr<testsupport::ChildCommand> m_Holder;
};

TEST_P(LockedDestination, WriteWaitsBoundedSaysWhatItWaitsForThenTheErrorActionApplies) {
  const std::string ddl = "CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(60))";
  std::string dest;
  std::function<void()> release;
  if (GetParam() == dbtest::TDbKind::SQLite) {
    TKVRef<TKVOdbcConnection> c;
    std::string file = m_Temp.file("locked.db");
    dest = SqliteDest("locked.db", ddl, c) + ";Timeout=1000";
    c->Deactivate();
    m_Holder = std::make_unique<testsupport::ChildCommand>(
        "{ echo 'BEGIN IMMEDIATE;'; echo 'SELECT 42;'; sleep 60; } | stdbuf -o0 sqlite3 " + testsupport::ShellQuote(file));
    ASSERT_EQ(m_Holder->ReadLine(), "42");
    release = [&] { m_Holder->Stop(); };
  } else {
    const bool pg = GetParam() == dbtest::TDbKind::PostgreSQL;
    m_ServerConn = dbtest::Connect(m_Server);
    ExecQuietly(m_ServerConn, "DROP TABLE " + m_Table);
    Exec(m_ServerConn, ddl);
    dest = m_Server + (pg ? ";ConnSettings={SET lock_timeout = 1000}"
                          : ";InitStmt={SET innodb_lock_wait_timeout = 1, lock_wait_timeout = 1}");
    m_HolderConn = dbtest::Connect(m_Server);
    m_HolderConn->Properties().SetAttribute(caAutocommitTransactions, false);
    Exec(m_HolderConn, "INSERT INTO " + m_Table + " VALUES (1, 'held')");
    release = [&] { m_HolderConn->RollbackTransaction(); };
  }
  TKVTreeItem& rs = NewTree();
  TKVTreeItem& dst = m_Tree->DestRS(m_Tree->DestDb(rs, "Dst", dest, 0), m_Table, "SELECT * FROM " + m_Table, false);
  m_Tree->Field(dst, "id", "id");
  m_Tree->Field(dst, "name", "name");
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos == 2) release();
  };
  m_Exec = std::make_unique<TQXExecuter>(&m_Tree->View);
  m_Exec->SetErrorAction(eaContinueOperation);
  m_Exec->SetReportSink(&m_Report);
  m_Exec->SetWaitNotice(std::chrono::milliseconds(200));
  auto start = std::chrono::steady_clock::now();
  m_Exec->RunOnThread(&m_Progress);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Completed);
  EXPECT_EQ(m_Exec->RecordErrors(), 1);
  ExpectReport(m_Report.Texts(), "Src.cust", {"   *", TableLine(m_Table, 24, 0, 0)}, "25", "0");
  EXPECT_EQ(m_Report.Lines[5].Runs[0].Color, kQXColorRed);
  // The wait was announced with the destination's name (and the bound, where the connection string gives it
  // as a number the program reads), and taken back when it ended.
  std::string waitText = "Waiting for \"Dst." + m_Table + "\" (locked by another connection?)";
  if (GetParam() == dbtest::TDbKind::SQLite) waitText += ", at most 1 s";
  std::vector<std::string> waiting;
  {
    std::lock_guard guard(m_Progress.WaitingLock);
    waiting = m_Progress.Waiting;
  }
  EXPECT_EQ(waiting, (std::vector<std::string>{waitText, ""}));
  TKVRef<TKVOdbcConnection> check = m_ServerConn ? m_ServerConn : dbtest::Connect(dest);
  EXPECT_EQ(Query(check, "SELECT count(*), min(id) FROM " + m_Table), "24,2;");
  if (!m_ServerConn) check->Deactivate();
}

INSTANTIATE_TEST_SUITE_P(Db, LockedDestination,
                         ::testing::Values(dbtest::TDbKind::SQLite, dbtest::TDbKind::PostgreSQL, dbtest::TDbKind::MariaDB),
                         dbtest::DbParamName);

INSTANTIATE_TEST_SUITE_P(Db, LostServer, ::testing::Values(dbtest::TDbKind::PostgreSQL, dbtest::TDbKind::MariaDB),
                         dbtest::DbParamName);

}  // namespace
