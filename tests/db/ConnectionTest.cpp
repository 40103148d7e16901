// Connections: connection strings, failures, transactions, data source listing and stored credentials.
#include <gtest/gtest.h>

#include <algorithm>

#include "db/DbTestSupport.h"
#include "db/KVLockWait.h"
#include "db/KVOdbcConnection.h"
#include "db/KVOdbcDrivers.h"
#include "db/KVOdbcRecordset.h"
#include "storage/KVIniFileStorage.h"

namespace {

using dbtest::TScopedEnv;

TEST(Connection, UserAndPasswordPropertiesReplaceTheStringsValues) {
  TKVOdbcConnection c;
  c.Properties().SetConnectionString("DSN=x;UID=old;;PWD=p;Port=1");
  EXPECT_EQ(c.EffectiveConnectionString(), "DSN=x;UID=old;;PWD=p;Port=1");  // empty properties change nothing
  c.Properties().SetUserName("neu");
  c.Properties().SetPassword("a;b");
  EXPECT_EQ(c.EffectiveConnectionString(), "DSN=x;Port=1;UID=neu;PWD={a;b}");
}

TEST(Connection, AFailedConnectCarriesEveryDiagnosticRecord) {
  TKVOdbcConnection c;
  c.Properties().SetConnectionString("Driver=No Such Driver Anywhere;Database=x");
  c.Properties().SetDriverDialogs(ddNoDriverDialogs);
  try {
    c.Activate();
    FAIL() << "connected to nothing";
  } catch (const EODBCError& e) {
    EXPECT_EQ(e.ReturnCode(), SQL_ERROR);
    ASSERT_FALSE(e.Records().empty());
    EXPECT_EQ(e.Message().rfind("Return Code: Error (-1)\r\n\r\n", 0), 0u) << e.Message();
    for (const auto& r : e.Records()) EXPECT_NE(e.Message().find(r.Text()), std::string::npos);
    EXPECT_NE(e.Message().find("No Such Driver Anywhere"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(c.Active());
  EXPECT_FALSE(c.Connected());
}

TEST(Connection, DataSourceListingFormats) {
  testsupport::TempDir dir;
  testsupport::WriteFileBytes(dir.file("odbc.ini"),
                              "[dabrix_listing]\nDriver=SQLite3\nDescription=Listing test\nDatabase=/tmp/x.db\n");
  TScopedEnv ini("ODBCINI", dir.file("odbc.ini"));
  TScopedEnv home("HOME", dir.path().string());
  testsupport::WriteFileBytes(dir.file(".odbc.ini"), testsupport::ReadFileBytes(dir.file("odbc.ini")));
  auto env = KVMakeRef<TKVOdbcEnvironment>();
  std::vector<std::string> one, two;
  env->EnumDataSources(dsnUser, "<%s>", [&](const std::string& s) { one.push_back(s); });
  env->EnumDataSources(dsnUser, "%s: %s", [&](const std::string& s) { two.push_back(s); });
  EXPECT_NE(std::find(one.begin(), one.end(), "<dabrix_listing>"), one.end());
  EXPECT_NE(std::find(two.begin(), two.end(), "dabrix_listing: SQLite3"), two.end()) << (two.empty() ? "" : two[0]);
  EXPECT_FALSE(env->Active());  // activated for the call only
  try {
    env->EnumDataSources(dsnUser, "%s %s %s", [](const std::string&) {});
    FAIL();
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "Invalid number of format parameters");
  }
  EXPECT_THROW(env->EnumDataSources(2, "%s", [](const std::string&) {}), EKVException);
}

TEST(Connection, InstalledDriversComeWithTheLibraryTheirDriverAttributeNames) {
  const std::vector<TKVOdbcDriverInfo> drivers = KVInstalledOdbcDrivers();
  auto sqlite = std::find_if(drivers.begin(), drivers.end(),
                             [](const TKVOdbcDriverInfo& d) { return d.Description == "SQLite3"; });
  ASSERT_NE(sqlite, drivers.end());
  EXPECT_EQ(sqlite->Library, "libsqlite3odbc.so");  // as the driver manager's odbcinst.ini names it
  // Every driver the tests use names its library; a pair cut short would leave it empty or garbled.
  for (const TKVOdbcDriverInfo& d : drivers) EXPECT_NE(d.Library.find(".so"), std::string::npos) << d.Description;
}

TEST(Connection, StoredCredentialsAreEncryptedAndOnlyTheirOwnerReadsThem) {
  testsupport::TempDir dir;
  std::string file = dir.file("conn.qxt");
  {
    TScopedEnv config("XDG_CONFIG_HOME", dir.file("config-a"));
    TKVOdbcConnectProperties p;
    p.SetUserName("alice");
    p.SetPassword("s3cret");
    p.SetConnectionString("DSN=x");
    auto s = KVMakeRef<TKVIniFileStorage>(nullptr, 0u, "", file);
    p.StoreData(*s);
    s->Commit();
    std::string stored = s->ReadString("Password", "");
    EXPECT_FALSE(stored.empty());
    EXPECT_EQ(stored.find("s3cret"), std::string::npos);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEFabcdef"), std::string::npos);
    TKVOdbcConnectProperties back;
    back.LoadData(*s);
    EXPECT_EQ(back.UserName(), "alice");
    EXPECT_EQ(back.Password(), "s3cret");
  }
  TScopedEnv other("XDG_CONFIG_HOME", dir.file("config-b"));  // another user's key
  TKVOdbcConnectProperties foreign;
  auto s = KVMakeRef<TKVIniFileStorage>(nullptr, 0u, "", file);
  foreign.LoadData(*s);
  EXPECT_EQ(foreign.UserName(), "");
  EXPECT_EQ(foreign.Password(), "");
  EXPECT_EQ(foreign.ConnectionString(), "DSN=x");
}

class ConnectionDb : public dbtest::DbTest {
 protected:
  int Rows(TKVOdbcConnection& c, const std::string& table) {
    auto rs = KVMakeRef<TKVOdbcRecordset>(TKVRef<TKVOdbcConnection>(&c));
    rs->SetSQL("SELECT count(*) FROM " + table);
    rs->Open();
    return rs->Field(0).Value().AsInt32();
  }
};

TEST_P(ConnectionDb, TransactionsCommitRollBackAndCloseRollsBack) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER)");
  EXPECT_NE(Conn().GetTransactionSupport(), TKVTransactionSupport::None);

  auto writer = KVMakeRef<TKVOdbcConnection>();
  writer->Properties().SetConnectionString(ConnectionString());
  writer->Properties().SetAttribute(caAutocommitTransactions, false);
  writer->Activate();
  {
    TKVOdbcTransaction tx(*writer);
    writer->ExecuteSQL("INSERT INTO " + t + " VALUES (1)");
    tx.Commit();
  }
  {
    TKVOdbcTransaction tx(*writer);
    writer->ExecuteSQL("INSERT INTO " + t + " VALUES (2)");
  }  // rolled back
  EXPECT_EQ(writer->TransactionNesting(), 0);
  writer->Properties().SetAttribute(caAutocommitTransactions, true);  // applied at once: this commits
  writer->ExecuteSQL("INSERT INTO " + t + " VALUES (3)");
  writer->Properties().SetAttribute(caAutocommitTransactions, false);
  writer->ExecuteSQL("INSERT INTO " + t + " VALUES (4)");
  writer->Deactivate();  // uncommitted work is rolled back on close
  EXPECT_EQ(Rows(Conn(), t), 2);
}

// How long a statement waits for another connection's lock: bounded by the program unless the connection
// string says it itself, and kept through a rolled-back transaction (the setting must not be part of one).
TEST_P(ConnectionDb, LockWaitIsBoundedUnlessTheConnectionStringSetsIt) {
  auto setting = [&](TKVOdbcConnection& c) {
    auto rs = KVMakeRef<TKVOdbcRecordset>(TKVRef<TKVOdbcConnection>(&c));
    rs->SetSQL(IsPostgreSQL() ? "SELECT current_setting('lock_timeout')"
                              : "SELECT CONCAT(@@innodb_lock_wait_timeout, ',', @@lock_wait_timeout)");
    rs->Open();
    return rs->Field(0).DisplayText();
  };
  auto connect = [](const std::string& text, bool autocommit) {
    auto c = KVMakeRef<TKVOdbcConnection>();
    c->Properties().SetConnectionString(text);
    c->Properties().SetAttribute(caAutocommitTransactions, autocommit);
    c->Activate();
    return c;
  };
  if (IsSQLite()) {
    // The driver's busy timeout is a key of the string handed to it; the user's own is left alone.
    EXPECT_EQ(Conn().LockWaitMilliseconds(), kKVDefaultLockWaitMilliseconds);
    EXPECT_EQ(KVConnectionStringWithLockWait("Driver=SQLite3;Database=a.db"), "Driver=SQLite3;Database=a.db;Timeout=30000");
    EXPECT_EQ(KVConnectionStringWithLockWait("Driver=SQLite3;timeout=5;Database=a.db"), "Driver=SQLite3;timeout=5;Database=a.db");
    EXPECT_EQ(KVConnectionStringWithLockWait("DSN=lite"), "DSN=lite");
    EXPECT_EQ(connect(ConnectionString() + ";Timeout=1500", true)->LockWaitMilliseconds(), 1500);
    return;
  }
  const std::string bounded = IsPostgreSQL() ? "30s" : "30,30";
  EXPECT_EQ(setting(Conn()), bounded);
  EXPECT_EQ(Conn().LockWaitMilliseconds(), kKVDefaultLockWaitMilliseconds);
  auto manual = connect(ConnectionString(), false);
  manual->RollbackTransaction();
  EXPECT_EQ(setting(*manual), bounded);
  manual->Deactivate();
  auto own = connect(ConnectionString() + (IsPostgreSQL() ? ";ConnSettings={SET lock_timeout = 1500}"
                                                          : ";InitStmt={SET innodb_lock_wait_timeout = 2, lock_wait_timeout = 3}"),
                     true);
  EXPECT_EQ(setting(*own), IsPostgreSQL() ? "1500ms" : "2,3");
  EXPECT_EQ(own->LockWaitMilliseconds(), -1);
  own->Deactivate();
}

DABRIX_INSTANTIATE_DB_TEST(ConnectionDb);

}  // namespace
