// The SQL text analysis: clauses, parameter references and their resolution, WHERE filters, ORDER BY edits
// and the stored form. Every function must take any text; beyond that:
//  - a clause set to a plain text reads back as that text, and the other clauses keep theirs (checked on
//    texts whose quotes and parentheses are balanced, where the clause structure is well defined);
//  - resolution either names unresolved parameters or leaves no reference behind: its result resolves
//    again, with no parameters at all, to itself;
//  - after an ORDER BY edit the field is first with the direction asked for (or gone), the edit is
//    idempotent, and the other items keep their order;
//  - a WHERE filter is idempotent and the stored form reads back as the text.
#include <string>
#include <vector>

#include "db/KVSqlText.h"
#include "foundation/KVConvert.h"
#include "fuzz/FuzzSupport.h"

namespace {

const TKVSqlClause kClauses[] = {TKVSqlClause::SelectList, TKVSqlClause::From,   TKVSqlClause::Where,
                                 TKVSqlClause::GroupBy,    TKVSqlClause::Having, TKVSqlClause::OrderBy,
                                 TKVSqlClause::ForUpdateOf};

// Balanced parentheses and no quote characters at all: the clause structure is then what the words say.
bool WellFormed(const std::string& s) {
  int depth = 0;
  for (char c : s) {
    if (c == '\'' || c == '"' || c == '`') return false;
    if (c == '(') ++depth;
    if (c == ')' && --depth < 0) return false;
  }
  return depth == 0;
}

// The clause keywords outside parentheses in text order (clause numbers), for a WellFormed text.
std::vector<int> KeywordOrder(const std::string& s) {
  struct TWord {
    std::string Upper;
    size_t Start, End;
  };
  std::vector<TWord> words;
  int depth = 0;
  for (size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c == '(' || c == ')') {
      depth += c == '(' ? 1 : -1;
      ++i;
    } else if (std::string_view(",; \t\n\r").find(c) != std::string_view::npos) {
      ++i;
    } else {
      size_t b = i;
      while (i < s.size() && std::string_view(",;() \t\n\r").find(s[i]) == std::string_view::npos) ++i;
      if (depth == 0) words.push_back({KVUpperCase(s.substr(b, i - b)), b, i});
    }
  }
  auto blankGap = [&](size_t a) {
    for (size_t k = words[a].End; k < words[a + 1].Start; ++k)
      if (std::string_view(" \t\n\r").find(s[k]) == std::string_view::npos) return false;
    return true;
  };
  auto is = [&](size_t w, const char* word) { return w < words.size() && words[w].Upper == word; };
  std::vector<int> order;
  for (size_t w = 0; w < words.size(); ++w) {
    if (is(w, "FOR") && is(w + 1, "UPDATE") && is(w + 2, "OF") && blankGap(w) && blankGap(w + 1)) {
      order.push_back(6);
      w += 2;
    } else if ((is(w, "GROUP") || is(w, "ORDER")) && is(w + 1, "BY") && blankGap(w)) {
      order.push_back(is(w, "GROUP") ? 3 : 5);
      ++w;
    } else if (is(w, "SELECT") || is(w, "UPDATE") || is(w, "INSERT") || is(w, "DELETE")) {
      order.push_back(0);
    } else if (is(w, "FROM")) {
      order.push_back(1);
    } else if (is(w, "WHERE")) {
      order.push_back(2);
    } else if (is(w, "HAVING")) {
      order.push_back(4);
    }
  }
  return order;
}

// Each clause at most once and in the order of a SELECT: the structure the partitioner is defined on.
bool InClauseOrder(const std::string& s) {
  const std::vector<int> order = KeywordOrder(s);
  for (size_t i = 1; i < order.size(); ++i)
    if (order[i] <= order[i - 1]) return false;
  return true;
}

// A clause text without quotes, parentheses or keywords.
std::string PlainText(const std::string& raw) {
  static const char kAlphabet[] = "abc xyz01=<>+*,.\t";
  std::string s;
  for (unsigned char c : raw) s += kAlphabet[c % (sizeof kAlphabet - 1)];
  TKVSQLStatmentPartitioner probe(s);
  for (TKVSqlClause c : kClauses)
    if (probe.HasClause(c)) return "x = 1";
  return s;
}

// A field name of letters and digits.
std::string FieldName(const std::string& raw) {
  std::string s;
  for (unsigned char c : raw) s += "abcXYZ_019"[c % 10];
  return s.empty() ? "f" : s.substr(0, 8);
}

