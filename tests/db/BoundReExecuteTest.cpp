// A recordset re-executed record after record with a condition whose values are bound: the rows found
// must be those a condition of literals finds, and the statement, the fields and the row writer must be
// made once, not per record.
#include <gtest/gtest.h>

#include "db/DbTestSupport.h"
#include "db/KVOdbcRowWriter.h"

namespace {

using dbtest::DbTest;
using TBound = TKVOdbcRecordsetBase::TKVBoundValue;

class BoundReExecute : public DbTest {
 protected:
  static std::string Ids(TKVOdbcRecordset& rs) {
    std::string ids;
    for (; rs.HasCurrentRecord(); rs.MoveToNext()) ids += rs.FieldByName("id").Value().AsString() + ";";
    return ids;
  }
  std::string MakeTable() {
    std::string t = Table();
    Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, name VARCHAR(40), born " + Type("timestamp") +
         ", score " + Type("double") + ", note VARCHAR(20))");
    Exec("INSERT INTO " + t + " (id, name, born, score, note) VALUES "
         "(1, 'O''Brien', '2001-02-03 04:05:06', 0.1, NULL), "
         "(2, 'plain', '1999-12-31 23:59:59', 2.5, 'x'), "
         "(3, 'Zoë', '2024-06-30 12:00:00', -7, 'y')");
    return t;
  }
  // The ids a condition of literals finds, set as the WHERE clause as a run used to set it.
  std::string LiteralIds(const std::string& t, const std::string& where) {
    auto rs = OpenRecordset("SELECT id FROM " + t + " ORDER BY id", ctForwardOnly);
    rs->Sql().SetClause(TKVSqlClause::Where, where);
    rs->ReExecute(false);
    return Ids(*rs);
  }
};

TEST_P(BoundReExecute, FindsWhatLiteralsFindWithOnePreparedStatement) {
  std::string t = MakeTable();
  auto rs = OpenRecordset("SELECT * FROM " + t + " ORDER BY id", ctForwardOnly);
  const TKVVariant born = TKVVariant::FromString("2001-02-03 04:05:06").ChangeType(varDate);
  struct TCase {
    std::string Condition;
    std::vector<TBound> Values;
    std::string LiteralWhere;
  };
  const std::vector<TCase> cases = {
      {"name = ?", {{"name", TKVVariant::FromString("O'Brien")}}, "name = 'O''Brien'"},
      {"name = ?", {{"name", TKVVariant::FromString("Zoë")}}, "name = 'Zoë'"},
      {"name = ?", {{"name", TKVVariant::FromString("nobody")}}, "name = 'nobody'"},
      {"name = ?", {{"name", TKVVariant::Null()}}, "name = NULL"},
      // (a time literal's colons read as SQL parameters: compared by a range instead)
      {"born = ?", {{"born", born}}, "born > '2001-02-03' AND born < '2001-02-04'"},
      {"score = ?", {{"score", TKVVariant(2.5)}}, "score = 2.5"},
      {"score = ? AND note = ?", {{"score", TKVVariant(-7.0)}, {"note", TKVVariant::FromString("y")}},
       "score = -7 AND note = 'y'"},
      {"note = ?", {{"note", TKVVariant::Null()}}, "note = NULL"},
  };
  // The timestamp as this program writes it (the SQLite driver stores bound timestamps as text with
  // milliseconds, and compares text): a row written by a run is found by the next run.
  rs->ReExecuteWithValues("id = ?", {{"id", TKVVariant(int32_t{1})}});
  rs->Edit();
  rs->FieldByName("born").SetValue(born);
  rs->ApplyChanges();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Condition + " / " + c.LiteralWhere);
    rs->ReExecuteWithValues(c.Condition, c.Values);
    EXPECT_EQ(Ids(*rs), LiteralIds(t, c.LiteralWhere));
  }
  // Six condition texts ran (id, name, born, score, the pair, note): each change prepared once.
  EXPECT_EQ(rs->BoundPrepareCount(), 6);

  // Record after record with the same condition: one statement, one set of fields, one row writer, and
  // the primary key read once, while every record is found and edited.
  int preparesBefore = rs->BoundPrepareCount(), fieldsBefore = rs->FieldSetsCreated(),
      writersBefore = rs->RowWritersCreated();
  for (int round = 0; round < 100; ++round) {
    int id = round % 3 + 1;
    rs->ReExecuteWithValues("id = ?", {{"id", TKVVariant(int32_t{id})}});
    ASSERT_TRUE(rs->HasCurrentRecord()) << id;
    EXPECT_EQ(rs->FieldByName("id").Value().AsInt32(), id);
    rs->Edit();
    rs->FieldByName("note").SetValue(TKVVariant::FromString("r" + std::to_string(round)));
    rs->ApplyChanges();
  }
  EXPECT_EQ(rs->BoundPrepareCount(), preparesBefore + 1);
  EXPECT_EQ(rs->FieldSetsCreated(), fieldsBefore + 1);
  EXPECT_EQ(rs->RowWritersCreated(), writersBefore + 1);
  auto* writer = dynamic_cast<TKVOdbcStatementRowWriter*>(&rs->RowWriter());
  ASSERT_NE(writer, nullptr);
  EXPECT_LE(writer->PrepareCount(), 2);
  EXPECT_EQ(LiteralIds(t, "note = 'r99'"), "1;");
  EXPECT_EQ(LiteralIds(t, "note = 'r98'"), "3;");

  // An ordinary re-execution goes back to the text as it stands, markers replaced by the owner.
  rs->Sql().SetClause(TKVSqlClause::Where, "id > 1");
  rs->ReExecute(false);
  EXPECT_EQ(Ids(*rs), "2;3;");
  EXPECT_EQ(dbtest::ErrorOf([&] { rs->ReExecuteWithValues("nope = ?", {{"nope", TKVVariant(1)}}); }),
            "Field 'nope' not found");
}

// An inserted row is read back (generated key, defaults) only when the recordset asks for it; otherwise it
// shows the values as written, and the insert costs no read.
TEST_P(BoundReExecute, InsertedRowIsReadBackOnlyWhenAsked) {
  std::string t = Table();
  Exec("CREATE TABLE " + t + " (id " + Type("autoinc") + ", name VARCHAR(20), note VARCHAR(9) DEFAULT 'dflt')");
  auto rs = OpenRecordset("SELECT id, name, note FROM " + t, ctForwardOnly);
  for (bool readBack : {true, false}) {
    SCOPED_TRACE(readBack);
    rs->SetReadBackInserted(readBack);
    rs->Insert();
    rs->FieldByName("name").SetValue(TKVVariant::FromString("a"));
    rs->ApplyChanges();
    ASSERT_TRUE(rs->HasCurrentRecord());
    EXPECT_EQ(rs->FieldByName("name").Value().AsString(), "a");
    EXPECT_EQ(rs->FieldByName("id").IsNull(), !readBack);
    EXPECT_EQ(rs->FieldByName("note").IsNull(), !readBack);
    if (readBack) {
      EXPECT_EQ(rs->FieldByName("note").Value().AsString(), "dflt");
    }
  }
  EXPECT_EQ(LiteralIds(t, "note = 'dflt'"), "1;2;");
}

DABRIX_INSTANTIATE_DB_TEST(BoundReExecute);

}  // namespace
