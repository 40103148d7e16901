#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "db/KVConnectionString.h"

namespace {

// "name=value" of every entry, values unbraced, for compact comparisons.
std::vector<std::string> Entries(const TKVConnectionStringParser& p) {
  std::vector<std::string> out;
  for (size_t i = 0; i < p.Count(); ++i) out.push_back(p.NameAt(i) + "=" + p.ValueAt(i));
  return out;
}

TEST(ConnectionStringParse, ItemsAreTrimmedAndEmptyItemsSkipped) {
  TKVConnectionStringParser p(" DSN = Sales ;; \r\n\t;PWD=secret;UID =  me\t;");
  EXPECT_EQ(Entries(p), (std::vector<std::string>{"DSN=Sales", "PWD=secret", "UID=me"}));
  EXPECT_EQ(p.Text(), "DSN=Sales;PWD=secret;UID=me");
  EXPECT_EQ(Entries(TKVConnectionStringParser("DSN=x;;PWD=y")), (std::vector<std::string>{"DSN=x", "PWD=y"}));
  EXPECT_EQ(TKVConnectionStringParser("").Count(), 0u);
  EXPECT_EQ(TKVConnectionStringParser(" ; ;\r\n").Count(), 0u);
}

TEST(ConnectionStringParse, NameEndsAtTheFirstEqualsSign) {
  TKVConnectionStringParser p("Opts=a=b==c;Flag;=orphan");
  EXPECT_EQ(Entries(p), (std::vector<std::string>{"Opts=a=b==c", "Flag=", "=orphan"}));
  EXPECT_EQ(p.Value("opts"), "a=b==c");
  EXPECT_TRUE(p.Contains("FLAG"));
  EXPECT_EQ(p.Value("Flag", "default"), "");
}

TEST(ConnectionStringParse, LookupIsCaseInsensitiveWithDefault) {
  const TKVConnectionStringParser p("Dsn=One;UID=u;dsn=Two");
  EXPECT_EQ(p.Value("DSN"), "One");  // the first occurrence counts, as drivers read it
  EXPECT_EQ(p.Value("uid"), "u");
  EXPECT_EQ(p.Value("PWD", "none"), "none");
  EXPECT_EQ(p.Value("PWD"), "");
  EXPECT_FALSE(p.Contains("PW"));
}

TEST(ConnectionStringParse, BracedValuesKeepTheirSeparators) {
  TKVConnectionStringParser p("DRIVER={PostgreSQL Unicode};PWD= {a;b}}c;=d} ;UID=x");
  EXPECT_EQ(Entries(p), (std::vector<std::string>{"DRIVER=PostgreSQL Unicode", "PWD=a;b}c;=d", "UID=x"}));
  EXPECT_EQ(p.RawValueAt(1), "{a;b}}c;=d}");
  // Untouched entries are written back exactly as they came.
  EXPECT_EQ(p.Text(), "DRIVER={PostgreSQL Unicode};PWD={a;b}}c;=d};UID=x");
}

TEST(ConnectionStringParse, MalformedBracesDoNotSwallowTheRest) {
  // Never closed: the item ends at the next separator.
  TKVConnectionStringParser open("PWD={abc;DSN=x");
  EXPECT_EQ(Entries(open), (std::vector<std::string>{"PWD={abc", "DSN=x"}));
  // Written back, that brace can no longer pair with a later one.
  open.SetValue("UID", "u}");
  EXPECT_EQ(open.Text(), "PWD={{abc};DSN=x;UID=u}");
  EXPECT_EQ(Entries(TKVConnectionStringParser(open.Text())), (std::vector<std::string>{"PWD={abc", "DSN=x", "UID=u}"}));
  // Text after the closing brace: handed on as written.
  TKVConnectionStringParser p("PWD={a;b}x;DSN=y");
  EXPECT_EQ(Entries(p), (std::vector<std::string>{"PWD={a;b}x", "DSN=y"}));
  // A brace that does not open the value is plain text.
  EXPECT_EQ(Entries(TKVConnectionStringParser("PWD=a{b;c}")), (std::vector<std::string>{"PWD=a{b", "c}="}));
  EXPECT_EQ(Entries(TKVConnectionStringParser("PWD={")), (std::vector<std::string>{"PWD={"}));
  EXPECT_EQ(Entries(TKVConnectionStringParser("PWD={}")), (std::vector<std::string>{"PWD="}));
}

TEST(ConnectionStringSet, ReplacedEntryMovesToTheEnd) {
  TKVConnectionStringParser p("DSN=Sales;uid=old;PWD=p;UID=older");
  p.SetValue("UID", "new");
  EXPECT_EQ(p.Text(), "DSN=Sales;PWD=p;UID=new");
  p.SetValue("Port", "5432");
  EXPECT_EQ(p.Text(), "DSN=Sales;PWD=p;UID=new;Port=5432");
  EXPECT_TRUE(p.Remove("dsn"));
  EXPECT_FALSE(p.Remove("dsn"));
  EXPECT_EQ(p.Text(), "PWD=p;UID=new;Port=5432");

  EXPECT_EQ(KVAddOrReplaceValueInConnectionString("DSN=x;UID=a;Timeout=5", "uid", "b"), "DSN=x;Timeout=5;uid=b");
  EXPECT_EQ(KVAddOrReplaceValueInConnectionString("", "PWD", "s"), "PWD=s");
}

TEST(ConnectionStringSet, PasswordsWithSeparatorsAndBracesSurviveTheRoundTrip) {
  for (const std::string password : {"a;b", "{x", "x}", "}}{{;;", " padded ", "p=w", "", "plain"}) {
    const std::string text = KVAddOrReplaceValueInConnectionString("DSN=x;PWD=old", "PWD", password);
    const TKVConnectionStringParser p(text);
    EXPECT_EQ(p.Value("PWD", "missing"), password) << text;
    EXPECT_EQ(p.Value("DSN"), "x") << text;
    EXPECT_EQ(p.Count(), 2u) << text;
  }
  EXPECT_EQ(TKVConnectionStringParser::EncodeValue("a;b}"), "{a;b}}}");
  EXPECT_EQ(TKVConnectionStringParser::EncodeValue("a}b"), "a}b");
  EXPECT_EQ(TKVConnectionStringParser::EncodeValue("\tx"), "{\tx}");
}

TEST(ConnectionStringDataSource, FirstNonEmptyOfTheKnownKeys) {
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DRIVER=x;DSN=Sales;DBQ=/d/f.mdb"), "Sales");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("dsn={My Data}"), "My Data");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DSN=;FILEDSN=/etc/odbc/sales.dsn"), "/etc/odbc/sales.dsn");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DBQ=C:\\Data\\Sales.mdb;DIR=/x/y"), "Sales.mdb");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DBQ=/var/db/shop.sqlite"), "shop.sqlite");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DBQ=plain.db"), "plain.db");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DIR=/srv/csv/sales//;DEFAULTDIR=/a/b"), "sales");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("Dir=C:\\Exports\\Daily\\"), "Daily");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DIR=/;DefaultDir=/home/u/files/"), "files");
  EXPECT_EQ(KVDataSourceNameOfConnectionString("DRIVER=x;SERVER=db"), "");
  EXPECT_EQ(KVDataSourceNameOfConnectionString(""), "");
}

TEST(ConnectionStringRobustness, ArbitraryTextNeverCrashesAndReparsesStably) {
  const std::string alphabet = "ab=;{} \t\r\n";
  std::mt19937 rng(4242);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 30);
    for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    TKVConnectionStringParser p(text);
    // Writing the entries out and reading them again gives the same entries.
    const std::string rebuilt = p.Text();
    EXPECT_EQ(Entries(TKVConnectionStringParser(rebuilt)), Entries(p)) << "[" << text << "]";
    p.SetValue("a", text);
    EXPECT_EQ(TKVConnectionStringParser(p.Text()).Value("A"), text) << "[" << text << "]";
    KVDataSourceNameOfConnectionString(text);
  }
}

}  // namespace
