#include "plugin_functions/KVRegExp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr int32_t kInfinite = std::numeric_limits<int32_t>::max();

// Node kinds of the compiled program.
enum : uint8_t {
  nkEnd = 0,
  nkMode = 1,
  nkMarker = 2,
  nkCaptureStart = 3,
  nkCaptureEnd = 4,
  nkBackRef = 5,
  nkSubStart = 6,
  nkAlternative = 7,
  nkSubEnd = 8,
  nkNegativeEnd = 9,
  nkAny = 10,
  nkLiteral = 11,
  nkSet = 12,
  nkNegatedSet = 13,
};

// Quantifier kinds, kept in the node so that a dumped program shows how an item repeats.
enum : uint8_t { qkOnce = 1, qkStar = 2, qkOptional = 3, qkPlus = 4, qkExact = 5, qkAtLeast = 6, qkRange = 7 };

const char* const kMetaChars = "$()*+-.:?@[]^{|}";

bool IsMeta(char c) { return c != '\0' && std::strchr(kMetaChars, c) != nullptr; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c >= 'a' ? c - 'a' + 10 : c - 'A' + 10); }
bool IsWordChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
unsigned char UpperAscii(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }
bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(static_cast<unsigned char>(a[i])) != UpperAscii(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Adds a predefined class ("\d", "\h", "\s", "\w") to a set; false for any other letter.
bool AddClass(char letter, std::array<bool, 256>& set) {
  auto range = [&](char lo, char hi) {
    for (int c = static_cast<unsigned char>(lo); c <= static_cast<unsigned char>(hi); ++c) set[c] = true;
  };
  switch (letter) {
    case 'd': range('0', '9'); return true;
    case 'h': range('0', '9'); range('A', 'F'); range('a', 'f'); return true;
    case 's': set['\t'] = set['\n'] = set['\r'] = set[' '] = true; return true;
    case 'w': range('0', '9'); range('A', 'Z'); range('a', 'z'); set['_'] = true; return true;
    default: return false;
  }
}

const char* ErrorFormat(TRegExprError error) {
  switch (error) {
    case TRegExprError::NotCompiled: return "Expression pattern has not been set";
    case TRegExprError::BlankPattern: return "Expression pattern cannot be blank";
    case TRegExprError::InvalidPattern: return "Invalid pattern expression";
    case TRegExprError::UnexpectedEnd: return "Unexpected end of expression at position (%d)";
    case TRegExprError::UnexpectedMeta: return "Unexpected meta character at position (%d)";
    case TRegExprError::AfterEndAnchor: return "Characters after end anchor at position (%d)";
    case TRegExprError::InvalidEscape: return "Invalid use of escape sequence at position (%d)";
    case TRegExprError::EmptySet: return "Invalid empty set at position (%d)";
    case TRegExprError::MinNotBelowMax: return "Min count must be less than max count (%d)";
    case TRegExprError::MissingBrace: return "Expected a closing brace at position (%d)";
    case TRegExprError::ZeroCount: return "Exact match count cannot be set to zero (%d)";
    case TRegExprError::NumberExpected: return "Expected a numeric at position (%d)";
    case TRegExprError::NumberTooLarge: return "Invalid numeric expression at position (%d)";
    case TRegExprError::TerminatorInSubExpression: return "Unexpected terminator found in sub expression (%d)";
    case TRegExprError::MissingParen: return "Expected a closing paren at position (%d)";
    case TRegExprError::MarkerNumber: return "Bead markers must be bewteen 0 and 9";
    case TRegExprError::EmptySubExpression: return "Empty sub expressesion encountered (%d)";
    case TRegExprError::InvalidHexChar: return "Invalid hex char encounter (%d)";
    case TRegExprError::StartingParenExpected: return "Expected a starting paren at position (%d)";
    case TRegExprError::TooDeeplyNested: return "Too many nested sub expressions (%d)";
    case TRegExprError::GroupNumber: return "Backreference markers must be bewteen 0 and 9";
    case TRegExprError::ModeChar: return "Unexpected mode character at position (%d)";
    case TRegExprError::UnterminatedName: return "Unterminated backreference name at position (%d)";
  }
  return nullptr;
}

std::string UpToNul(const std::string& text) {
  size_t nul = text.find('\0');
  return nul == std::string::npos ? text : text.substr(0, nul);
}

}  // namespace

ERegExpr::ERegExpr(TRegExprError error, const std::string& message, const TKVRefLifeObject* object,
                   std::string routineName)
    : EKVException(message, object, std::move(routineName)), m_Error(error) {}

std::string KVRegExprErrorText(TRegExprError error, int32_t position) {
  const char* format = ErrorFormat(error);
  std::string text = format ? format : "Unknown Error Code";
  size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(position));
  return text;
}

std::string KVRegExprErrorText(int32_t code, int32_t position) {
  // Numbers that name no error would read as an enumerator the switch does not know: they go by text.
  const bool known = ErrorFormat(static_cast<TRegExprError>(code)) != nullptr;
  return known ? KVRegExprErrorText(static_cast<TRegExprError>(code), position) : "Unknown Error Code";
}

// --- Construction -----------------------------------------------------------------------------------------

TKVRegExprMatcher::TKVRegExprMatcher() { ResetProgram(); }

TKVRegExprMatcher::TKVRegExprMatcher(const std::string& pattern) {
  ResetProgram();
  SetPattern(pattern);
}

TKVRegExprMatcher::~TKVRegExprMatcher() = default;

void* TKVRegExprMatcher::GetInterface(const TGUID& iid) {
  if (iid == IKVRegExprMatcher::IID) return static_cast<IKVRegExprMatcher*>(this);
  return TKVRefLifeObject::GetInterface(iid);
}

