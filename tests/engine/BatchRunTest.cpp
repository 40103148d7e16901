// Runs whose insert-only destination recordsets are written in batches (parameter arrays): on every
// database the outcome must be the one of writing record by record — the same rows in the table, the same
// red lines with the same values, the same counts — whatever fails, however the run ends. Each scenario
// runs twice into the same kind of table: with transactions of 1000 (batched) and of 50 (too small to
// batch, so record by record), and the two are compared.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
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
  int RowWritersCreated = 0, BoundPrepares = 0;
  int64_t BackgroundBatches = 0;
};

class BatchRun : public DbTest {
 protected:
  static constexpr int kRecords = 2000;

  // A batched run ends as the same run written record by record: table, red lines, counts, result.
  static void ExpectSame(const TOutcome& batched, const TOutcome& single) {
    EXPECT_EQ(batched.Rows, single.Rows);
    EXPECT_EQ(batched.RedLines, single.RedLines);
    EXPECT_EQ(batched.TableLine, single.TableLine);
    EXPECT_EQ(batched.RecordsRead, single.RecordsRead);
    EXPECT_EQ(batched.RecordErrors, single.RecordErrors);
    EXPECT_EQ(batched.Result, single.Result);
    EXPECT_EQ(batched.Raised, single.Raised) << batched.Error << single.Error;
  }

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

  // Upserts: the destination holds the rows whose id is a multiple of 100 ("old"); each record is looked for
  // by its id, edited when found, inserted when not. The source repeats the ids that leave 7 divided by 500,
  // so that some records find the row an earlier record of the same run inserted.
  void FillOldRows() {
    std::string text = "INSERT INTO " + m_Table + " (id, name, amount, origin) VALUES ";
    for (int i = 100; i <= kRecords; i += 100)
      text += (i > 100 ? ", (" : "(") + std::to_string(i) + ", 'old " + std::to_string(i) + "', 0.5, 'old')";
    Exec(text);
  }

  TOutcome Run(int32_t transactionSize, int errorAction, int64_t cancelAt = -1, bool upsert = false) {
    if (!m_KeepTable) {
      MakeTable();
      if (upsert) m_Fill ? m_Fill() : FillOldRows();
    }
    TQXDTreeView tree;
    auto& sdb = tree.AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), "Src");
    sdb.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(m_Src);
    tree.InitNewNode(sdb);
    auto& srs = tree.AppendNode(&sdb, std::make_unique<TQXDSourceRSData>(), "src");
    tree.InitNewNode(srs);
    srs.DataAs<TQXDSourceRSData>()->SetSQL(!m_SourceSql.empty() ? m_SourceSql
                                           : upsert ? "SELECT * FROM src UNION ALL SELECT * FROM src WHERE id % 500 = 7 "
                                                      "ORDER BY id"
                                                    : "SELECT * FROM src ORDER BY id");
    auto& ddb = tree.AppendNode(&srs, std::make_unique<TQXDDestConnectionData>(), "Dst");
    ddb.DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(ConnectionString());
    ddb.DataAs<TQXDDestConnectionData>()->SetTransactionSize(transactionSize);
    tree.InitNewNode(ddb);
    auto& drs = tree.AppendNode(&ddb, std::make_unique<TQXDDestRSData>(), m_Table);
    tree.InitNewNode(drs);
    drs.DataAs<TQXDDestRSData>()->SetSQL("SELECT * FROM " + m_Table);
    if (upsert) {
      drs.DataAs<TQXDDestRSData>()->SetAlwaysInsertNewRecord(false);
      drs.DataAs<TQXDDestRSData>()->SetEditRecordIfExists(true);
      drs.DataAs<TQXDDestRSData>()->SetInsertRecordIfNotExists(true);
    }
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
      if (upsert && std::string(name) == "id") {
        d->SetLocateWithValue(true);
        d->SetAssignValueWhenEditing(false);
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
    o.BackgroundBatches = exec.BatchesWrittenInBackground();
    o.RowWritersCreated = drs.DataAs<TQXDDestRSData>()->Recordset().RowWritersCreated();
    o.BoundPrepares = drs.DataAs<TQXDDestRSData>()->Recordset().BoundPrepareCount();
    o.Rows = enginetest::QueryRows(ConnRef(), "SELECT count(*), sum(id), min(name), max(amount), min(origin) FROM " + m_Table);
    if (upsert)  // which rows were edited, which inserted, which kept
      o.Rows += enginetest::QueryRows(ConnRef(), "SELECT origin, count(*), sum(id), sum(amount) FROM " + m_Table +
                                                     " GROUP BY origin ORDER BY origin");
    for (const auto& line : report.Lines) {
      std::string text = line.Text();
      if (!line.Runs.empty() && line.Runs[0].Color == kQXColorRed) o.RedLines.push_back(text);
      if (text.rfind("   Table ", 0) == 0) o.TableLine = text;
      if (text.rfind("   Records Read: ", 0) == 0) o.RecordsRead = text;
    }
    return o;
  }

  // Run with one of the switches that write the other way for comparison set: DABRIX_NO_BATCH_INSERTS
  // (record by record) or DABRIX_NO_OVERLAP (every batch in turn).
  TOutcome RunWith(const char* variable, int32_t transactionSize, int errorAction, int64_t cancelAt = -1,
                   bool upsert = false) {
    dbtest::TScopedEnv on(variable, "1");
    return Run(transactionSize, errorAction, cancelAt, upsert);
  }

  // Rows with the ids of the given ranges ([from, to] each), holding "old" values.
  void FillOldRanges(std::initializer_list<std::pair<int, int>> ranges) {
    for (auto [from, to] : ranges) {
      std::string text = "INSERT INTO " + m_Table + " (id, name, amount, origin) VALUES ";
      for (int i = from; i <= to; ++i)
        text += (i > from ? ", (" : "(") + std::to_string(i) + ", 'old " + std::to_string(i) + "', 0.5, 'old')";
      Exec(text);
    }
  }

  // ExpectSame, and the batched run wrote through the batch inserter, the other through the row writer.
  void ExpectSameOutcome(const TOutcome& batched, const TOutcome& single) {
    ExpectSame(batched, single);
    EXPECT_EQ(batched.RowWritersCreated, 0);
    EXPECT_EQ(single.RowWritersCreated, 1);
  }

  std::string m_Src, m_Table;
  // Upserts: what fills the table first (FillOldRows without one), the source's SELECT (the default's
  // without one), and whether a run writes into the table the last one left.
  std::function<void()> m_Fill;
  std::string m_SourceSql;
  bool m_KeepTable = false;
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

