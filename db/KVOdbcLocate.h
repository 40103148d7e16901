#pragma once
// Finding a record of a recordset by field values (the data grid's record search), and looking values up
// by a condition.
//
// Locating is a bisection over the cursor positions, so the recordset must be scrollable and its SQL text
// ordered by the fields searched for, ascending, in the order of the entries (CheckLoacteValues verifies
// the ORDER BY clause; the direction is not checked, and a DESC item is searched as if ascending).
//
// Text comparison: two text values compare by their UTF-8 bytes, with the ASCII letters folded to upper
// case unless the entry asks for "Match case" (KVCompareText / byte order). This is the same on every
// machine whatever its locale; a database that sorts by a language's collation (accents, other alphabets'
// cases) may order some text differently, and a search for such text can then miss.
#include <cstdint>
#include <string>
#include <vector>

#include "db/KVOdbcRecordset.h"
#include "foundation/KVVariant.h"

enum TKVMatchKind : uint8_t { mkExactMatch = 0, mkClosestMatch = 1 };
// "Exact Match" for 0, "Closest Match" otherwise.
const char* KVMatchKindCaption(int kind);

// One entry of a locate request or of a lookup: a field name, a value, how it must match.
struct TKVNameAndValueMatchObj {
  std::string FieldName;
  TKVVariant Value;
  TKVMatchKind MatchKind = mkExactMatch;
  bool MatchCase = false;
};
using TKVNameAndValueMatchList = std::vector<TKVNameAndValueMatchObj>;

// The value searched for against the record's value: 0 less, 1 equal, 2 greater.
enum TKVCompareResult : uint8_t { crLess = 0, crEqual = 1, crGreater = 2 };

// Compares as described above: strings (of either kind) as text; anything else by the variant comparison.
// A pair the variant comparison cannot order (Null against a value, NaN) raises EKVException.
TKVCompareResult KVCompareLocateValue(const TKVVariant& searched, const TKVVariant& recordValue, bool matchCase,
                                      const TKVRefLifeObject* object = nullptr);

// The request check: raises EKVException for an empty list, and unless the i-th entry's field occurs as a
// whole word (case-insensitive; words end at ",;() \t\n\r"; quotes and brackets around a name do not
// count) in the i-th item of the ORDER BY clause.
void KVCheckLocateValues(TKVOdbcRecordsetBase& recordset, const TKVNameAndValueMatchList& values);

// The position whose record is nearest to the values ("PositionOfNearestValues"), by bisection over
// 1..record count; moves the cursor. 0 for an empty recordset. No check, no state restore.
int32_t KVPositionOfNearestValues(TKVOdbcRecordsetBase& recordset, const TKVNameAndValueMatchList& values);

// Whether the record at `position` equals every "Exact Match" entry ("LocateResult"); moves the cursor.
bool KVLocateResult(TKVOdbcRecordsetBase& recordset, const TKVNameAndValueMatchList& values, int32_t position);

// Checks, searches and stays on the record found (true), then tells the views of the move; restores the user's position and field values when
// nothing was found (false) or an error is raised. Views are detached during the search. A request whose
// entries are all "Closest Match" finds the nearest record of any non-empty recordset.
bool KVLocateValues(TKVOdbcRecordsetBase& recordset, const TKVNameAndValueMatchList& values);
// As KVLocateValues, but always restores the state: the position found, or -1.
int32_t KVPositionOfValues(TKVOdbcRecordsetBase& recordset, const TKVNameAndValueMatchList& values);

// Lookup by condition ("KVLookupValues"): closes the recordset when open, sets the simplest configuration
// (forward only, read only: operation 9), sets the WHERE clause to `condition` (with `replaceWhere`, or when
// there is none) or to "(existing) AND (condition)", and opens it. With a record, every entry's Value
// becomes the value of the field of its name (Empty when there is no such field) and the result is true;
// without one every Value becomes Empty and the result is false. The entries' match settings are ignored.
bool KVLookupValues(TKVOdbcRecordsetBase& recordset, const std::string& condition, bool replaceWhere,
                    TKVNameAndValueMatchList& values);