void TKVRegExprMatcher::SetPattern(const std::string& pattern) {
  std::string text = UpToNul(pattern);
  if (m_Compiled && text == m_Pattern) return;
  m_Pattern = std::move(text);
  Compile();
}

void TKVRegExprMatcher::SetCaseSensitive(bool value) {
  if (value == m_CaseSensitive) return;
  m_CaseSensitive = value;
  if (m_Compiled) Compile();
}

void TKVRegExprMatcher::SetUseFirstCharSet(bool value) {
  if (value == m_UseFirstCharSet) return;
  m_UseFirstCharSet = value;
  if (m_Compiled) Compile();
}

void TKVRegExprMatcher::Raise(TRegExprError error, int32_t position, const char* routine) const {
  std::string text = KVRegExprErrorText(error, position);
  std::snprintf(m_ErrorText.data(), m_ErrorText.size(), "%s", text.c_str());
  throw ERegExpr(error, m_ErrorText.data(), this, routine);
}

void TKVRegExprMatcher::Fail(TRegExprError error, size_t index) {
  Raise(error, static_cast<int32_t>(index + 1), "TKVRegExprMatcher.Compile");
}

// --- Compiling --------------------------------------------------------------------------------------------

void TKVRegExprMatcher::ResetProgram() {
  m_Program.clear();
  m_Sets.clear();
  m_Groups.assign(kNumberedGroups, TGroup{});
  m_StartAnchor = m_EndAnchor = 0;
  m_Depth = 0;
  m_EmptyLineMode = false;
  m_Compiled = false;
  m_FirstCharSet.fill(false);
  m_SearchPos = m_MatchStart = m_MatchLength = 0;
  m_Matched = false;
  m_CanSkipFailures = false;
  m_Checkpoint.clear();
  ResetShortcuts();
}

int32_t TKVRegExprMatcher::AddNode(uint8_t kind, int32_t operand) {
  TNode node;
  node.Kind = kind;
  node.Operand = operand;
  m_Program.push_back(node);
  return static_cast<int32_t>(m_Program.size() - 1);
}

int32_t TKVRegExprMatcher::AddSet(const TCharSet& set) {
  m_Sets.push_back(set);
  return static_cast<int32_t>(m_Sets.size() - 1);
}

int32_t TKVRegExprMatcher::FindOrAddNamedGroup(const std::string& name) {
  for (size_t i = kNumberedGroups; i < m_Groups.size(); ++i)
    if (SameTextAscii(m_Groups[i].Name, name)) return static_cast<int32_t>(i);
  TGroup group;
  group.Name = name;
  m_Groups.push_back(group);
  return static_cast<int32_t>(m_Groups.size() - 1);
}

void TKVRegExprMatcher::Compile() {
  ResetProgram();
  try {
    if (m_Pattern.empty()) Raise(TRegExprError::BlankPattern, 0, "TKVRegExprMatcher.Compile");
    const size_t len = m_Pattern.size();
    m_Pos = 0;
    m_CompileCase = m_CaseSensitive;
    AddNode(nkMode, m_CaseSensitive ? 1 : 0);

    if (Cur() == '^') {
      if (len == 1) Raise(TRegExprError::InvalidPattern, 0, "TKVRegExprMatcher.Compile");
      m_StartAnchor = 1;
      m_Pos = 1;
    } else if (Cur() == '$') {
      Raise(TRegExprError::InvalidPattern, 0, "TKVRegExprMatcher.Compile");
    } else if (Cur() == '\\' && (At(1) == 'b' || At(1) == 'B')) {
      if (len == 2) Raise(TRegExprError::InvalidPattern, 0, "TKVRegExprMatcher.Compile");
      m_StartAnchor = At(1) == 'b' ? 2 : 3;
      m_Pos = 2;
    }

    while (m_Pos < len) {
      const char c = Cur();
      if (c == '^' || c == ')' || c == '|') {
        Fail(TRegExprError::UnexpectedMeta, m_Pos);
      } else if (c == '$') {
        if (m_Pos + 1 != len) Fail(TRegExprError::AfterEndAnchor, m_Pos + 1);
        m_EndAnchor = 1;
        ++m_Pos;
      } else if (c == '(') {
        ParseSubExpression(false);
      } else if (c == '!') {
        if (At(m_Pos + 1) != '(') Fail(TRegExprError::StartingParenExpected, m_Pos + 1);
        ++m_Pos;
        ParseSubExpression(true);
      } else if (c == '\\' && (At(m_Pos + 1) == 'b' || At(m_Pos + 1) == 'B') && m_Pos + 2 == len) {
        m_EndAnchor = At(m_Pos + 1) == 'b' ? 2 : 3;
        m_Pos += 2;
      } else {
        ParseSequence();
      }
    }
    AddNode(nkEnd);

    m_EmptyLineMode = m_StartAnchor == 1 && m_EndAnchor == 1 && m_Program.size() == 2;
    m_FirstCharSet.fill(true);
    if (m_UseFirstCharSet && !m_EmptyLineMode) ComputeFirstCharSet();
    PlanShortcuts();
    m_Compiled = true;
  } catch (...) {
    ResetProgram();
    throw;
  }
}

