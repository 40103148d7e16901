#pragma once
// The texts the schema tree shows for catalog entries, shared by the schema pages and the command-line
// schema listing: the record count of a table and the description of a column.
#include <string>

#include "db/KVOdbcConnection.h"
#include "db/KVOdbcRecordset.h"
#include "db/KVOdbcRowWriter.h"  // KVQuoteIdentifier

// NULLABLE of SQLColumns / SQLProcedureColumns as text: "0" "Not Null", "1" "Nulls Allowed", "2" "?",
// anything else "".
const char* KVSchemaNullableText(const std::string& nullable);

// "Name:\t\t%s\rDatatype:\t%s\rDatasize:\t%s Byte(s)\rNullable:\t%s" with the NULLABLE value as text.
std::string KVSchemaColumnHint(const std::string& name, const std::string& typeName, const std::string& size,
                               const std::string& nullable);

// The quote the data source encloses identifiers in: the driver's SQL_IDENTIFIER_QUOTE_CHAR when it names
// one character (MariaDB's "`" — it reads "name" as a string), else the standard double quote.
std::string KVIdentifierQuote(TKVOdbcConnection& connection);

// "%s: %d records" for `table`, counted with SELECT Count(*) on `counter` (a recordset on the data
// source's connection); "" when the count fails or is NULL (views over missing tables, no rights), which
// is not an error for the tree.
std::string KVSchemaRecordHint(TKVOdbcRecordset& counter, const std::string& quote, const std::string& table);
