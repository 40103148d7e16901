#include "db/KVOdbcLocate.h"

#include <string_view>

#include "foundation/KVActivate.h"
#include "foundation/KVConvert.h"
#include "foundation/KVText.h"

namespace {

// Whether `name` is one of the words of `item`.
bool ItemNamesField(std::string_view item, std::string_view name) {
  constexpr std::string_view kDelimiters = ",;() \t\n\r";
  size_t i = 0;
  while (i < item.size()) {
    while (i < item.size() && KVIsOneOf(item[i], kDelimiters)) ++i;
    size_t start = i;
    while (i < item.size() && !KVIsOneOf(item[i], kDelimiters)) ++i;
    if (i > start && KVSameText(KVTrim(item.substr(start, i - start), "\"'`[]"), name)) return true;
  }
  return false;
}

std::string TextOf(const TKVVariant& v) {
  return v.VarType() == varOleStr ? KVUtf16ToUtf8(v.AsWideString()) : v.AsString();
}

// Compares every entry against the current record, stopping at the first that is not equal.
TKVCompareResult CompareRecord(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values) {
  for (const TKVNameAndValueMatchObj& entry : values) {
    TKVCompareResult r =
        KVCompareLocateValue(entry.Value, rs.FieldByName(entry.FieldName).Value(), entry.MatchCase, &rs);
    if (r != crEqual) return r;
  }
  return crEqual;
}

void MoveTo(TKVOdbcRecordsetBase& rs, int32_t position) {
  if (rs.Position() != position || !rs.HasCurrentRecord()) rs.FetchAbsolute(position);
}

void CheckScrollable(TKVOdbcRecordsetBase& rs) {
  rs.CheckActive("Locate Method");
  if (!rs.Scrollable())
    throw EKVException("Locating a record needs a scrollable cursor; the recordset is forward only", &rs,
                       "CheckLoacteValues");
}

}  // namespace

const char* KVMatchKindCaption(int kind) { return kind == mkExactMatch ? "Exact Match" : "Closest Match"; }

TKVCompareResult KVCompareLocateValue(const TKVVariant& searched, const TKVVariant& recordValue, bool matchCase,
                                      const TKVRefLifeObject* object) {
  if (searched.IsString() && recordValue.IsString()) {
    std::string a = TextOf(searched), b = TextOf(recordValue);
    int c = matchCase ? a.compare(b) : KVCompareText(a, b);
    return c < 0 ? crLess : c == 0 ? crEqual : crGreater;
  }
  switch (TKVVariant::Compare(searched, recordValue)) {
    case TKVVariantRelation::LessThan: return crLess;
    case TKVVariantRelation::Equal: return crEqual;
    case TKVVariantRelation::GreaterThan: return crGreater;
    case TKVVariantRelation::NotEqual: break;
  }
  KVRaiseUnknownValue(3, "TKVCompareResult", object, "PositionOfNearestValues");
}

void KVCheckLocateValues(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values) {
  if (values.empty()) throw EKVException("No Values passed to Locate", &rs, "CheckLoacteValues");
  std::string orderBy = rs.Sql().Clause(TKVSqlClause::OrderBy);
  std::vector<std::string_view> items;
  std::string_view rest = orderBy;
  while (true) {
    size_t cut = rest.find_first_of(",;");
    items.push_back(KVTrim(rest.substr(0, cut), "\"'[]` \t\r\n,;"));
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  for (size_t i = 0; i < values.size(); ++i)
    if (i >= items.size() || !ItemNamesField(items[i], values[i].FieldName))
      throw EKVException("The Recordset is not sorted by Field: '" + values[i].FieldName + "'", &rs,
                         "CheckLoacteValues");
}

int32_t KVPositionOfNearestValues(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values) {
  int32_t lo = 1, hi = rs.RecordCount();
  if (hi <= 0) return 0;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    MoveTo(rs, mid);
    switch (CompareRecord(rs, values)) {
      case crEqual: return mid;
      case crLess: hi = mid; break;
      case crGreater:
        if (lo == mid) return hi;
        lo = mid;
        break;
    }
  }
  return lo;
}

bool KVLocateResult(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values, int32_t position) {
  if (position < 1) return false;
  MoveTo(rs, position);
  if (!rs.HasCurrentRecord()) return false;
  for (const TKVNameAndValueMatchObj& entry : values) {
    if (entry.MatchKind != mkExactMatch) continue;
    TKVVariant value = rs.FieldByName(entry.FieldName).Value();
    // Verification asks only "equal?": a NULL or NaN is simply not equal here.
    if (entry.Value.IsString() && value.IsString()) {
      if (KVCompareLocateValue(entry.Value, value, entry.MatchCase, &rs) != crEqual) return false;
    } else if (TKVVariant::Compare(entry.Value, value) != TKVVariantRelation::Equal) {
      return false;
    }
  }
  return true;
}

namespace {

// Runs a search with the views detached and the user's state saved; returns the position found or -1.
// `stay` keeps the cursor on a record found.
int32_t Search(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values, bool stay) {
  CheckScrollable(rs);
  KVCheckLocateValues(rs, values);
  rs.LeaveModifyingState();
  TKVDetachedViews detached(rs);
  TKVOdbcRecordsetState saved = rs.SaveState();
  try {
    rs.RecordCount();
    int32_t position = KVPositionOfNearestValues(rs, values);
    bool found = KVLocateResult(rs, values, position);
    if (found && stay) {
      MoveTo(rs, position);
      return position;
    }
    rs.RestoreState(saved);
    return found ? position : -1;
  } catch (...) {
    rs.RestoreState(saved);
    throw;
  }
}

}  // namespace

bool KVLocateValues(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values) {
  if (Search(rs, values, true) <= 0) return false;
  // The search moved with the views detached: they (and detail recordsets) learn of the record found now.
  rs.NotifyMoved();
  return true;
}

int32_t KVPositionOfValues(TKVOdbcRecordsetBase& rs, const TKVNameAndValueMatchList& values) {
  return Search(rs, values, false);
}

bool KVLookupValues(TKVOdbcRecordsetBase& rs, const std::string& condition, bool replaceWhere,
                    TKVNameAndValueMatchList& values) {
  if (rs.Active()) rs.Close();
  rs.PerformOperation(roSetSimplestConfiguration);
  std::string where = rs.Sql().Clause(TKVSqlClause::Where);
  if (replaceWhere || where.empty())
    rs.Sql().SetClause(TKVSqlClause::Where, condition);
  else
    rs.Sql().SetClause(TKVSqlClause::Where, "(" + where + ") AND (" + condition + ")");
  rs.Open();
  bool found = rs.HasCurrentRecord();
  for (TKVNameAndValueMatchObj& entry : values) {
    TKVOdbcField* field = found ? rs.FindField(entry.FieldName) : nullptr;
    entry.Value = field ? field->Value() : TKVVariant();
  }
  return found;
}
