// Writing records through a recordset: statements generated for origin 0/1 and positioned operations for
// origin 2, checked against the database from a second connection.
#include <gtest/gtest.h>

#include <cstring>

#include "db/DbTestSupport.h"
#include "db/KVOdbcRowWriter.h"
#include "foundation/KVDateTime.h"

namespace {

using dbtest::DbTest;
using dbtest::ErrorOf;

double Stamp(int h, int n, int s, int ms) {
  double v = 0;
  EXPECT_TRUE(KVTryEncodeDateTime({2021, 3, 4, h, n, s, ms}, v));
  return v;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

class RowWriterTest : public DbTest {
 protected:
  // MariaDB's default character set cannot hold the test's non-ASCII text.
  std::string Charset() const { return UnicodeTableOptions(); }

  // A second connection: what other users and the database itself see.
  TKVRef<TKVOdbcRecordset> ReadBack(const std::string& sql) {
    if (!m_Other) m_Other = dbtest::Connect(ConnectionString());
    auto rs = KVMakeRef<TKVOdbcRecordset>(m_Other);
    rs->Properties().SetCursorType(ctForwardOnly);
    rs->SetSQL(sql);
    rs->Open();
    return rs;
  }
  void ExecOther(const std::string& sql) {
    if (!m_Other) m_Other = dbtest::Connect(ConnectionString());
    m_Other->ExecuteSQL(sql);
  }
  int64_t Count(const std::string& table, const std::string& where = "1=1") {
    return ReadBack("SELECT COUNT(*) AS n FROM " + table + " WHERE " + where)->Field(0).Value().AsInt64();
  }
  void TearDown() override {
    if (m_Other) m_Other->Deactivate();
    m_Other.reset();
    DbTest::TearDown();
  }
  static TKVOdbcStatementRowWriter& Writer(TKVOdbcRecordsetBase& rs) {
    return dynamic_cast<TKVOdbcStatementRowWriter&>(rs.RowWriter());
  }

  TKVRef<TKVOdbcConnection> m_Other;
};

TEST_P(RowWriterTest, InsertWritesExactValuesKeepsDefaultsAndShowsTheStoredRow) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id " + Type("autoinc") + ", name VARCHAR(50), dflt INTEGER DEFAULT 42, ts " +
       Type("timestamp") + ", d " + Type("double") + ", bin " + Type("blob") + ", memo " + Type("text") + ")" +
       Charset());
  auto rs = OpenRecordset("SELECT * FROM " + t + " ORDER BY id", ctStatic);
  std::vector<uint8_t> bin = Pattern(1 << 20);
  std::string memo(1 << 20, ' ');
  for (size_t i = 0; i < memo.size(); ++i) memo[i] = static_cast<char>('a' + i % 26);
  // Exactness of every bit is checked where the column reads as a double: the SQLite driver reads doubles
  // back through a 15-digit text, and psqlODBC describes DOUBLE PRECISION as SQL_FLOAT (a Single field).
  double d = ReadsDoublesExactly() ? 1.0 / 3 : 2.5;

  rs->Insert();
  rs->FieldByName("name").SetValue(std::string("Grüße Москва"));
  rs->FieldByName("ts").SetValue(TKVVariant::FromDateTime(Stamp(10, 11, 12, 345)));
  rs->FieldByName("d").SetValue(d);
  rs->FieldByName("bin").SetBytes(bin.data(), bin.size());
  rs->FieldByName("memo").SetValue(memo);
  rs->ApplyChanges();
  EXPECT_EQ(rsBrowsing, rs->State());
  // The record shows the row as stored: generated key and default included.
  ASSERT_TRUE(rs->HasCurrentRecord());
  EXPECT_EQ(1, rs->FieldByName("id").Value().AsInt32());
  EXPECT_EQ(42, rs->FieldByName("dflt").Value().AsInt32());
  EXPECT_EQ("Grüße Москва", rs->FieldByName("name").Value().AsString());

