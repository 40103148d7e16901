#include "db/KVSqlText.h"

#include <algorithm>
#include <cstdio>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVGuid.h"
#include "foundation/KVText.h"

namespace {

// Word boundaries of parameter references: besides the separators, the comparison and arithmetic
// operators, so that "a=:p" and ":a+:b" are cut where a reader expects.
constexpr std::string_view kParamDelimiters = ",;() \t\n\r=<>!*+-";
// Word boundaries of clause keywords and statement kinds.
constexpr std::string_view kWordDelimiters = ",;() \t\n\r";

bool IsQuote(char c) { return c == '\'' || c == '"' || c == '`'; }


// Past the quoted section that starts at `i` (a quote character); a doubled quote inside simply closes and
// reopens. An unterminated section runs to the end.
size_t SkipQuoted(std::string_view s, size_t i) {
  const char q = s[i];
  size_t j = s.find(q, i + 1);
  return j == std::string_view::npos ? s.size() : j + 1;
}

size_t FindParamWordEnd(std::string_view s, size_t from) {
  size_t e = s.find_first_of(kParamDelimiters, from);
  return e == std::string_view::npos ? s.size() : e;
}

std::string IntText(long long v) { return std::to_string(v); }

[[noreturn]] void RaiseParameterList(const std::string& message, const TKVRefLifeObject* object) {
  throw EKVException(message, object, "TKVSqlParameterList.GetParameter");
}

}  // namespace

// --- Parameters -------------------------------------------------------------------------------------------

void TKVSqlParameter::SetValue(const TKVVariant& value) {
  const bool changed =
      value.VarType() != m_Value.VarType() || TKVVariant::Compare(value, m_Value) != TKVVariantRelation::Equal;
  m_Value = value;
  if (changed && m_Owner) m_Owner->ValueChanged(*this);
}

void TKVSqlParameter::SetLiteral(bool literal) {
  if (literal == m_Literal) return;
  m_Literal = literal;
  if (m_Owner) m_Owner->ValueChanged(*this);
}

int TKVSqlParameterList::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < m_Items.size(); ++i)
    if (KVSameText(m_Items[i]->Name(), name)) return static_cast<int>(i);
  return -1;
}

TKVSqlParameter* TKVSqlParameterList::Find(std::string_view name) {
  int i = IndexOf(name);
  return i < 0 ? nullptr : m_Items[static_cast<size_t>(i)].get();
}

const TKVSqlParameter* TKVSqlParameterList::Find(std::string_view name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : m_Items[static_cast<size_t>(i)].get();
}

TKVSqlParameter& TKVSqlParameterList::GetParameter(const TKVVariant& index) {
  switch (index.VarType()) {
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64: {
      int64_t i = index.AsInt64();
      if (i < 0 || static_cast<uint64_t>(i) >= m_Items.size())
        RaiseParameterList("List index out of bounds (" + IntText(i) + ")", this);
      return *m_Items[static_cast<size_t>(i)];
    }
    case varUInt64: {
      uint64_t i = index.AsUInt64();
      if (i >= m_Items.size()) RaiseParameterList("List index out of bounds (" + std::to_string(i) + ")", this);
      return *m_Items[static_cast<size_t>(i)];
    }
    case varString:
    case varOleStr: {
      std::string name = index.AsString();
      if (TKVSqlParameter* p = Find(name)) return *p;
      RaiseParameterList("A parameter with name '" + name + "' doesn't exist", this);
    }
    default:
      RaiseParameterList("Unsupported Datatype used for indexing, vartype: " + IntText(index.VarType()), this);
  }
}

TKVSqlParameter& TKVSqlParameterList::Add(std::string_view name) {
  if (TKVSqlParameter* p = Find(name)) return *p;
  m_Items.push_back(std::unique_ptr<TKVSqlParameter>(new TKVSqlParameter(this, std::string(name))));
  return *m_Items.back();
}

