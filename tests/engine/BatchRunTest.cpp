// Runs whose insert-only destination recordsets are written in batches (parameter arrays): on every
// database the outcome must be the one of writing record by record — the same rows in the table, the same
// red lines with the same values, the same counts — whatever fails, however the run ends. Each scenario
// runs twice into the same kind of table: with transactions of 1000 (batched) and of 50 (too small to
// batch, so record by record), and the two are compared.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/DbTestSupport.h"
#include "db/KVOdbcStatement.h"
#include "engine/DMExecute.h"
#include "engine/EngineTestSupport.h"

namespace {

using dbtest::DbTest;

struct TProgress : IQXProgressSink {
  int64_t CancelAt = -1;
  void SetOperationCount(int32_t) override {}
  void NextOperation(const std::string&) override {}
  void SetMaximum(int64_t) override {}
  void ReportProgress(int64_t pos, bool& cancel) override {
    if (pos == CancelAt) cancel = true;
  }
};

// What a run left: the destination rows, the red lines, the counts.
struct TOutcome {
  std::string Rows;
  std::vector<std::string> RedLines;
  std::string TableLine, RecordsRead;
  int64_t RecordErrors = 0;
  TQXRunResult Result = TQXRunResult::NotRun;
  bool Raised = false;
  std::string Error;
  int RowWritersCreated = 0;
};

class BatchRun : public DbTest {
 protected:
  static constexpr int kRecords = 2000;

  void SetUp() override {
    DbTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    m_Src = "Driver=SQLite3;Database=" + Temp().file("src.db");
    auto src = dbtest::Connect(m_Src);
    src->ExecuteSQL("CREATE TABLE src (id INTEGER PRIMARY KEY, name VARCHAR(40), amount DOUBLE)");
    src->ExecuteSQL("INSERT INTO src (id, name, amount) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                    "FROM n WHERE i < " + std::to_string(kRecords) + ") SELECT i, 'name ' || i || ' ''q''', i / 4.0 FROM n");
    // Records 3 and 1500 break the destination's CHECK constraint.
    src->ExecuteSQL("UPDATE src SET name = 'BAD' WHERE id IN (3, 1500)");
    src->Deactivate();
    m_Table = Table();
  }

  void MakeTable() {
    ExecQuietly("DROP TABLE " + m_Table);
    Exec("CREATE TABLE " + m_Table + " (id INTEGER PRIMARY KEY, name VARCHAR(40) CHECK (name <> 'BAD'), amount " +
         Type("double") + ", origin VARCHAR(10))");
  }

  TOutcome Run(int32_t transactionSize, int errorAction, int64_t cancelAt = -1) {
    MakeTable();
    TQXDTreeView tree;
    auto& sdb = tree.AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), "Src");
    sdb.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(m_Src);
    tree.InitNewNode(sdb);
    auto& srs = tree.AppendNode(&sdb, std::make_unique<TQXDSourceRSData>(), "src");
    tree.InitNewNode(srs);
    srs.DataAs<TQXDSourceRSData>()->SetSQL("SELECT * FROM src ORDER BY id");
    auto& ddb = tree.AppendNode(&srs, std::make_unique<TQXDDestConnectionData>(), "Dst");
    ddb.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(ConnectionString());
    ddb.DataAs<TQXDDestConnectionData>()->SetTransactionSize(transactionSize);
    tree.InitNewNode(ddb);
    auto& drs = tree.AppendNode(&ddb, std::make_unique<TQXDDestRSData>(), m_Table);
    tree.InitNewNode(drs);
    drs.DataAs<TQXDDestRSData>()->SetSQL("SELECT * FROM " + m_Table);
    for (const char* name : {"id", "name", "amount", "origin"}) {
      auto& f = tree.AppendNode(&drs, std::make_unique<TQXDDestFieldData>(), name);
      tree.InitNewNode(f);
      auto* d = f.DataAs<TQXDDestFieldData>();
      d->SetDestFieldname(name);
      if (std::string(name) == "origin") {
        d->SetFieldValueorigin(fvoFixedValue);
        d->SetFixedValue("batch");
      } else {
        d->SetSourceRecordsetFieldname(name);
      }
    }
    enginetest::TReportLines report;
    TProgress progress;
    progress.CancelAt = cancelAt;
    TQXExecuter exec(&tree);
    exec.SetErrorAction(errorAction);
    exec.SetReportSink(&report);
    exec.SetUseThread(false);
    TOutcome o;
    try {
      exec.Execute(&progress);
    } catch (const std::exception& e) {
      o.Raised = true;
      o.Error = KVErrorText(e);
    }
    o.Result = exec.Result();
    o.RecordErrors = exec.RecordErrors();
    o.RowWritersCreated = drs.DataAs<TQXDDestRSData>()->Recordset().RowWritersCreated();
    o.Rows = enginetest::QueryRows(ConnRef(), "SELECT count(*), sum(id), min(name), max(amount), min(origin) FROM " + m_Table);
    for (const auto& line : report.Lines) {
      std::string text = line.Text();
      if (!line.Runs.empty() && line.Runs[0].Color == kQXColorRed) o.RedLines.push_back(text);
      if (text.rfind("   Table ", 0) == 0) o.TableLine = text;
      if (text.rfind("   Records Read: ", 0) == 0) o.RecordsRead = text;
    }
    return o;
  }

  // The batched and the record-by-record run of a scenario end alike.
  void ExpectSameOutcome(const TOutcome& batched, const TOutcome& single) {
    EXPECT_EQ(batched.Rows, single.Rows);
    EXPECT_EQ(batched.RedLines, single.RedLines);
    EXPECT_EQ(batched.TableLine, single.TableLine);
    EXPECT_EQ(batched.RecordsRead, single.RecordsRead);
    EXPECT_EQ(batched.RecordErrors, single.RecordErrors);
    EXPECT_EQ(batched.Result, single.Result);
    EXPECT_EQ(batched.Raised, single.Raised) << batched.Error << single.Error;
    // The batched run wrote through the batch inserter, the other through the row writer.
    EXPECT_EQ(batched.RowWritersCreated, 0);
    EXPECT_EQ(single.RowWritersCreated, 1);
  }

  std::string m_Src, m_Table;
};