// Reads items until a character that only the caller can handle.
void TKVRegExprMatcher::ParseSequence() {
  const size_t len = m_Pattern.size();
  while (m_Pos < len) {
    const char c = Cur();
    switch (c) {
      case '!':
      case '$':
      case '(':
      case ')':
      case '^':
      case '|':
        return;
      case '.': {
        int32_t n = AddNode(nkAny);
        ++m_Pos;
        ParseQuantifier(n);
        break;
      }
      case '@': {
        ++m_Pos;
        const size_t at = m_Pos;
        int32_t number = ReadNumber();
        if (number > 9) Fail(TRegExprError::MarkerNumber, at);
        AddNode(nkMarker, number);
        break;
      }
      case '[':
        ParseSet();
        break;
      case '\\':
        // A boundary escape closing the pattern is the end anchor, which the top level reads.
        if ((At(m_Pos + 1) == 'b' || At(m_Pos + 1) == 'B') && m_Pos + 2 == len) return;
        ParseEscape();
        break;
      default: {
        if (IsMeta(c)) Fail(TRegExprError::UnexpectedMeta, m_Pos);
        unsigned char ch = static_cast<unsigned char>(c);
        int32_t n = AddNode(nkLiteral, m_CompileCase ? ch : UpperAscii(ch));
        ++m_Pos;
        ParseQuantifier(n);
        break;
      }
    }
  }
}

// A number: an optional single blank or tab, then digits that fit an int32.
int32_t TKVRegExprMatcher::ReadNumber() {
  const size_t start = m_Pos;
  if (Cur() == ' ' || Cur() == '\t') ++m_Pos;
  if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
  if (!IsDigit(Cur())) Fail(TRegExprError::NumberExpected, m_Pos);
  int64_t value = 0;
  bool overflow = false;
  while (IsDigit(Cur())) {
    if (!overflow) {
      value = value * 10 + (Cur() - '0');
      if (value > kInfinite) overflow = true;
    }
    ++m_Pos;
  }
  if (overflow) Fail(TRegExprError::NumberTooLarge, start);
  return static_cast<int32_t>(value);
}

std::string TKVRegExprMatcher::ReadName() {
  const size_t open = m_Pos - 1;  // the "<"
  size_t close = m_Pattern.find('>', m_Pos);
  if (close == std::string::npos) Fail(TRegExprError::UnterminatedName, open);
  std::string name = m_Pattern.substr(m_Pos, close - m_Pos);
  m_Pos = close + 1;
  return name;
}

void TKVRegExprMatcher::ParseQuantifier(int32_t nodeIndex) {
  int32_t min = 1, max = 1;
  uint8_t kind = qkOnce;
  switch (Cur()) {
    case '*': kind = qkStar; min = 0; max = kInfinite; ++m_Pos; break;
    case '+': kind = qkPlus; min = 1; max = kInfinite; ++m_Pos; break;
    case '?': kind = qkOptional; min = 0; max = 1; ++m_Pos; break;
    case '{': {
      const size_t open = m_Pos;
      ++m_Pos;
      const size_t numberAt = m_Pos;
      int32_t n = ReadNumber();
      if (Cur() == '}') {
        if (n == 0) Fail(TRegExprError::ZeroCount, numberAt);
        kind = qkExact;
        min = max = n;
        ++m_Pos;
      } else if (Cur() == ',') {
        ++m_Pos;
        if (Cur() == '}') {
          kind = qkAtLeast;
          min = n;
          max = kInfinite;
          ++m_Pos;
        } else {
          int32_t m = ReadNumber();
          if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
          if (Cur() != '}') Fail(TRegExprError::MissingBrace, m_Pos);
          if (n >= m) Fail(TRegExprError::MinNotBelowMax, open);
          kind = qkRange;
          min = n;
          max = m;
          ++m_Pos;
        }
      } else if (m_Pos >= m_Pattern.size()) {
        Fail(TRegExprError::UnexpectedEnd, m_Pos);
      } else {
        Fail(TRegExprError::MissingBrace, m_Pos);
      }
      break;
    }
    default:
      return;
  }
  TNode& node = m_Program[nodeIndex];
  node.Quantifier = kind;
  node.Min = min;
  node.Max = max;
}

// After "\": the code of an escaped single character (control letters, "\xHH", anything else itself).
int TKVRegExprMatcher::ParseEscapedChar() {
  const char c = Cur();
  switch (c) {
    case 'a': ++m_Pos; return 7;
    case 'e': ++m_Pos; return 27;
    case 'f': ++m_Pos; return 12;
    case 'n': ++m_Pos; return 10;
    case 'r': ++m_Pos; return 13;
    case 't': ++m_Pos; return 9;
    case 'v': ++m_Pos; return 11;
    case 'x': {
      if (!IsHex(At(m_Pos + 1))) Fail(TRegExprError::InvalidHexChar, m_Pos + 1);
      if (!IsHex(At(m_Pos + 2))) Fail(TRegExprError::InvalidHexChar, m_Pos + 2);
      int value = HexValue(At(m_Pos + 1)) * 16 + HexValue(At(m_Pos + 2));
      m_Pos += 3;
      return value;
    }
    default:
      ++m_Pos;
      return static_cast<unsigned char>(c);
  }
}

void TKVRegExprMatcher::ParseEscape() {
  const size_t backslash = m_Pos;
  ++m_Pos;
  if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
  const char c = Cur();
  TCharSet set{};
  if (AddClass(c, set)) {
    ++m_Pos;
    int32_t n = AddNode(nkSet, AddSet(set));
    ParseQuantifier(n);
  } else if (c == '<') {
    ++m_Pos;
    std::string name = ReadName();
    AddNode(nkBackRef, FindOrAddNamedGroup(name));
  } else if (IsDigit(c)) {
    ++m_Pos;
    AddNode(nkBackRef, c - '0');
  } else if (c == 'b' || c == 'B') {
    Fail(TRegExprError::InvalidEscape, backslash);
  } else {
    unsigned char ch = static_cast<unsigned char>(ParseEscapedChar());
    int32_t n = AddNode(nkLiteral, m_CompileCase ? ch : UpperAscii(ch));
    ParseQuantifier(n);
  }
}