void TKVSqlParameterList::Refresh(std::string_view sqlText) {
  std::vector<std::unique_ptr<TKVSqlParameter>> old;
  old.swap(m_Items);
  for (std::string& name : KVSqlParameterNames(sqlText)) {
    auto it = std::find_if(old.begin(), old.end(), [&](const auto& p) { return p && KVSameText(p->Name(), name); });
    if (it != old.end()) {
      (*it)->m_Name = std::move(name);
      m_Items.push_back(std::move(*it));
    } else {
      m_Items.push_back(std::unique_ptr<TKVSqlParameter>(new TKVSqlParameter(this, std::move(name))));
    }
  }
}

std::vector<TKVSqlParameterReference> KVSqlParameterReferences(std::string_view sqlText) {
  std::vector<TKVSqlParameterReference> refs;
  std::string_view previousWord;
  size_t i = 0;
  while (i < sqlText.size()) {
    if (KVIsOneOf(sqlText[i], kParamDelimiters)) {
      ++i;
      continue;
    }
    size_t end = FindParamWordEnd(sqlText, i);
    std::string_view word = sqlText.substr(i, end - i);
    if (word.size() > 1 && word[0] == ':')
      refs.push_back({std::string(word.substr(1)), std::string(previousWord), i});
    previousWord = word;
    i = end;
  }
  return refs;
}

std::vector<std::string> KVSqlParameterNames(std::string_view sqlText) {
  std::vector<std::string> names;
  for (TKVSqlParameterReference& ref : KVSqlParameterReferences(sqlText)) {
    bool known = std::any_of(names.begin(), names.end(), [&](const std::string& n) { return KVSameText(n, ref.Name); });
    if (!known) names.push_back(std::move(ref.Name));
  }
  return names;
}

std::string KVResolveSQLParamValues(std::string_view sqlText, const TKVSqlParameterList& params,
                                    const TKVRefLifeObject* object) {
  std::string text(sqlText);
  std::vector<std::string> unresolved;
  size_t pos = 0;
  while ((pos = text.find(':', pos)) != std::string::npos) {
    const size_t wordEnd = FindParamWordEnd(text, pos + 1);
    const std::string name(KVTrim(std::string_view(text).substr(pos, wordEnd - pos), ":,;() \t\n\r"));
    if (name.empty()) {  // a lone colon refers to nothing
      pos = wordEnd;
      continue;
    }
    const TKVSqlParameter* param = params.Find(name);
    if (!param) {
      bool listed = std::any_of(unresolved.begin(), unresolved.end(),
                                [&](const std::string& n) { return KVSameText(n, name); });
      if (!listed) unresolved.push_back(name);
      pos = wordEnd;
      continue;
    }
    text.erase(pos, wordEnd - pos);
    std::string insert;
    if (param->Value().IsEmptyOrNull()) {
      size_t from = pos;
      while (from > 0 && KVIsOneOf(text[from - 1], "=<>!*+- \t\n\r")) --from;
      text.erase(from, pos - from);
      pos = from;
      insert = " IS NULL ";
    } else if (param->Literal()) {
      insert = param->Value().AsString();
    } else {
      insert = KVValueAsSQLLiteral(param->Value(), '\'');
    }
    text.insert(pos, insert);
    pos += insert.size();
  }
  if (!unresolved.empty()) {
    std::string message =
        "Failed to prepare the SQL Statement because the following Parameters are unresolved or have no Value "
        "assigned to them: ";
    for (size_t i = 0; i < unresolved.size(); ++i) message += (i ? ", " : "") + unresolved[i];
    throw EKVException(message, object, "ResolveSQLParamValues");
  }
  return text;
}

// --- Literals ---------------------------------------------------------------------------------------------

namespace {

std::string Padded(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

bool IsGuidText(std::string_view text) {
  std::string_view core = KVTrim(text, " \t\n\r(){}[]'\"");
  if (core.empty()) return false;
  std::string braced = "{" + std::string(core) + "}";
  return TGUID::TryParse(braced).has_value();
}

}  // namespace

std::string KVFormatDateTimePattern(double value, std::string_view pattern) {
  const TKVDateTimeParts t = KVDecodeDateTime(value);
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '"') {
      size_t close = pattern.find('"', i + 1);
      if (close == std::string_view::npos) close = pattern.size();
      out.append(pattern.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    const char lower = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!KVIsOneOf(lower, "ymdhnsz")) {
      out += c;
      ++i;
      continue;
    }
    size_t run = 1;
    while (i + run < pattern.size() && (pattern[i + run] | 0x20) == lower) ++run;
    const bool full = run >= 2;
    switch (lower) {
      case 'y': out += run >= 3 ? Padded(t.Year, 4) : Padded(t.Year % 100, 2); break;
      case 'm': out += Padded(t.Month, full ? 2 : 1); break;
      case 'd': out += Padded(t.Day, full ? 2 : 1); break;
      case 'h': out += Padded(t.Hour, full ? 2 : 1); break;
      case 'n': out += Padded(t.Minute, full ? 2 : 1); break;
      case 's': out += Padded(t.Second, full ? 2 : 1); break;
      case 'z': out += Padded(t.Millisecond, run >= 3 ? 3 : 1); break;
    }
    i += run;
  }
  return out;
}

