#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "db/KVSqlText.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVExceptions.h"

namespace {

// Message, routine, class and severity of the EKVException `f` raises; "" when it raises nothing.
struct TRaised {
  std::string Message, Routine, ObjectClass;
  TKVSeverity Severity = TKVSeverity::None;
  bool Raised = false;
};

template <class F>
TRaised Raised(F f) {
  TRaised r;
  try {
    f();
  } catch (const EKVException& e) {
    r = {e.Message(), e.GetRoutineName(), e.GetObjectClassName(), e.GetSeverity(), true};
  }
  return r;
}

double Date(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  double v = 0;
  EXPECT_TRUE(KVTryEncodeDateTime({y, m, d, h, n, s, ms}, v));
  return v;
}

const std::string kUnresolved =
    "Failed to prepare the SQL Statement because the following Parameters are unresolved or have no Value "
    "assigned to them: ";

// A property holding `text` whose parameters are set from `values` in order.
struct TSql {
  TKVSqlProperty Property;
  explicit TSql(const std::string& text) { Property.SetText(text); }
  TSql& Set(const std::string& name, const TKVVariant& value, bool literal = false) {
    TKVSqlParameter* p = Property.Parameters().Find(name);
    EXPECT_NE(p, nullptr) << name;
    if (p) {
      p->SetValue(value);
      p->SetLiteral(literal);
    }
    return *this;
  }
  std::string Resolved() const { return Property.ResolvedText(); }
};

// Restores the C locale a test switched.
class TLocaleGuard {
 public:
  TLocaleGuard() : m_Saved(std::setlocale(LC_ALL, nullptr)) {}
  ~TLocaleGuard() { std::setlocale(LC_ALL, m_Saved.c_str()); }

