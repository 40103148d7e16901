// Batched inserts through parameter arrays: the rows arrive as the row writer would have written them,
// failing rows are left out one by one with the row writer's error, and the transaction around them is
// respected (SQLite, PostgreSQL, MariaDB).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "db/DbTestSupport.h"
#include "db/KVOdbcBatchInsert.h"
#include "db/KVOdbcError.h"
#include "foundation/KVDateTime.h"

namespace {

using dbtest::DbTest;
using dbtest::ErrorOf;

std::vector<uint8_t> Pattern(size_t size, size_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
  return v;
}

std::string LongText(size_t size, size_t seed) {
  std::string s(size, ' ');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i + seed) % 26);
  return s;
}

std::string MessageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EODBCError& e) {
    return e.Message();
  } catch (const EKVException& e) {
    return "not an ODBC error: " + e.Message();
  }
}

class BatchInsertTest : public DbTest {
 protected:
  std::string Charset() const { return UnicodeTableOptions(); }

  // A table with every kind of value the batch lays out differently: fixed (integer, double, timestamp),
  // growing text, long text and binary; `dflt` is never assigned and must get its default.
  std::string CreateWideTable(const std::string& suffix) {
    std::string t = Table(suffix);
    Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, name VARCHAR(100), d " + Type("double") + ", ts " +
         Type("timestamp") + ", bin " + Type("blob") + ", memo " + Type("text") + ", dflt INTEGER DEFAULT 42)" +
         Charset());
    return t;
  }

  TKVRef<TKVOdbcRecordset> OpenForInsert(const std::string& table) {
    return OpenRecordset("SELECT id, name, d, ts, bin, memo, dflt FROM " + table, ctForwardOnly);
  }

  // Row i of the wide table; NULLs scattered over every column.
  static void FillWide(TKVOdbcRecordsetBase& rs, size_t i) {
    rs.FieldByName("id").SetValue(static_cast<int32_t>(i + 1));
    if (i % 7 == 3)
      rs.FieldByName("name").SetNull();
    else
      rs.FieldByName("name").SetValue("O'Brien \"q\" Grüße Москва " + std::to_string(i) + std::string(i % 40, 'x'));
    if (i % 11 == 5)
      rs.FieldByName("d").SetNull();
    else
      rs.FieldByName("d").SetValue(static_cast<double>(i) * 1.125 - 7.5);
    if (i % 13 == 6) {
      rs.FieldByName("ts").SetNull();
    } else {
      double stamp = 0;
      EXPECT_TRUE(KVTryEncodeDateTime({2021, 3, 4, static_cast<int>(i % 24), static_cast<int>(i % 60),
                                       static_cast<int>((i / 7) % 60), static_cast<int>(1 + i % 998)},
                                      stamp));
      rs.FieldByName("ts").SetValue(TKVVariant::FromDateTime(stamp));
    }
    if (i % 5 == 0) {
      rs.FieldByName("bin").SetNull();
    } else {
      std::vector<uint8_t> bin = Pattern(i % 97 + (i % 250 == 1 ? 20000 : 0), i);
      rs.FieldByName("bin").SetBytes(bin.data(), bin.size());
    }
    if (i % 9 == 2)
      rs.FieldByName("memo").SetNull();
    else
      rs.FieldByName("memo").SetValue(LongText(i % 500 == 3 ? 10000 : i % 30, i));
  }

  struct TRun {
    std::vector<std::pair<size_t, std::string>> Failed;  // (row of the run, message)
    size_t Written = 0;
  };

  // Inserts rows [0, count) as the engine does: Insert, assign, Add (flushing first when asked), Cancel;
  // then the final flush. Failures are reported by their row of the whole run. `background`: a full batch
  // is written on the inserter's own thread while the next rows join the other lane (the one in flight
  // finished first), the last one in turn.
  TRun InsertBatched(TKVOdbcBatchInserter& ins, TKVOdbcRecordsetBase& rs, size_t count,
                     const std::function<void(TKVOdbcRecordsetBase&, size_t)>& fill, bool background = false) {
    TRun run;
    std::vector<size_t> rowOfBatch, rowOfFlight;
    auto take = [&](const TKVBatchFlushResult& r, std::vector<size_t>& rows) {
      EXPECT_EQ(r.Rows, rows.size());
      EXPECT_EQ(r.StoppedAt, r.Rows);
      EXPECT_EQ(r.Written + r.Failures.size(), r.Rows);
      for (const TKVBatchInsertFailure& f : r.Failures) {
        run.Failed.emplace_back(rows.at(f.Row), MessageOf(f.Error));
        // Raised by the recordset, as the row writer's errors are.
        try {
          std::rethrow_exception(f.Error);
        } catch (const EODBCError& e) {
          EXPECT_FALSE(e.Records().empty());
          EXPECT_EQ(e.GetRoutineName(), "InternalApplyChanges");
          EXPECT_EQ(e.GetObjectClassName(), "TKVOdbcRecordset");
        } catch (...) {
        }
      }
      run.Written += r.Written;
      rows.clear();
    };
    auto finish = [&] {
      if (ins.InFlight()) take(ins.FinishBackgroundFlush(), rowOfFlight);
      EXPECT_FALSE(ins.InFlight());
    };
    auto flush = [&] {
      finish();
      take(ins.Flush(), rowOfBatch);
      EXPECT_EQ(ins.Pending(), 0u);
    };
    for (size_t i = 0; i < count; ++i) {
      rs.Insert();
      fill(rs, i);
      if (ins.NeedsFlushBefore(rs)) {
        if (background) {
          finish();
          rowOfFlight.swap(rowOfBatch);
          ins.FlushInBackground();
          EXPECT_TRUE(ins.InFlight());
          EXPECT_EQ(ins.Pending(), 0u);
          EXPECT_EQ(ins.PendingInFlight(), rowOfFlight.size());
        } else {
          flush();
        }
      }
      size_t row = ins.Add(rs);
      EXPECT_EQ(row, rowOfBatch.size());
      rowOfBatch.push_back(i);
      rs.Cancel();
    }
    flush();
    return run;
  }

  // Every column of two tables equal, row by row in key order, byte for byte.
  void ExpectSameRows(const std::string& a, const std::string& b,
                      const std::string& cols = "id, name, d, ts, bin, memo, dflt") {
    auto ra = OpenRecordset("SELECT " + cols + " FROM " + a + " ORDER BY id", ctForwardOnly);
    auto rb = OpenRecordset("SELECT " + cols + " FROM " + b + " ORDER BY id", ctForwardOnly);
    size_t rows = 0;
    for (; ra->HasCurrentRecord() && rb->HasCurrentRecord(); ra->MoveToNext(), rb->MoveToNext(), ++rows)
      for (size_t k = 0; k < ra->FieldCount(); ++k) {
        ASSERT_EQ(ra->Field(k).IsNull(), rb->Field(k).IsNull()) << ra->Field(k).Name() << " row " << rows;
        ASSERT_EQ(ra->Field(k).Bytes(), rb->Field(k).Bytes()) << ra->Field(k).Name() << " row " << rows;
      }
    EXPECT_FALSE(ra->HasCurrentRecord());
    EXPECT_FALSE(rb->HasCurrentRecord());
  }

  int64_t Count(const std::string& table) {
    return OpenRecordset("SELECT COUNT(*) AS n FROM " + table, ctForwardOnly)->Field(0).Value().AsInt64();
  }

  // The reference: the same records through the row writer (one transaction, or SQLite syncs every row).
  void WriteRowByRow(const std::string& table, size_t count) {
    InTransaction([&] {
      auto rw = OpenForInsert(table);
      for (size_t i = 0; i < count; ++i) {
        rw->Insert();
        FillWide(*rw, i);
        rw->ApplyChanges();
      }
      rw->Close();
    });
  }

  // `write` in one transaction, committed (autocommit off meanwhile).
  void InTransaction(const std::function<void()>& write) {
    SetAutocommit(false);
    Conn().BeginTransaction();
    write();
    Conn().CommitTransaction();
    SetAutocommit(true);
  }

  void SetAutocommit(bool on) {
    Conn().Properties().SetAttribute(caAutocommitTransactions, on);
  }
};