std::string KVValueAsSQLLiteral(const TKVVariant& value, char quote, std::string_view dateTimeFormat) {
  switch (value.VarType()) {
    case varNull:
      return "NULL";
    case varSmallint:
    case varInteger:
    case varShortInt:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
    case varUInt64:
    case varBoolean:
      return value.AsString();
    case varSingle:
    case varDouble:
    case varCurrency: {
      // The variant writes "." already; a comma could only come from a locale-dependent writer, and SQL
      // knows no other decimal separator.
      std::string s = value.AsString();
      std::replace(s.begin(), s.end(), ',', '.');
      return s;
    }
    case varDate:
      // Without a caller format the ODBC timestamp escape: a bare ISO text is no SQL literal, a quoted one
      // is a string that not every database converts, and the escape is understood by every driver.
      return KVFormatDateTimePattern(value.AsDateTime(),
                                     dateTimeFormat.empty() ? "{\"ts\" 'yyyy-mm-dd hh:nn:ss.zzz'}" : dateTimeFormat);
    case varString:
    case varOleStr: {
      std::string s = value.AsString();
      if (IsGuidText(s)) return s;
      std::string out;
      out.reserve(s.size() + 2);
      out += quote;
      for (char c : s) {
        out += c;
        if (c == quote) out += c;
      }
      out += quote;
      return out;
    }
    default:
      throw EKVException("Variant Type Cannot be converted to SQL Literal", nullptr, "ValueAsSQLLiteral");
  }
}

// --- Statement checks and generated text ------------------------------------------------------------------

std::string KVPreparedSQLText(std::string_view sqlText, const TKVSqlParameterList& params,
                              const TKVRefLifeObject* object) {
  return std::string(KVTrim(KVResolveSQLParamValues(sqlText, params, object), " \t\n\r;"));
}

void KVCheckSQLNotEmpty(std::string_view sqlText, const TKVRefLifeObject* object) {
  if (KVTrim(sqlText).empty()) throw EKVException("The SQL text of the statement is empty", object, "KVCheckSQLNotEmpty");
}

bool KVIsSelectStatement(std::string_view sqlText) {
  std::string_view s = KVTrim(sqlText);
  size_t end = s.find_first_of(kWordDelimiters);
  return KVSameText(s.substr(0, end == std::string_view::npos ? s.size() : end), "SELECT");
}

void KVCheckPreparedSQLStatement(std::string_view sqlText, bool selectExpected, const TKVRefLifeObject* object) {
  KVCheckSQLNotEmpty(sqlText, object);
  const bool isSelect = KVIsSelectStatement(sqlText);
  if (selectExpected && !isSelect)
    throw EKVException("Only SQL SELECT Statements can be executed with this Component.", object,
                       "CheckPreparedSQLStatement");
  if (!selectExpected && isSelect)
    throw EKVException("Only Modifying SQL Statements can be executed with this Component.", object,
                       "CheckPreparedSQLStatement");
}

std::string KVSQLTextForTable(std::string_view tableName, std::string_view sortColumn) {
  const std::string quoted = "\"" + std::string(KVTrim(tableName, "\"")) + "\"";
  if (sortColumn.empty()) return "SELECT * FROM " + quoted;
  return "SELECT * FROM " + quoted + " ORDER BY " + std::string(sortColumn) + " ASC;";
}

// --- Clauses ----------------------------------------------------------------------------------------------