 private:
  std::string m_Saved;
};

// --- Finding parameters -----------------------------------------------------------------------------------

TEST(SqlParametersNames, FirstAppearanceOrderAndCaseInsensitiveDuplicates) {
  EXPECT_EQ(KVSqlParameterNames("SELECT * FROM t WHERE b = :Second AND a = :first OR c = :SECOND AND d = :First"),
            (std::vector<std::string>{"Second", "first"}));
}

TEST(SqlParametersNames, WordBoundariesDigitsUnderscoresAndTextEnd) {
  EXPECT_EQ(KVSqlParameterNames("x=:a+:b*:c-:d"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(KVSqlParameterNames("WHERE (id<>:p_1) AND n>=:Name2;"), (std::vector<std::string>{"p_1", "Name2"}));
  EXPECT_EQ(KVSqlParameterNames("IN(:x,:y)\r\n\t:z"), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(KVSqlParameterNames("WHERE a = :last"), (std::vector<std::string>{"last"}));
  // A lone colon and a colon inside a word start no parameter; two colons in one word make one name.
  EXPECT_EQ(KVSqlParameterNames("a : b, c:d, :"), (std::vector<std::string>{}));
  EXPECT_EQ(KVSqlParameterNames(":a:b"), (std::vector<std::string>{"a:b"}));
  EXPECT_TRUE(KVSqlParameterNames("").empty());
}

TEST(SqlParametersNames, ReferencesCarryTheWordInFrontOfThem) {
  auto refs = KVSqlParameterReferences(":first AND d.MASTER_ID = :ID OR (x<:lim)");
  ASSERT_EQ(refs.size(), 3u);
  EXPECT_EQ(refs[0].Name, "first");
  EXPECT_EQ(refs[0].PrecedingWord, "");
  EXPECT_EQ(refs[0].Position, 0u);
  EXPECT_EQ(refs[1].Name, "ID");
  EXPECT_EQ(refs[1].PrecedingWord, "d.MASTER_ID");
  EXPECT_EQ(refs[2].Name, "lim");
  EXPECT_EQ(refs[2].PrecedingWord, "x");
}

// --- The parameter list -----------------------------------------------------------------------------------

TEST(SqlParametersList, LookupByPositionAndCaseInsensitiveName) {
  TKVSqlParameterList list;
  list.Refresh("WHERE a = :Alpha AND b = :beta");
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(&list.GetParameter(TKVVariant(1)), &list.Item(1));
  EXPECT_EQ(&list.GetParameter(TKVVariant::FromUInt8(0)), &list.Item(0));
  EXPECT_EQ(&list.GetParameter(TKVVariant::FromInt64(1)), &list.Item(1));
  EXPECT_EQ(&list.GetParameter(TKVVariant("ALPHA")), &list.Item(0));
  EXPECT_EQ(&list.GetParameter(TKVVariant(u"Beta")), &list.Item(1));
  EXPECT_EQ(list.IndexOf("BETA"), 1);
  EXPECT_EQ(list.Find("gamma"), nullptr);
  EXPECT_EQ(&list.Add("alpha"), &list.Item(0));
  EXPECT_EQ(list.Count(), 2u);
}

TEST(SqlParametersList, LookupErrors) {
  TKVSqlParameterList list;
  list.Refresh(":a");
  TRaised r = Raised([&] { list.GetParameter(TKVVariant(1.0)); });
  EXPECT_EQ(r.Message, "Unsupported Datatype used for indexing, vartype: 5");
  EXPECT_EQ(r.Routine, "TKVSqlParameterList.GetParameter");
  EXPECT_EQ(r.ObjectClass, "TKVSqlParameterList");
  EXPECT_EQ(r.Severity, TKVSeverity::Error);
  EXPECT_EQ(Raised([&] { list.GetParameter(TKVVariant::Null()); }).Message,
            "Unsupported Datatype used for indexing, vartype: 1");
  EXPECT_EQ(Raised([&] { list.GetParameter(TKVVariant(true)); }).Message,
            "Unsupported Datatype used for indexing, vartype: 11");
  r = Raised([&] { list.GetParameter(TKVVariant("b")); });
  EXPECT_EQ(r.Message, "A parameter with name 'b' doesn't exist");
  EXPECT_EQ(r.Routine, "TKVSqlParameterList.GetParameter");
  EXPECT_TRUE(Raised([&] { list.GetParameter(TKVVariant(1)); }).Raised);
  EXPECT_TRUE(Raised([&] { list.GetParameter(TKVVariant(-1)); }).Raised);
  EXPECT_TRUE(Raised([&] { list.GetParameter(TKVVariant::FromUInt64(UINT64_MAX)); }).Raised);
}

TEST(SqlParametersList, ChangesOfValueOrLiteralFlagNotify) {
  TKVSqlParameterList list;
  list.Refresh(":p");
  std::vector<std::string> seen;
  list.SetOnParameterValueChanged([&](TKVSqlParameter& p) { seen.push_back(p.Name()); });
  TKVSqlParameter& p = list.Item(0);
  EXPECT_FALSE(p.IsAssigned());
  p.SetValue(TKVVariant(0));  // Empty compares equal to 0, but it becomes assigned
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_TRUE(p.IsAssigned());
  p.SetValue(TKVVariant(0));
  EXPECT_EQ(seen.size(), 1u);
  p.SetValue(TKVVariant(1));
  p.SetLiteral(true);
  p.SetLiteral(true);
  p.SetValue(TKVVariant::Null());
  EXPECT_EQ(seen, (std::vector<std::string>{"p", "p", "p", "p"}));
}

TEST(SqlParametersList, RefreshKeepsValuesAndObjectsOfRemainingNames) {
  TKVSqlParameterList list;
  list.Refresh("WHERE a = :a AND b = :b");
  TKVSqlParameter& b = list.Item(1);
  b.SetValue(TKVVariant("kept"));
  b.SetLiteral(true);
  list.Item(0).SetValue(TKVVariant(1));
  int notified = 0;
  list.SetOnParameterValueChanged([&](TKVSqlParameter&) { ++notified; });

  list.Refresh("WHERE c = :c AND b = :B");
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(0).Name(), "c");
  EXPECT_FALSE(list.Item(0).IsAssigned());
  EXPECT_EQ(&list.Item(1), &b);  // the same object: references held by a dialog stay valid
  EXPECT_EQ(b.Name(), "B");
  EXPECT_EQ(b.Value().AsString(), "kept");
  EXPECT_TRUE(b.Literal());
  EXPECT_EQ(notified, 0);

  // A parameter that left the text and comes back starts afresh.
  list.Refresh("WHERE a = :a");
  EXPECT_FALSE(list.Item(0).IsAssigned());
}

// --- The SQL property -------------------------------------------------------------------------------------

TEST(SqlParametersProperty, TextChangesRefreshParametersAndNotify) {
  TKVSqlProperty sql;
  int changes = 0;
  sql.SetOnChange([&] { ++changes; });
  EXPECT_TRUE(sql.SetText("SELECT * FROM t WHERE a = :a"));
  EXPECT_EQ(changes, 1);
  sql.Parameters().Item(0).SetValue(TKVVariant(7));

  // A change of letter case alone is no change.
  EXPECT_FALSE(sql.SetText("select * from T where A = :A"));
  EXPECT_EQ(sql.Text(), "SELECT * FROM t WHERE a = :a");
  EXPECT_EQ(changes, 1);

  EXPECT_TRUE(sql.SetText("SELECT * FROM t WHERE a = :a AND b = :b"));
  EXPECT_EQ(changes, 2);
  ASSERT_EQ(sql.Parameters().Count(), 2u);
  EXPECT_EQ(sql.Parameters().Item(0).Value().AsInt32(), 7);

  sql.SetNotifyChanges(false);
  EXPECT_TRUE(sql.SetText("SELECT 1"));
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(sql.Parameters().Count(), 0u);
}

TEST(SqlParametersProperty, ErrorsNameTheProperty) {
  TKVSqlProperty sql;
  sql.SetText("SELECT * FROM t WHERE a = :a OR a = 'x:y'");
  TRaised r = Raised([&] { sql.PreparedText(); });
  EXPECT_EQ(r.Message, kUnresolved + "y'");
  EXPECT_EQ(r.Routine, "ResolveSQLParamValues");
  EXPECT_EQ(r.ObjectClass, "TKVSqlProperty");
  EXPECT_EQ(r.Severity, TKVSeverity::Error);
}

// --- Resolution -------------------------------------------------------------------------------------------

TEST(SqlTextResolve, NullAndUnassignedBecomeIsNull) {
  EXPECT_EQ(TSql("SELECT * FROM t WHERE a = :p").Set("p", TKVVariant::Null()).Resolved(),
            "SELECT * FROM t WHERE a IS NULL ");
  // Unassigned (Empty) is not unresolved: it reads as NULL.
  EXPECT_EQ(TSql("SELECT * FROM t WHERE a = :p").Resolved(), "SELECT * FROM t WHERE a IS NULL ");
  EXPECT_EQ(TSql("WHERE a<>:p AND b=1").Set("p", TKVVariant::Null()).Resolved(), "WHERE a IS NULL  AND b=1");
  EXPECT_EQ(TSql("WHERE a \r\n\t!= \t:p").Resolved(), "WHERE a IS NULL ");
  // A sign or arithmetic operator in front of the parameter goes as well.
  EXPECT_EQ(TSql("WHERE a = -:p OR b=+:q OR c*:r > 0").Resolved(), "WHERE a IS NULL  OR b IS NULL  OR c IS NULL  > 0");
  // The literal flag does not make a NULL into text.
  EXPECT_EQ(TSql("WHERE a = :p").Set("p", TKVVariant::Null(), true).Resolved(), "WHERE a IS NULL ");
}

TEST(SqlTextResolve, ValuesBecomeLiteralsAtEveryPlace) {
  EXPECT_EQ(TSql("WHERE a = :x OR b = :X").Set("x", TKVVariant(5)).Resolved(), "WHERE a = 5 OR b = 5");
  EXPECT_EQ(TSql("WHERE n = :name").Set("name", TKVVariant("O'Brien")).Resolved(), "WHERE n = 'O''Brien'");
  EXPECT_EQ(TSql("x=:a+:b").Set("a", TKVVariant(1)).Set("b", TKVVariant(2)).Resolved(), "x=1+2");
  EXPECT_EQ(TSql("IN(:p_1,:p2)").Set("p_1", TKVVariant(1)).Set("p2", TKVVariant(-2)).Resolved(), "IN(1,-2)");
  EXPECT_EQ(TSql("WHERE a = :last").Set("last", TKVVariant(1.5)).Resolved(), "WHERE a = 1.5");
  // A literal parameter goes in as typed, quotes and all.
  EXPECT_EQ(TSql("WHERE d = :d").Set("d", TKVVariant("DATE '2020-01-02'"), true).Resolved(),
            "WHERE d = DATE '2020-01-02'");
  EXPECT_EQ(TSql("SELECT :c FROM t").Set("c", TKVVariant("a, b"), true).Resolved(), "SELECT a, b FROM t");
}

TEST(SqlTextResolve, InsertedTextIsNotScannedAgain) {
  // A value holding a colon, or one that looks like a parameter, is never taken for a reference.
  EXPECT_EQ(TSql("WHERE a = :a AND b = :b")
                .Set("a", TKVVariant("10:30"))
                .Set("b", TKVVariant(":a"), true)
                .Resolved(),
            "WHERE a = '10:30' AND b = :a");
  EXPECT_EQ(TSql("WHERE t = :t").Set("t", TKVVariant::FromDateTime(Date(2020, 1, 2, 10, 30))).Resolved(),
            "WHERE t = {ts '2020-01-02 10:30:00.000'}");
}

TEST(SqlTextResolve, ColonsInQuotedTextAreTakenForParameters) {
  // Quoted text is not skipped: the time's minutes read as a parameter named "30'".
  TRaised r = Raised([] { TSql("SELECT * FROM t WHERE t = '10:30'").Resolved(); });
  EXPECT_EQ(r.Message, kUnresolved + "30'");
  EXPECT_EQ(r.Routine, "ResolveSQLParamValues");
  // Nor does a cast's double colon survive.
  EXPECT_EQ(Raised([] { TSql("SELECT a::int FROM t").Resolved(); }).Message, kUnresolved + "int");
}

TEST(SqlTextResolve, UnresolvedNamesAreListedOnce) {
  TKVSqlParameterList none;
  EXPECT_EQ(Raised([&] { KVResolveSQLParamValues("a = :x AND b = :y OR c = :X", none); }).Message,
            kUnresolved + "x, y");
  // Lone colons refer to nothing.
  EXPECT_EQ(KVResolveSQLParamValues("SELECT a : b FROM t WHERE x = :", none), "SELECT a : b FROM t WHERE x = :");
}

TEST(SqlTextResolve, PreparedTextIsTrimmedOfSeparators) {
  TSql sql(" \r\n\tSELECT * FROM t WHERE a = :a;\r\n ;");
  sql.Set("a", TKVVariant(1));
  EXPECT_EQ(sql.Property.PreparedText(), "SELECT * FROM t WHERE a = 1");
  // A trailing NULL parameter leaves nothing dangling either.
  EXPECT_EQ(TSql("DELETE FROM t WHERE a = :a;").Property.PreparedText(), "DELETE FROM t WHERE a IS NULL");
}

// --- Checks and generated text ----------------------------------------------------------------------------

TEST(SqlTextCheck, EmptyTextIsRejected) {
  for (const char* text : {"", " \r\n\t ", "\n"}) {
    TRaised r = Raised([&] { KVCheckPreparedSQLStatement(text, true); });
    EXPECT_EQ(r.Message, "The SQL text of the statement is empty") << "[" << text << "]";
    EXPECT_EQ(r.Routine, "KVCheckSQLNotEmpty");
    EXPECT_EQ(r.Severity, TKVSeverity::Error);
  }
  EXPECT_TRUE(Raised([] { KVCheckSQLNotEmpty(" \t"); }).Raised);
  EXPECT_FALSE(Raised([] { KVCheckSQLNotEmpty(";"); }).Raised);
}

TEST(SqlTextCheck, StatementKindMustMatchTheComponent) {
  const std::string onlySelect = "Only SQL SELECT Statements can be executed with this Component.";
  const std::string onlyModifying = "Only Modifying SQL Statements can be executed with this Component.";
  for (const char* select : {"select * from t", "SELECT(1)", " \r\n Select\ta FROM t", "SELECT;"}) {
    EXPECT_FALSE(Raised([&] { KVCheckPreparedSQLStatement(select, true); }).Raised) << select;
    TRaised r = Raised([&] { KVCheckPreparedSQLStatement(select, false); });
    EXPECT_EQ(r.Message, onlyModifying) << select;
    EXPECT_EQ(r.Routine, "CheckPreparedSQLStatement");
  }
  for (const char* other : {"UPDATE t SET a = 1", "SELECTION", "selectx * from t", "(SELECT 1)", "WITH x AS (SELECT 1) SELECT * FROM x"}) {
    EXPECT_FALSE(Raised([&] { KVCheckPreparedSQLStatement(other, false); }).Raised) << other;
    TRaised r = Raised([&] { KVCheckPreparedSQLStatement(other, true); });
    EXPECT_EQ(r.Message, onlySelect) << other;
    EXPECT_EQ(r.Routine, "CheckPreparedSQLStatement");
  }
}

TEST(SqlTextTable, SelectForATableName) {
  EXPECT_EQ(KVSQLTextForTable("Orders"), "SELECT * FROM \"Orders\"");
  EXPECT_EQ(KVSQLTextForTable("\"Orders\""), "SELECT * FROM \"Orders\"");
  EXPECT_EQ(KVSQLTextForTable("\"dbo\".\"Orders\""), "SELECT * FROM \"dbo\".\"Orders\"");
  EXPECT_EQ(KVSQLTextForTable("Order Lines", "Pos"), "SELECT * FROM \"Order Lines\" ORDER BY Pos ASC;");
}

TEST(SqlTextStoredForm, ControlCharactersMapToHighBytesAndBack) {
  const std::string sql = "SELECT *\r\nFROM t\n\tWHERE a = 'x'";
  const std::string stored = KVSqlToStoredForm(sql);
  EXPECT_EQ(stored, "SELECT *\xFF\xFE" "FROM t\xFE\xFDWHERE a = 'x'");
  EXPECT_EQ(stored.find_first_of("\t\r\n"), std::string::npos);
  EXPECT_EQ(KVSqlFromStoredForm(stored), sql);
  // Non-ASCII text is untouched: UTF-8 never uses these three bytes.
  const std::string umlauts = "WHERE name = 'Müller ÿ €'";
  EXPECT_EQ(KVSqlFromStoredForm(KVSqlToStoredForm(umlauts)), umlauts);
}

// --- Literals ---------------------------------------------------------------------------------------------

TEST(SqlLiteral, NullNumbersAndBooleans) {
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::Null()), "NULL");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromInt8(-8)), "-8");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromUInt8(200)), "200");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromInt16(-300)), "-300");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromUInt16(65535)), "65535");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromInt32(-2147483647 - 1)), "-2147483648");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromUInt32(4294967295u)), "4294967295");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromInt64(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromUInt64(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant(true)), "True");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant(false)), "False");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant(1.5)), "1.5");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromSingle(0.25f)), "0.25");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromCurrency(-125000)), "-12.5");
}

