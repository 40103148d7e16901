// Seconds the plug-in module's regular-expression matcher takes on inputs that make a naive search slow:
// long runs of characters a pattern's leading repetition swallows before the rest of the pattern fails,
// repeated groups, nested repetitions. Each case runs at 40,000 characters and at 1,000,000 (a large
// memo value); the figure is the median of several runs.
//
//   regexp_bench [runs]          (default 5)
//
// Cases marked "slow by design" have back-references, whose outcome at one point depends on what was
// captured earlier; for them the search cannot reuse what it learned at an earlier start, stays quadratic,
// and is printed at a smaller size too. Bead markers do not change outcomes, but a failed path records
// the markers it passes: the search reuses the failures that passed none, so a marker before the repeat
// costs nothing, while one inside a repeat that fails again and again keeps that path being run again. A run that takes too long is
// stopped by the cancel poll after a time limit and printed as "> N s".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "plugin_functions/KVRegExp.h"

namespace {

using TClock = std::chrono::steady_clock;

struct TCase {
  const char* Name;
  const char* Pattern;
  std::function<std::string(size_t)> Subject;
  bool SlowByDesign = false;
};

std::string Repeat(const std::string& unit, size_t length) {
  std::string s;
  s.reserve(length + unit.size());
  while (s.size() < length) s += unit;
  s.resize(length);
  return s;
}

class EBenchTimeout : public std::exception {};

// Seconds for one search of every match (FindFirst, then FindNext until none), or -1 after `limit`.
double TimeOnce(const TCase& c, const std::string& subject, double limit, int& matches) {
  TKVRegExprMatcher m(c.Pattern);
  const auto start = TClock::now();
  m.SetPoll([&] {
    if (std::chrono::duration<double>(TClock::now() - start).count() > limit) throw EBenchTimeout();
  });
  m.SetSubject(subject);
  matches = 0;
  try {
    for (bool ok = m.FindFirst(); ok; ok = m.FindNext()) ++matches;
  } catch (const EBenchTimeout&) {
    return -1;
  }
  return std::chrono::duration<double>(TClock::now() - start).count();
}

void Measure(const TCase& c, size_t length, int runs, double limit) {
  const std::string subject = c.Subject(length);
  std::vector<double> times;
  int matches = 0;
  for (int r = 0; r < runs; ++r) {
    double t = TimeOnce(c, subject, limit, matches);
    if (t < 0) {
      std::printf("%-34s %-22s %9zu  > %.0f s%s\n", c.Name, c.Pattern, length, limit,
                  c.SlowByDesign ? "  (slow by design)" : "");
      return;
    }
    times.push_back(t);
  }
  std::sort(times.begin(), times.end());
  std::printf("%-34s %-22s %9zu  %9.4f s  %d matches%s\n", c.Name, c.Pattern, length, times[times.size() / 2],
              matches, c.SlowByDesign ? "  (slow by design)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const double limit = 20;
  const std::vector<TCase> cases = {
      {"leading repeat, no match", "a*b", [](size_t n) { return Repeat("a", n); }},
      {"any-character repeat, no match", ".*x", [](size_t n) { return Repeat("abcdefgh", n); }},
      {"word then @, no match", "\\w+\\@", [](size_t n) { return Repeat("name", n); }},
      {"prefix before a repeat", "aa*b", [](size_t n) { return Repeat("a", n); }},
      {"two repeats in a row", "a*b*c", [](size_t n) { return Repeat("a", n / 2) + Repeat("b", n - n / 2); }},
      {"repeated alternation", "(a|b)*c", [](size_t n) { return Repeat("ab", n); }},
      {"repeat inside repeated group", "(a*c|a)*d", [](size_t n) { return Repeat("a", n); }},
      {"nested repeated groups", "((a|b)(a|b))*c", [](size_t n) { return Repeat("ab", n); }},
      {"many short matches", "a+b", [](size_t n) { return Repeat("aab", n); }},
      {"capture in repeated group", "((:1a)|b)*c", [](size_t n) { return Repeat("ab", n); }},
      {"back-reference", "(:1a)(\\1)*b", [](size_t n) { return Repeat("a", n); }, true},
      {"back-reference after a repeat", "((:1a)|b)*\\1c", [](size_t n) { return Repeat("ab", n); }, true},
      {"bead marker", "@1(a|b)*c", [](size_t n) { return Repeat("ab", n); }},
      {"bead marker inside the repeat", "(a@1|b)*c", [](size_t n) { return Repeat("ab", n); }, true},
      {"bead marker on a failing path", "(b|a@2)*c", [](size_t n) { return Repeat("a", n - 1) + "b"; }, true},
  };
  std::printf("%-34s %-22s %9s  %11s\n", "case", "pattern", "chars", "median");
  for (const TCase& c : cases) {
    if (c.SlowByDesign) Measure(c, 4000, runs, limit);
    Measure(c, 40000, runs, limit);
    Measure(c, 1000000, c.SlowByDesign ? 1 : std::min(runs, 3), limit);
  }
  return 0;
}