namespace {

constexpr int kClauseCount = 7;

struct TKeyword {
  std::vector<std::string_view> Words;
  int Clause;  // index into TKVSqlClause
};

const std::vector<TKeyword>& Keywords() {
  static const std::vector<TKeyword> keywords = {
      {{"SELECT"}, 0}, {{"UPDATE"}, 0},         {{"INSERT"}, 0},   {{"DELETE"}, 0},
      {{"FROM"}, 1},   {{"WHERE"}, 2},          {{"GROUP", "BY"}, 3}, {{"HAVING"}, 4},
      {{"ORDER", "BY"}, 5}, {{"FOR", "UPDATE", "OF"}, 6},
  };
  return keywords;
}

struct TWord {
  size_t Start, End;
  bool Plain;  // outside parentheses and without quotes: a candidate keyword
};

struct THit {
  size_t Start, End;
  int Clause;
};

std::vector<TWord> SplitWords(std::string_view s) {
  std::vector<TWord> words;
  int depth = 0;
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '(') {
      ++depth;
      ++i;
    } else if (c == ')') {
      if (depth > 0) --depth;
      ++i;
    } else if (KVIsOneOf(c, kWordDelimiters)) {
      ++i;
    } else {
      TWord w{i, i, depth == 0};
      while (i < s.size() && !KVIsOneOf(s[i], kWordDelimiters)) {
        if (IsQuote(s[i])) {
          w.Plain = false;
          i = SkipQuoted(s, i);
        } else {
          ++i;
        }
      }
      w.End = i;
      words.push_back(w);
    }
  }
  return words;
}

std::vector<THit> FindKeywords(std::string_view s) {
  const std::vector<TWord> words = SplitWords(s);
  std::vector<THit> hits;
  size_t w = 0;
  while (w < words.size()) {
    size_t matched = 0;
    for (const TKeyword& kw : Keywords()) {
      const size_t n = kw.Words.size();
      if (w + n > words.size()) continue;
      bool ok = true;
      for (size_t k = 0; k < n && ok; ++k) {
        const TWord& word = words[w + k];
        ok = word.Plain && KVSameText(s.substr(word.Start, word.End - word.Start), kw.Words[k]);
        if (ok && k > 0) {
          std::string_view gap = s.substr(words[w + k - 1].End, word.Start - words[w + k - 1].End);
          ok = KVIsBlankText(gap);
        }
      }
      if (ok) {
        hits.push_back({words[w].Start, words[w + n - 1].End, kw.Clause});
        matched = n;
        break;
      }
    }
    w += matched ? matched : 1;
  }
  return hits;
}

// Where the clauses of a text end when nothing follows them: before the ";" and white space at the end.
size_t EffectiveEnd(std::string_view s) {
  size_t e = s.find_last_not_of(" \t\n\r;");
  return e == std::string_view::npos ? 0 : e + 1;
}

struct TClauseSpan {
  bool Found = false;
  size_t KeywordStart = 0, BodyStart = 0, End = 0;
  bool Last = false;  // no later clause follows
};

TClauseSpan LocateClause(std::string_view s, const std::vector<THit>& hits, int clause) {
  TClauseSpan span;
  auto it = std::find_if(hits.begin(), hits.end(), [&](const THit& h) { return h.Clause == clause; });
  if (it == hits.end()) return span;
  span.Found = true;
  span.KeywordStart = it->Start;
  span.BodyStart = it->End;
  auto next = std::find_if(it + 1, hits.end(), [&](const THit& h) { return h.Clause > clause; });
  span.Last = next == hits.end();
  span.End = span.Last ? std::max(EffectiveEnd(s), span.BodyStart) : next->Start;
  return span;
}

size_t BackOverWhiteSpace(std::string_view s, size_t pos) {
  while (pos > 0 && KVIsBlank(s[pos - 1])) --pos;
  return pos;
}

}  // namespace

const char* KVSqlClauseKeyword(TKVSqlClause clause) {
  switch (clause) {
    case TKVSqlClause::SelectList: return "SELECT";
    case TKVSqlClause::From: return "FROM";
    case TKVSqlClause::Where: return "WHERE";
    case TKVSqlClause::GroupBy: return "GROUP BY";
    case TKVSqlClause::Having: return "HAVING";
    case TKVSqlClause::OrderBy: return "ORDER BY";
    case TKVSqlClause::ForUpdateOf: return "FOR UPDATE OF";
  }
  return "";
}