// Upserts queue the records they do not find and edit the others at once: the same rows, red lines and counts
// as record by record, whether a failing record was to be inserted (3) or edited (1000, 1500), and when a
// record finds the row an earlier record inserted.
class BatchUpsertRun : public BatchRun {
 protected:
  void SetUp() override {
    BatchRun::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    dbtest::Connect(m_Src)->ExecuteSQL("UPDATE src SET name = 'BAD' WHERE id = 1000");
  }
};

TEST_P(BatchUpsertRun, ContinueGivesTheRowsCountsAndRedLinesOfRecordByRecord) {
  TOutcome batched = Run(1000, eaContinueOperation, -1, true);
  TOutcome single = RunWith("DABRIX_NO_BATCH_INSERTS", 1000, eaContinueOperation, -1, true);
  ExpectSame(batched, single);
  ASSERT_EQ(batched.RedLines.size(), 3u);
  EXPECT_NE(batched.RedLines[0].find("Operation: Inserting, Destination Values: (id: 3, name: 'BAD'"), std::string::npos)
      << batched.RedLines[0];
  EXPECT_NE(batched.RedLines[1].find("Operation: Editing"), std::string::npos) << batched.RedLines[1];
  EXPECT_NE(batched.RedLines[1].find("Source Values: (id: 1000, name: 'BAD'"), std::string::npos) << batched.RedLines[1];
  EXPECT_NE(batched.RedLines[2].find("Source Values: (id: 1500, name: 'BAD'"), std::string::npos) << batched.RedLines[2];
  // 2004 records: 20 rows exist, 1980 do not; 7, 507, 1007 and 1507 are inserted and then found again; 3 fails
  // to be inserted, 1000 and 1500 to be edited.
  EXPECT_EQ(batched.TableLine,
            "   Table \"" + m_Table + "\":\t1979 Records Inserted\t22 Records Edited\t0 Records Skipped");
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 2004");
}

