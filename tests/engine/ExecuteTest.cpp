// Runs of small definitions against real SQLite files: what lands in the destination, the report line by
// line, transactions, error actions, cancel and the worker thread.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/KVOdbcStatement.h"
#include "db/DbTestSupport.h"
#include "engine/DMExecute.h"
#include "engine/EngineTestSupport.h"

namespace {

using TCollect = enginetest::TReportLines;

struct TProgress : IQXProgressSink {
  int32_t Operations = -1;
  std::vector<std::string> Ops;
  int64_t Max = -1, CancelAt = -1, Last = 0;
  void SetOperationCount(int32_t n) override { Operations = n; }
  void NextOperation(const std::string& t) override { Ops.push_back(t); }
  void SetMaximum(int64_t m) override { Max = m; }
  void ReportProgress(int64_t pos, bool& cancel) override {
    Last = pos;
    if (pos == CancelAt) cancel = true;
    if (OnRecord) OnRecord(pos);
  }
  std::function<void(int64_t)> OnRecord;
};

class ExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Src = "Driver=SQLite3;Database=" + m_Temp.file("src.db");
    m_Dst = "Driver=SQLite3;Database=" + m_Temp.file("dst.db");
    m_SrcConn = dbtest::Connect(m_Src);
    m_DstConn = dbtest::Connect(m_Dst);
    Exec(*m_SrcConn, "CREATE TABLE cust (id INTEGER PRIMARY KEY, name VARCHAR(40), phone VARCHAR(40))");
    for (int i = 1; i <= 25; ++i)
      Exec(*m_SrcConn, "INSERT INTO cust VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "', " +
                           (i % 5 == 0 ? std::string("NULL") : "'p" + std::to_string(i) + "'") + ")");
    Exec(*m_DstConn, "CREATE TABLE c2 (id INTEGER PRIMARY KEY, name VARCHAR(60), phone VARCHAR(40), tag VARCHAR(10))");
  }
  void TearDown() override {
    m_Tree.reset();
    m_SrcConn->Deactivate();
    m_DstConn->Deactivate();
  }
  static void Exec(TKVOdbcConnection& c, const std::string& sql) {
    TKVOdbcStatement s{TKVRef<TKVOdbcConnection>(&c)};
    s.ExecuteText(sql);
  }
  std::string Query(const std::string& sql) { return enginetest::QueryRows(m_DstConn, sql); }
  // source db > cust > dest db > c2 with fields id, name (origin 0) and tag (fixed).
  void Build(int32_t transactionSize = 0) {
    m_Tree = std::make_unique<TQXDTreeView>();
    auto& sdb = m_Tree->AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), "Src");
    sdb.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(m_Src);
    m_Tree->InitNewNode(sdb);
    m_SrcRS = &m_Tree->AppendNode(&sdb, std::make_unique<TQXDSourceRSData>(), "cust");
    m_Tree->InitNewNode(*m_SrcRS);
    m_SrcRS->DataAs<TQXDSourceRSData>()->SetSQL("SELECT * FROM cust ORDER BY id");
    m_DDb = &m_Tree->AppendNode(m_SrcRS, std::make_unique<TQXDDestConnectionData>(), "Dst");
    m_DDb->DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(m_Dst);
    m_DDb->DataAs<TQXDDestConnectionData>()->SetTransactionSize(transactionSize);
    m_Tree->InitNewNode(*m_DDb);
    m_DRS = &m_Tree->AppendNode(m_DDb, std::make_unique<TQXDDestRSData>(), "c2");
    m_Tree->InitNewNode(*m_DRS);
    Dest().SetSQL("SELECT * FROM c2");
    Field("id", "id").SetLocateWithValue(true);
    Field("name", "name");
    auto& tag = Field("tag", "");
    tag.SetFieldValueorigin(fvoFixedValue);
    tag.SetFixedValue("new");
  }
  TQXDDestRSData& Dest() { return *m_DRS->DataAs<TQXDDestRSData>(); }
  TQXDDestFieldData& Field(const std::string& dest, const std::string& src) {
    auto& f = m_Tree->AppendNode(m_DRS, std::make_unique<TQXDDestFieldData>(), dest);
    m_Tree->InitNewNode(f);
    auto* d = f.DataAs<TQXDDestFieldData>();
    d->SetDestFieldname(dest);
    d->SetSourceRecordsetFieldname(src);
    return *d;
  }
  TQXExecuter& Run(int errorAction = eaContinueOperation) {
    m_Exec = std::make_unique<TQXExecuter>(m_Tree.get());
    m_Exec->SetErrorAction(errorAction);
    m_Exec->SetReportSink(&m_Report);
    m_Exec->SetUseThread(false);
    m_Report.Lines.clear();
    m_Exec->Execute(&m_Progress);
    return *m_Exec;
  }

  testsupport::TempDir m_Temp;
  std::string m_Src, m_Dst;
  TKVRef<TKVOdbcConnection> m_SrcConn, m_DstConn;
  std::unique_ptr<TQXDTreeView> m_Tree;
  TKVTreeItem *m_SrcRS = nullptr, *m_DDb = nullptr, *m_DRS = nullptr;
  std::unique_ptr<TQXExecuter> m_Exec;
  TCollect m_Report;
  TProgress m_Progress;
};

