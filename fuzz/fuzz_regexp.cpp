// The module's regular-expression matcher, pattern and subject both hostile.
//
// Odd first byte: the rest is a raw pattern, a NUL, and a subject. Whatever compiles must search the
// subject to its end, and the first-character set (a shortcut that skips start positions) must never
// change what is found: every match with the shortcut on equals the one with it off.
//
// Even first byte: the bytes steer a generator that writes a pattern from a subset of the dialect
// (literals, ".", sets with ranges and classes, all repetitions, groups with alternatives, negative
// look-ahead, "^", "$" and case-mode switches at the top level) together with its syntax tree, and a short
// subject over a small alphabet. A slow, plainly written reference evaluates the tree by the dialect's
// rules (repetition takes all it can and gives nothing back, an alternative that completes is final, a
// repeated group ends at an iteration that matches nothing) at every start position; matcher and
// reference must agree on every match of the subject.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "plugin_functions/KVRegExp.h"

namespace {

constexpr int32_t kInf = 1 << 30;

unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }

// --- The reference ------------------------------------------------------------------------------------------

struct TRefNode;
using TSeq = std::vector<std::unique_ptr<TRefNode>>;

struct TRefNode {
  enum TKind { Literal, Any, Set, Group, NegLook, Mode } Kind = Literal;
  unsigned char Ch = 0;            // Literal
  std::vector<unsigned char> Members;  // Set: every character named (ranges expanded)
  bool Negated = false;            // Set
  std::vector<TSeq> Alts;          // Group, NegLook
  bool CaseSensitive = false;      // Mode
  int32_t Min = 1, Max = 1;
};

struct TRefMatcher {
  std::string S;
  bool StartCase = false;

  bool ItemMatches(const TRefNode& n, unsigned char c, bool cs) const {
    switch (n.Kind) {
      case TRefNode::Any: return c != '\n';
      case TRefNode::Literal: return cs ? c == n.Ch : Upper(c) == Upper(n.Ch);
      case TRefNode::Set: {
        bool in = false;
        for (unsigned char m : n.Members) in = in || (cs ? c == m : Upper(c) == Upper(m));
        return in != n.Negated;
      }
      default: return false;
    }
  }

  std::optional<size_t> Alternatives(const std::vector<TSeq>& alts, size_t p, bool& cs) const {
    for (const TSeq& alt : alts)
      if (auto r = Sequence(alt, p, cs)) return r;
    return std::nullopt;
  }

  std::optional<size_t> Sequence(const TSeq& seq, size_t p, bool& cs) const {
    for (const auto& n : seq) {
      switch (n->Kind) {
        case TRefNode::Mode: cs = n->CaseSensitive; break;
        case TRefNode::NegLook:
          if (Alternatives(n->Alts, p, cs)) return std::nullopt;
          break;
        case TRefNode::Group: {
          int32_t count = 0;
          bool endedEmpty = false;
          for (;;) {
            auto r = Alternatives(n->Alts, p, cs);
            if (!r) break;  // the failed iteration gives back what it took
            ++count;
            if (*r == p) {  // an empty iteration ends the repetition, whatever the minimum
              endedEmpty = true;
              break;
            }
            p = *r;
            if (count >= n->Max) break;
          }
          if (count < n->Min && !endedEmpty) return std::nullopt;
          break;
        }
        default: {
          int32_t count = 0;
          while (count < n->Max && p < S.size() && ItemMatches(*n, static_cast<unsigned char>(S[p]), cs)) ++p, ++count;
          if (count < n->Min) return std::nullopt;
        }
      }
    }
    return p;
  }
};

// --- The generator ------------------------------------------------------------------------------------------

struct TGen {
  explicit TGen(TFuzzInput& in) : In(in) {}
  TFuzzInput& In;
  std::string Pattern;
  int Budget = 24;  // nodes still allowed
  bool CompileCase = false;

  uint8_t Pick(uint8_t n) { return static_cast<uint8_t>(In.Byte() % n); }

  unsigned char Char() {
    static const char kAlphabet[] = "aAbBc1-_ \n.";
    return static_cast<unsigned char>(kAlphabet[Pick(sizeof kAlphabet - 1)]);
  }
  void EmitChar(unsigned char c, bool inSet) {
    if (c == '\n') Pattern += "\\n";
    else if (c == '-' || c == '.' || (inSet && c == ' ')) (Pattern += '\\') += static_cast<char>(c);
    else Pattern += static_cast<char>(c);
  }