TEST_P(BatchInsertTest, RowsArriveExactlyAsTheRowWriterWritesThemInFewExecutes) {
  std::string batched = CreateWideTable("b"), single = CreateWideTable("s");
  const size_t n = 2500;
  auto rs = OpenForInsert(batched);
  TKVOdbcBatchInserter ins(*rs);
  TRun run = InsertBatched(ins, *rs, n, FillWide);
  EXPECT_TRUE(run.Failed.empty()) << run.Failed.front().second;
  EXPECT_EQ(run.Written, n);
  EXPECT_EQ(ins.ArrayExecuteCount(), 3u);
  EXPECT_EQ(ins.RowExecuteCount(), 0u);
  // PostgreSQL prepares one more: the statement over one array per column, whatever a batch's length.
  EXPECT_EQ(ins.PrepareCount(), BatchesAsMultiRowInserts() ? 2u : 1u);

  // The same records through the row writer: the reference for every byte stored.
  WriteRowByRow(single, n);
  ExpectSameRows(batched, single);

  // And written in the background, a batch at a time while the next gathers in the other lane, inside a
  // transaction as the engine writes them.
  std::string overlapped = CreateWideTable("o");
  InTransaction([&] {
    auto ro = OpenForInsert(overlapped);
    TKVOdbcBatchInserter background(*ro);
    TRun bg = InsertBatched(background, *ro, n, FillWide, true);
    ro->Close();
    EXPECT_TRUE(bg.Failed.empty()) << bg.Failed.front().second;
    EXPECT_EQ(bg.Written, n);
    EXPECT_EQ(background.ArrayExecuteCount(), 3u);
  });
  ExpectSameRows(overlapped, single);

  // And a few values checked against what was assigned, so that the reference is not wrong the same way.
  auto check = OpenRecordset("SELECT id, name, bin, memo, dflt FROM " + batched + " WHERE id IN (2, 4, 252, 504)" +
                                 " ORDER BY id",
                             ctForwardOnly);
  for (size_t i : {1u, 3u, 251u, 503u}) {
    ASSERT_TRUE(check->HasCurrentRecord());
    EXPECT_EQ(check->FieldByName("id").Value().AsInt64(), static_cast<int64_t>(i + 1));
    if (i == 3) {
      EXPECT_TRUE(check->FieldByName("name").IsNull());
    } else {
      EXPECT_EQ(check->FieldByName("name").Value().AsString(),
                "O'Brien \"q\" Grüße Москва " + std::to_string(i) + std::string(i % 40, 'x'));
    }
    EXPECT_EQ(check->FieldByName("bin").Bytes(), Pattern(i % 97 + (i % 250 == 1 ? 20000 : 0), i));
    EXPECT_EQ(check->FieldByName("memo").Value().AsString(), LongText(i % 500 == 3 ? 10000 : i % 30, i));
    EXPECT_EQ(check->FieldByName("dflt").Value().AsInt64(), 42);
    check->MoveToNext();
  }
}