TEST_P(BatchUpsertRun, AbortAtAQueuedRecordOrAnEditedOneEndsTheRunThere) {
  for (int32_t transactionSize : {1000, 2000}) {
    TOutcome batched = Run(transactionSize, eaAbortOperation, -1, true);
    TOutcome single = RunWith("DABRIX_NO_BATCH_INSERTS", transactionSize, eaAbortOperation, -1, true);
    ExpectSame(batched, single);
    EXPECT_EQ(batched.RecordsRead, "   Records Read: 3");
    EXPECT_EQ(batched.RedLines.size(), 1u);
  }
  // With record 3 fine, the run ends at the edit of record 1000, the queued records before it written.
  dbtest::Connect(m_Src)->ExecuteSQL("UPDATE src SET name = 'fine' WHERE id = 3");
  TOutcome batched = Run(5000, eaAbortOperation, -1, true);
  TOutcome single = RunWith("DABRIX_NO_BATCH_INSERTS", 5000, eaAbortOperation, -1, true);
  ExpectSame(batched, single);
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 1002");  // 1000 is the 1002nd record (7 twice, 507 twice)
}

DABRIX_INSTANTIATE_DB_TEST(BatchUpsertRun);

// Transactions longer than two batches: a full batch is written on a thread of its own while the next one
// gathers. With 3,000 records, failing at 3, 1,500 and 2,003, the first two failing rows are found in a batch
// that was in flight: the same outcome as record by record, and as the batches written in turn. Where the
// error action ends the run at record 3, the thousand records queued meanwhile are not written.
TEST_P(BatchRun, BatchesWrittenWhileTheNextGathersEndAsRecordByRecord) {
  m_SourceSql = "SELECT id, name, amount FROM src UNION ALL SELECT id + 2000, name, amount FROM src WHERE id <= 1000 "
                "ORDER BY 1";
  for (int action : {eaContinueOperation, eaAbortOperation}) {
    SCOPED_TRACE(action);
    TOutcome overlapped = Run(5000, action);
    TOutcome inTurn = RunWith("DABRIX_NO_OVERLAP", 5000, action);
    TOutcome single = Run(50, action);
    ExpectSameOutcome(overlapped, single);
    ExpectSame(inTurn, single);
    EXPECT_EQ(inTurn.BackgroundBatches, 0);
    if (action == eaContinueOperation) {
      EXPECT_EQ(overlapped.BackgroundBatches, 2);
      ASSERT_EQ(overlapped.RedLines.size(), 3u);
      EXPECT_NE(overlapped.RedLines[1].find("Source Record Position: 1500,"), std::string::npos);
      EXPECT_NE(overlapped.RedLines[2].find("Source Record Position: 2003, Source Values: (id: 2003, name: 'BAD'"),
                std::string::npos)
          << overlapped.RedLines[2];
      EXPECT_EQ(overlapped.TableLine,
                "   Table \"" + m_Table + "\":\t2997 Records Inserted\t0 Records Edited\t0 Records Skipped");
    } else {
      EXPECT_EQ(overlapped.BackgroundBatches, 1);
      EXPECT_EQ(overlapped.RecordsRead, "   Records Read: 3");
      EXPECT_EQ(overlapped.RedLines.size(), 1u);
    }
  }
  // Cancelled while a batch is in flight: it is finished, and what was read before the cancel is written.
  TOutcome overlapped = Run(5000, eaContinueOperation, 1700), single = Run(50, eaContinueOperation, 1700);
  ExpectSameOutcome(overlapped, single);
  EXPECT_EQ(overlapped.BackgroundBatches, 1);
  EXPECT_EQ(overlapped.Result, TQXRunResult::Cancelled);
}

TEST_P(BatchRun, CancelInTheMiddleOfABatchWritesTheRecordsReadBeforeIt) {
  TOutcome batched = Run(1000, eaContinueOperation, 1234), single = Run(50, eaContinueOperation, 1234);
  ExpectSameOutcome(batched, single);
  EXPECT_EQ(batched.Result, TQXRunResult::Cancelled);
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 1234");
}

DABRIX_INSTANTIATE_DB_TEST(BatchRun);

}  // namespace

namespace {

// Upserts that locate by the integer primary key find long runs of existing rows and of missing ones: the
// locate is answered from a window of the table's keys and the edits of the found records go in batches.
// Whatever the order of the keys and whatever fails, the table, the red lines and the counts are those of
// the record-by-record run (DABRIX_NO_BATCH_INSERTS=1).
class BatchEditRun : public BatchRun {
 protected:
  static constexpr const char* kInKeyOrder = "SELECT * FROM src ORDER BY id";
  // 2003 is prime: the ids come in a scattered order, every one of them once.
  static constexpr const char* kShuffled = "SELECT * FROM src ORDER BY (id * 37) % 2003";

  void SetUp() override {
    BatchRun::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    // Rows 1..600 and 1201..2000 exist, 601..1200 do not; records 3 and 1500 (both existing) fail their edit.
    m_Fill = [this] { FillOldRanges({{1, 600}, {1201, 2000}}); };
  }