bool TKVSQLStatmentPartitioner::HasClause(TKVSqlClause clause) const {
  return LocateClause(m_Text, FindKeywords(m_Text), static_cast<int>(clause)).Found;
}

std::string TKVSQLStatmentPartitioner::Clause(TKVSqlClause clause) const {
  TClauseSpan span = LocateClause(m_Text, FindKeywords(m_Text), static_cast<int>(clause));
  if (!span.Found) return {};
  return std::string(KVTrim(std::string_view(m_Text).substr(span.BodyStart, span.End - span.BodyStart)));
}

bool TKVSQLStatmentPartitioner::SetClause(TKVSqlClause clause, std::string_view text) {
  const std::string_view newText = KVTrim(text);
  const int index = static_cast<int>(clause);
  const std::vector<THit> hits = FindKeywords(m_Text);
  const TClauseSpan span = LocateClause(m_Text, hits, index);

  std::string form;
  if (!newText.empty()) {
    if (clause == TKVSqlClause::SelectList)
      form = "SELECT " + std::string(newText) + "\r\n";
    else
      form = std::string("\r\n") + KVSqlClauseKeyword(clause) + " " + std::string(newText) + "\r\n";
  }
  // Puts the form in place of [from, to). A new clause takes the place of the white space in front of it,
  // as it brings its own line break, so that repeated replacements do not pile up empty lines.
  auto place = [&](size_t from, size_t to) {
    std::string piece = form;
    if (!piece.empty()) {
      from = BackOverWhiteSpace(m_Text, from);
      if (piece[0] != '\r' && from > 0 && !KVIsOneOf(m_Text[from - 1], kWordDelimiters)) piece.insert(0, " ");
    }
    m_Text.replace(from, to - from, piece);
  };

  if (span.Found) {
    std::string_view current = KVTrim(std::string_view(m_Text).substr(span.BodyStart, span.End - span.BodyStart));
    if (current == newText) return false;
    size_t from = span.KeywordStart, to = span.End;
    if (span.Last) {
      // The last clause also takes the white space behind it; a ";" stays.
      while (to < m_Text.size() && KVIsBlank(m_Text[to])) ++to;
      if (form.empty()) from = BackOverWhiteSpace(m_Text, from);
    }
    place(from, to);
    return true;
  }
  if (form.empty()) return false;
  for (int later = index + 1; later < kClauseCount; ++later) {
    TClauseSpan next = LocateClause(m_Text, hits, later);
    if (next.Found) {
      place(next.KeywordStart, next.KeywordStart);
      return true;
    }
  }
  const size_t end = EffectiveEnd(m_Text);
  place(end, end);
  return true;
}

// --- WHERE filter -----------------------------------------------------------------------------------------

namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || KVIsOneOf(c, "_$#@.") ||
         static_cast<unsigned char>(c) >= 0x80;
}

size_t SkipWhiteSpace(std::string_view s, size_t i) {
  while (i < s.size() && KVIsBlank(s[i])) ++i;
  return i;
}

// The word at `i` when it equals `word` (case-insensitively) and is followed by no further name character.
bool WordAt(std::string_view s, size_t i, std::string_view word) {
  return i + word.size() <= s.size() && KVSameText(s.substr(i, word.size()), word) &&
         (i + word.size() == s.size() || !IsNameChar(s[i + word.size()]));
}