TEST(SqlLiteral, NumbersIgnoreTheLocale) {
  TLocaleGuard guard;
  if (!std::setlocale(LC_ALL, "de_DE.utf8") && !std::setlocale(LC_ALL, "de_DE.UTF-8"))
    GTEST_SKIP() << "no German locale installed";
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant(1.5)), "1.5");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromSingle(-2.75f)), "-2.75");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromCurrency(15000)), "1.5");
  EXPECT_EQ(TSql("WHERE a = :a").Set("a", TKVVariant(1.5)).Resolved(), "WHERE a = 1.5");
}

TEST(SqlLiteral, DatesWithAndWithoutFormat) {
  const TKVVariant moment = TKVVariant::FromDateTime(Date(2020, 1, 2, 3, 4, 5, 60));
  EXPECT_EQ(KVValueAsSQLLiteral(moment), "{ts '2020-01-02 03:04:05.060'}");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant::FromDateTime(Date(2020, 1, 2))), "{ts '2020-01-02 00:00:00.000'}");
  EXPECT_EQ(KVValueAsSQLLiteral(moment, '\'', "'yyyy-mm-dd hh:nn:ss'"), "'2020-01-02 03:04:05'");
  EXPECT_EQ(KVValueAsSQLLiteral(moment, '\'', "{\"ts\" 'YYYY-MM-DD HH:NN:SS.zzz'}"), "{ts '2020-01-02 03:04:05.060'}");
  EXPECT_EQ(KVValueAsSQLLiteral(moment, '\'', "d.m.yy h:n:s z"), "2.1.20 3:4:5 60");
  EXPECT_EQ(KVFormatDateTimePattern(Date(987, 11, 30, 23, 59, 58), "yyyy/mm/dd hh-nn-ss \"unclosed"),
            "0987/11/30 23-59-58 unclosed");
  EXPECT_TRUE(Raised([] { KVFormatDateTimePattern(1e9, "yyyy"); }).Raised);
}