// Checks the layout of a normal run and returns the lines between heading and statistics.
void ExpectLayout(const std::vector<std::string>& t, const std::string& records, const std::string& transactions) {
  ASSERT_GE(t.size(), 13u);
  EXPECT_EQ(t[0], "");
  EXPECT_EQ(t[1], "");
  EXPECT_EQ(t[2].rfind("Operation Started: ", 0), 0u) << t[2];
  EXPECT_EQ(t[3], std::string(t[2].size(), '='));
  EXPECT_NE(t[4].find(" Reading Data From: Src.cust"), std::string::npos) << t[4];
  testsupport::ExpectRunStatistics(t, records, transactions, "00:00:");
}

TEST_F(ExecuteTest, CopiesAllRecordsWithReportAndTransactions) {
  Build(10);
  TQXExecuter& e = Run();
  EXPECT_EQ(e.Result(), TQXRunResult::Completed);
  EXPECT_EQ(e.Statistics().RecordsInserted, 25);
  EXPECT_EQ(e.Statistics().Transactions, 2);
  EXPECT_EQ(m_Progress.Operations, 1);
  EXPECT_EQ(m_Progress.Max, 25);
  EXPECT_EQ(Query("SELECT count(*) FROM c2 WHERE tag = 'new'"), "25;");
  auto t = m_Report.Texts();
  ExpectLayout(t, "25", "2");
  ASSERT_EQ(t.size(), 15u);
  EXPECT_EQ(t[5], "   Table \"c2\":\t25 Records Inserted\t0 Records Edited\t0 Records Skipped");
  // colours and weights
  EXPECT_TRUE(m_Report.Lines[2].Runs[0].Bold);
  EXPECT_EQ(m_Report.Lines[2].Runs[0].Color, kQXColorNavy);
  EXPECT_EQ(m_Report.Lines[4].Runs[0].Color, kQXColorDarkRed);
  EXPECT_FALSE(m_Report.Lines[6].Runs[0].Bold);
  EXPECT_TRUE(m_Report.Lines.back().Runs[0].Bold);
}

TEST_F(ExecuteTest, UpsertInsertsThenEditsAndAssignModes) {
  Build();
  Dest().SetAlwaysInsertNewRecord(false);
  Dest().SetEditRecordIfExists(true);
  Run();
  EXPECT_EQ(m_Exec->Statistics().RecordsInserted, 25);
  // Second run: every record found, edited; tag appended, name prefixed.
  auto* tag = m_DRS->Child(2)->DataAs<TQXDDestFieldData>();
  tag->SetAssignMode(amAppendToEnd);
  auto* name = m_DRS->Child(1)->DataAs<TQXDDestFieldData>();
  name->SetAssignMode(amInsertAtBeginning);
  Run();
  EXPECT_EQ(m_Exec->Statistics().RecordsInserted, 0);
  EXPECT_EQ(m_Exec->Statistics().RecordsEdited, 25);
  EXPECT_EQ(Query("SELECT name, tag FROM c2 WHERE id = 3"), "n3n3,newnew;");
  EXPECT_EQ(m_Report.Texts()[5], "   Table \"c2\":\t0 Records Inserted\t25 Records Edited\t0 Records Skipped");
  // Found but editing off: nothing written, nothing counted.
  Dest().SetEditRecordIfExists(false);
  Run();
  EXPECT_EQ(m_Exec->Statistics().RecordsEdited + m_Exec->Statistics().RecordsInserted, 0);
  ExpectLayout(m_Report.Texts(), "25", "0");
  EXPECT_EQ(m_Report.Texts().size(), 14u);  // no table line
}