// One character of a set member: a plain character that is not a metacharacter or a character escape.
int TKVRegExprMatcher::ParseSetChar() {
  const char c = Cur();
  if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
  if (c == '\\') {
    const size_t backslash = m_Pos;
    ++m_Pos;
    const char e = Cur();
    if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
    if (e == 'b' || e == 'B' || e == 'd' || e == 'h' || e == 's' || e == 'w' || IsDigit(e)) Fail(TRegExprError::InvalidEscape, backslash);
    return ParseEscapedChar();
  }
  if (IsMeta(c)) Fail(TRegExprError::UnexpectedMeta, m_Pos);
  ++m_Pos;
  return static_cast<unsigned char>(c);
}

void TKVRegExprMatcher::ParseSet() {
  ++m_Pos;  // "["
  bool negated = false;
  if (Cur() == '^') {
    negated = true;
    ++m_Pos;
  }
  if (Cur() == ']') Fail(TRegExprError::EmptySet, m_Pos);
  TCharSet set{};
  for (;;) {
    if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
    if (Cur() == ']') {
      ++m_Pos;
      break;
    }
    if (Cur() == '\\' && AddClass(At(m_Pos + 1), set)) {
      m_Pos += 2;
      continue;
    }
    int lo = ParseSetChar();
    if (Cur() == '-') {
      ++m_Pos;
      int hi = ParseSetChar();
      if (lo > hi) std::swap(lo, hi);
      for (int c = lo; c <= hi; ++c) {
        set[c] = true;
        if (!m_CompileCase) set[UpperAscii(static_cast<unsigned char>(c))] = true;
      }
    } else {
      set[m_CompileCase ? lo : UpperAscii(static_cast<unsigned char>(lo))] = true;
    }
  }
  int32_t n = AddNode(negated ? nkNegatedSet : nkSet, AddSet(set));
  ParseQuantifier(n);
}

// "(?" [blanks] ( ["-"] "i" )+ ")": the mode holds for the rest of the pattern.
void TKVRegExprMatcher::ParseModeSwitch() {
  ++m_Pos;  // "?"
  while (Cur() == ' ' || Cur() == '\t') ++m_Pos;
  bool caseSensitive = m_CompileCase;
  bool any = false;
  for (;;) {
    if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
    if (Cur() == ')' && any) {
      ++m_Pos;
      break;
    }
    bool minus = false;
    if (Cur() == '-') {
      minus = true;
      ++m_Pos;
      if (m_Pos >= m_Pattern.size()) Fail(TRegExprError::UnexpectedEnd, m_Pos);
    }
    if (Cur() != 'i') Fail(TRegExprError::ModeChar, m_Pos);
    ++m_Pos;
    caseSensitive = minus;
    any = true;
  }
  AddNode(nkMode, caseSensitive ? 1 : 0);
  m_CompileCase = caseSensitive;
}

void TKVRegExprMatcher::ParseSubExpression(bool negative) {
  const size_t open = m_Pos;
  ++m_Pos;  // "("
  if (Cur() == '#') {
    size_t close = m_Pattern.find(')', m_Pos);
    if (close == std::string::npos) Fail(TRegExprError::MissingParen, m_Pattern.size());
    m_Pos = close + 1;
    return;
  }
  if (Cur() == '?') {
    ParseModeSwitch();
    return;
  }
  if (++m_Depth > kMaxNesting) Fail(TRegExprError::TooDeeplyNested, open);

  int32_t group = -1;
  if (Cur() == ':') {
    ++m_Pos;
    if (IsDigit(Cur())) {
      group = Cur() - '0';
      ++m_Pos;
    } else if (Cur() == '<') {
      ++m_Pos;
      group = FindOrAddNamedGroup(ReadName());
    } else {
      Raise(TRegExprError::GroupNumber, 0, "TKVRegExprMatcher.Compile");
    }
    AddNode(nkCaptureStart, group);
  }
  const int32_t start = AddNode(nkSubStart);
  if (Cur() == ')' || Cur() == '|') Fail(TRegExprError::EmptySubExpression, m_Pos);

  int32_t last = start;  // the node whose link goes to the next alternative or the end
  bool firstSequence = true;
  for (;;) {
    ParseSequence();
    const char c = Cur();
    if (m_Pos >= m_Pattern.size()) Fail(firstSequence ? TRegExprError::TerminatorInSubExpression : TRegExprError::MissingParen, m_Pos);
    switch (c) {
      case '(':
        ParseSubExpression(false);
        break;
      case '!':
        if (At(m_Pos + 1) != '(') Fail(TRegExprError::StartingParenExpected, m_Pos + 1);
        ++m_Pos;
        ParseSubExpression(true);
        break;
      case '|': {
        int32_t alt = AddNode(nkAlternative);
        m_Program[last].Operand = alt;
        last = alt;
        ++m_Pos;
        break;
      }
      case ')': {
        int32_t end = AddNode(negative ? nkNegativeEnd : nkSubEnd, start);
        ++m_Pos;
        ParseQuantifier(end);
        // The start node carries the repetition too, so that a reader of the program sees it up front.
        m_Program[start].Quantifier = m_Program[end].Quantifier;
        m_Program[start].Min = m_Program[end].Min;
        m_Program[start].Max = m_Program[end].Max;
        m_Program[last].Operand = end;
        if (group >= 0) AddNode(nkCaptureEnd, group);
        --m_Depth;
        return;
      }
      case '$':
      case '^':
        Fail(firstSequence ? TRegExprError::TerminatorInSubExpression : TRegExprError::UnexpectedMeta, m_Pos);
      default:  // a boundary escape at the very end of the pattern, inside an open group
        Fail(TRegExprError::InvalidEscape, m_Pos);
    }
    firstSequence = false;
  }
}