// Update mode: the edits of existing rows, named by their key, arrive as the row writer's edits of the same
// rows would have written them (NULLs, long values, fractions of seconds), one execute per batch; a batch
// with an edit whose row is gone goes through the row-by-row pass where the driver counts the rows.
TEST_P(BatchInsertTest, EditsArriveExactlyAsTheRowWriterEditsTheRows) {
  std::string batched = CreateWideTable("b"), single = CreateWideTable("s");
  const size_t n = 1200;
  WriteRowByRow(batched, n);
  WriteRowByRow(single, n);
  // The new values of row i: those of another row, under row i's key.
  auto fillEdit = [](TKVOdbcRecordsetBase& rs, size_t i) {
    FillWide(rs, i + 500);
    rs.FieldByName("id").SetValue(static_cast<int32_t>(i + 1));
  };

  // Also the earlier forms (MariaDB: an array of UPDATEs instead of a staging table), into a table of their own.
  std::string earlier = CreateWideTable("e");
  WriteRowByRow(earlier, n);
  for (const std::string& table : {earlier, batched}) {
    dbtest::TScopedEnv noArrays("DABRIX_NO_ARRAY_BATCHES", table == earlier ? "1" : "0");
    auto rs = OpenForInsert(table);
    TKVOdbcBatchInserter ins(*rs);
    ins.SetUpdateKey("id");
    TRun run = InsertBatched(ins, *rs, n, fillEdit);
    EXPECT_TRUE(run.Failed.empty()) << run.Failed.front().second;
    EXPECT_EQ(run.Written, n);
    EXPECT_EQ(ins.ArrayExecuteCount(), 2u);
    EXPECT_EQ(ins.RowExecuteCount(), 0u);
    EXPECT_EQ(Count(table), static_cast<int64_t>(n));
  }
  auto rs = OpenForInsert(batched);
  TKVOdbcBatchInserter ins(*rs);
  ins.SetUpdateKey("id");

  SetAutocommit(false);
  Conn().BeginTransaction();
  auto rw = OpenForInsert(single);
  for (size_t i = 0; i < n; ++i) {
    rw->ReExecuteWithValues("id = ?", {{"id", TKVVariant(static_cast<int32_t>(i + 1))}});
    ASSERT_TRUE(rw->HasCurrentRecord());
    rw->Edit();
    fillEdit(*rw, i);
    rw->ApplyChanges();
  }
  rw->Close();
  Conn().CommitTransaction();
  SetAutocommit(true);
  ExpectSameRows(batched, single);
  ExpectSameRows(earlier, single);

  Exec("DELETE FROM " + batched + " WHERE id = 5");
  size_t rowsWritten = 0;
  for (size_t i = 0; i < 10; ++i) {
    rs->Insert();
    fillEdit(*rs, i);
    ins.Add(*rs);
    rs->Cancel();
  }
  TKVBatchFlushResult r = ins.Flush(nullptr, [&](size_t) { ++rowsWritten; });
  EXPECT_EQ(r.Rows, 10u);
  EXPECT_EQ(Count(batched), static_cast<int64_t>(n - 1));  // nothing inserted for the vanished row
  EXPECT_EQ(rowsWritten, 10u);
}

