// The texts of catalog entries against every database: the record count of a table (its name quoted the
// data source's way, quotes inside doubled), a count that fails, and the column description.
#include <gtest/gtest.h>

#include "db/KVOdbcSchemaRecordset.h"
#include "db/KVSchemaCatalog.h"
#include "db/DbTestSupport.h"

namespace {

TEST(SchemaCatalogText, QuotesAndColumnHints) {
  EXPECT_EQ(KVQuoteIdentifier("Odd\"Name", "\""), "\"Odd\"\"Name\"");
  EXPECT_EQ(KVQuoteIdentifier("a`b``", "`"), "`a``b`````");
  EXPECT_EQ(KVQuoteIdentifier("plain", "\""), "\"plain\"");
  EXPECT_EQ(KVSchemaColumnHint("id", "INTEGER", "4", "0"),
            "Name:\t\tid\rDatatype:\tINTEGER\rDatasize:\t4 Byte(s)\rNullable:\tNot Null");
  EXPECT_STREQ(KVSchemaNullableText("1"), "Nulls Allowed");
  EXPECT_STREQ(KVSchemaNullableText("2"), "?");
  EXPECT_STREQ(KVSchemaNullableText(""), "");
  EXPECT_STREQ(KVSchemaNullableText("7"), "");
}

class SchemaCatalog : public dbtest::DbTest {};

TEST_P(SchemaCatalog, RecordHintCountsQuotedNamesAndStaysEmptyOnFailure) {
  std::string quote = KVIdentifierQuote(Conn());
  EXPECT_EQ(quote, ExpectedIdentifierQuote());
  std::string t = Table() + ExpectedIdentifierQuote() + "q";
  std::string quoted = KVQuoteIdentifier(t, quote);
  ExecQuietly("DROP TABLE " + quoted);
  Exec("CREATE TABLE " + quoted + " (id INTEGER)");
  Exec("INSERT INTO " + quoted + " VALUES (1)");
  Exec("INSERT INTO " + quoted + " VALUES (2)");
  auto counter = KVMakeRef<TKVOdbcRecordset>(ConnRef());
  counter->PerformOperation(roSetSimplestConfiguration);
  EXPECT_EQ(KVSchemaRecordHint(*counter, quote, t), t + ": 2 records");
  // A missing table: no hint, no error, and the recordset is usable again.
  EXPECT_EQ(KVSchemaRecordHint(*counter, quote, Table("missing")), "");
  EXPECT_EQ(KVSchemaRecordHint(*counter, quote, t), t + ": 2 records");
  Exec("DROP TABLE " + quoted);
}

DABRIX_INSTANTIATE_DB_TEST(SchemaCatalog);

}  // namespace