// --- First-character set ----------------------------------------------------------------------------------

bool TKVRegExprMatcher::ItemTest(const TNode& node, unsigned char c, bool caseSens) const {
  const unsigned char probe = caseSens ? c : UpperAscii(c);
  switch (node.Kind) {
    case nkAny: return c != '\n';
    case nkLiteral: return probe == static_cast<unsigned char>(node.Operand);
    case nkSet: return m_Sets[node.Operand][probe];
    case nkNegatedSet: return !m_Sets[node.Operand][probe];
    default: return true;
  }
}

int32_t TKVRegExprMatcher::EndOfSubExpression(int32_t index) const {
  int32_t i = m_Program[index].Operand;
  while (m_Program[i].Kind == nkAlternative) i = m_Program[i].Operand;
  return i;
}

// Collects the characters that can begin a match from node `from` up to (not including) `stop`.
// Returns 0 when every path meets a consuming item, 1 when the nodes can all be passed without consuming,
// -1 when the walk cannot tell (the caller then admits every character).
int TKVRegExprMatcher::FirstCharWalk(int32_t from, int32_t stop, bool& caseSens, bool mixedModes, int depth) {
  int32_t i = from;
  while (i < stop) {
    const TNode& node = m_Program[i];
    switch (node.Kind) {
      case nkMode:
        caseSens = node.Operand != 0;
        ++i;
        break;
      case nkMarker:
      case nkCaptureStart:
      case nkCaptureEnd:
        ++i;
        break;
      case nkAny:
      case nkLiteral:
      case nkSet:
      case nkNegatedSet:
        for (int c = 0; c < 256; ++c) {
          const unsigned char ch = static_cast<unsigned char>(c);
          // A failed alternative may leave the other case mode behind, so mixed patterns admit both.
          if (ItemTest(node, ch, caseSens) || (mixedModes && ItemTest(node, ch, !caseSens)))
            m_FirstCharSet[c] = true;
        }
        if (node.Min > 0) return 0;
        ++i;
        break;
      case nkSubStart: {
        const int32_t end = EndOfSubExpression(i);
        if (m_Program[end].Kind == nkNegativeEnd || depth > kMaxNesting) return -1;
        int32_t altStart = i + 1;
        int32_t sep = node.Operand;
        bool optional = false;
        for (;;) {
          bool altCase = caseSens;
          int r = FirstCharWalk(altStart, sep, altCase, mixedModes, depth + 1);
          if (r < 0) return -1;
          // An alternative that can match nothing lets the sub-expression end without consuming, so what
          // follows it can start the match as well.
          if (r > 0) optional = true;
          if (m_Program[sep].Kind != nkAlternative) break;
          altStart = sep + 1;
          sep = m_Program[sep].Operand;
        }
        if (m_Program[end].Min > 0 && !optional) return 0;
        i = end + 1;
        break;
      }
      default:
        return -1;
    }
  }
  return 1;
}

void TKVRegExprMatcher::ComputeFirstCharSet() {
  bool mixedModes = false;
  for (size_t i = 1; i < m_Program.size(); ++i)
    if (m_Program[i].Kind == nkMode) mixedModes = true;
  m_FirstCharSet.fill(false);
  bool caseSens = m_CaseSensitive;
  if (FirstCharWalk(0, static_cast<int32_t>(m_Program.size()), caseSens, mixedModes, 0) != 0)
    m_FirstCharSet.fill(true);
}

// --- Search shortcuts -------------------------------------------------------------------------------------

namespace {

constexpr int32_t kPollInterval = 1 << 14;  // interpreter steps between two polls

bool IsSingleItem(uint8_t kind) {
  return kind == nkAny || kind == nkLiteral || kind == nkSet || kind == nkNegatedSet;
}

}  // namespace

void TKVRegExprMatcher::PlanShortcuts() {
  m_CanSkipFailures = true;
  for (const TNode& n : m_Program)
    if (n.Kind == nkBackRef) m_CanSkipFailures = false;
  m_Checkpoint.assign(m_Program.size(), 0);
  for (size_t i = 1; i < m_Program.size(); ++i) {
    const TNode& before = m_Program[i - 1];
    const uint8_t kind = m_Program[i].Kind;
    // These end a try rather than lead on within it.
    if (kind == nkAlternative || kind == nkSubEnd || kind == nkNegativeEnd) continue;
    // Behind a repetition or a sub-expression the same state is reached again from many earlier starts.
    if ((IsSingleItem(before.Kind) && before.Max > 1) || before.Kind == nkSubEnd || before.Kind == nkNegativeEnd)
      m_Checkpoint[i] = 1;
  }
  ResetShortcuts();
}

void TKVRegExprMatcher::ResetShortcuts() {
  m_ItemRuns.assign(m_Program.size(), TItemRun{});
  m_Failing.assign(m_Program.size(), {});
  m_Pending.clear();
  m_Undo.clear();
}

// Two bits per state (node, pos, case mode): whether it is known to fail, and the case mode the failure
// left behind (a mode switch on a failed path stays in force for what is tried next).
bool TKVRegExprMatcher::KnownToFail(int32_t node, int32_t pos, bool& caseSens) const {
  const std::vector<uint64_t>& bits = m_Failing[static_cast<size_t>(node)];
  if (bits.empty()) return false;
  const size_t bit = 2 * (2 * static_cast<size_t>(pos) + (caseSens ? 1 : 0));
  const uint64_t word = bits[bit >> 6] >> (bit & 63);
  if (!(word & 1)) return false;
  caseSens = (word & 2) != 0;
  return true;
}

