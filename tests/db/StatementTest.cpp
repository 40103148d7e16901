// Plain statements against every database, and the stored settings of statements and recordsets.
#include <gtest/gtest.h>

#include "db/DbTestSupport.h"
#include "db/KVOdbcRecordset.h"
#include "db/KVOdbcStatement.h"
#include "foundation/KVDateTime.h"
#include "storage/KVIniFileStorage.h"

namespace {

class Statement : public dbtest::DbTest {};

TEST_P(Statement, ModifyingSqlRunsWithParametersInlined) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER, name VARCHAR(20), at " + Type("timestamp") + ")" +
       UnicodeTableOptions());
  TKVOdbcStatement s(ConnRef());
  s.SetSQL("INSERT INTO " + t + " VALUES (:id, :name, :at)");
  double at = 0;
  ASSERT_TRUE(KVTryEncodeDateTime({2022, 7, 8, 9, 10, 11, 120}, at));
  s.Sql().Parameters().Find("id")->SetValue(TKVVariant(1));
  s.Sql().Parameters().Find("name")->SetValue(TKVVariant("O'Brien Москва"));
  s.Sql().Parameters().Find("at")->SetValue(TKVVariant::FromDateTime(at));  // through the {ts ...} escape
  s.Execute();
  EXPECT_EQ(s.AffectedRows(), 1);
  s.Sql().Parameters().Find("id")->SetValue(TKVVariant(2));
  s.Sql().Parameters().Find("name")->SetValue(TKVVariant("second"));
  s.Execute();  // the same handle runs again
  EXPECT_EQ(s.GetObjectName(), "");  // an INSERT has no FROM clause

  auto rs = OpenRecordset("SELECT id, name, at FROM " + t + " ORDER BY id");
  EXPECT_EQ(rs->GetObjectName(), t);
  EXPECT_EQ(rs->Field(1).Value().AsString(), "O'Brien Москва");
  EXPECT_EQ(rs->Field(2).Value().AsDateTime(), at);
  rs->MoveToNext();
  EXPECT_EQ(rs->Field(1).Value().AsString(), "second");
  rs->Close();
  Exec("INSERT INTO " + t + " VALUES (3, NULL, NULL)");

  // A searched UPDATE that touches nothing is no error (some drivers answer SQL_NO_DATA).
  TKVOdbcStatement u(ConnRef());
  u.SetSQL("UPDATE " + t + " SET name = 'x' WHERE id = :id");
  u.Sql().Parameters().Find("id")->SetValue(TKVVariant(99));
  EXPECT_NO_THROW(u.Execute());
  EXPECT_EQ(u.AffectedRows(), 0);
  // NULL parameters compare with IS NULL.
  u.SetSQL("UPDATE " + t + " SET name = 'was null' WHERE name = :n");
  u.Execute();
  EXPECT_EQ(u.AffectedRows(), 1);
  // The connection runs its text as given: the colons of a time literal are no parameters there.
  EXPECT_EQ(Conn().ExecuteSQL("DELETE FROM " + t + " WHERE at < {ts '2030-01-01 00:00:00'}"), 2);
}

TEST_P(Statement, WrongTextsAreRefusedBeforeTheDriverSeesThem) {
  TKVOdbcStatement s(ConnRef());
  s.SetSQL("select 1");
  try {
    s.Execute();
    FAIL();
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "Only Modifying SQL Statements can be executed with this Component.");
  }
  s.SetSQL(" \r\n ");
  EXPECT_THROW(s.Execute(), EKVException);
  s.SetSQL("UPDATE nowhere_" + Table() + " SET a = 1");
  try {
    s.Execute();
    FAIL();
  } catch (const EODBCError& e) {
    EXPECT_EQ(e.GetRoutineName(), "APIExecuteSQL");
    EXPECT_FALSE(e.Records().empty());
  }

  auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  rs->SetSQL("DELETE FROM x");
  EXPECT_THROW(rs->Open(), EKVException);
  EXPECT_FALSE(rs->Active());  // a refused text leaves it inactive
  auto none = KVMakeRef<TKVOdbcRecordset>();
  none->SetSQL("SELECT 1");
  try {
    none->Open();
    FAIL();
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "The ODBCConnection Property must be set before the Component can be activated");
  }
}

DABRIX_INSTANTIATE_DB_TEST(Statement);

TEST(StatementProperties, StoredOnlyWhereTheyDifferAndReadBack) {
  testsupport::TempDir dir;
  std::string file = dir.file("props.qxt");
  {
    TKVOdbcRecordset rs;
    rs.SetSQL("SELECT *\r\n\tFROM t\nWHERE a = 1");
    rs.Properties().SetCursorType(ctStatic);
    rs.Properties().SetAttribute(raAutoEdit, false);
    rs.Properties().SetUseSQLEscapeSequences(false);
    rs.Properties().Timeout().SetUseFromConnection(false);
    rs.Properties().Timeout().SetStatementTimeout(17);
    auto s = KVMakeRef<TKVIniFileStorage>(nullptr, 0u, "", file);
    rs.Properties().StoreData(*s);
    s->Commit();
    EXPECT_EQ(s->ReadInteger("CursorType", -1), 3);
    EXPECT_EQ(s->ReadInteger("Attributes", -1), 5);
    EXPECT_EQ(s->ReadString("UpdateStrategy", "absent"), "absent");  // the default is not written
    EXPECT_EQ(s->ReadString("UseTimeoutFromConnection", ""), s->ReadString("UseSQLEscapeSequences", ""));
  }
  TKVOdbcRecordset back;
  auto s = KVMakeRef<TKVIniFileStorage>(nullptr, 0u, "", file);
  back.Properties().LoadData(*s);
  EXPECT_EQ(back.Sql().Text(), "SELECT *\r\n\tFROM t\nWHERE a = 1");
  EXPECT_EQ(back.Properties().CursorType(), ctStatic);
  EXPECT_FALSE(back.Properties().HasAttribute(raAutoEdit));
  EXPECT_TRUE(back.Properties().HasAttribute(raConfrimDeletions));
  EXPECT_FALSE(back.Properties().UseSQLEscapeSequences());
  EXPECT_EQ(back.Properties().Timeout().EffectiveTimeout(), 17);

  try {
    back.Properties().SetUpdateStrategy(4);
    FAIL();
  } catch (const EKVException& e) {
    EXPECT_EQ(e.Message(), "Unknown Value (4) for \"TUpdateStrategy\"");
    EXPECT_EQ(e.GetRoutineName(), "SetODBCUpdateStrategy");
  }
}

}  // namespace