// Values of every kind a batch spells out itself (PostgreSQL sends a batch as one array per column): texts
// that look like array syntax or like NULL, the edges of each integer width, floating values that need all
// their digits, fractions of seconds. They arrive as the row writer writes them, with arrays and without.
// A value too long for its column fails its own row, inserted or edited, and is never cut short. Nine
// columns: a batch of 1,000 rows has more values than one PostgreSQL statement may take parameters.
TEST_P(BatchInsertTest, ValuesOfEveryKindArriveAsTheRowWriterWritesThem) {
  const std::string cols = "id, s, b, d, dt, ts, c, v, txt";
  auto create = [&](const std::string& suffix) {
    std::string t = Table(suffix);
    Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, s SMALLINT, b BIGINT, d " + Type("double") + ", dt DATE, ts " +
         (IsPostgreSQL() ? "TIMESTAMP(6)" : IsMariaDB() ? "DATETIME(6)" : "TIMESTAMP") +
         ", c CHAR(6), v VARCHAR(12), txt " + Type("text") + ")" + Charset());
    return t;
  };
  static const char* const kTexts[] = {"{a,b}", "\"q\"", "back\\slash", "NULL", "", " lead", "trail ",
                                       "Grüße", "a,b", "}{", "x\ty\nz", "'", "\\\"", "NULL "};
  const size_t kinds = sizeof kTexts / sizeof kTexts[0];
  // `tooLong` gives row i a 13-character v, one more than the column holds. `id`: the key, when it is not
  // row i's own (an edit that writes another row's values).
  auto fill = [&](TKVOdbcRecordsetBase& rs, size_t i, bool tooLong, size_t id = SIZE_MAX) {
    rs.FieldByName("id").SetValue(static_cast<int32_t>(id == SIZE_MAX ? i + 1 : id));
    rs.FieldByName("s").SetValue(static_cast<int32_t>(i % 2 ? 32767 - static_cast<int32_t>(i % 97)
                                                            : -32768 + static_cast<int32_t>(i % 89)));
    rs.FieldByName("b").SetValue(i % 2 ? std::numeric_limits<int64_t>::max() - static_cast<int64_t>(i)
                                       : std::numeric_limits<int64_t>::min() + static_cast<int64_t>(i));
    const double doubles[] = {0.1 * static_cast<double>(i), static_cast<double>(i) / 3, -0.0, 1e300,
                              2.2250738585072014e-308, 0.30000000000000004};
    if (i % 17 == 4)
      rs.FieldByName("d").SetNull();
    else
      rs.FieldByName("d").SetValue(doubles[i % 6]);
    double day = 0, stamp = 0;
    EXPECT_TRUE(KVTryEncodeDateTime({static_cast<int>(1000 + i % 9000), static_cast<int>(1 + i % 12),
                                     static_cast<int>(1 + i % 28), 0, 0, 0, 0},
                                    day));
    rs.FieldByName("dt").SetValue(TKVVariant::FromDateTime(day));
    // (years before 1000 and fractions of one to three digits are spelled by hand for PostgreSQL's arrays)
    const bool early = IsPostgreSQL() && i % 5 == 0;
    EXPECT_TRUE(KVTryEncodeDateTime({early ? 33 : 2024, 2, early ? 28 : 29, static_cast<int>(i % 24),
                                     static_cast<int>(i % 60), static_cast<int>(i % 59),
                                     static_cast<int>(i % 4 == 0 ? 0 : i % 4 == 1 ? 1 : i % 4 == 2 ? 999 : 120)},
                                    stamp));
    rs.FieldByName("ts").SetValue(TKVVariant::FromDateTime(stamp));
    // A text read as a timestamp keeps its fraction exactly: whole milliseconds, tenths, none.
    if (i % 7 == 3) {
      static const char* const kStamps[] = {"2023-04-05 06:07:08.120", "2023-04-05 06:07:08.5", "2023-04-05 06:07:08",
                                            "1999-12-31 23:59:59.999"};
      rs.FieldByName("ts").SetValue(TKVVariant::FromString(kStamps[i % 4]));
    }
    if (i % 13 == 7)
      rs.FieldByName("c").SetNull();
    else
      rs.FieldByName("c").SetValue(std::string(kTexts[i % kinds]).substr(0, 6));
    if (tooLong)
      rs.FieldByName("v").SetValue(std::string("thirteen char"));
    else if (i % 11 == 5)
      rs.FieldByName("v").SetNull();
    else
      rs.FieldByName("v").SetValue(std::string(kTexts[(i + 3) % kinds]));
    if (rs.FieldCount() > 8)
      rs.FieldByName("txt").SetValue(std::string(kTexts[(i + 5) % kinds]) + LongText(i % 50, i) + kTexts[i % kinds]);
  };
  const size_t n = 1300;
  auto open = [&](const std::string& t) { return OpenRecordset("SELECT " + cols + " FROM " + t, ctForwardOnly); };
  std::string single = create("s");
  InTransaction([&] {
    auto rw = open(single);
    for (size_t i = 0; i < n; ++i) {
      rw->Insert();
      fill(*rw, i, false);
      rw->ApplyChanges();
    }
    rw->Close();
  });
  std::string expected = create("x");
  for (const char* arrays : {"0", "1"}) {
    SCOPED_TRACE(std::string("DABRIX_NO_ARRAY_BATCHES=") + arrays);
    dbtest::TScopedEnv noArrays("DABRIX_NO_ARRAY_BATCHES", arrays);
    std::string batched = create(std::string("b") + arrays);
    auto rs = open(batched);
    {
      TKVOdbcBatchInserter ins(*rs);
      TRun run = InsertBatched(ins, *rs, n, [&](TKVOdbcRecordsetBase& r, size_t i) { fill(r, i, false); });
      EXPECT_TRUE(run.Failed.empty()) << run.Failed.front().second;
      EXPECT_EQ(ins.RowExecuteCount(), 0u);
    }
    ExpectSameRows(batched, single, cols);
    if (IsSQLite()) continue;  // SQLite keeps any length

    // Edits: row i takes the values of row i + 7, but for a too-long value in the first row of a batch and
    // in the middle of one. Without the text column (MariaDB stages such a batch in memory, where no TEXT
    // column may go). The reference: the rows the edits should leave, inserted by the row writer.
    const std::string editCols = "id, s, b, d, dt, ts, c, v";
    auto edited = [&](size_t i) { return i == 1000 || i == 1234 ? i : (i + 7) % n; };
    if (*arrays == '0') {
      InTransaction([&] {
        auto rw = open(expected);
        for (size_t i = 0; i < n; ++i) {
          rw->Insert();
          fill(*rw, edited(i), false, i + 1);
          rw->ApplyChanges();
        }
        rw->Close();
      });
    }
    auto narrow = OpenRecordset("SELECT " + editCols + " FROM " + batched, ctForwardOnly);
    TKVOdbcBatchInserter edits(*narrow);
    edits.SetUpdateKey("id");
    TRun run = InsertBatched(edits, *narrow, n, [&](TKVOdbcRecordsetBase& r, size_t i) {
      const bool tooLong = i == 1000 || i == 1234;
      fill(r, tooLong ? i : edited(i), tooLong, i + 1);
    });
    narrow->Close();
    ASSERT_EQ(run.Failed.size(), 2u);
    EXPECT_EQ(run.Failed[0].first, 1000u);
    EXPECT_EQ(run.Failed[1].first, 1234u);
    EXPECT_EQ(run.Written, n - 2);
    ExpectSameRows(batched, expected, editCols);  // the failed edits left their rows as they were

    // Inserts: the same rows over an empty table fail alone, and nothing of them is stored.
    Exec("DELETE FROM " + batched);
    TKVOdbcBatchInserter inserts(*rs);
    run = InsertBatched(inserts, *rs, n, [&](TKVOdbcRecordsetBase& r, size_t i) { fill(r, i, i == 3 || i == 1000); });
    ASSERT_EQ(run.Failed.size(), 2u);
    EXPECT_EQ(run.Failed[0].first, 3u);
    EXPECT_EQ(run.Failed[1].first, 1000u);
    EXPECT_EQ(Count(batched), static_cast<int64_t>(n - 2));
    EXPECT_EQ(Count(batched + " WHERE v LIKE 'thirteen%'"), 0);
  }
}