// The states entered since `pendingMark` all led to the failure being handled now, in case mode
// `caseSens`.
void TKVRegExprMatcher::SettleFailed(size_t pendingMark, bool caseSens) {
  for (size_t i = pendingMark; i < m_Pending.size(); ++i) {
    const TPendingState& state = m_Pending[i];
    // A failure that passed a bead marker must be run again to record it again.
    if (state.MarkerWrites != m_MarkerWrites) continue;
    std::vector<uint64_t>& bits = m_Failing[static_cast<size_t>(state.Node)];
    if (bits.empty()) bits.assign((4 * (m_Subject.size() + 1) + 63) / 64, 0);
    const size_t bit = 2 * (2 * static_cast<size_t>(state.Pos) + (state.CaseSens ? 1 : 0));
    bits[bit >> 6] |= (caseSens ? uint64_t{3} : uint64_t{1}) << (bit & 63);
  }
  m_Pending.resize(pendingMark);
}

void TKVRegExprMatcher::UndoCaptures(size_t undoMark) {
  while (m_Undo.size() > undoMark) {
    const TCaptureUndo& u = m_Undo.back();
    m_Groups[static_cast<size_t>(u.Group)].Start = u.Start;
    m_Groups[static_cast<size_t>(u.Group)].End = u.End;
    m_Undo.pop_back();
  }
}

// Outside every sub-expression a failure fails the whole start, which clears all captures anyway, so only
// changes inside one need to be undoable.
void TKVRegExprMatcher::SetCapture(int32_t group, int32_t start, int32_t end, int32_t depth) {
  TGroup& g = m_Groups[static_cast<size_t>(group)];
  if (depth > 0) m_Undo.push_back({group, g.Start, g.End});
  g.Start = start;
  g.End = end;
}

void TKVRegExprMatcher::Tick(int32_t work) {
  m_PollBudget -= work;
  if (m_PollBudget > 0) return;
  m_PollBudget = kPollInterval;
  if (m_Poll) m_Poll();
}

// --- Searching --------------------------------------------------------------------------------------------

void TKVRegExprMatcher::SetSubject(const std::string& subject) {
  m_Subject = UpToNul(subject);
  m_SearchPos = m_MatchStart = m_MatchLength = 0;
  m_Matched = false;
  ClearGroups();
  m_Markers.fill(0);
  ResetShortcuts();
}

void TKVRegExprMatcher::ClearGroups() {
  for (TGroup& g : m_Groups) g.Start = g.End = 0;
}

bool TKVRegExprMatcher::IsWordAt(int32_t pos) const {
  return pos < static_cast<int32_t>(m_Subject.size()) && IsWordChar(static_cast<unsigned char>(m_Subject[pos]));
}

bool TKVRegExprMatcher::EndAnchorHolds(int32_t pos) const {
  const int32_t len = static_cast<int32_t>(m_Subject.size());
  switch (m_EndAnchor) {
    case 1: return pos >= len || m_Subject[pos] == '\n' || m_Subject[pos] == '\r';
    case 2: return !IsWordAt(pos);
    case 3: return IsWordAt(pos);
    default: return true;
  }
}

// The candidate after `pos` for a word-anchored search: past the run of word (\b) or non-word (\B)
// characters and one more character.
int32_t TKVRegExprMatcher::NextAnchoredCandidate(int32_t pos) const {
  const int32_t len = static_cast<int32_t>(m_Subject.size());
  const bool skipWord = m_StartAnchor == 2;
  while (pos < len && IsWordAt(pos) == skipWord) ++pos;
  return pos < len ? pos + 1 : len;
}

bool TKVRegExprMatcher::FindFirst() {
  if (!m_Compiled) Raise(TRegExprError::NotCompiled, 0, "TKVRegExprMatcher.FindFirst");
  return Search(true);
}

bool TKVRegExprMatcher::FindNext() {
  if (!m_Compiled) Raise(TRegExprError::NotCompiled, 0, "TKVRegExprMatcher.FindNext");
  return Search(false);
}

bool TKVRegExprMatcher::Search(bool first) {
  if (first) m_SearchPos = 0;
  ClearGroups();
  m_Markers.fill(0);
  m_Matched = false;
  m_MatchStart = m_MatchLength = 0;
  if (m_EmptyLineMode) return SearchEmptyLine(first);

  const int32_t len = static_cast<int32_t>(m_Subject.size());
  int32_t pos = m_SearchPos;
  bool exhausted = false;
  if (!first && m_StartAnchor == 1) {
    size_t lf = m_Subject.find('\n', static_cast<size_t>(pos));
    if (lf == std::string::npos) exhausted = true;
    else pos = static_cast<int32_t>(lf) + 1;
  } else if (!first && m_StartAnchor == 2) {
    pos = NextAnchoredCandidate(pos);
  }
  if (m_StartAnchor == 3) pos = NextAnchoredCandidate(pos);

  while (!exhausted && pos < len) {
    if (!m_UseFirstCharSet || m_FirstCharSet[static_cast<unsigned char>(m_Subject[pos])]) {
      int32_t endPos = pos;
      if (RunAt(pos, endPos)) {
        m_MatchStart = pos;
        m_MatchLength = endPos - pos;
        m_SearchPos = endPos;
        m_Matched = true;
        return true;
      }
    }
    switch (m_StartAnchor) {
      case 1: {
        size_t lf = m_Subject.find('\n', static_cast<size_t>(pos));
        if (lf == std::string::npos) exhausted = true;
        else pos = static_cast<int32_t>(lf) + 1;
        break;
      }
      case 2:
      case 3:
        pos = NextAnchoredCandidate(pos);
        break;
      default:
        ++pos;
    }
  }
  m_SearchPos = 0;
  return false;
}

