// Rows per second written through a recordset (insert + apply, as the engine writes destination records),
// through the batch inserter (insert, assign, add to a batch of 1,000 written with parameter arrays), and
// with a prepared INSERT executed row by row with bound parameters, on SQLite (a temp file) and on
// PostgreSQL / MariaDB when DABRIX_PG_CONN / DABRIX_MARIADB_CONN name a server. Commits every 10,000 rows.
//
//   recordset_write_bench [rows]
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "db/KVOdbcBatchInsert.h"
#include "db/KVOdbcHandle.h"
#include "db/KVOdbcRecordset.h"
#include "foundation/KVDateTime.h"

namespace {

constexpr int kCommitEvery = 10000;

TKVRef<TKVOdbcConnection> Connect(const std::string& connectionString) {
  auto c = KVMakeRef<TKVOdbcConnection>();
  c->Properties().SetConnectionString(connectionString);
  c->Properties().SetDriverDialogs(ddNoDriverDialogs);
  c->Properties().SetAttribute(caAutocommitTransactions, false);
  c->Activate();
  return c;
}

void CreateTable(TKVOdbcConnection& c, const std::string& table, bool postgres) {
  try {
    c.ExecuteSQL("DROP TABLE " + table);
  } catch (const std::exception&) {
  }
  c.CommitTransaction();
  c.ExecuteSQL("CREATE TABLE " + table + " (id INTEGER PRIMARY KEY, name VARCHAR(50), amount " +
               (postgres ? "DOUBLE PRECISION" : "DOUBLE") + ", ts TIMESTAMP, qty INTEGER)");
  c.CommitTransaction();
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ThroughRecordset(TKVOdbcConnection& c, const TKVRef<TKVOdbcConnection>& ref, const std::string& table,
                        int rows, bool batched = false) {
  auto rs = KVMakeRef<TKVOdbcRecordset>(ref);
  rs->SetSimplestConfiguration();
  rs->Properties().SetUpdateStrategy(usMinimalLock);  // the simplest configuration is read only: no inserts
  rs->SetOpenMode(TKVRecordsetOpenMode::ColumnsOnly);
  rs->SetSQL("SELECT * FROM " + table);
  rs->Open();
  TKVOdbcField& id = rs->FieldByName("id");
  TKVOdbcField& name = rs->FieldByName("name");
  TKVOdbcField& amount = rs->FieldByName("amount");
  TKVOdbcField& ts = rs->FieldByName("ts");
  TKVOdbcField& qty = rs->FieldByName("qty");
  double day = 0;
  KVTryEncodeDateTime({2024, 1, 2, 3, 4, 5, 678}, day);
  std::unique_ptr<TKVOdbcBatchInserter> batch;
  if (batched) batch = std::make_unique<TKVOdbcBatchInserter>(*rs);
  auto flush = [&] {
    if (batch && !batch->Flush().Failures.empty()) throw EKVException("a row of the batch failed", nullptr, "bench");
  };
  auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= rows; ++i) {
    rs->Insert();
    id.SetValue(i);
    name.SetValue(std::string("name ") + std::to_string(i % 1000));
    amount.SetValue(i * 0.25);
    ts.SetValue(TKVVariant::FromDateTime(day + i / 86400.0));
    qty.SetValue(i % 97);
    if (batch) {
      if (batch->NeedsFlushBefore(*rs)) flush();
      batch->Add(*rs);
      rs->Cancel();
    } else {
      rs->ApplyChanges();
    }
    if (i % kCommitEvery == 0) {
      flush();
      c.CommitTransaction();
    }
  }
  flush();
  c.CommitTransaction();
  double s = Seconds(start);
  rs->Close();
  return rows / s;
}

double ThroughPreparedInsert(TKVOdbcConnection& c, const std::string& table, int rows) {
  TKVOdbcHandle stmt =
      TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, c.OdbcHandle(), SQL_HANDLE_DBC, nullptr, "SQLAllocHandle");
  SQLHSTMT h = stmt.Get();
  std::string sql = "INSERT INTO " + table + " (id, name, amount, ts, qty) VALUES (?, ?, ?, ?, ?)";
  stmt.Check(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS), nullptr, "SQLPrepare");
  SQLINTEGER id = 0, qty = 0;
  char name[64];
  double amount = 0;
  SQL_TIMESTAMP_STRUCT ts{};
  SQLLEN fixed = 0, nameLen = 0;
  stmt.Check(SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &id, 0, &fixed), nullptr, "bind");
  stmt.Check(SQLBindParameter(h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 50, 0, name, sizeof name, &nameLen),
             nullptr, "bind");
  stmt.Check(SQLBindParameter(h, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &amount, 0, &fixed), nullptr,
             "bind");
  stmt.Check(SQLBindParameter(h, 4, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3, &ts, 0, &fixed),
             nullptr, "bind");
  stmt.Check(SQLBindParameter(h, 5, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &qty, 0, &fixed), nullptr,
             "bind");
  double day = 0;
  KVTryEncodeDateTime({2024, 1, 2, 3, 4, 5, 678}, day);
  auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= rows; ++i) {
    id = i;
    nameLen = snprintf(name, sizeof name, "name %d", i % 1000);
    amount = i * 0.25;
    TKVDateTimeParts p = KVDecodeDateTime(day + i / 86400.0);
    ts = {static_cast<SQLSMALLINT>(p.Year), static_cast<SQLUSMALLINT>(p.Month), static_cast<SQLUSMALLINT>(p.Day),
          static_cast<SQLUSMALLINT>(p.Hour), static_cast<SQLUSMALLINT>(p.Minute),
          static_cast<SQLUSMALLINT>(p.Second), static_cast<SQLUINTEGER>(p.Millisecond) * 1000000u};
    qty = i % 97;
    stmt.Check(SQLExecute(h), nullptr, "SQLExecute");
    if (i % kCommitEvery == 0) c.CommitTransaction();
  }
  c.CommitTransaction();
  return rows / Seconds(start);
}

