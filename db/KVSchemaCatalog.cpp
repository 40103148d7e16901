#include "db/KVSchemaCatalog.h"

#include <sql.h>
#include <sqlext.h>

const char* KVSchemaNullableText(const std::string& nullable) {
  if (nullable == "0") return "Not Null";
  if (nullable == "1") return "Nulls Allowed";
  if (nullable == "2") return "?";
  return "";
}

std::string KVSchemaColumnHint(const std::string& name, const std::string& typeName, const std::string& size,
                               const std::string& nullable) {
  return "Name:\t\t" + name + "\rDatatype:\t" + typeName + "\rDatasize:\t" + size + " Byte(s)\rNullable:\t" +
         KVSchemaNullableText(nullable);
}

std::string KVIdentifierQuote(TKVOdbcConnection& connection) {
  char quote[8] = {0};
  SQLSMALLINT length = 0;
  SQLRETURN rc = SQLGetInfo(connection.OdbcHandle(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length);
  if (KVOdbcSucceeded(rc) && length == 1 && quote[0] != ' ') return std::string(1, quote[0]);
  return "\"";
}

std::string KVSchemaRecordHint(TKVOdbcRecordset& counter, const std::string& quote, const std::string& table) {
  try {
    counter.Close();
    counter.SetSQL("SELECT Count(*) FROM " + KVQuoteIdentifier(table, quote));
    counter.Open();
    std::string hint;
    if (counter.HasCurrentRecord() && counter.FieldCount() > 0 && !counter.Field(0).IsNull())
      hint = table + ": " + counter.Field(0).Value().AsString() + " records";
    counter.Close();
    return hint;
  } catch (const std::exception&) {
    try {
      counter.Close();
    } catch (const std::exception&) {
    }
    return {};
  }
}