// Edits in any order of keys arrive, whether a batch's keys lie close together or spread over the table
// (MariaDB joins the table's range of keys to the staged rows in the one case, the staged rows to the
// table in the other). MariaDB stages a batch in a temporary table in memory, which grows only as far as
// the session's max_heap_table_size allows: a batch that does not fit fails there although each of its
// rows is fine; its rows are then written one by one, and the later batches go as an array of UPDATEs
// rather than fail the same way.
TEST_P(BatchInsertTest, EditsInAnyKeyOrderArriveAndAStagingTableTooSmallCostsOneBatch) {
  const std::string t = Table("h");
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, name VARCHAR(200))" + Charset());
  const size_t n = 2500;
  auto rs = OpenRecordset("SELECT id, name FROM " + t, ctForwardOnly);
  // Row i edits key keyOf(i): keys in order, or scattered over the whole table (1237 and 2500 share no
  // factor, so every key comes once).
  auto fill = [](const std::string& text, bool scattered) {
    return [text, scattered](TKVOdbcRecordsetBase& r, size_t i) {
      const size_t key = scattered ? (i * 1237) % n + 1 : i + 1;
      r.FieldByName("id").SetValue(static_cast<int32_t>(key));
      r.FieldByName("name").SetValue(text + std::to_string(key) + std::string(150, 'y'));
    };
  };
  auto expectNames = [&](const std::string& text) {
    auto check = OpenRecordset("SELECT id, name FROM " + t + " ORDER BY id", ctForwardOnly);
    size_t rows = 0;
    for (; check->HasCurrentRecord(); check->MoveToNext(), ++rows)
      ASSERT_EQ(check->Field(1).Value().AsString(),
                text + std::to_string(check->Field(0).Value().AsInt64()) + std::string(150, 'y'));
    EXPECT_EQ(rows, n);
  };
  {
    TKVOdbcBatchInserter inserts(*rs);
    ASSERT_TRUE(InsertBatched(inserts, *rs, n, fill("new ", false)).Failed.empty());
  }
  {
    TKVOdbcBatchInserter scattered(*rs, 500);
    scattered.SetUpdateKey("id");
    TRun run = InsertBatched(scattered, *rs, n, fill("scattered ", true));
    EXPECT_TRUE(run.Failed.empty()) << run.Failed.front().second;
    EXPECT_EQ(run.Written, n);
    EXPECT_EQ(scattered.ArrayExecuteCount(), 5u);
    EXPECT_EQ(scattered.RowExecuteCount(), 0u);
    expectNames("scattered ");
  }

  if (IsMariaDB()) Exec("SET SESSION max_heap_table_size = 16384");
  TKVOdbcBatchInserter edits(*rs);
  edits.SetUpdateKey("id");
  TRun run = InsertBatched(edits, *rs, n, fill("edited ", false));
  if (IsMariaDB()) Exec("SET SESSION max_heap_table_size = DEFAULT");
  EXPECT_TRUE(run.Failed.empty()) << run.Failed.front().second;
  EXPECT_EQ(run.Written, n);
  EXPECT_EQ(edits.ArrayExecuteCount(), 3u);
  EXPECT_EQ(edits.RowExecuteCount(), IsMariaDB() ? 1000u : 0u);  // the first batch alone
  expectNames("edited ");
}

TEST_P(BatchInsertTest, LongValuesSplitTheBatchByItsMemoryBudget) {
  std::string batched = CreateWideTable("b"), single = CreateWideTable("s");
  auto rs = OpenForInsert(batched);
  // 64 KiB: rows with a 20,000-byte binary value go in small batches, short rows gather in larger ones.
  TKVOdbcBatchInserter ins(*rs, 1000, 64 << 10);
  TRun run = InsertBatched(ins, *rs, 600, FillWide);
  EXPECT_TRUE(run.Failed.empty());
  EXPECT_EQ(run.Written, 600u);
  EXPECT_GT(ins.ArrayExecuteCount(), 3u);
  EXPECT_LT(ins.ArrayExecuteCount(), 60u);
  WriteRowByRow(single, 600);
  ExpectSameRows(batched, single);
}