TEST(SqlLiteral, StringsAreQuotedUnlessTheyAreGuids) {
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant("it's")), "'it''s'");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant("''")), "''''''");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant("")), "''");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant(u"Grüße")), "'Grüße'");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant("say \"hi\" it's"), '"'), "\"say \"\"hi\"\" it's\"");
  for (const char* guid : {"{6F9619FF-8B86-D011-B42D-00C04FC964FF}", "6f9619ff-8b86-d011-b42d-00c04fc964ff",
                           "'{6F9619FF-8B86-D011-B42D-00C04FC964FF}'", " (6F9619FF-8B86-D011-B42D-00C04FC964FF) "})
    EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant(guid)), guid);
  // Almost a GUID is an ordinary string.
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant("6F9619FF-8B86-D011-B42D-00C04FC964F")),
            "'6F9619FF-8B86-D011-B42D-00C04FC964F'");
  EXPECT_EQ(KVValueAsSQLLiteral(TKVVariant("{}")), "'{}'");
}

TEST(SqlLiteral, OtherTypesAreRefused) {
  for (const TKVVariant& v : {TKVVariant(), TKVVariant::FromBytes({1, 2})}) {
    TRaised r = Raised([&] { KVValueAsSQLLiteral(v); });
    EXPECT_EQ(r.Message, "Variant Type Cannot be converted to SQL Literal");
    EXPECT_EQ(r.Routine, "ValueAsSQLLiteral");
    EXPECT_EQ(r.Severity, TKVSeverity::Error);
  }
  // A byte array given as a parameter value fails the preparation the same way.
  EXPECT_EQ(Raised([] { TSql("WHERE b = :b").Set("b", TKVVariant::FromBytes({1})).Resolved(); }).Message,
            "Variant Type Cannot be converted to SQL Literal");
}

