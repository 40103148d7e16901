// What the update strategy of a recordset does to its writes, with a second connection changing the row
// between the read and the write: compared values, row versions, and read only.
#include <gtest/gtest.h>

#include "db/DbTestSupport.h"
#include "db/KVOdbcRowWriter.h"
#include "foundation/KVDateTime.h"

namespace {

using dbtest::ErrorOf;

class UpdateStrategy : public dbtest::DbTest {
 protected:
  void ExecOther(const std::string& sql) {
    if (!m_Other) m_Other = dbtest::Connect(ConnectionString());
    m_Other->ExecuteSQL(sql);
  }
  int64_t Count(const std::string& table, const std::string& where) {
    if (!m_Other) m_Other = dbtest::Connect(ConnectionString());
    auto rs = KVMakeRef<TKVOdbcRecordset>(m_Other);
    rs->SetSimplestConfiguration();
    rs->SetSQL("SELECT COUNT(*) AS n FROM " + table + " WHERE " + where);
    rs->Open();
    return rs->Field(0).Value().AsInt64();
  }
  TKVRef<TKVOdbcRecordset> Open(const std::string& sql, TUpdateStrategy strategy) {
    auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
    rs->Properties().SetCursorType(ctStatic);
    rs->Properties().SetUpdateStrategy(strategy);
    rs->SetSQL(sql);
    rs->Open();
    return rs;
  }
  // A single-precision column where the database has one.
  std::string SingleType() const { return Type("single"); }
  static bool IsConflict(const std::string& error) {
    return error.find("changed or deleted by another user") != std::string::npos;
  }
  void TearDown() override {
    if (m_Other) m_Other->Deactivate();
    m_Other.reset();
    DbTest::TearDown();
  }

  TKVRef<TKVOdbcConnection> m_Other;
};

TEST_P(UpdateStrategy, CompareValuesRefusesWritesOverAnotherUsersChange) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, v INTEGER, s VARCHAR(20), d " + Type("double") +
       ", r " + SingleType() + ", n DECIMAL(12,4), ts " + Type("timestamp") + ", nul INTEGER, memo " +
       Type("text") + ")");
  // Values that do not survive a comparison with literals or an exact one: a quote, 1/3 (read back from
  // SQLite with 15 digits), a single-precision 1/3, a decimal 0.1 (read as a double), milliseconds.
  Exec("INSERT INTO " + t + " (id, v, s, d, r, n, ts, nul, memo) VALUES (1, 10, 'it''s', " +
       "CAST(1 AS " + Type("double") + ") / 3, 0.33333334, 0.1, {ts '2021-03-04 05:06:07.890'}, NULL, 'm')");
  Exec("INSERT INTO " + t + " (id, v, s) VALUES (2, 20, 'b')");
  auto rs = Open("SELECT id, v, s, d, r, n, ts, nul, memo, v + 1 AS next FROM " + t + " ORDER BY id",
                 usCompareValuesBeforeWrite);

  // Unchanged by others: the write goes through, and so does the next one of the same record (it compares
  // what the first one stored).
  rs->Edit();
  rs->FieldByName("s").SetValue(std::string("x'y"));
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "id = 1 AND s = 'x''y'"));
  rs->Edit();
  rs->FieldByName("v").SetValue(11);
  rs->FieldByName("n").SetValue(2.5);
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "id = 1 AND v = 11 AND n = 2.5"));
  // Writing the values the row holds is no conflict (MariaDB reports no changed row).
  rs->Edit();
  rs->FieldByName("v").SetValue(11);
  EXPECT_NO_THROW(rs->ApplyChanges());

  // Another user changes a column: the write is refused, nothing is written, the edit is kept.
  for (const char* change : {"v = 12", "nul = 5", "d = 0.5", "r = 0.25", "ts = {ts '2021-03-04 05:06:07.891'}"}) {
    SCOPED_TRACE(change);
    rs->RefreshCurrentRecord();
    ExecOther("UPDATE " + t + " SET " + std::string(change) + " WHERE id = 1");
    rs->Edit();
    rs->FieldByName("s").SetValue(std::string("lost"));
    std::string error = ErrorOf([&] { rs->ApplyChanges(); });
    EXPECT_TRUE(IsConflict(error)) << error;
    EXPECT_EQ(rsEditing, rs->State());
    EXPECT_TRUE(rs->FieldByName("s").Assigned());
    rs->Cancel();
    EXPECT_EQ(0, Count(t, "s = 'lost'"));
  }
  // Nor is a delete.
  ExecOther("UPDATE " + t + " SET v = 13 WHERE id = 1");
  EXPECT_TRUE(IsConflict(ErrorOf([&] { rs->DeleteCurrentRecord(); })));
  EXPECT_EQ(1, Count(t, "id = 1"));
  // Once the record is read again, the write goes through.
  rs->RefreshCurrentRecord();
  rs->Edit();
  rs->FieldByName("s").SetValue(std::string("kept"));
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "id = 1 AND v = 13 AND s = 'kept' AND nul = 5"));

  // Under "MinimalLock" the key alone names the row: the same change is overwritten.
  auto minimal = Open("SELECT id, v, s FROM " + t + " WHERE id = 2", usMinimalLock);
  ExecOther("UPDATE " + t + " SET v = 21 WHERE id = 2");
  minimal->Edit();
  minimal->FieldByName("s").SetValue(std::string("over"));
  minimal->ApplyChanges();
  EXPECT_EQ(1, Count(t, "id = 2 AND v = 21 AND s = 'over'"));
}