// The per-record path does per-record work only: a run of 25 upserts prepares one locate statement, makes
// the destination's fields twice (the columns-only open, the prepared locate) and one row writer, however
// many records it reads.
TEST_F(ExecuteTest, UpsertsReuseOneLocateStatementFieldsAndWriter) {
  Build();
  Dest().SetAlwaysInsertNewRecord(false);
  Dest().SetEditRecordIfExists(true);
  TKVOdbcRecordset& rs = Dest().Recordset();
  for (int run = 0; run < 2; ++run) {
    int prepares = rs.BoundPrepareCount(), fields = rs.FieldSetsCreated(), writers = rs.RowWritersCreated();
    Run();
    EXPECT_EQ(m_Exec->Statistics().RecordsInserted + m_Exec->Statistics().RecordsEdited, 25);
    EXPECT_EQ(rs.BoundPrepareCount() - prepares, 1) << run;
    EXPECT_EQ(rs.FieldSetsCreated() - fields, 2) << run;
    EXPECT_EQ(rs.RowWritersCreated() - writers, 1) << run;
  }
  EXPECT_EQ(Query("SELECT count(*), min(id), max(id) FROM c2"), "25,1,25;");
  // The node's SQL text and settings are the user's again after the run.
  EXPECT_EQ(rs.Sql().Text(), "SELECT * FROM c2");
  EXPECT_TRUE(rs.ReadsBackInserted());
}

TEST_F(ExecuteTest, SkipsRecordsWhoseValueIsNull) {
  Build();
  auto& phone = Field("phone", "phone");
  phone.SetIgnoreRecordIfNULL(true);
  Run();
  EXPECT_EQ(Dest().RecordsSkipped, 5);  // the counters stay readable after the close
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "20;");
  EXPECT_EQ(m_Report.Texts()[5], "   Table \"c2\":\t20 Records Inserted\t0 Records Edited\t5 Records Skipped");
}

TEST_F(ExecuteTest, ContinueWritesOneRedLinePerFailedRecord) {
  Build();
  Exec(*m_DstConn, "INSERT INTO c2 (id) VALUES (4)");
  Exec(*m_DstConn, "INSERT INTO c2 (id) VALUES (9)");
  Run(eaContinueOperation);
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Completed);
  auto t = m_Report.Texts();
  ExpectLayout(t, "25", "0");
  ASSERT_EQ(t.size(), 17u);
  EXPECT_EQ(m_Report.Lines[5].Runs[0].Color, kQXColorRed);
  EXPECT_EQ(t[5].rfind("   ", 0), 0u);
  EXPECT_NE(t[5].find("Destination Table: c2, Operation: Inserting, Destination Values: (id: 4"), std::string::npos)
      << t[5];
  EXPECT_NE(t[5].find("Source Table: cust, Source Record Position: 4"), std::string::npos) << t[5];
  EXPECT_EQ(t[7], "   Table \"c2\":\t23 Records Inserted\t0 Records Edited\t0 Records Skipped");
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "25;");
  EXPECT_EQ(m_Exec->RecordErrors(), 2);
  Exec(*m_DstConn, "DELETE FROM c2");
  Run(eaContinueOperation);  // a clean run counts afresh
  EXPECT_EQ(m_Exec->RecordErrors(), 0);
}

// A record that fails before its values reach a destination record (the key's value does not convert to
// the key's type) shows the values that were to be written: neither the empty buffers of the columns-only
// open nor the NULLs of a new record that the assignment never reached.
TEST_F(ExecuteTest, ErrorDetailsWithoutACurrentRecordShowTheValuesToWrite) {
  Build();
  m_DRS->Child(0)->DataAs<TQXDDestFieldData>()->SetSourceRecordsetFieldname("name");
  Exec(*m_DstConn, "INSERT INTO c2 (id, name) VALUES (0, '')");
  for (bool locate : {false, true}) {
    Dest().SetAlwaysInsertNewRecord(!locate);
    Run(eaContinueOperation);
    EXPECT_EQ(m_Exec->RecordErrors(), 25);
    auto t = m_Report.Texts();
    ASSERT_GT(t.size(), 10u);
    const std::string operation = locate ? "Browsing" : "Inserting";
    EXPECT_NE(t[5].find("Operation: " + operation + ", Destination Values: (id: 'n1', name: 'n1', tag: 'new')"),
              std::string::npos)
        << t[5];
    EXPECT_NE(t[9].find("Destination Values: (id: 'n5', name: 'n5', tag: 'new')"), std::string::npos) << t[9];
    for (const auto& line : t) {
      EXPECT_EQ(line.find("id: 0"), std::string::npos) << line;
      EXPECT_EQ(line.find("id: NULL"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "1;");
}

TEST_F(ExecuteTest, AbortKeepsCommittedRowsAndWritesStatistics) {
  Build(3);
  Exec(*m_DstConn, "INSERT INTO c2 (id) VALUES (8)");
  EXPECT_THROW(Run(eaAbortOperation), std::exception);
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Failed);
  auto t = m_Report.Texts();
  ExpectLayout(t, "8", "2");
  EXPECT_EQ(m_Report.Lines[5].Runs[0].Color, kQXColorRed);
  // 7 inserted before the failure: 6 in two transactions, the 7th by the commit at close.
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "8;");
}

TEST_F(ExecuteTest, CancelDuringFirstRecordWritesNothing) {
  Build();
  m_Progress.CancelAt = 1;
  Run();
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Cancelled);
  ExpectLayout(m_Report.Texts(), "1", "0");
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "0;");
}