// End of the comparison "operator value" that starts at `i` (after the name), or npos when there is none.
size_t ComparisonEnd(std::string_view s, size_t i) {
  i = SkipWhiteSpace(s, i);
  if (i < s.size() && KVIsOneOf(s[i], "=<>!")) {
    while (i < s.size() && KVIsOneOf(s[i], "=<>!")) ++i;
  } else {
    static constexpr std::string_view kWordOperators[][2] = {
        {"IS", "NOT"}, {"IS", ""}, {"NOT", "LIKE"}, {"LIKE", ""}};
    bool found = false;
    for (const auto& op : kWordOperators) {
      if (!WordAt(s, i, op[0])) continue;
      size_t j = i + op[0].size();
      if (!op[1].empty()) {
        size_t k = SkipWhiteSpace(s, j);
        if (k == j || !WordAt(s, k, op[1])) continue;
        j = k + op[1].size();
      }
      i = j;
      found = true;
      break;
    }
    if (!found) return std::string_view::npos;
  }
  i = SkipWhiteSpace(s, i);
  int depth = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (IsQuote(c)) {
      i = SkipQuoted(s, i);
      continue;
    }
    if (KVIsOneOf(c, "([{")) {
      ++depth;
    } else if (KVIsOneOf(c, ")]}")) {
      if (depth == 0) break;
      --depth;
    } else if (depth == 0 && KVIsOneOf(c, " \t\n\r,;")) {
      break;
    }
    ++i;
  }
  return i;
}

// Whether the text has an OR outside parentheses and quotes.
bool HasTopLevelOr(std::string_view s) {
  for (const TWord& w : SplitWords(s))
    if (w.Plain && KVSameText(s.substr(w.Start, w.End - w.Start), "OR")) return true;
  return false;
}

}  // namespace

std::string KVWhereClauseWithFilter(std::string_view whereClause, std::string_view fieldName,
                                    const TKVVariant& value) {
  const std::string field(KVTrim(fieldName));
  const std::string condition =
      value.IsEmptyOrNull() ? field + " IS NULL" : field + " = " + KVValueAsSQLLiteral(value, '\'');
  const std::string_view where = KVTrim(whereClause);

  if (!field.empty()) {
    size_t i = 0;
    while (i + field.size() <= where.size()) {
      if (where[i] == '\'') {  // string literals never hold a field reference
        i = SkipQuoted(where, i);
        continue;
      }
      if (!KVSameText(where.substr(i, field.size()), field)) {
        ++i;
        continue;
      }
      size_t start = i, end = i + field.size();
      // A quoted or bracketed reference to a plainly given name: "NAME" or [NAME].
      if (start > 0 && end < where.size() &&
          ((where[start - 1] == '"' && where[end] == '"') || (where[start - 1] == '`' && where[end] == '`') ||
           (where[start - 1] == '[' && where[end] == ']'))) {
        --start;
        ++end;
      }
      const bool whole = (start == 0 || !IsNameChar(where[start - 1])) && (end == where.size() || !IsNameChar(where[end]));
      size_t compEnd = whole ? ComparisonEnd(where, end) : std::string_view::npos;
      if (compEnd != std::string_view::npos) {
        std::string result(where);
        result.replace(start, compEnd - start, condition);
        return result;
      }
      ++i;
    }
  }
  if (where.empty()) return "(" + condition + ")";
  if (HasTopLevelOr(where)) return "(" + std::string(where) + ") AND (" + condition + ")";
  return std::string(where) + " AND (" + condition + ")";
}

// --- ORDER BY ---------------------------------------------------------------------------------------------

namespace {

// The non-empty items of an ORDER BY clause, trimmed; "," and ";" inside parentheses or quotes do not split.
std::vector<std::string_view> OrderByItems(std::string_view s) {
  std::vector<std::string_view> items;
  int depth = 0;
  size_t start = 0, i = 0;
  auto flush = [&](size_t end) {
    std::string_view item = KVTrim(s.substr(start, end - start));
    if (!item.empty()) items.push_back(item);
  };
  while (i < s.size()) {
    const char c = s[i];
    if (IsQuote(c)) {
      i = SkipQuoted(s, i);
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth > 0) --depth;
    } else if (depth == 0 && (c == ',' || c == ';')) {
      flush(i);
      start = i + 1;
    }
    ++i;
  }
  flush(s.size());
  return items;
}

// The first white-space separated token of `s` from `i` (quoted sections stay whole); `end` receives its end.
std::string_view TokenAt(std::string_view s, size_t i, size_t& end) {
  i = SkipWhiteSpace(s, i);
  size_t j = i;
  while (j < s.size() && !KVIsBlank(s[j])) j = IsQuote(s[j]) ? SkipQuoted(s, j) : j + 1;
  end = j;
  return s.substr(i, j - i);
}