// --- Partitioning -----------------------------------------------------------------------------------------

using C = TKVSqlClause;

TEST(PartitionerRead, EveryClauseOfAFullStatement) {
  const TKVSQLStatmentPartitioner p(
      "select a, LEFT(b, 2) AS l\r\nfrom t LEFT OUTER JOIN u ON t.id = u.id inner join v on v.x = t.x\n"
      "where a > 1 group \t BY a HAVING COUNT(*) > 1 Order\r\nBy a DESC for update of a;\r\n");
  EXPECT_EQ(p.Clause(C::SelectList), "a, LEFT(b, 2) AS l");
  EXPECT_EQ(p.Clause(C::From), "t LEFT OUTER JOIN u ON t.id = u.id inner join v on v.x = t.x");
  EXPECT_EQ(p.Clause(C::Where), "a > 1");
  EXPECT_EQ(p.Clause(C::GroupBy), "a");
  EXPECT_EQ(p.Clause(C::Having), "COUNT(*) > 1");
  EXPECT_EQ(p.Clause(C::OrderBy), "a DESC");
  EXPECT_EQ(p.Clause(C::ForUpdateOf), "a");
  EXPECT_EQ(p.StatementName(), "t LEFT OUTER JOIN u ON t.id = u.id inner join v on v.x = t.x");
}

TEST(PartitionerRead, KeywordsOnlyAsWholeWordsOutsideQuotesAndParentheses) {
  const TKVSQLStatmentPartitioner p(
      "SELECT FROMAGE, ORDER_BY, t.from, \"WHERE\", 'x from y' FROM Fromage_Order "
      "WHERE name <> 'a where b' AND id IN (SELECT id FROM u WHERE k = 1 ORDER BY k) ORDER BY GROUP_BY");
  EXPECT_EQ(p.Clause(C::SelectList), "FROMAGE, ORDER_BY, t.from, \"WHERE\", 'x from y'");
  EXPECT_EQ(p.Clause(C::From), "Fromage_Order");
  EXPECT_EQ(p.Clause(C::Where), "name <> 'a where b' AND id IN (SELECT id FROM u WHERE k = 1 ORDER BY k)");
  EXPECT_FALSE(p.HasClause(C::GroupBy));
  EXPECT_EQ(p.Clause(C::OrderBy), "GROUP_BY");
  // ORDER and BY must be neighbours.
  EXPECT_FALSE(TKVSQLStatmentPartitioner("SELECT a FROM t ORDER, BY").HasClause(C::OrderBy));
}

