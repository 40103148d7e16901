#pragma once
// How a field's value goes into a statement parameter: shared by every writer and reader that binds field
// values (the row writers, a recordset's bound re-execution, batched inserts).
#include <sql.h>
#include <sqlext.h>

#include <string>

#include "db/KVOdbcRecordset.h"

// The SQL type named to the driver, the column size and decimal digits. Variable-size types (text, binary)
// name the value's length, at least the column's, when they are bound.
struct TKVParamType {
  SQLSMALLINT SqlType;
  SQLULEN ColumnSize;
  SQLSMALLINT Digits;
  bool Variable;
};

// By the field's data type. Narrow integers go up one size (not every database has TINYINT or unsigned
// types); timestamps name their column's fractional digits (3 to 9), since MariaDB rounds a bound value to
// them. A type outside the enumeration raises EKVException.
TKVParamType KVParamTypeOfField(const TKVOdbcField& field);

// The table column a field writes: its base column name, its name where the driver reports none.
std::string KVColumnNameOfField(const TKVOdbcField& field);

// The SQLite driver describes BLOB columns as text (SQL_CHAR, type name "BLOB"): their values are sent as
// binary (SQL_C_BINARY, SQL_LONGVARBINARY), or a zero byte would end them.
bool KVIsBinaryColumnDescribedAsText(const TKVOdbcField& field);