TEST_P(BatchInsertTest, AnotherAssignedSetStartsAnotherStatement) {
  std::string t = CreateWideTable("");
  auto rs = OpenForInsert(t);
  TKVOdbcBatchInserter ins(*rs, 100);
  TRun run = InsertBatched(ins, *rs, 30, [](TKVOdbcRecordsetBase& r, size_t i) {
    r.FieldByName("id").SetValue(static_cast<int32_t>(i + 1));
    if (i >= 10 && i < 20) r.FieldByName("name").SetValue("n" + std::to_string(i));
    if (i >= 20) r.FieldByName("dflt").SetValue(static_cast<int32_t>(i));
  });
  EXPECT_TRUE(run.Failed.empty());
  EXPECT_EQ(ins.ArrayExecuteCount(), 3u);
  // On PostgreSQL each set of columns has its statement over arrays too.
  EXPECT_EQ(ins.PrepareCount(), BatchesAsMultiRowInserts() ? 6u : 3u);
  auto check = OpenRecordset("SELECT id, name, dflt FROM " + t + " ORDER BY id", ctForwardOnly);
  for (size_t i = 0; i < 30; ++i, check->MoveToNext()) {
    ASSERT_TRUE(check->HasCurrentRecord());
    EXPECT_EQ(check->FieldByName("name").IsNull(), !(i >= 10 && i < 20)) << i;
    EXPECT_EQ(check->FieldByName("dflt").Value().AsInt64(), i >= 20 ? static_cast<int64_t>(i) : 42) << i;
  }
  EXPECT_FALSE(check->HasCurrentRecord());
  // Back to the first set: its statement is prepared again (only the last one is kept).
  rs->Insert();
  rs->FieldByName("id").SetValue(int32_t{100});
  ins.Add(*rs);
  rs->Cancel();
  EXPECT_EQ(ins.Flush().Written, 1u);
}

// A recordset closed and opened again between two batches makes its fields anew, possibly where the old ones
// were and naming other columns: every batch describes its columns again, and the statement follows them.
TEST_P(BatchInsertTest, FieldsMadeAnewBetweenBatchesWriteIntoTheirOwnColumns) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, a INTEGER, b INTEGER, c INTEGER)");
  const std::vector<std::string> orders = {"id, a, b, c", "id, c, b, a", "id, b, c, a", "id, a, b, c"};
  auto rs = OpenRecordset("SELECT " + orders[0] + " FROM " + t, ctForwardOnly);
  TKVOdbcBatchInserter ins(*rs, 100);
  int32_t id = 0;
  for (size_t o = 0; o < orders.size(); ++o) {
    if (o > 0) {
      rs->Close();
      rs->Sql().SetText("SELECT " + orders[o] + " FROM " + t);
      rs->Open();
    }
    for (int r = 0; r < 3; ++r) {
      ++id;
      rs->Insert();
      rs->FieldByName("id").SetValue(id);
      rs->FieldByName("a").SetValue(id * 10 + 1);
      rs->FieldByName("b").SetValue(id * 10 + 2);
      rs->FieldByName("c").SetValue(id * 10 + 3);
      ins.Add(*rs);
      rs->Cancel();
    }
    TKVBatchFlushResult result = ins.Flush();
    EXPECT_EQ(result.Written, 3u) << orders[o];
    EXPECT_TRUE(result.Failures.empty()) << orders[o];
  }
  auto check = OpenRecordset("SELECT id, a, b, c FROM " + t + " ORDER BY id", ctForwardOnly);
  for (int32_t i = 1; i <= id; ++i, check->MoveToNext()) {
    ASSERT_TRUE(check->HasCurrentRecord());
    EXPECT_EQ(check->FieldByName("id").Value().AsInt64(), i);
    EXPECT_EQ(check->FieldByName("a").Value().AsInt64(), i * 10 + 1) << i;
    EXPECT_EQ(check->FieldByName("b").Value().AsInt64(), i * 10 + 2) << i;
    EXPECT_EQ(check->FieldByName("c").Value().AsInt64(), i * 10 + 3) << i;
  }
  EXPECT_FALSE(check->HasCurrentRecord());
}

// Rows 3 and 1,500 of 2,500 break a constraint (a CHECK, a duplicate key); the batches of 1,000 around them
// are written row by row again.
class BatchInsertFailureTest : public BatchInsertTest {
 protected:
  std::string CreateCheckedTable() {
    std::string t = Table();
    Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, v INTEGER CHECK (v >= 0), name VARCHAR(40))");
    return t;
  }
  static void FillChecked(TKVOdbcRecordsetBase& rs, size_t i) {
    rs.FieldByName("id").SetValue(static_cast<int32_t>(i == 1499 ? 1 : i + 1));
    rs.FieldByName("v").SetValue(static_cast<int32_t>(i == 2 ? -1 : static_cast<int32_t>(i)));
    rs.FieldByName("name").SetValue("r" + std::to_string(i));
  }
  void ExpectFailedRows(const TRun& run, const std::string& table) {
    ASSERT_EQ(run.Failed.size(), 2u);
    EXPECT_EQ(run.Failed[0].first, 2u);
    EXPECT_EQ(run.Failed[1].first, 1499u);
    // Each row's own error from the driver: the CHECK for the first, the duplicate key for the second.
    EXPECT_NE(run.Failed[0].second.find(CheckViolationText()),
              std::string::npos)
        << run.Failed[0].second;
    EXPECT_NE(run.Failed[1].second.find(UniqueViolationText()),
              std::string::npos)
        << run.Failed[1].second;
    if (ErrorsNameFailingValues()) {
      EXPECT_NE(run.Failed[0].second.find("(3, -1, r2)"), std::string::npos) << run.Failed[0].second;
      EXPECT_NE(run.Failed[1].second.find("(id)=(1)"), std::string::npos) << run.Failed[1].second;
    }
    (void)table;
    EXPECT_EQ(run.Written, 2498u);
  }
  void ExpectGoodRowsWritten(const std::string& table) {
    EXPECT_EQ(Count(table), 2498);
    auto check = OpenRecordset("SELECT id, v, name FROM " + table + " ORDER BY id", ctForwardOnly);
    for (size_t i = 0; i < 2500; ++i) {
      if (i == 2 || i == 1499) continue;
      ASSERT_TRUE(check->HasCurrentRecord());
      ASSERT_EQ(check->FieldByName("name").Value().AsString(), "r" + std::to_string(i));
      check->MoveToNext();
    }
  }
};