  // Same assigned fields: the prepared INSERT is reused; another set prepares a new one.
  int prepared = Writer(*rs).PrepareCount();
  rs->Insert();
  rs->FieldByName("name").SetValue(std::string("second"));
  rs->FieldByName("ts").SetValue(TKVVariant::FromDateTime(Stamp(23, 59, 58, 7)));
  rs->FieldByName("d").SetValue(-0.0);
  rs->FieldByName("bin").SetBytes("\0\1\2", 3);
  rs->FieldByName("memo").SetValue(std::string("short"));
  rs->ApplyChanges();
  EXPECT_EQ(prepared, Writer(*rs).PrepareCount());
  EXPECT_EQ(2, rs->FieldByName("id").Value().AsInt32());
  rs->Insert();
  rs->FieldByName("dflt").SetValue(7);
  rs->ApplyChanges();
  EXPECT_GT(Writer(*rs).PrepareCount(), prepared);
  EXPECT_EQ(3, rs->FieldByName("id").Value().AsInt32());
  EXPECT_TRUE(rs->FieldByName("name").IsNull());

  auto back = ReadBack("SELECT * FROM " + t + " ORDER BY id");
  ASSERT_TRUE(back->HasCurrentRecord());
  EXPECT_EQ("Grüße Москва", back->FieldByName("name").Value().AsString());
  EXPECT_EQ(42, back->FieldByName("dflt").Value().AsInt32());
  EXPECT_EQ("2021-03-04 10:11:12.345", KVFormatIsoDateTime(back->FieldByName("ts").Value().AsDateTime()));
  EXPECT_EQ(d, back->FieldByName("d").Value().AsDouble());
  // The SQLite driver describes BLOB columns as text and reads them as X'..' literals: compared by SQL there.
  auto bytesOf = [&](TKVRef<TKVOdbcRecordset>& r, int id) {
    if (DescribesBlobsAsBinary()) return r->FieldByName("bin").Bytes();
    TKVVariant hex = ReadBack("SELECT hex(bin) AS h FROM " + t + " WHERE id = " + std::to_string(id))->Field(0).Value();
    std::string h = hex.AsString();
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
  };
  EXPECT_TRUE(bytesOf(back, 1) == bin) << "binary value differs";
  EXPECT_TRUE(back->FieldByName("memo").Value().AsString() == memo) << "long text differs";
  back->MoveToNext();
  EXPECT_EQ("2021-03-04 23:59:58.007", KVFormatIsoDateTime(back->FieldByName("ts").Value().AsDateTime()));
  EXPECT_EQ((std::vector<uint8_t>{0, 1, 2}), bytesOf(back, 2));
  back->MoveToNext();
  EXPECT_EQ(7, back->FieldByName("dflt").Value().AsInt32());
  EXPECT_TRUE(back->FieldByName("memo").IsNull());
}

TEST_P(RowWriterTest, ApplyRules) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, v INTEGER)");
  Exec("INSERT INTO " + t + " (id, v) VALUES (1, 10)");
  auto rs = OpenRecordset("SELECT id, v FROM " + t + " ORDER BY id", ctStatic);
  rs->Insert();
  EXPECT_EQ("No Field Value has been set before inserting a new Record", ErrorOf([&] { rs->ApplyChanges(); }));
  EXPECT_EQ(rsInserting, rs->State());  // the caller may still assign and retry, or cancel
  rs->Cancel();
  rs->Edit();
  rs->ApplyChanges();  // nothing assigned: nothing written, no error
  EXPECT_EQ(rsBrowsing, rs->State());
  EXPECT_EQ(1, Count(t, "v = 10"));
}

TEST_P(RowWriterTest, UpdateDeleteAndRefreshByPrimaryKey) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, d " + Type("double") + ", v INTEGER)");
  Exec("INSERT INTO " + t + " (id, d, v) VALUES (1, 0.5, 10), (2, 1.5, 20), (3, 2.5, 30)");
  auto rs = OpenRecordset("SELECT id, d, v FROM " + t + " ORDER BY id", ctStatic);

  // A DOUBLE column in the table: MariaDB's positioned update reported success without writing here.
  rs->Edit();
  rs->FieldByName("d").SetValue(4.25);
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "id = 1 AND d = 4.25"));
  // Writing the values the row already holds is no "row vanished" (MariaDB reports 0 changed rows).
  rs->Edit();
  rs->FieldByName("v").SetValue(10);
  EXPECT_NO_THROW(rs->ApplyChanges());
  // Changing the key itself: the row is found by the key it was read with.
  rs->Edit();
  rs->FieldByName("id").SetValue(11);
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "id = 11 AND v = 10"));
  EXPECT_EQ(0, Count(t, "id = 1"));

  // Refresh shows what another user wrote.
  rs->MoveToNext();
  ExecOther("UPDATE " + t + " SET v = 99 WHERE id = 2");
  rs->RefreshCurrentRecord();
  EXPECT_EQ(99, rs->FieldByName("v").Value().AsInt32());

  int32_t before = rs->RecordCount();
  rs->DeleteCurrentRecord();
  EXPECT_EQ(0, Count(t, "id = 2"));
  EXPECT_EQ(2, Count(t));
  EXPECT_EQ(before - 1, rs->RecordCount());
}