void Run(const char* label, const std::string& connectionString, bool postgres, int rows) {
  auto c = Connect(connectionString);
  CreateTable(*c, "bench_write_rs", postgres);
  CreateTable(*c, "bench_write_raw", postgres);
  CreateTable(*c, "bench_write_batch", postgres);
  double viaRecordset = ThroughRecordset(*c, c, "bench_write_rs", rows);
  double viaBatch = ThroughRecordset(*c, c, "bench_write_batch", rows, true);
  double raw = ThroughPreparedInsert(*c, "bench_write_raw", rows);
  printf("%-11s rows %7d   recordset %10.0f rows/s   batched %10.0f rows/s   prepared INSERT %10.0f rows/s   "
         "ratio %.2f\n",
         label, rows, viaRecordset, viaBatch, raw, viaRecordset / raw);
  c->ExecuteSQL("DROP TABLE bench_write_rs");
  c->ExecuteSQL("DROP TABLE bench_write_batch");
  c->ExecuteSQL("DROP TABLE bench_write_raw");
  c->CommitTransaction();
  c->Deactivate();
}

}  // namespace

int main(int argc, char** argv) {
  int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (rows <= 0) rows = 100000;
  try {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("dabrix-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    Run("SQLite", "Driver=SQLite3;Database=" + (dir / "bench.db").string(), false, rows);
    std::filesystem::remove_all(dir);
    if (const char* pg = std::getenv("DABRIX_PG_CONN"); pg && *pg)
      Run("PostgreSQL", pg, true, rows);
    else
      printf("PostgreSQL  skipped (DABRIX_PG_CONN not set)\n");
    if (const char* maria = std::getenv("DABRIX_MARIADB_CONN"); maria && *maria)
      Run("MariaDB", maria, false, rows);
  } catch (const EKVException& e) {
    fprintf(stderr, "%s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}