std::string_view Unquoted(std::string_view name) {
  if (name.size() >= 2 && ((IsQuote(name.front()) && name.back() == name.front()) ||
                           (name.front() == '[' && name.back() == ']')))
    return name.substr(1, name.size() - 2);
  return name;
}

bool NamesField(std::string_view item, std::string_view field, size_t& nameEnd) {
  std::string_view name = TokenAt(item, 0, nameEnd);
  return !name.empty() && (KVSameText(name, field) || KVSameText(Unquoted(name), Unquoted(field)));
}

}  // namespace

int KVOrderByFieldPosition(std::string_view orderByClause, std::string_view fieldName) {
  const std::string_view field = KVTrim(fieldName);
  const std::vector<std::string_view> items = OrderByItems(orderByClause);
  for (size_t i = 0; i < items.size(); ++i) {
    size_t nameEnd = 0;
    if (!NamesField(items[i], field, nameEnd)) continue;
    size_t wordEnd = 0;
    std::string_view next = TokenAt(items[i], nameEnd, wordEnd);
    const int position = static_cast<int>(i + 1);
    return next.size() >= 4 && KVSameText(next.substr(0, 4), "DESC") ? -position : position;
  }
  return 0;
}

std::string KVOrderByWithFieldSort(std::string_view orderByClause, std::string_view fieldName, int direction) {
  const std::string_view field = KVTrim(fieldName);
  std::string result;
  if (direction != 0) result = std::string(field) + (direction > 0 ? " ASC" : " DESC");
  for (std::string_view item : OrderByItems(orderByClause)) {
    size_t nameEnd = 0;
    if (NamesField(item, field, nameEnd)) continue;
    if (!result.empty()) result += ", ";
    result += item;
  }
  return result;
}

// --- Stored form ------------------------------------------------------------------------------------------

std::string KVSqlToStoredForm(std::string_view sqlText) {
  std::string s(sqlText);
  for (char& c : s) {
    if (c == '\t') c = '\xFD';
    else if (c == '\n') c = '\xFE';
    else if (c == '\r') c = '\xFF';
  }
  return s;
}

std::string KVSqlFromStoredForm(std::string_view storedText) {
  std::string s(storedText);
  for (char& c : s) {
    if (c == '\xFD') c = '\t';
    else if (c == '\xFE') c = '\n';
    else if (c == '\xFF') c = '\r';
  }
  return s;
}

// --- The SQL property -------------------------------------------------------------------------------------

bool TKVSqlProperty::SetText(std::string_view text) {
  if (KVSameText(text, m_Text)) return false;
  Store(std::string(text));
  return true;
}

void TKVSqlProperty::Store(std::string text) {
  m_Text = std::move(text);
  m_Parameters.Refresh(m_Text);
  if (m_NotifyChanges && m_OnChange) m_OnChange();
}

std::string TKVSqlProperty::ResolvedText() const { return KVResolveSQLParamValues(m_Text, m_Parameters, this); }

std::string TKVSqlProperty::PreparedText() const { return KVPreparedSQLText(m_Text, m_Parameters, this); }

std::string TKVSqlProperty::Clause(TKVSqlClause clause) const {
  return TKVSQLStatmentPartitioner(m_Text).Clause(clause);
}

bool TKVSqlProperty::SetClause(TKVSqlClause clause, std::string_view text) {
  TKVSQLStatmentPartitioner p(m_Text);
  if (!p.SetClause(clause, text) || p.Text() == m_Text) return false;
  Store(p.Text());
  return true;
}

std::string TKVSqlProperty::StatementName() const { return TKVSQLStatmentPartitioner(m_Text).StatementName(); }

void TKVSqlProperty::SetFilterValue(std::string_view fieldName, const TKVVariant& value) {
  SetClause(TKVSqlClause::Where, KVWhereClauseWithFilter(Clause(TKVSqlClause::Where), fieldName, value));
}

int TKVSqlProperty::SortPosition(std::string_view fieldName) const {
  return KVOrderByFieldPosition(Clause(TKVSqlClause::OrderBy), fieldName);
}

void TKVSqlProperty::SetSortDirection(std::string_view fieldName, int direction) {
  SetClause(TKVSqlClause::OrderBy, KVOrderByWithFieldSort(Clause(TKVSqlClause::OrderBy), fieldName, direction));
}