  TOutcome RunSingle(int32_t transactionSize, int errorAction) {
    return RunWith("DABRIX_NO_BATCH_INSERTS", transactionSize, errorAction, -1, true);
  }
};

TEST_P(BatchEditRun, MixOfExistingAndNewKeysEndsAsRecordByRecordInKeyOrderAndShuffled) {
  dbtest::Connect(m_Src)->ExecuteSQL("UPDATE src SET name = 'fine' WHERE id IN (3, 1500)");
  for (const char* order : {kInKeyOrder, kShuffled}) {
    SCOPED_TRACE(order);
    m_SourceSql = order;
    TOutcome batched = Run(1000, eaContinueOperation, -1, true), single = RunSingle(1000, eaContinueOperation);
    ExpectSame(batched, single);
    EXPECT_TRUE(batched.RedLines.empty());
    EXPECT_EQ(batched.TableLine,
              "   Table \"" + m_Table + "\":\t600 Records Inserted\t1400 Records Edited\t0 Records Skipped");
    EXPECT_EQ(single.BoundPrepares, 1);  // one prepared locate, re-executed per record
    if (order == kInKeyOrder) {
      // Nothing was located or written record by record.
      EXPECT_EQ(batched.BoundPrepares, 0);
      EXPECT_EQ(batched.RowWritersCreated, 0);
    }
  }
}

// Records whose key an earlier record of the run edited (100, 1300) or inserted (700) find the row as the
// earlier record left it.
TEST_P(BatchEditRun, RecordsFindingRowsTheRunWroteEndAsRecordByRecord) {
  dbtest::Connect(m_Src)->ExecuteSQL("UPDATE src SET name = 'fine' WHERE id IN (3, 1500)");
  m_SourceSql = "SELECT * FROM src UNION ALL SELECT * FROM src WHERE id IN (100, 700, 1300) ORDER BY id";
  TOutcome batched = Run(1000, eaContinueOperation, -1, true), single = RunSingle(1000, eaContinueOperation);
  ExpectSame(batched, single);
  EXPECT_TRUE(batched.RedLines.empty());
  EXPECT_EQ(batched.TableLine,
            "   Table \"" + m_Table + "\":\t600 Records Inserted\t1403 Records Edited\t0 Records Skipped");
}

TEST_P(BatchEditRun, UpsertRunTwiceGivesTheSameTableAndCounts) {
  dbtest::Connect(m_Src)->ExecuteSQL("UPDATE src SET name = 'fine' WHERE id IN (3, 1500)");
  m_SourceSql = kInKeyOrder;
  TOutcome first = Run(1000, eaContinueOperation, -1, true);
  m_KeepTable = true;
  TOutcome second = Run(1000, eaContinueOperation, -1, true);
  m_KeepTable = false;
  EXPECT_EQ(first.Rows, second.Rows);
  EXPECT_EQ(first.TableLine, "   Table \"" + m_Table + "\":\t600 Records Inserted\t1400 Records Edited\t0 Records Skipped");
  // The second run finds every row, unchanged by its edit.
  EXPECT_EQ(second.TableLine, "   Table \"" + m_Table + "\":\t0 Records Inserted\t2000 Records Edited\t0 Records Skipped");
  EXPECT_TRUE(second.RedLines.empty());
  EXPECT_EQ(second.RowWritersCreated, 0);
}

TEST_P(BatchEditRun, ContinueReportsExactlyTheEditsThatFailWithTheirValues) {
  for (const char* order : {kInKeyOrder, kShuffled}) {
    SCOPED_TRACE(order);
    m_SourceSql = order;
    TOutcome batched = Run(1000, eaContinueOperation, -1, true), single = RunSingle(1000, eaContinueOperation);
    ExpectSame(batched, single);
    ASSERT_EQ(batched.RedLines.size(), 2u);
    for (const std::string& line : batched.RedLines)
      EXPECT_NE(line.find("Operation: Editing"), std::string::npos) << line;
    if (order == kInKeyOrder) {
      // The located row with the new values, as the edit written at once shows it.
      EXPECT_NE(batched.RedLines[0].find("Destination Values: (id: 3, name: 'BAD', amount: 0.75, origin: 'batch')"),
                std::string::npos)
          << batched.RedLines[0];
      EXPECT_NE(batched.RedLines[0].find("Source Record Position: 3,"), std::string::npos) << batched.RedLines[0];
      EXPECT_NE(batched.RedLines[1].find("Source Record Position: 1500, Source Values: (id: 1500, name: 'BAD'"),
                std::string::npos)
          << batched.RedLines[1];
    }
    EXPECT_EQ(batched.TableLine,
              "   Table \"" + m_Table + "\":\t600 Records Inserted\t1398 Records Edited\t0 Records Skipped");
    EXPECT_EQ(batched.RecordErrors, 2);
  }
}

TEST_P(BatchEditRun, AbortAtAFailingEditKeepsWhatEarlierTransactionsCommitted) {
  dbtest::Connect(m_Src)->ExecuteSQL("UPDATE src SET name = 'fine' WHERE id = 3");
  m_SourceSql = kInKeyOrder;
  TOutcome batched = Run(500, eaAbortOperation, -1, true), single = RunSingle(500, eaAbortOperation);
  ExpectSame(batched, single);
  EXPECT_EQ(batched.RecordsRead, "   Records Read: 1500");
  ASSERT_EQ(batched.RedLines.size(), 1u);
  EXPECT_NE(batched.RedLines[0].find("Source Record Position: 1500,"), std::string::npos) << batched.RedLines[0];
  EXPECT_TRUE(batched.Raised);
  // Every record before 1500 is in the table: 1..600 and 1201..1499 edited, 601..1200 inserted.
  EXPECT_NE(batched.Rows.find("batch,1499,"), std::string::npos) << batched.Rows;
}

// Transactions longer than a batch: full batches of edits and of inserts are written on a thread of their
// own while the next records gather, and a locate the key window cannot answer waits for them. 6,000
// records (the source three times over, ids shifted), rows 1..2600 and 3801..6000 existing: two full edit
// batches, a full insert batch, two more full edit batches; records 3, 1500, 2003, 4003 and 5500 fail their
// edit, 3500 its insert. The same as record by record, in key order and shuffled, and where the error action
// ends the run at record 3 while the next thousand edits were queued.
TEST_P(BatchEditRun, BatchesWrittenWhileTheNextGathersEndAsRecordByRecord) {
  m_Fill = [this] { FillOldRanges({{1, 2600}, {3801, 6000}}); };
  const std::string all = "SELECT * FROM (SELECT id, name, amount FROM src UNION ALL SELECT id + 2000, name, amount "
                          "FROM src UNION ALL SELECT id + 4000, name, amount FROM src)";
  // Shuffled, the window is not worth reading and every record is located on its own, each locate waiting
  // for the batch of queued inserts in flight: the 2,000 records 2401..4400 (1,200 of them new) suffice.
  struct TCase {
    int Action;
    const char* Order;
    std::string Lines;
    size_t RedLines;
  };
  for (const TCase& c : {TCase{eaContinueOperation, "ORDER BY id", "1199 Records Inserted\t4795 Records Edited", 6},
                         TCase{eaContinueOperation, "WHERE id BETWEEN 2401 AND 4400 ORDER BY (id * 37) % 2003",
                               "1199 Records Inserted\t799 Records Edited", 2},
                         TCase{eaAbortOperation, "ORDER BY id", "", 1}}) {
    SCOPED_TRACE(std::to_string(c.Action) + " " + c.Order);
    m_SourceSql = all + " " + c.Order;
    const bool keyOrder = std::string(c.Order) == "ORDER BY id";
    // Batches written in turn end as record by record (the tests above); record by record is run once here.
    TOutcome overlapped = Run(10000, c.Action, -1, true);
    TOutcome inTurn = RunWith("DABRIX_NO_OVERLAP", 10000, c.Action, -1, true);
    ExpectSame(overlapped, inTurn);
    EXPECT_EQ(inTurn.BackgroundBatches, 0);
    EXPECT_EQ(overlapped.RedLines.size(), c.RedLines);
    if (keyOrder && c.Action == eaContinueOperation) {
      ExpectSame(overlapped, RunSingle(10000, c.Action));
      EXPECT_EQ(overlapped.BackgroundBatches, 5);
    }
    if (c.Action == eaAbortOperation) {
      EXPECT_EQ(overlapped.BackgroundBatches, 1);
      EXPECT_EQ(overlapped.RecordsRead, "   Records Read: 3");
    } else {
      EXPECT_EQ(overlapped.TableLine, "   Table \"" + m_Table + "\":\t" + c.Lines + "\t0 Records Skipped");
    }
  }
}

DABRIX_INSTANTIATE_DB_TEST(BatchEditRun);

}  // namespace