TEST_P(BatchInsertFailureTest, AutocommitWritesEveryOtherRowAndReportsTheFailingOnes) {
  std::string t = CreateCheckedTable();
  auto rs = OpenRecordset("SELECT id, v, name FROM " + t, ctForwardOnly);
  // Batches of 100: each row of the second pass is a transaction of its own, and SQLite syncs each.
  TKVOdbcBatchInserter ins(*rs, 100);
  TRun run = InsertBatched(ins, *rs, 2500, FillChecked);
  ExpectFailedRows(run, t);
  EXPECT_EQ(ins.ArrayExecuteCount(), 25u);
  EXPECT_EQ(ins.RowExecuteCount(), 200u);  // the two failed batches, nothing of the others
  ExpectGoodRowsWritten(t);
}

TEST_P(BatchInsertFailureTest, InsideATransactionNothingIsCommittedUntilTheCallerCommits) {
  std::string t = CreateCheckedTable();
  SetAutocommit(false);
  {
    // Rolled back: the savepoints of the batch committed nothing.
    auto rs = OpenRecordset("SELECT id, v, name FROM " + t, ctForwardOnly);
    TKVOdbcBatchInserter ins(*rs);
    Conn().BeginTransaction();
    TRun run = InsertBatched(ins, *rs, 1200, FillChecked);
    ASSERT_EQ(run.Failed.size(), 1u);
    EXPECT_EQ(run.Written, 1199u);
    rs->Close();
    Conn().RollbackTransaction();
    Conn().BeginTransaction();
    EXPECT_EQ(Count(t), 0);
    Conn().CommitTransaction();
  }
  auto rs = OpenRecordset("SELECT id, v, name FROM " + t, ctForwardOnly);
  TKVOdbcBatchInserter ins(*rs);
  Conn().BeginTransaction();
  TRun run = InsertBatched(ins, *rs, 2500, FillChecked);
  EXPECT_EQ(ins.ArrayExecuteCount(), 3u);
  EXPECT_EQ(ins.RowExecuteCount(), 2000u);
  rs->Close();
  Conn().CommitTransaction();
  SetAutocommit(true);
  ExpectFailedRows(run, t);
  ExpectGoodRowsWritten(t);
}

// Written on the inserter's thread while the next rows gather: the same rows, the same failures in the same
// order, the same statements; the connection is the caller's again once the batch in flight is finished.
TEST_P(BatchInsertFailureTest, BatchesWrittenInTheBackgroundEndAsFlushedOnes) {
  std::string t = CreateCheckedTable();
  SetAutocommit(false);
  auto rs = OpenRecordset("SELECT id, v, name FROM " + t, ctForwardOnly);
  {
    TKVOdbcBatchInserter ins(*rs);
    Conn().BeginTransaction();
    TRun run = InsertBatched(ins, *rs, 2500, FillChecked, true);
    EXPECT_EQ(ins.ArrayExecuteCount(), 3u);
    EXPECT_EQ(ins.RowExecuteCount(), 2000u);
    Conn().CommitTransaction();
    ExpectFailedRows(run, t);
    ExpectGoodRowsWritten(t);

    // One batch at a time: the one in flight is finished before another is written.
    Conn().BeginTransaction();
    for (size_t i = 0; i < 4; ++i) {
      rs->Insert();
      rs->FieldByName("id").SetValue(static_cast<int32_t>(5000 + i));
      rs->FieldByName("v").SetValue(1);
      if (i == 2) ins.FlushInBackground();
      ins.Add(*rs);
      rs->Cancel();
    }
    EXPECT_EQ(ins.PendingInFlight(), 2u);
    EXPECT_NE(ErrorOf([&] { ins.Flush(); }), "(no error)");
    EXPECT_NE(ErrorOf([&] { ins.FlushInBackground(); }), "(no error)");
    EXPECT_EQ(ins.FinishBackgroundFlush().Written, 2u);
    EXPECT_EQ(ins.FinishBackgroundFlush().Rows, 0u);  // nothing in flight any more
    EXPECT_EQ(ins.Flush().Written, 2u);
    // Left in flight when the inserter goes: it waits, and what was written stays in the transaction.
    for (size_t i = 4; i < 7; ++i) {
      rs->Insert();
      rs->FieldByName("id").SetValue(static_cast<int32_t>(5000 + i));
      rs->FieldByName("v").SetValue(1);
      ins.Add(*rs);
      rs->Cancel();
    }
    ins.FlushInBackground();
  }
  EXPECT_EQ(Count(t), 2498 + 7);
  Conn().RollbackTransaction();
  SetAutocommit(true);
  EXPECT_EQ(Count(t), 2498);
}