TEST_P(RowWriterTest, RowDeletedMeanwhileRaisesAndKeepsTheEdit) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, v INTEGER)");
  Exec("INSERT INTO " + t + " (id, v) VALUES (1, 10), (2, 20)");
  auto rs = OpenRecordset("SELECT id, v FROM " + t + " ORDER BY id", ctStatic);
  ExecOther("DELETE FROM " + t + " WHERE id = 1");

  rs->Edit();
  rs->FieldByName("v").SetValue(11);
  EXPECT_THROW(rs->ApplyChanges(), EODBCError);
  EXPECT_EQ(rsEditing, rs->State());
  EXPECT_TRUE(rs->FieldByName("v").Assigned());
  rs->Cancel();
  EXPECT_THROW(rs->DeleteCurrentRecord(), EODBCError);
  EXPECT_THROW(rs->RefreshCurrentRecord(), EODBCError);
  EXPECT_EQ(1, Count(t));
}

TEST_P(RowWriterTest, TableWithoutKeyFollowsPositionedUpdateSimulation) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (a INTEGER, b VARCHAR(10), d " + Type("double") + ")");
  Exec("INSERT INTO " + t + " (a, b, d) VALUES (1, 'x', 0.1), (1, 'x', 0.2), (2, NULL, 0.3)");
  auto rs = OpenRecordset("SELECT a, b, d FROM " + t + " ORDER BY a, d", ctStatic);

  rs->Properties().SetPositionedUpdateSimulation(pusGuaranteeUniqueUpdate);
  rs->Edit();
  rs->FieldByName("b").SetValue(std::string("y"));
  std::string refused = ErrorOf([&] { rs->ApplyChanges(); });
  EXPECT_NE(std::string::npos, refused.find("Guarantee Unique Update")) << refused;
  rs->Cancel();
  EXPECT_THROW(rs->DeleteCurrentRecord(), EODBCError);

  // Two rows match the values read (the DOUBLE column is not compared): refused before writing.
  rs->Properties().SetPositionedUpdateSimulation(pusTryUniqueUpdate);
  rs->Edit();
  rs->FieldByName("b").SetValue(std::string("y"));
  refused = ErrorOf([&] { rs->ApplyChanges(); });
  EXPECT_NE(std::string::npos, refused.find("Try Unique Update")) << refused;
  rs->Cancel();
  EXPECT_EQ(0, Count(t, "b = 'y'"));

  rs->Properties().SetPositionedUpdateSimulation(pusAllowNonUniqueUpdate);
  rs->Edit();
  rs->FieldByName("b").SetValue(std::string("y"));
  rs->ApplyChanges();
  EXPECT_EQ(2, Count(t, "b = 'y'"));

  // A NULL read is matched with IS NULL.
  rs->MoveToLast();
  rs->Edit();
  rs->FieldByName("a").SetValue(3);
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "a = 3 AND b IS NULL"));
}

TEST_P(RowWriterTest, OnlySingleTablesAreWritable) {
  std::string a = Table("a"), b = Table("b");
  Exec("CREATE TABLE " + a + " (id INTEGER PRIMARY KEY, v INTEGER)");
  Exec("CREATE TABLE " + b + " (id INTEGER PRIMARY KEY, w INTEGER)");
  Exec("INSERT INTO " + a + " (id, v) VALUES (1, 1)");
  Exec("INSERT INTO " + b + " (id, w) VALUES (1, 2)");
  auto rs = OpenRecordset("SELECT " + a + ".id, v, w FROM " + a + " JOIN " + b + " ON " + a + ".id = " + b + ".id", ctStatic);
  rs->Edit();
  rs->FieldByName("v").SetValue(5);
  std::string error = ErrorOf([&] { rs->ApplyChanges(); });
  EXPECT_NE(std::string::npos, error.find("cannot be written")) << error;
  EXPECT_NE(std::string::npos, error.find(b)) << error;
  rs->Cancel();

  // An alias is fine.
  auto aliased = OpenRecordset("SELECT x.id, x.v FROM " + a + " x", ctStatic);
  aliased->Edit();
  aliased->FieldByName("v").SetValue(6);
  aliased->ApplyChanges();
  EXPECT_EQ(1, Count(a, "v = 6"));
}