TEST(PartitionerRead, AbsentClausesAndOtherStatements) {
  const TKVSQLStatmentPartitioner p("SELECT * FROM  Orders ;");
  EXPECT_EQ(p.StatementName(), "Orders");
  EXPECT_FALSE(p.HasClause(C::Where));
  EXPECT_EQ(p.Clause(C::Where), "");
  EXPECT_EQ(TKVSQLStatmentPartitioner("DELETE FROM t WHERE a = 1").Clause(C::Where), "a = 1");
  EXPECT_EQ(TKVSQLStatmentPartitioner("UPDATE t SET a = 1 WHERE b = 2").Clause(C::SelectList), "t SET a = 1");
  EXPECT_EQ(TKVSQLStatmentPartitioner("").StatementName(), "");
  EXPECT_EQ(TKVSQLStatmentPartitioner("SELECT 1").Clause(C::SelectList), "1");
}

TEST(PartitionerReplace, ReplacedClausesTakeTheirLineForms) {
  TKVSQLStatmentPartitioner p("SELECT a FROM t WHERE x = 1 ORDER BY a");
  EXPECT_TRUE(p.SetClause(C::SelectList, "*"));
  EXPECT_EQ(p.Text(), "SELECT *\r\nFROM t WHERE x = 1 ORDER BY a");
  EXPECT_TRUE(p.SetClause(C::Where, " y = 2 "));
  EXPECT_EQ(p.Text(), "SELECT *\r\nFROM t\r\nWHERE y = 2\r\nORDER BY a");
  EXPECT_TRUE(p.SetClause(C::OrderBy, "b"));
  EXPECT_EQ(p.Text(), "SELECT *\r\nFROM t\r\nWHERE y = 2\r\nORDER BY b\r\n");
  // Replacing again does not pile up line breaks.
  EXPECT_TRUE(p.SetClause(C::Where, "z = 3"));
  EXPECT_TRUE(p.SetClause(C::Where, "y = 2"));
  EXPECT_TRUE(p.SetClause(C::OrderBy, "a"));
  EXPECT_TRUE(p.SetClause(C::OrderBy, "b"));
  EXPECT_EQ(p.Text(), "SELECT *\r\nFROM t\r\nWHERE y = 2\r\nORDER BY b\r\n");
  // The same text again is no change, but a change of letter case is.
  EXPECT_FALSE(p.SetClause(C::Where, "y = 2"));
  EXPECT_TRUE(p.SetClause(C::Where, "Y = 2"));
}

TEST(PartitionerReplace, AbsentClauseGoesInFrontOfTheFirstLaterOne) {
  TKVSQLStatmentPartitioner p("SELECT * FROM t ORDER BY a");
  p.SetClause(C::Where, "x = 1");
  EXPECT_EQ(p.Text(), "SELECT * FROM t\r\nWHERE x = 1\r\nORDER BY a");

  TKVSQLStatmentPartitioner q("SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) > 1 ORDER BY a");
  q.SetClause(C::Where, "x = 1");
  EXPECT_EQ(q.Text(), "SELECT a, COUNT(*) FROM t\r\nWHERE x = 1\r\nGROUP BY a HAVING COUNT(*) > 1 ORDER BY a");
  q.SetClause(C::ForUpdateOf, "a");
  EXPECT_EQ(q.Clause(C::OrderBy), "a");
  EXPECT_EQ(q.Clause(C::ForUpdateOf), "a");

  TKVSQLStatmentPartitioner r("SELECT * FROM t;\r\n");
  r.SetClause(C::Where, "x = 1");
  EXPECT_EQ(r.Text(), "SELECT * FROM t\r\nWHERE x = 1\r\n;\r\n");

  TKVSQLStatmentPartitioner empty;
  empty.SetClause(C::From, "t");
  empty.SetClause(C::SelectList, "*");
  EXPECT_EQ(empty.Text(), "SELECT *\r\nFROM t\r\n");
  // Nor does a select list run into text in front of it.
  TKVSQLStatmentPartitioner junk("x");
  junk.SetClause(C::SelectList, "*");
  EXPECT_EQ(junk.Text(), "x SELECT *\r\n");
  EXPECT_EQ(junk.Clause(C::SelectList), "*");
  EXPECT_EQ(empty.StatementName(), "t");
  EXPECT_EQ(empty.Clause(C::SelectList), "*");
}