TEST_P(BatchRun, ContinueWritesEveryOtherRowAndReportsExactlyTheFailingRecords) {
  TOutcome batched = Run(1000, eaContinueOperation), single = Run(50, eaContinueOperation);
  ExpectSameOutcome(batched, single);
  ASSERT_EQ(batched.RedLines.size(), 2u);
  EXPECT_NE(batched.RedLines[0].find("Destination Values: (id: 3, name: 'BAD', amount: 0.75, origin: 'batch')"),
            std::string::npos)
      << batched.RedLines[0];
  EXPECT_NE(batched.RedLines[0].find("Source Record Position: 3"), std::string::npos);
  EXPECT_NE(batched.RedLines[1].find("Source Record Position: 1500, Source Values: (id: 1500, name: 'BAD', amount: 375"),
            std::string::npos)
      << batched.RedLines[1];
  EXPECT_EQ(batched.TableLine, "   Table \"" + m_Table + "\":\t1998 Records Inserted\t0 Records Edited\t0 Records Skipped");
  EXPECT_EQ(batched.RecordErrors, 2);
}

TEST_P(BatchRun, AbortStopsAtTheFailingRecordAndKeepsWhatWasWrittenBeforeIt) {
  TOutcome batched = Run(1000, eaAbortOperation), single = Run(50, eaAbortOperation);
  ExpectSameOutcome(batched, single);
  // Record 3 ends the run: records 1 and 2 were written (committed when the nodes closed), nothing after.
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 3");
  EXPECT_EQ(batched.RedLines.size(), 1u);
  EXPECT_TRUE(batched.Raised);
  EXPECT_EQ(batched.Result, TQXRunResult::Failed);
}

// Transactions longer than a batch: the failing row is found when a later record finds the batch full. It is
// still that row's one red line, and the run ends there as it would have record by record.
TEST_P(BatchRun, AbortFoundWhenAFullBatchIsWrittenReportsTheFailingRecordOnce) {
  TOutcome batched = Run(2000, eaAbortOperation), single = Run(50, eaAbortOperation);
  ExpectSameOutcome(batched, single);
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 3");
  ASSERT_EQ(batched.RedLines.size(), 1u);
  EXPECT_NE(batched.RedLines[0].find("Source Record Position: 3,"), std::string::npos) << batched.RedLines[0];
  EXPECT_EQ(batched.RedLines[0].find("Source Record Position: 1001"), std::string::npos) << batched.RedLines[0];
  EXPECT_EQ(batched.RecordErrors, 1);
}

TEST_P(BatchRun, CancelInTheMiddleOfABatchWritesTheRecordsReadBeforeIt) {
  TOutcome batched = Run(1000, eaContinueOperation, 1234), single = Run(50, eaContinueOperation, 1234);
  ExpectSameOutcome(batched, single);
  EXPECT_EQ(batched.Result, TQXRunResult::Cancelled);
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 1234");
}

DABRIX_INSTANTIATE_DB_TEST(BatchRun);

}  // namespace