TEST_P(UpdateStrategy, RowVersionComparesTheVersionColumn) {
  std::string t = Table();
  Exec(RowVersionTableDdl(t));
  Exec("INSERT INTO " + t + " (id, v, w) VALUES (1, 10, 100)");
  auto rs = Open(RowVersionSelect(t), usCompareRecordVersionBeforeWrite);

  rs->Edit();
  rs->FieldByName("v").SetValue(11);
  rs->ApplyChanges();
  // The record now holds the new version: the next write of it is no conflict.
  rs->Edit();
  rs->FieldByName("v").SetValue(12);
  rs->ApplyChanges();
  EXPECT_EQ(1, Count(t, "v = 12"));

  // Another user changes a column the recordset does not read.
  ExecOther("UPDATE " + t + " SET w = 101 WHERE id = 1");
  rs->Edit();
  rs->FieldByName("v").SetValue(13);
  std::string error = ErrorOf([&] { rs->ApplyChanges(); });
  if (!HasRowVersions()) {
    // No row version in SQLite: the values read are compared instead, and w was not read.
    EXPECT_EQ("(no error)", error);
  } else {
    EXPECT_TRUE(IsConflict(error)) << error;
    rs->Cancel();
    EXPECT_EQ(1, Count(t, "v = 12"));
  }
  // A column the recordset reads: a conflict everywhere.
  rs->RefreshCurrentRecord();
  ExecOther("UPDATE " + t + " SET v = 20 WHERE id = 1");
  rs->Edit();
  rs->FieldByName("v").SetValue(14);
  error = ErrorOf([&] { rs->ApplyChanges(); });
  EXPECT_TRUE(IsConflict(error)) << error;
  rs->Cancel();
  EXPECT_EQ(1, Count(t, "v = 20"));
}

TEST_P(UpdateStrategy, ReadOnlyRecordsetsOfferNoWritesAndWriteNothing) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, v INTEGER)");
  Exec("INSERT INTO " + t + " (id, v) VALUES (1, 10)");
  auto rs = Open("SELECT id, v FROM " + t, usReadOnly);
  for (TKVRecordsetOperation op : {roEdit, roInsert, roDelete})
    EXPECT_FALSE(rs->OperationAvailable(op)) << KVRecordsetOperationCaption(op);
  EXPECT_TRUE(rs->OperationAvailable(roRefreshCurrent));
  EXPECT_EQ("The operation \"Edit\" is not available: the update strategy of the recordset is read only",
            ErrorOf([&] { rs->Edit(); }));
  EXPECT_EQ("The operation \"Insert\" is not available: the update strategy of the recordset is read only",
            ErrorOf([&] { rs->Insert(); }));
  EXPECT_EQ("The operation \"Delete\" is not available: the update strategy of the recordset is read only",
            ErrorOf([&] { rs->DeleteCurrentRecord(); }));
  EXPECT_NE("(no error)", ErrorOf([&] { rs->FieldByName("v").SetValue(11); }));  // "AutoEdit" edits first
  EXPECT_EQ(rsBrowsing, rs->State());
  // The writer refuses as well, whoever calls it.
  EXPECT_NE("(no error)", ErrorOf([&] { rs->RowWriter().Delete(*rs); }));
  EXPECT_EQ(1, Count(t, "v = 10"));

  // A connection that may not modify data: the same, with its reason.
  auto readOnly = KVMakeRef<TKVOdbcConnection>();
  readOnly->Properties().SetConnectionString(ConnectionString());
  readOnly->Properties().SetDriverDialogs(ddNoDriverDialogs);
  readOnly->Properties().SetAccessMode(amReadonly);
  readOnly->Activate();
  auto viaReadOnly = KVMakeRef<TKVOdbcRecordset>(readOnly);
  viaReadOnly->Properties().SetCursorType(ctStatic);
  viaReadOnly->SetSQL("SELECT id, v FROM " + t);
  viaReadOnly->Open();
  EXPECT_FALSE(viaReadOnly->OperationAvailable(roEdit));
  EXPECT_EQ("The operation \"Edit\" is not available: the connection may not modify data",
            ErrorOf([&] { viaReadOnly->Edit(); }));
  viaReadOnly->Close();
  readOnly->Deactivate();
}

DABRIX_INSTANTIATE_DB_TEST(UpdateStrategy);

}  // namespace