TEST_P(BatchInsertFailureTest, StoppingAtAFailingRowWritesNothingAfterIt) {
  std::string t = CreateCheckedTable();
  auto rs = OpenRecordset("SELECT id, v, name FROM " + t, ctForwardOnly);
  TKVOdbcBatchInserter ins(*rs);
  for (size_t i = 0; i < 10; ++i) {
    rs->Insert();
    FillChecked(*rs, i);
    ins.Add(*rs);
    rs->Cancel();
  }
  std::vector<size_t> told;
  TKVBatchFlushResult r = ins.Flush([&](size_t row, const std::exception_ptr& error) {
    told.push_back(row);
    EXPECT_FALSE(MessageOf(error).empty());
    return false;
  });
  EXPECT_EQ(told, std::vector<size_t>{2});
  EXPECT_EQ(r.Written, 2u);
  EXPECT_EQ(r.StoppedAt, 3u);
  ASSERT_EQ(r.Failures.size(), 1u);
  EXPECT_EQ(r.Failures[0].Row, 2u);
  // Under autocommit the rows before it stay, as after row-by-row writing that aborts there.
  EXPECT_EQ(Count(t), 2);
  EXPECT_EQ(ins.Pending(), 0u);
}

TEST_P(BatchInsertFailureTest, BinaryAndDateValuesAroundAFailingRowArriveExactly) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, b " + Type("blob") + ", dt DATE)");
  auto rs = OpenRecordset("SELECT id, b, dt FROM " + t, ctForwardOnly);
  TKVOdbcBatchInserter ins(*rs);
  TRun run = InsertBatched(ins, *rs, 40, [](TKVOdbcRecordsetBase& r, size_t i) {
    r.FieldByName("id").SetValue(static_cast<int32_t>(i == 5 ? 1 : i + 1));
    std::vector<uint8_t> bytes = Pattern(i * 13 % 50, i);
    r.FieldByName("b").SetBytes(bytes.data(), bytes.size());
    double day = 0;
    EXPECT_TRUE(KVTryEncodeDateTime({2021, 3, static_cast<int>(1 + i % 28), 0, 0, 0, 0}, day));
    r.FieldByName("dt").SetValue(TKVVariant::FromDateTime(day));
  });
  ASSERT_EQ(run.Failed.size(), 1u);
  EXPECT_EQ(run.Failed[0].first, 5u);
  EXPECT_EQ(run.Written, 39u);
  auto check = OpenRecordset("SELECT id, b, dt FROM " + t + " ORDER BY id", ctForwardOnly);
  for (size_t i = 0; i < 40; ++i) {
    if (i == 5) continue;
    ASSERT_TRUE(check->HasCurrentRecord());
    EXPECT_EQ(check->FieldByName("b").Bytes(), Pattern(i * 13 % 50, i)) << i;
    char day[16];
    std::snprintf(day, sizeof day, "2021-03-%02d", static_cast<int>(1 + i % 28));
    EXPECT_EQ(check->FieldByName("dt").DisplayText().substr(0, 10), day) << i;
    check->MoveToNext();
  }
}

TEST_P(BatchInsertTest, ClearDropsPendingRowsAndRulesAreTheRowWritersOwn) {
  std::string t = CreateWideTable("");
  auto rs = OpenForInsert(t);
  TKVOdbcBatchInserter ins(*rs);
  for (size_t i = 0; i < 5; ++i) {
    rs->Insert();
    FillWide(*rs, i);
    ins.Add(*rs);
    rs->Cancel();
  }
  EXPECT_EQ(ins.Pending(), 5u);
  ins.Clear();
  EXPECT_EQ(ins.Pending(), 0u);
  EXPECT_EQ(ins.Flush().Rows, 0u);
  EXPECT_EQ(ins.ArrayExecuteCount(), 0u);
  EXPECT_EQ(Count(t), 0);

  rs->Insert();
  EXPECT_EQ(ErrorOf([&] { ins.Add(*rs); }), "No Field Value has been set before inserting a new Record");
  rs->Cancel();

  // A record that cannot join the pending rows is refused rather than written with the wrong statement.
  TKVOdbcBatchInserter two(*rs, 1);
  rs->Insert();
  FillWide(*rs, 0);
  two.Add(*rs);
  EXPECT_TRUE(two.NeedsFlushBefore(*rs));
  EXPECT_NE(ErrorOf([&] { two.Add(*rs); }), "(no error)");
  rs->Cancel();
  EXPECT_EQ(two.Flush().Written, 1u);

  auto joined = OpenRecordset("SELECT a.id FROM " + t + " a JOIN " + t + " b ON a.id = b.id", ctForwardOnly);
  EXPECT_NE(ErrorOf([&] { TKVOdbcBatchInserter bad(*joined); }).find("only the rows of a single table are updatable"),
            std::string::npos);
}

DABRIX_INSTANTIATE_DB_TEST(BatchInsertTest);
DABRIX_INSTANTIATE_DB_TEST(BatchInsertFailureTest);

}  // namespace