  void Quantifier(TRefNode& n, bool allowed) {
    if (!allowed) return;
    switch (Pick(8)) {
      case 0: Pattern += '*'; n.Min = 0; n.Max = kInf; break;
      case 1: Pattern += '+'; n.Min = 1; n.Max = kInf; break;
      case 2: Pattern += '?'; n.Min = 0; n.Max = 1; break;
      case 3: {
        int a = 1 + Pick(3);
        Pattern += "{" + std::to_string(a) + "}";
        n.Min = n.Max = a;
        break;
      }
      case 4: {
        int a = Pick(3);
        Pattern += "{" + std::to_string(a) + ",}";
        n.Min = a;
        n.Max = kInf;
        break;
      }
      case 5: {
        int a = Pick(3), b = a + 1 + Pick(2);
        Pattern += "{" + std::to_string(a) + "," + std::to_string(b) + "}";
        n.Min = a;
        n.Max = b;
        break;
      }
      default: break;
    }
  }

  std::unique_ptr<TRefNode> Item(int depth) {
    auto n = std::make_unique<TRefNode>();
    const uint8_t kind = Pick(depth < 3 && Budget > 4 ? 8 : 5);
    --Budget;
    switch (kind) {
      case 0:
      case 1:
        n->Kind = TRefNode::Literal;
        n->Ch = Char();
        EmitChar(n->Ch, false);
        Quantifier(*n, true);
        break;
      case 2:
        n->Kind = TRefNode::Any;
        Pattern += '.';
        Quantifier(*n, true);
        break;
      case 3:
      case 4: {
        n->Kind = TRefNode::Set;
        Pattern += '[';
        if (Pick(3) == 0) {
          n->Negated = true;
          Pattern += '^';
        }
        const int members = 1 + Pick(3);
        for (int i = 0; i < members; ++i) {
          switch (Pick(4)) {
            case 0: {
              static const char kClasses[] = "dhsw";
              char cl = kClasses[Pick(4)];
              (Pattern += '\\') += cl;
              for (int c = 0; c < 256; ++c) {
                const unsigned char u = static_cast<unsigned char>(c);
                const bool digit = u >= '0' && u <= '9';
                const bool in = cl == 'd'   ? digit
                                : cl == 'h' ? digit || (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f')
                                : cl == 's' ? u == '\t' || u == '\n' || u == '\r' || u == ' '
                                            : digit || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_';
                if (in) n->Members.push_back(u);
              }
              break;
            }
            case 1: {
              unsigned char a = Char(), b = Char();
              EmitChar(a, true);
              Pattern += '-';
              EmitChar(b, true);
              if (a > b) std::swap(a, b);
              for (int c = a; c <= b; ++c) n->Members.push_back(static_cast<unsigned char>(c));
              break;
            }
            default: {
              unsigned char a = Char();
              EmitChar(a, true);
              n->Members.push_back(a);
            }
          }
        }
        Pattern += ']';
        Quantifier(*n, true);
        break;
      }
      case 5:
      case 6: {
        n->Kind = TRefNode::Group;
        Pattern += '(';
        Alternatives(*n, depth);
        Pattern += ')';
        Quantifier(*n, true);
        break;
      }
      default: {
        n->Kind = TRefNode::NegLook;
        Pattern += "!(";
        Alternatives(*n, depth);
        Pattern += ')';
        break;
      }
    }
    return n;
  }

  void Alternatives(TRefNode& n, int depth) {
    const int alts = 1 + Pick(3);
    for (int a = 0; a < alts; ++a) {
      if (a) Pattern += '|';
      TSeq seq;
      const int items = 1 + Pick(3);
      for (int i = 0; i < items; ++i) seq.push_back(Item(depth + 1));
      n.Alts.push_back(std::move(seq));
    }
  }

  TSeq TopLevel() {
    TSeq seq;
    const int items = 1 + Pick(5);
    for (int i = 0; i < items && Budget > 0; ++i) {
      if (Pick(8) == 0) {
        auto m = std::make_unique<TRefNode>();
        m->Kind = TRefNode::Mode;
        m->CaseSensitive = Pick(2) == 0;
        Pattern += m->CaseSensitive ? "(?-i)" : "(?i)";
        seq.push_back(std::move(m));
      }
      seq.push_back(Item(0));
    }
    return seq;
  }
};

// How many generated cases compared at least one match (DABRIX_FUZZ_STATS=1 prints it at exit), so that a
// generator drifting into patterns that never match is noticed.
struct TStats {
  size_t Generated = 0, WithMatches = 0;
  ~TStats() {
    if (std::getenv("DABRIX_FUZZ_STATS"))
      std::fprintf(stderr, "generated cases: %zu, with matches: %zu\n", Generated, WithMatches);
  }
} g_Stats;

struct TMatch {
  int32_t Start, Length;
  bool operator==(const TMatch&) const = default;
};

std::string Show(const std::vector<TMatch>& v) {
  std::string s;
  for (const TMatch& m : v) s += "(" + std::to_string(m.Start) + "," + std::to_string(m.Length) + ")";
  return s.empty() ? "none" : s;
}

// Every match FindFirst/FindNext report, at most `limit`.
std::vector<TMatch> AllMatches(TKVRegExprMatcher& m, size_t limit) {
  std::vector<TMatch> r;
  if (!m.FindFirst()) return r;
  do {
    // "^$" finds empty lines without reporting where they are.
    if (!m.EmptyLineMode()) {
      FUZZ_CHECK(m.MatchLength() > 0, "an empty match was reported");
      FUZZ_CHECK(r.empty() || m.MatchStart() >= r.back().Start + r.back().Length, "matches went backwards");
    }
    r.push_back({m.MatchStart(), m.MatchLength()});
  } while (r.size() < limit && m.FindNext());
  return r;
}

void RawCase(TFuzzInput& in) {
  const std::string pattern = in.Piece('\0');
  const std::string subject = in.Rest();
  TKVRegExprMatcher with, without;
  without.SetUseFirstCharSet(false);
  try {
    with.SetPattern(pattern);
  } catch (const ERegExpr&) {
    return;
  }
  without.SetPattern(pattern);  // the set plays no part in compiling
  with.SetSubject(subject);
  without.SetSubject(subject);
  try {
    const std::vector<TMatch> a = AllMatches(with, 1u << 20), b = AllMatches(without, 1u << 20);
    FUZZ_CHECK(a == b, "pattern " + FuzzQuote(pattern) + " subject " + FuzzQuote(subject) + ": with set " +
                           Show(a) + ", without " + Show(b));
  } catch (const ERegExpr& e) {
    // Running out of interpreter frames is an error the matcher reports, not a fault.
    FUZZ_CHECK(e.ErrorCode() == 20, e.what());
  }
}

void GeneratedCase(TFuzzInput& in) {
  TGen gen(in);
  const bool startAnchor = gen.Pick(6) == 0;
  if (startAnchor) gen.Pattern += '^';
  TSeq top = gen.TopLevel();
  const bool endAnchor = gen.Pick(6) == 0;
  if (endAnchor) gen.Pattern += '$';
  const bool caseSensitive = gen.Pick(4) == 0;

  TRefMatcher ref;
  static const char kSubjectAlphabet[] = "aAbBc1-_ \n.";
  const size_t subjectLength = gen.Pick(24);
  for (size_t i = 0; i < subjectLength; ++i) ref.S += kSubjectAlphabet[gen.Pick(sizeof kSubjectAlphabet - 1)];

  TKVRegExprMatcher m;
  m.SetCaseSensitive(caseSensitive);
  try {
    m.SetPattern(gen.Pattern);
  } catch (const ERegExpr& e) {
    FuzzFail("a generated pattern compiles", FuzzQuote(gen.Pattern) + ": " + e.what());
  }
  if (m.EmptyLineMode()) return;  // "^$" reports no positions
  m.SetSubject(ref.S);

  // Every match of the reference, searched as FindFirst/FindNext do: from the end of the previous match;
  // a start anchor admits line starts only.
  std::vector<TMatch> expected;
  size_t from = 0;
  for (;;) {
    bool found = false;
    for (size_t s = from; s < ref.S.size(); ++s) {
      if (startAnchor && s > 0 && ref.S[s - 1] != '\n') continue;
      bool cs = caseSensitive;
      auto end = ref.Sequence(top, s, cs);
      if (!end) continue;
      if (endAnchor && *end < ref.S.size() && ref.S[*end] != '\n' && ref.S[*end] != '\r') continue;
      if (*end == s) continue;
      expected.push_back({static_cast<int32_t>(s), static_cast<int32_t>(*end - s)});
      from = *end;
      found = true;
      break;
    }
    // With a start anchor the matcher looks for the next line start only after the previous match, which
    // the reference does not model beyond the first match.
    if (!found || startAnchor) break;
  }
  std::vector<TMatch> actual = AllMatches(m, startAnchor ? 1 : 1u << 20);
  ++g_Stats.Generated;
  if (!expected.empty()) ++g_Stats.WithMatches;
  FUZZ_CHECK(actual == expected, "pattern " + FuzzQuote(gen.Pattern) + (caseSensitive ? " (case-sensitive)" : "") +
                                     " subject " + FuzzQuote(ref.S) + ": matcher " + Show(actual) +
                                     ", reference " + Show(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  if (in.Byte() & 1) RawCase(in);
  else GeneratedCase(in);
  return 0;
}