TEST(PartitionerReplace, EmptyTextRemovesTheClause) {
  TKVSQLStatmentPartitioner p("SELECT * FROM t WHERE x = 1 GROUP BY a ORDER BY a;");
  EXPECT_TRUE(p.SetClause(C::Where, " \r\n"));
  EXPECT_EQ(p.Text(), "SELECT * FROM t GROUP BY a ORDER BY a;");
  EXPECT_TRUE(p.SetClause(C::OrderBy, ""));
  EXPECT_EQ(p.Text(), "SELECT * FROM t GROUP BY a;");
  EXPECT_FALSE(p.SetClause(C::Having, ""));
  EXPECT_TRUE(p.SetClause(C::GroupBy, ""));
  EXPECT_EQ(p.Text(), "SELECT * FROM t;");
}

TEST(PartitionerReplace, PropertyEditsCompareExactly) {
  TKVSqlProperty sql;
  sql.SetText("SELECT * FROM t WHERE name = 'abc'");
  int changes = 0;
  sql.SetOnChange([&] { ++changes; });
  EXPECT_TRUE(sql.SetClause(C::Where, "name = 'ABC'"));
  EXPECT_EQ(sql.Clause(C::Where), "name = 'ABC'");
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(sql.SetClause(C::Where, "name = 'ABC'"));
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(sql.SetClause(C::Where, "id = :id"));
  EXPECT_EQ(sql.Parameters().Count(), 1u);
  EXPECT_EQ(sql.StatementName(), "t");
}

// --- Filter values in the WHERE clause --------------------------------------------------------------------

TEST(PartitionerFilter, ConditionsAreAppendedInParentheses) {
  EXPECT_EQ(KVWhereClauseWithFilter("", "a", TKVVariant(5)), "(a = 5)");
  EXPECT_EQ(KVWhereClauseWithFilter("  ", "a", TKVVariant::Null()), "(a IS NULL)");
  EXPECT_EQ(KVWhereClauseWithFilter("", "a", TKVVariant()), "(a IS NULL)");
  EXPECT_EQ(KVWhereClauseWithFilter("x = 1", "a", TKVVariant("it's")), "x = 1 AND (a = 'it''s')");
  // An OR must not swallow the new condition.
  EXPECT_EQ(KVWhereClauseWithFilter("x = 1 OR y = 2", "a", TKVVariant(5)), "(x = 1 OR y = 2) AND (a = 5)");
  EXPECT_EQ(KVWhereClauseWithFilter("(x = 1 OR y = 2)", "a", TKVVariant(5)), "(x = 1 OR y = 2) AND (a = 5)");
}

TEST(PartitionerFilter, AnExistingComparisonIsReplacedInPlace) {
  EXPECT_EQ(KVWhereClauseWithFilter("a = 1 AND b = 2", "B", TKVVariant(3)), "a = 1 AND B = 3");
  EXPECT_EQ(KVWhereClauseWithFilter("(a   <>  'x y''z') AND b = 2", "a", TKVVariant(3)), "(a = 3) AND b = 2");
  EXPECT_EQ(KVWhereClauseWithFilter("(a = 5)", "a", TKVVariant::Null()), "(a IS NULL)");
  EXPECT_EQ(KVWhereClauseWithFilter("(a IS NULL) AND c = 1", "a", TKVVariant(5)), "(a = 5) AND c = 1");
  EXPECT_EQ(KVWhereClauseWithFilter("a is not null", "a", TKVVariant(5)), "a = 5");
  EXPECT_EQ(KVWhereClauseWithFilter("a LIKE 'x%'", "a", TKVVariant("y")), "a = 'y'");
  EXPECT_EQ(KVWhereClauseWithFilter("a=:p", "a", TKVVariant(1)), "a = 1");
  EXPECT_EQ(KVWhereClauseWithFilter("\"My Col\" = 1", "My Col", TKVVariant(2)), "My Col = 2");
}

TEST(PartitionerFilter, OnlyTheFieldItselfCounts) {
  // In a string, inside a longer name, qualified by another table, or not compared: appended instead.
  EXPECT_EQ(KVWhereClauseWithFilter("x = 'a = 1'", "a", TKVVariant(2)), "x = 'a = 1' AND (a = 2)");
  EXPECT_EQ(KVWhereClauseWithFilter("aa = 1 AND a_b = 1", "a", TKVVariant(2)), "aa = 1 AND a_b = 1 AND (a = 2)");
  EXPECT_EQ(KVWhereClauseWithFilter("u.a = 1", "a", TKVVariant(2)), "u.a = 1 AND (a = 2)");
  EXPECT_EQ(KVWhereClauseWithFilter("a BETWEEN 1 AND 3", "a", TKVVariant(2)), "a BETWEEN 1 AND 3 AND (a = 2)");
  EXPECT_EQ(KVWhereClauseWithFilter("x IN (a) AND a = 1", "a", TKVVariant(2)), "x IN (a) AND a = 2");
}

TEST(PartitionerFilter, SetOnAStatementInsertsTheWhereClause) {
  TKVSqlProperty sql;
  sql.SetText("SELECT * FROM t ORDER BY a");
  sql.SetFilterValue("a", TKVVariant(1));
  EXPECT_EQ(sql.Text(), "SELECT * FROM t\r\nWHERE (a = 1)\r\nORDER BY a");
  sql.SetFilterValue("b", TKVVariant("x"));
  sql.SetFilterValue("a", TKVVariant::Null());
  EXPECT_EQ(sql.Clause(C::Where), "(a IS NULL) AND (b = 'x')");
  EXPECT_EQ(sql.Clause(C::OrderBy), "a");
}

