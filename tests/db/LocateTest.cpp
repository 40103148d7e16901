// Locating records by bisection and looking values up by a condition, on every database.
#include <gtest/gtest.h>

#include "db/DbTestSupport.h"
#include "db/KVOdbcLocate.h"

namespace {

using dbtest::DbTest;
using dbtest::ErrorOf;

TKVNameAndValueMatchList Entry(const std::string& field, const TKVVariant& value, TKVMatchKind kind = mkExactMatch,
                               bool matchCase = false) {
  return {TKVNameAndValueMatchObj{field, value, kind, matchCase}};
}

class LocateTest : public DbTest {
 protected:
  // Rows id = 1..n with the name "N0001".. (upper case and digits: every collation orders them alike).
  std::string MakeTable(int n) {
    std::string t = Table("n" + std::to_string(n));
    Exec("CREATE TABLE " + t + " (id INTEGER PRIMARY KEY, name VARCHAR(20), grp INTEGER)");
    std::string values;
    for (int i = 1; i <= n; ++i) {
      char name[16];
      snprintf(name, sizeof name, "N%04d", i);
      values += (values.empty() ? "" : ", ") + std::string("(") + std::to_string(i) + ", '" + name + "', " +
                std::to_string(i / 10) + ")";
      if (i % 250 == 0 || i == n) {
        Exec("INSERT INTO " + t + " (id, name, grp) VALUES " + values);
        values.clear();
      }
    }
    return t;
  }
};

TEST_P(LocateTest, FindsFirstLastAndMiddleAndRestoresTheStateWhenNotFound) {
  for (int n : {0, 1, 2, 1000}) {
    SCOPED_TRACE(n);
    std::string t = MakeTable(n);
    auto rs = OpenRecordset("SELECT id, name FROM " + t + " ORDER BY id", ctStatic);
    if (n == 0) {
      EXPECT_FALSE(KVLocateValues(*rs, Entry("id", 1)));
      EXPECT_EQ(-1, KVPositionOfValues(*rs, Entry("id", 1, mkClosestMatch)));
      continue;
    }
    std::vector<int> targets{1, n, (n + 1) / 2};
    if (n == 1000) targets.insert(targets.end(), {2, 999, 500, 501, 377});
    for (int id : targets) {
      int32_t at = rs->Position();
      EXPECT_EQ(id, KVPositionOfValues(*rs, Entry("id", id))) << id;
      EXPECT_EQ(at, rs->Position());  // always restored
      ASSERT_TRUE(KVLocateValues(*rs, Entry("id", id))) << id;
      EXPECT_EQ(id, rs->Position());
      EXPECT_EQ(id, rs->FieldByName("id").Value().AsInt32());
    }
    // Not found: back on the record the user was on.
    int before = rs->Position();
    for (int missing : {0, n + 1}) {
      EXPECT_FALSE(KVLocateValues(*rs, Entry("id", missing))) << missing;
      EXPECT_EQ(before, rs->Position());
      EXPECT_EQ(before, rs->FieldByName("id").Value().AsInt32());
    }
    // Closest match finds the nearest record without verification.
    EXPECT_TRUE(KVLocateValues(*rs, Entry("id", n + 5, mkClosestMatch)));
    EXPECT_EQ(n, rs->Position());
  }
}

TEST_P(LocateTest, TextIsComparedWithoutCaseUnlessAsked) {
  std::string t = MakeTable(300);
  auto rs = OpenRecordset("SELECT id, name FROM " + t + " ORDER BY name", ctStatic);
  EXPECT_TRUE(KVLocateValues(*rs, Entry("name", std::string("n0123"))));
  EXPECT_EQ(123, rs->FieldByName("id").Value().AsInt32());
  EXPECT_EQ(-1, KVPositionOfValues(*rs, Entry("name", std::string("n0200"), mkExactMatch, true)));
  EXPECT_EQ(200, KVPositionOfValues(*rs, Entry("name", std::u16string(u"N0200"), mkExactMatch, true)));

  // Two fields: the group and the name within it.
  auto rs2 = OpenRecordset("SELECT id, name, grp FROM " + t + " ORDER BY grp, name", ctStatic);
  TKVNameAndValueMatchList both = Entry("grp", 7);
  both.push_back({"name", std::string("N0075"), mkExactMatch, false});
  EXPECT_EQ(75, KVPositionOfValues(*rs2, both));
  both[1].Value = std::string("N0085");  // in another group
  EXPECT_EQ(-1, KVPositionOfValues(*rs2, both));
}

TEST_P(LocateTest, RequestMustFollowTheSortOrder) {
  std::string t = MakeTable(3);
  auto rs = OpenRecordset("SELECT id, name, grp FROM " + t + " ORDER BY grp, \"name\" DESC", ctStatic);
  EXPECT_EQ("No Values passed to Locate", ErrorOf([&] { KVLocateValues(*rs, {}); }));
  TKVNameAndValueMatchList ab = Entry("grp", 0);
  ab.push_back({"name", std::string("N0001"), mkExactMatch, false});
  EXPECT_EQ("(no error)", ErrorOf([&] { KVPositionOfValues(*rs, ab); }));
  EXPECT_EQ("(no error)", ErrorOf([&] { KVPositionOfValues(*rs, Entry("grp", 0)); }));
  std::swap(ab[0], ab[1]);
  EXPECT_EQ("The Recordset is not sorted by Field: 'name'", ErrorOf([&] { KVPositionOfValues(*rs, ab); }));
  EXPECT_EQ("The Recordset is not sorted by Field: 'id'", ErrorOf([&] { KVLocateValues(*rs, Entry("id", 1)); }));
  // The field name must be a whole word of the item: "grp" is not sorted by "gr".
  EXPECT_EQ("The Recordset is not sorted by Field: 'gr'", ErrorOf([&] { KVLocateValues(*rs, Entry("gr", 1)); }));
}

TEST_P(LocateTest, LookupByCondition) {
  std::string t = MakeTable(20);
  auto rs = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  rs->SetSQL("SELECT id, name, grp FROM " + t + " WHERE grp = 1");
  TKVNameAndValueMatchList values = Entry("name", TKVVariant());
  values.push_back({"nosuchfield", std::string("keep?"), mkExactMatch, false});
  EXPECT_TRUE(KVLookupValues(*rs, "id = 12", false, values));
  EXPECT_EQ("N0012", values[0].Value.AsString());
  EXPECT_TRUE(values[1].Value.IsEmpty());
  EXPECT_EQ(ctForwardOnly, rs->Properties().CursorType());

  // The existing clause restricts as well: id 3 is not in group 1.
  values[1].Value = std::string("x");
  rs->SetSQL("SELECT id, name, grp FROM " + t + " WHERE grp = 1");
  EXPECT_FALSE(KVLookupValues(*rs, "id = 3", false, values));
  EXPECT_TRUE(values[0].Value.IsEmpty());
  EXPECT_TRUE(values[1].Value.IsEmpty());
  // Replacing the clause finds it.
  EXPECT_TRUE(KVLookupValues(*rs, "id = 3", true, values));
  EXPECT_EQ("N0003", values[0].Value.AsString());
}

DABRIX_INSTANTIATE_DB_TEST(LocateTest);

TEST(LocateCompareTest, TextAndValueOrder) {
  EXPECT_EQ(crEqual, KVCompareLocateValue(std::string("abc"), std::string("ABC"), false));
  EXPECT_EQ(crLess, KVCompareLocateValue(std::string("ABC"), std::string("abc"), true));
  EXPECT_EQ(crLess, KVCompareLocateValue(std::string("abc"), std::string("ABD"), false));
  EXPECT_EQ(crGreater, KVCompareLocateValue(10, 9.5, false));
  EXPECT_EQ(crEqual, KVCompareLocateValue(TKVVariant::FromInt64(5), 5, false));
  try {
    KVCompareLocateValue(1, TKVVariant::Null(), false);
    ADD_FAILURE() << "Null compared";
  } catch (const EKVException& e) {
    EXPECT_EQ("Unknown Value (3) for \"TKVCompareResult\"", e.Message());
  }
}

}  // namespace