// Origin 2 (the driver's own positioned writes) is only trusted with the PostgreSQL driver.
class PostgresRowWriter : public RowWriterTest {};

TEST_P(PostgresRowWriter, DriverPositionedWritesOnPostgreSQL) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id SERIAL PRIMARY KEY, v INTEGER, dflt INTEGER DEFAULT 42, memo TEXT)");
  Exec("INSERT INTO " + t + " (v, memo) VALUES (1, 'a')");
  auto conn = KVMakeRef<TKVOdbcConnection>();
  conn->Properties().SetConnectionString(ConnectionString());
  conn->Properties().SetDriverDialogs(ddNoDriverDialogs);
  conn->Properties().SetCursorOrigin(coUseDriverCursors);
  conn->Activate();
  auto rs = KVMakeRef<TKVOdbcRecordset>(conn);
  rs->Properties().SetCursorType(ctStatic);
  rs->SetSQL("SELECT id, v, dflt, memo FROM " + t + " ORDER BY id");
  rs->Open();
  ASSERT_NE(nullptr, dynamic_cast<TKVOdbcPositionedRowWriter*>(&rs->RowWriter()));

  std::string memo(100000, 'm');
  rs->Insert();
  rs->FieldByName("v").SetValue(77);
  rs->FieldByName("memo").SetValue(memo);  // long data, sent at execution
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "v = 77 AND dflt = 42 AND memo = '" + memo + "'"));

  rs->MoveToFirst();
  rs->Edit();
  rs->FieldByName("v").SetValue(5);
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "v = 5 AND memo = 'a'"));
  rs->DeleteCurrentRecord();
  EXPECT_EQ(0, Count(t, "v = 5"));
  rs->Close();
  conn->Deactivate();
}

DABRIX_INSTANTIATE_DB_TEST(RowWriterTest);
INSTANTIATE_TEST_SUITE_P(Db, PostgresRowWriter, ::testing::Values(dbtest::TDbKind::PostgreSQL), dbtest::DbParamName);

TEST(RowWriterTableNameTest, FromClauseMustNameOneTable) {
  TKVTableName n = KVSingleTableOfFromClause("sales.\"Order Lines\" AS o");
  EXPECT_EQ("sales", n.Schema.Text);
  EXPECT_FALSE(n.Schema.Quoted);
  EXPECT_EQ("Order Lines", n.Table.Text);
  EXPECT_TRUE(n.Table.Quoted);
  EXPECT_EQ("sales.`Order Lines`", KVTableNameSQL(n, "`"));
  n = KVSingleTableOfFromClause("[db].[dbo].[T] x");
  EXPECT_EQ("db", n.Catalog.Text);
  EXPECT_EQ("\"db\".\"dbo\".\"T\"", KVTableNameSQL(n, "\""));
  EXPECT_EQ("\"a\"\"b\"", KVQuoteIdentifier("a\"b", "\""));
  for (const char* bad : {"a, b", "a JOIN b ON a.id = b.id", "a LEFT JOIN b USING (id)", "(SELECT 1) x", "a b c",
                          "", "a.", "\"open"})
    EXPECT_THROW(KVSingleTableOfFromClause(bad), EKVException) << bad;
}

TEST(RowWriterTableNameTest, GeneratedKeyKindFollowsTheDatabase) {
  EXPECT_EQ(TKVGeneratedKeyKind::LastInsertRowid, KVGeneratedKeyKindOfDbms("SQLite"));
  EXPECT_EQ(TKVGeneratedKeyKind::Returning, KVGeneratedKeyKindOfDbms("PostgreSQL"));
  EXPECT_EQ(TKVGeneratedKeyKind::LastInsertId, KVGeneratedKeyKindOfDbms("MariaDB"));
  EXPECT_EQ(TKVGeneratedKeyKind::LastInsertId, KVGeneratedKeyKindOfDbms("MySQL"));
  EXPECT_EQ(TKVGeneratedKeyKind::None, KVGeneratedKeyKindOfDbms("Oracle"));
}

}  // namespace