// --- ORDER BY ---------------------------------------------------------------------------------------------

TEST(PartitionerOrderBy, PositionAndDirectionOfAField) {
  const std::string clause = "a, b DESC, c Descending; d desc, \"My Col\" ASC, e DES, COALESCE(f, g) DESC";
  EXPECT_EQ(KVOrderByFieldPosition(clause, "a"), 1);
  EXPECT_EQ(KVOrderByFieldPosition(clause, "B"), -2);
  EXPECT_EQ(KVOrderByFieldPosition(clause, "c"), -3);
  EXPECT_EQ(KVOrderByFieldPosition(clause, "d"), -4);
  EXPECT_EQ(KVOrderByFieldPosition(clause, "My Col"), 5);
  EXPECT_EQ(KVOrderByFieldPosition(clause, "\"my col\""), 5);
  EXPECT_EQ(KVOrderByFieldPosition(clause, "e"), 6);  // DES is not DESC
  EXPECT_EQ(KVOrderByFieldPosition(clause, "f"), 0);  // inside the expression
  EXPECT_EQ(KVOrderByFieldPosition(clause, "g"), 0);
  EXPECT_EQ(KVOrderByFieldPosition("", "a"), 0);
  EXPECT_EQ(KVOrderByFieldPosition(", ,a", "a"), 1);
}

TEST(PartitionerOrderBy, SettingASortMovesTheFieldToTheFront) {
  EXPECT_EQ(KVOrderByWithFieldSort("a, b DESC, c", "b", 1), "b ASC, a, c");
  EXPECT_EQ(KVOrderByWithFieldSort("a, b DESC, c", "c", -1), "c DESC, a, b DESC");
  EXPECT_EQ(KVOrderByWithFieldSort("a, b DESC, c", "B", 0), "a, c");
  EXPECT_EQ(KVOrderByWithFieldSort("", "a", -1), "a DESC");
  EXPECT_EQ(KVOrderByWithFieldSort("a;", "a", 0), "");

  TKVSqlProperty sql;
  sql.SetText("SELECT * FROM t WHERE x = 1");
  sql.SetSortDirection("a", -1);
  EXPECT_EQ(sql.SortPosition("a"), -1);
  sql.SetSortDirection("b", 1);
  EXPECT_EQ(sql.Clause(C::OrderBy), "b ASC, a DESC");
  EXPECT_EQ(sql.SortPosition("A"), -2);
  sql.SetSortDirection("a", 0);
  sql.SetSortDirection("b", 0);
  EXPECT_FALSE(TKVSQLStatmentPartitioner(sql.Text()).HasClause(C::OrderBy));
  EXPECT_EQ(sql.Text(), "SELECT * FROM t WHERE x = 1");
}

// --- Robustness -------------------------------------------------------------------------------------------

TEST(SqlTextRobustness, ArbitraryTextNeverCrashesOrHangs) {
  // Fragments that stress the scanners: unbalanced quotes and parentheses, colons, keywords and operators.
  const std::vector<std::string> pieces = {
      "SELECT", "FROM", "WHERE", "GROUP", "BY", "ORDER", "HAVING", "FOR", "UPDATE", "OF", "JOIN", "OR",
      " ", "\r\n", "\t", ",", ";", "(", ")", "'", "\"", "`", "[", "]", "{", "}", ":", "::", ":p", ":q",
      "=", "<>", "!", "*", "+", "-", "a", "b", "IS", "NOT", "NULL", "LIKE", "DESC", "ASC", "10:30", "\xFF"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    TKVSqlProperty sql;
    sql.SetText(text);
    for (size_t i = 0; i < sql.Parameters().Count(); ++i)
      sql.Parameters().Item(i).SetValue(rng() % 2 ? TKVVariant("x'y") : TKVVariant::Null());
    try {
      sql.PreparedText();
    } catch (const EKVException&) {
    }
    for (int c = 0; c <= static_cast<int>(C::ForUpdateOf); ++c) {
      TKVSQLStatmentPartitioner p(text);
      p.Clause(static_cast<C>(c));
      p.SetClause(static_cast<C>(c), rng() % 3 ? "x" : "");
      p.SetClause(static_cast<C>(c), "y");
      // Text with an open quote or parenthesis may swallow what is appended to it.
      if (text.find_first_of("()'\"`") == std::string::npos) {
        EXPECT_EQ(p.Clause(static_cast<C>(c)), "y") << "[" << text << "] clause " << c;
      }
    }
    KVWhereClauseWithFilter(text, "a", TKVVariant(1));
    KVOrderByFieldPosition(text, "a");
    KVOrderByWithFieldSort(text, "a", -1);
    try {
      KVCheckPreparedSQLStatement(text, true);
    } catch (const EKVException&) {
    }
  }
}

}  // namespace