// "^$": an empty subject (first search only), or a line beginning with a line break.
bool TKVRegExprMatcher::SearchEmptyLine(bool first) {
  const int32_t len = static_cast<int32_t>(m_Subject.size());
  if (first && len == 0) {
    m_Matched = true;
    return true;
  }
  size_t pos = static_cast<size_t>(m_SearchPos);
  while (pos < m_Subject.size()) {
    if (m_Subject[pos] == '\r' || m_Subject[pos] == '\n') {
      size_t lf = m_Subject.find('\n', pos);
      m_SearchPos = lf == std::string::npos ? len : static_cast<int32_t>(lf) + 1;
      m_Matched = true;
      return true;
    }
    size_t lf = m_Subject.find('\n', pos);
    if (lf == std::string::npos) break;
    pos = lf + 1;
  }
  m_SearchPos = 0;
  return false;
}

// Runs the program once with the match starting at `start`. Repetitions are greedy and final, alternatives
// commit to the first that completes; failure goes to the innermost open sub-expression's next alternative.
// A failed start leaves the captures cleared, as the search hands them over.
bool TKVRegExprMatcher::RunAt(int32_t start, int32_t& endPos) {
  std::array<TFrame, kMaxFrames>& frames = m_Frames;
  int32_t depth = 0;
  const int32_t len = static_cast<int32_t>(m_Subject.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(m_Subject.data());
  int32_t p = start;
  bool caseSens = m_CaseSensitive;
  bool failed = false;
  bool reentry = false;
  int32_t ip = 0;
  m_Pending.clear();
  m_Undo.clear();

  for (;;) {
    Tick(1);
    if (failed) {
      if (depth == 0) {
        SettleFailed(0, caseSens);
        ClearGroups();
        return false;
      }
      TFrame& f = frames[depth - 1];
      SettleFailed(f.PendingMark, caseSens);
      UndoCaptures(f.UndoMark);
      ip = f.NextAlt;
    } else if (m_CanSkipFailures && !reentry && m_Checkpoint[ip]) {
      if (KnownToFail(ip, p, caseSens)) {
        failed = true;
        continue;
      }
      m_Pending.push_back({ip, p, caseSens, m_MarkerWrites});
    }
    const TNode& node = m_Program[ip];
    switch (node.Kind) {
      case nkEnd:
        if (!EndAnchorHolds(p)) {
          failed = true;
          break;
        }
        m_Pending.clear();
        m_Undo.clear();
        endPos = p;
        if (p > start) return true;
        ClearGroups();
        return false;
      case nkMode:
        caseSens = node.Operand != 0;
        ++ip;
        break;
      case nkMarker:
        m_Markers[node.Operand] = p;
        ++m_MarkerWrites;
        ++ip;
        break;
      case nkCaptureStart:
        SetCapture(node.Operand, p, p, depth);
        ++ip;
        break;
      case nkCaptureEnd:
        SetCapture(node.Operand, m_Groups[node.Operand].Start, p, depth);
        ++ip;
        break;
      case nkBackRef: {
        const TGroup& g = m_Groups[node.Operand];
        const int32_t glen = g.End > g.Start ? g.End - g.Start : 0;
        if (glen == 0) {
          ++ip;
          break;
        }
        int32_t count = 0;
        while (count < node.Max && p + glen <= len) {
          bool same = true;
          for (int32_t k = 0; k < glen && same; ++k) {
            unsigned char a = s[g.Start + k], b = s[p + k];
            same = caseSens ? a == b : UpperAscii(a) == UpperAscii(b);
          }
          Tick(glen / 64);
          if (!same) break;
          p += glen;
          ++count;
        }
        if (count < node.Min) failed = true;
        else ++ip;
        break;
      }
      case nkSubStart:
        if (!reentry) {
          if (depth >= kMaxFrames)
            Raise(TRegExprError::TooDeeplyNested, static_cast<int32_t>(kMaxFrames), "TKVRegExprMatcher.Match");
          frames[depth++] = TFrame{p, node.Operand, 0, m_Undo.size(), m_Pending.size()};
        } else {
          frames[depth - 1].UndoMark = m_Undo.size();
          frames[depth - 1].PendingMark = m_Pending.size();
        }
        reentry = false;
        frames[depth - 1].NextAlt = node.Operand;
        ++ip;
        break;
      case nkAlternative:
        if (failed) {
          TFrame& f = frames[depth - 1];
          p = f.SavedPos;
          f.NextAlt = node.Operand;
          failed = false;
          ++ip;
        } else {
          ip = EndOfSubExpression(ip);  // the alternatives after a completed one are not tried
        }
        break;
      case nkSubEnd: {
        TFrame& f = frames[depth - 1];
        if (!failed) {
          ++f.Count;
          m_Pending.resize(f.PendingMark);  // the try completed: nothing it passed through failed it
          if (p == f.SavedPos) {
            // An iteration that matched nothing would match nothing again at the same place, so it stands
            // for all the iterations still allowed: the repetition ends here, having consumed only what
            // earlier iterations matched.
            --depth;
            ++ip;
          } else if (f.Count < node.Max && (p < len || f.Count < node.Min)) {
            // At the subject's end only a repetition still short of its minimum tries again: an iteration
            // there can match nothing at best, which then completes it.
            f.SavedPos = p;
            if (m_CanSkipFailures && f.Count >= node.Min && node.Max == kInfinite) {
              // Past its minimum an unbounded repetition goes on alike whichever iteration brought it here.
              if (KnownToFail(ip, p, caseSens)) {
                --depth;
                failed = true;
                break;
              }
              m_Pending.push_back({ip, p, caseSens, m_MarkerWrites});
            }
            ip = node.Operand;
            reentry = true;
          } else {
            --depth;
            if (f.Count >= node.Min) ++ip;
            else failed = true;
          }
        } else {
          p = f.SavedPos;
          --depth;
          failed = f.Count < node.Min;
          if (!failed) ++ip;
        }
        break;
      }
      case nkNegativeEnd: {
        TFrame& f = frames[depth - 1];
        --depth;
        if (!failed) {
          m_Pending.resize(f.PendingMark);
          failed = true;
        } else {
          p = f.SavedPos;
          failed = false;
          ++ip;
        }
        break;
      }
      default: {  // single items
        int32_t count = 0;
        // A repeated item stops where its run of matching characters ends, from wherever in the run it
        // starts: a run scanned once is not scanned again.
        TItemRun* run = node.Max > 1 ? &m_ItemRuns[static_cast<size_t>(ip)] : nullptr;
        if (run && run->From >= 0 && run->CaseSens == caseSens && p >= run->From && p <= run->To) {
          count = run->To - p;
          p = run->To;
        } else {
          const int32_t from = p;
          if (node.Kind == nkAny) {
            while (count < node.Max && p < len && s[p] != '\n') ++p, ++count;
          } else if (node.Kind == nkLiteral) {
            const unsigned char lit = static_cast<unsigned char>(node.Operand);
            while (count < node.Max && p < len && (caseSens ? s[p] : UpperAscii(s[p])) == lit) ++p, ++count;
          } else {
            const TCharSet& set = m_Sets[node.Operand];
            const bool want = node.Kind == nkSet;
            while (count < node.Max && p < len && set[caseSens ? s[p] : UpperAscii(s[p])] == want) ++p, ++count;
          }
          if (run && count < node.Max) *run = TItemRun{from, p, caseSens};
          Tick(count / 64);
        }
        if (count < node.Min) failed = true;
        else ++ip;
        break;
      }
    }
    if (depth == 0 && !m_Undo.empty()) m_Undo.clear();
  }
}

// --- Results ----------------------------------------------------------------------------------------------

std::string TKVRegExprMatcher::MatchText() const {
  if (!m_Matched || m_MatchLength <= 0) return {};
  return m_Subject.substr(static_cast<size_t>(m_MatchStart), static_cast<size_t>(m_MatchLength));
}

bool TKVRegExprMatcher::IsMatch(const std::string& text) {
  SetSubject(text);
  return FindFirst() && m_MatchLength == static_cast<int32_t>(m_Subject.size());
}

std::string TKVRegExprMatcher::GroupText(int32_t number) const {
  if (number < 0 || number > 9) Raise(TRegExprError::GroupNumber, 0, "TKVRegExprMatcher.GroupText");
  const TGroup& g = m_Groups[number];
  const int32_t len = static_cast<int32_t>(m_Subject.size());
  if (g.Start >= len || g.End <= g.Start) return {};
  return m_Subject.substr(static_cast<size_t>(g.Start), static_cast<size_t>(std::min(g.End, len) - g.Start));
}

std::string TKVRegExprMatcher::GroupText(const std::string& name) const {
  for (size_t i = kNumberedGroups; i < m_Groups.size(); ++i) {
    if (!SameTextAscii(m_Groups[i].Name, name)) continue;
    const TGroup& g = m_Groups[i];
    const int32_t len = static_cast<int32_t>(m_Subject.size());
    if (g.Start >= len || g.End <= g.Start) return {};
    return m_Subject.substr(static_cast<size_t>(g.Start), static_cast<size_t>(std::min(g.End, len) - g.Start));
  }
  return {};
}

int32_t TKVRegExprMatcher::Marker(int32_t number) const {
  if (number < 0 || number > 9) Raise(TRegExprError::MarkerNumber, 0, "TKVRegExprMatcher.Marker");
  return m_Markers[number];
}

std::string TKVRegExprMatcher::Expand(const std::string& templ) const {
  if (templ.find('%') == std::string::npos) return templ;
  std::string out;
  size_t i = 0;
  while (i < templ.size()) {
    const char c = templ[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= templ.size()) break;  // a final "%" is dropped
    const char d = templ[i + 1];
    if (IsDigit(d)) {
      out += GroupText(d - '0');
      i += 2;
    } else if (d == '<') {
      size_t close = templ.find('>', i + 2);
      if (close == std::string::npos) {
        out += '<';
        i += 2;
      } else {
        out += GroupText(templ.substr(i + 2, close - i - 2));
        i = close + 1;
      }
    } else {
      out += d;
      i += 2;
    }
  }
  return out;
}

bool TKVRegExprMatcher::ReplaceAll(const std::string& subject, const std::string& replacement, bool expand,
                                   std::string& result) {
  struct TMatch {
    int32_t Start, Length;
    std::string Text;
  };
  SetSubject(subject);
  const bool expandEach = expand && replacement.find('%') != std::string::npos;
  std::vector<TMatch> matches;
  if (FindFirst()) {
    do {
      matches.push_back({m_MatchStart, m_MatchLength, expandEach ? Expand(replacement) : replacement});
    } while (FindNext());
  }
  if (matches.empty()) return false;

  std::string out;
  size_t copied = 0;
  for (const TMatch& m : matches) {
    const size_t at = std::max(copied, static_cast<size_t>(m.Start));
    out.append(m_Subject, copied, at - copied);
    out += m.Text;
    copied = std::max(copied, static_cast<size_t>(m.Start + m.Length));
  }
  out.append(m_Subject, copied, std::string::npos);
  SetSubject(out);
  result = m_Subject;
  return true;
}

std::string TKVRegExprMatcher::ReplaceAll(const std::string& subject, const std::string& replacement,
                                          bool expand) {
  std::string result = subject;
  ReplaceAll(subject, replacement, expand, result);
  return result;
}
