// dabrix-cli query against an SQLite file: output format, modifying statements and errors.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;

const std::string kCli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";

testsupport::CommandResult Query(const std::string& connection, const std::string& sql) {
  return RunCommand(ShellQuote(kCli) + " query " + ShellQuote(connection) + " " + ShellQuote(sql));
}

TEST(DbCli, QueryPrintsRecordsAndAffectedRows) {
  testsupport::TempDir dir;
  std::string conn = "Driver=SQLite3;Database=" + dir.file("q.db");
  auto r = Query(conn, "CREATE TABLE t (id INTEGER, name VARCHAR(20), at TIMESTAMP)");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Query(conn, "INSERT INTO t VALUES (1, 'a\tb', {ts '2020-01-02 03:04:05'}), (2, NULL, NULL)");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");
  r = Query(conn, "select id, name, at from t where at is null or at > {ts '2000-01-01 00:00:00'} order by id");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "id\tname\tat\n1\ta b\t2020-01-02 03:04:05\n2\tNULL\tNULL\n");
  r = Query(conn, "UPDATE t SET name = 'x' WHERE id = 99");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "0\n");
}

TEST(DbCli, ErrorsPrintTheDiagnosticsAndExitWithOne) {
  testsupport::TempDir dir;
  auto r = Query("Driver=SQLite3;Database=" + dir.file("e.db"), "SELECT * FROM missing_table");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Return Code: Error (-1)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing_table"), std::string::npos) << r.err;
  r = Query("no_such_dsn_anywhere", "SELECT 1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Return Code"), std::string::npos) << r.err;
  r = RunCommand(ShellQuote(kCli) + " query --help");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Usage: dabrix-cli query CONNECTION SQL"), std::string::npos);
  r = RunCommand(ShellQuote(kCli) + " query onlyone");
  EXPECT_EQ(r.exitCode, 2);
}

}  // namespace