TEST_F(ExecuteTest, MaxRecordsAndLocateWithoutLocateFieldAndThread) {
  Build();
  m_SrcRS->DataAs<TQXDSourceRSData>()->SetMaxRecordsToRead(2);
  Dest().SetAlwaysInsertNewRecord(false);
  m_DRS->Child(0)->DataAs<TQXDDestFieldData>()->SetLocateWithValue(false);
  m_Exec = std::make_unique<TQXExecuter>(m_Tree.get());
  m_Exec->SetReportSink(&m_Report);
  m_Exec->SetErrorAction(eaAbortOperation);
  try {
    m_Exec->RunOnThread(&m_Progress);
    FAIL() << "no error";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetRoutineName(), "WriteDestRecordset");
    EXPECT_EQ(e.Message().rfind("Destination Recordset 'Dst.c2': \"Try to find existing Record\"", 0), 0u);
  }
  EXPECT_EQ(m_Progress.Max, 2);
  ExpectLayout(m_Report.Texts(), "1", "0");
}

TEST_F(ExecuteTest, ParametersAreAskedAndCancelStopsBeforeReading) {
  struct TPrompt : IQXParameterPrompt {
    bool Answer = true;
    std::vector<std::string> Names;
    bool AskParameters(TKVNameAndValueList& p) override {
      for (auto& v : p) {
        Names.push_back(v.Name);
        v.Value = "10";
      }
      return Answer;
    }
  } prompt;
  Build();
  m_SrcRS->DataAs<TQXDSourceRSData>()->SetSQL("SELECT * FROM cust WHERE id > :minid AND id <= :Limit + 0 ORDER BY id");
  m_Exec = std::make_unique<TQXExecuter>(m_Tree.get());
  m_Exec->SetReportSink(&m_Report);
  m_Exec->SetParameterPrompt(&prompt);
  prompt.Answer = false;
  m_Exec->Execute(&m_Progress);
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::ParametersCancelled);
  EXPECT_EQ((std::vector<std::string>{"Limit", "minid"}), prompt.Names);
  EXPECT_EQ(m_Report.Texts().size(), 8u);
  prompt.Answer = true;
  m_Exec->Execute(&m_Progress);
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "0;");  // id > 10 and id <= 10
}

TEST(ExecuteFormat, ElapsedAndOneLine) {
  EXPECT_EQ(QXFormatElapsed(3723004), "01:02:03.004");
  EXPECT_EQ(QXFormatElapsed(25 * 3600000LL), "01:00:00.000");
  EXPECT_EQ(QXMessageOneLine("a  b\r\n\r\n  c\td \r\n"), "a b, c d");
}

// The SQLite driver reads a whole result into memory unless told to step through it: a source connection
// gets the setting for the run only. While it streams, the source file is still being read, so a writer
// elsewhere cannot commit; after the run the node's connection string is the user's again.
TEST_F(ExecuteTest, SqliteSourceStreamsDuringTheRunOnly) {
  Build();
  auto& source = m_Tree->TopLevel(0)->DataAs<TQXDConnectionData>()->Connection();
  std::string during;
  int writer = -1;
  m_Progress.OnRecord = [&](int64_t pos) {
    if (pos != 10) return;
    during = source.Properties().ConnectionString();
    writer = testsupport::RunCommand("sqlite3 " + testsupport::ShellQuote(m_Temp.file("src.db")) +
                                     " 'PRAGMA busy_timeout=0; INSERT INTO cust (id) VALUES (1000)'")
                 .exitCode;
  };
  Run();
  EXPECT_EQ(m_Exec->Result(), TQXRunResult::Completed);
  EXPECT_EQ(during, m_Src + ";StepAPI=1");
  EXPECT_NE(writer, 0) << "the source was read whole before its first record was written";
  EXPECT_EQ(source.Properties().ConnectionString(), m_Src);
  EXPECT_EQ(Query("SELECT count(*) FROM c2"), "25;");

  // A user's own setting is left as it is.
  source.Properties().SetConnectionString(m_Src + ";StepAPI=0");
  Exec(*m_DstConn, "DELETE FROM c2");
  Run();
  EXPECT_EQ(during, m_Src + ";StepAPI=0");
  EXPECT_EQ(writer, 0);
  EXPECT_EQ(source.Properties().ConnectionString(), m_Src + ";StepAPI=0");
}

}  // namespace