std::string Trimmed(std::string s) {
  const char* ws = " \t\n\r";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

void Clauses(const std::string& sql, TKVSqlClause clause, const std::string& newText) {
  TKVSQLStatmentPartitioner p(sql);
  std::vector<std::string> before;
  for (TKVSqlClause c : kClauses) {
    before.push_back(p.Clause(c));
    FUZZ_CHECK(p.HasClause(c) || before.back().empty(), FuzzQuote(sql));
  }
  p.SetClause(clause, newText);
  if (!WellFormed(sql) || !InClauseOrder(sql)) return;
  const std::string detail = FuzzQuote(sql) + " with " + KVSqlClauseKeyword(clause) + " set to " +
                             FuzzQuote(newText) + " is " + FuzzQuote(p.Text());
  FUZZ_CHECK(p.Clause(clause) == Trimmed(newText), detail + "; the clause reads " + FuzzQuote(p.Clause(clause)));
  // (A clause that is there with an empty text already equals an empty new text and stays.)
  if (!before[static_cast<size_t>(clause)].empty() || !Trimmed(newText).empty())
    FUZZ_CHECK(p.HasClause(clause) == !Trimmed(newText).empty(), detail);
  for (size_t i = 0; i < std::size(kClauses); ++i) {
    if (kClauses[i] == clause) continue;
    FUZZ_CHECK(p.Clause(kClauses[i]) == before[i], detail + "; " + KVSqlClauseKeyword(kClauses[i]) + " was " +
                                                       FuzzQuote(before[i]) + ", is " +
                                                       FuzzQuote(p.Clause(kClauses[i])));
  }
}

void Parameters(const std::string& sql, uint8_t mode) {
  TKVSqlParameterList params;
  params.Refresh(sql);
  const std::vector<std::string> names = KVSqlParameterNames(sql);
  FUZZ_CHECK(params.Count() == names.size(), FuzzQuote(sql));
  for (size_t i = 0; i < params.Count(); ++i) {
    TKVSqlParameter& p = params.Item(i);
    switch ((mode + i) % 3) {
      case 0: p.SetValue(TKVVariant(int32_t(7))); break;
      case 1: p.SetValue(TKVVariant::Null()); break;
      default:
        p.SetValue(TKVVariant(std::string("v")));
        p.SetLiteral(true);
    }
  }
  (void)KVSqlParameterReferences(sql);
  std::string resolved;
  try {
    resolved = KVResolveSQLParamValues(sql, params);
  } catch (const EKVException&) {
    return;  // names the resolver reads beyond those of the list (a colon inside a word or a literal)
  }
  TKVSqlParameterList none;
  std::string again;
  try {
    again = KVResolveSQLParamValues(resolved, none);
  } catch (const EKVException& e) {
    FuzzFail("a resolved text holds no references", FuzzQuote(sql) + " resolved to " + FuzzQuote(resolved) + ": " + e.what());
  }
  FUZZ_CHECK(again == resolved, FuzzQuote(resolved));
  (void)KVPreparedSQLText(sql, params);
  (void)KVIsSelectStatement(sql);
}

void OrderBy(const std::string& clause, const std::string& field, int direction) {
  const std::string edited = KVOrderByWithFieldSort(clause, field, direction);
  const int position = KVOrderByFieldPosition(edited, field);
  const std::string detail = FuzzQuote(clause) + " with " + field + " sorted " + std::to_string(direction) +
                             " is " + FuzzQuote(edited);
  FUZZ_CHECK(position == (direction > 0 ? 1 : direction < 0 ? -1 : 0), detail + ", position " + std::to_string(position));
  FUZZ_CHECK(KVOrderByWithFieldSort(edited, field, direction) == edited, detail);
  // The other items, in their order.
  const std::string without = KVOrderByWithFieldSort(clause, field, 0);
  FUZZ_CHECK(KVOrderByWithFieldSort(edited, field, 0) == without, detail + "; without the field " + FuzzQuote(without));
}

void Where(const std::string& where, const std::string& field, uint8_t kind) {
  const TKVVariant value = kind % 3 == 0 ? TKVVariant::Null() : kind % 3 == 1 ? TKVVariant(int32_t(5)) : TKVVariant("it's");
  const std::string once = KVWhereClauseWithFilter(where, field, value);
  if (!WellFormed(where)) return;
  const std::string twice = KVWhereClauseWithFilter(once, field, value);
  FUZZ_CHECK(twice == once, FuzzQuote(where) + " filtered on " + field + ": " + FuzzQuote(once) + ", again " + FuzzQuote(twice));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  const uint8_t selector = in.Byte();
  const uint8_t mode = in.Byte();
  const std::string field = FieldName(in.Piece('\0'));
  const std::string piece = in.Piece('\0');
  const std::string sql = in.Rest();

  Clauses(sql, kClauses[selector % std::size(kClauses)], PlainText(piece));
  Parameters(sql, mode);
  OrderBy(sql, field, static_cast<int>(mode % 3) - 1);
  Where(sql, field, mode);

  std::string plain;
  for (char c : sql)
    if (c != '\xFD' && c != '\xFE' && c != '\xFF') plain += c;
  FUZZ_CHECK(KVSqlFromStoredForm(KVSqlToStoredForm(plain)) == plain, FuzzQuote(plain));
  return 0;
}
