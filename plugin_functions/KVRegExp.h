#pragma once
// The plug-in module's own regular-expression matcher.
//
// The dialect is deliberately not the usual one, and users rely on its differences:
//  - matching ignores ASCII case unless the pattern (or CaseSensitive) says otherwise; "(?-i)" switches to
//    case-sensitive and "(?i)" back, for the rest of the pattern (not just the enclosing group);
//  - plain parentheses only group; captures are explicit: "(:n ...)" for group n (0-9) or "(:<name> ...)";
//    back-references are "\n" and "\<name>", template references in Expand "%n" and "%<name>";
//  - repetition (* + ? {n} {n,} {n,m}) takes as much as it can and never gives characters back, so "a*a"
//    never matches; alternation "(x|y)" commits to the first alternative that completes; a repeated group
//    whose iteration matches nothing ends its repetition there, so "(b*)*" consumes only b's;
//  - the characters of "$()*+-.:?@[]^{|}" and "!" never stand for themselves: escape them ("\-", "\:");
//  - "|" is only allowed inside parentheses; "!(...)" is a negative look-ahead that consumes nothing;
//    "@n" records the current offset in bead marker n; "(#...)" is a comment;
//  - "^"/"$" are line anchors and may only stand first/last; "\b"/"\B" only as the pattern's first or
//    last two characters (word boundary / not a word boundary);
//  - "{n,m}" needs n < m ("{2}" is how "{2,2}" is written), "{0}" is refused.
// The pattern is compiled into a flat node program that a small interpreter runs without recursion,
// against an 8-bit subject that ends at its first NUL character. Empty matches are never reported.
// A capture holds what it took on the way to the match: one taken on a path that failed afterwards (an
// alternative given up, the failed last try of a repetition, a failed start position) is undone.
//
// Because nothing is ever given back, every part of a pattern is a function of where it starts (and of
// the case mode). The search exploits that so that the usual pathological inputs cost time linear in the
// subject: a repeated item that scanned a run once knows where the run ends from any position inside it,
// and a point of the program that once led to failure from a position is not run from there again. The
// latter needs the outcome not to depend on captures, so patterns with back-references go without it (see
// bench/RegExpBench.cpp for what that costs). Bead markers never change the outcome, but a failed path
// that passed one leaves it recorded: a failure is only remembered where no marker was passed on the way,
// so that skipping it leaves the markers as running it would have.
//
// A matcher holds its subject and search state and is used by one thread at a time.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/KVExceptions.h"
#include "foundation/KVRefObject.h"

// The matcher's errors. The numbers are the error numbers users and stored error information know (the
// gaps are numbers never raised).
enum class TRegExprError : int32_t {
  NotCompiled = 0,
  BlankPattern = 1,
  InvalidPattern = 2,
  UnexpectedEnd = 3,
  UnexpectedMeta = 4,
  AfterEndAnchor = 5,
  InvalidEscape = 6,
  EmptySet = 7,
  MinNotBelowMax = 8,
  MissingBrace = 9,
  ZeroCount = 10,
  NumberExpected = 11,
  NumberTooLarge = 12,
  TerminatorInSubExpression = 13,
  MissingParen = 14,
  MarkerNumber = 15,
  EmptySubExpression = 17,
  InvalidHexChar = 18,
  StartingParenExpected = 19,
  TooDeeplyNested = 20,
  GroupNumber = 21,
  ModeChar = 23,
  UnterminatedName = 24,
};

// Compile and search errors of the matcher: Error() says which, the message is the matcher's text for it
// with the 1-based pattern position filled in where the text has one. ErrorCode() / GetErrorCode() give
// the number, for error information that outlives the exception.
class ERegExpr : public EKVException, public IKVErrorCode {
 public:
  ERegExpr(TRegExprError error, const std::string& message, const TKVRefLifeObject* object, std::string routineName);
  KV_EXCEPTION_CLASS(ERegExpr, EKVException)
  TRegExprError Error() const { return m_Error; }
  int32_t ErrorCode() const { return static_cast<int32_t>(m_Error); }
  int32_t GetErrorCode() const override { return ErrorCode(); }

 private:
  TRegExprError m_Error;
};

// The text of `error` with "%d" replaced by `position`.
std::string KVRegExprErrorText(TRegExprError error, int32_t position);
// The same by error number (as stored); "Unknown Error Code" for a number that names no error.
std::string KVRegExprErrorText(int32_t code, int32_t position);

class TKVRegExprMatcher;

// How a matcher is handed on between parts of the module: the object behind the reference.
class IKVRegExprMatcher {
 public:
  static constexpr TGUID IID = KVGuid("{6F1C2B7E-3A5D-4E8B-9C21-7D4A0B5E8F13}");
  virtual ~IKVRegExprMatcher() = default;
  virtual TKVRegExprMatcher* GetMatcher() = 0;
};

class TKVRegExprMatcher : public TKVRefLifeObject, public IKVRegExprMatcher {
 public:
  static constexpr int32_t kMaxFrames = 64;         // interpreter frame stack
  static constexpr int32_t kMaxNesting = 63;        // deepest sub-expression nesting a pattern may have
  static constexpr int32_t kNumberedGroups = 10;    // groups 0-9; named groups follow from index 10
  static constexpr int32_t kMarkers = 10;

  // Not compiled; SetPattern compiles later.
  TKVRegExprMatcher();
  // Compiles `pattern` (case-insensitive, first-character set on). A compile error raises ERegExpr, so no
  // matcher exists for a bad pattern.
  explicit TKVRegExprMatcher(const std::string& pattern);
  ~TKVRegExprMatcher() override;

  void* GetInterface(const TGUID& iid) override;
  std::string ClassName() const override { return "TKVRegExprMatcher"; }
  TKVRegExprMatcher* GetMatcher() override { return this; }

  // --- Pattern --------------------------------------------------------------------------------------------
  // Compiles when nothing is compiled yet or the text differs from the current pattern. The pattern ends at
  // its first NUL. On error raises ERegExpr and the matcher is left not compiled (anchors, program and
  // groups reset).
  void SetPattern(const std::string& pattern);
  const std::string& Pattern() const { return m_Pattern; }
  bool Compiled() const { return m_Compiled; }

  // The case mode the program starts with (default false). Changing it recompiles a compiled pattern,
  // since literals are stored upper-cased in case-insensitive mode.
  bool CaseSensitive() const { return m_CaseSensitive; }
  void SetCaseSensitive(bool value);
  // Whether the search skips candidate positions whose character cannot begin a match (default true).
  // Changing it recompiles a compiled pattern. The set never excludes a position where a match exists.
  bool UseFirstCharSet() const { return m_UseFirstCharSet; }
  void SetUseFirstCharSet(bool value);
  // Membership in the computed first-character set (meaningful after a compile with the set on).
  bool FirstCharSetHas(unsigned char c) const { return m_FirstCharSet[c]; }

  // Anchors found by the last compile: 0 none, 1 line ("^" / "$"), 2 word boundary, 3 not a word boundary.
  int StartAnchor() const { return m_StartAnchor; }
  int EndAnchor() const { return m_EndAnchor; }
  // True only for the pattern "^$", which searches for empty lines.
  bool EmptyLineMode() const { return m_EmptyLineMode; }
  // Number of nodes in the compiled program (mode node and end node included); 0 when not compiled.
  size_t ProgramSize() const { return m_Program.size(); }

  // --- Searching ------------------------------------------------------------------------------------------
  // Keeps a private copy (up to the first NUL) and resets the search to the subject start.
  void SetSubject(const std::string& subject);
  const std::string& Subject() const { return m_Subject; }

  // FindFirst searches from the subject start, FindNext from the end of the previous match. Both raise
  // ERegExpr error 0 when no pattern is compiled. After a failed search the next one starts at the subject
  // start again. The "^$" pattern finds empty lines but reports no match position (MatchStart and
  // MatchLength stay 0).
  bool FindFirst();
  bool FindNext();
  bool Matched() const { return m_Matched; }
  int32_t MatchStart() const { return m_MatchStart; }    // offset from the subject start
  int32_t MatchLength() const { return m_MatchLength; }
  std::string MatchText() const;

  // SetSubject(text), FindFirst, and true only when that first match covers the whole text.
  bool IsMatch(const std::string& text);

  // Text of the last capture of group 0-9 (empty when nothing was captured); any other number raises
  // ERegExpr error 21.
  std::string GroupText(int32_t number) const;
  // Text of a named group, the name compared ignoring ASCII case; empty for an unknown name.
  std::string GroupText(const std::string& name) const;

  // Offset recorded by bead marker 0-9 during the last search (0 when not passed); any other number raises
  // ERegExpr error 15.
  int32_t Marker(int32_t number) const;

  // The template with "%n" replaced by GroupText(n) and "%<name>" by GroupText(name); "%" before any other
  // character gives that character, a final "%" is dropped, "%<" without ">" keeps the "<". A template
  // without "%" comes back unchanged. There is no implicit whole-match group.
  std::string Expand(const std::string& templ) const;

  // Replaces every match in `subject` (left to right, non-overlapping) by `replacement`, expanded with the
  // groups of each match when `expand` is set. Returns true and sets `result` (which also becomes the
  // matcher's subject) when at least one match was found; otherwise returns false and leaves `result` as
  // the caller passed it in.
  bool ReplaceAll(const std::string& subject, const std::string& replacement, bool expand, std::string& result);
  // Convenience form: the replaced text, or `subject` itself when nothing matched.
  std::string ReplaceAll(const std::string& subject, const std::string& replacement, bool expand);

  // Message of the last error raised by this matcher (at most 255 characters).
  std::string LastErrorText() const { return std::string(m_ErrorText.data()); }

  // Called now and then while a search runs (roughly every few thousand steps); it stops a long search by
  // raising, and the exception leaves FindFirst / FindNext / IsMatch / ReplaceAll with no match reported.
  // Empty (the default): never asked.
  using TPoll = std::function<void()>;
  void SetPoll(TPoll poll) { m_Poll = std::move(poll); }

 private:
  using TCharSet = std::array<bool, 256>;

  struct TGroup {
    std::string Name;  // empty for 0-9
    int32_t Start = 0;
    int32_t End = 0;
  };

  struct TNode {
    uint8_t Kind = 0;
    uint8_t Quantifier = 1;
    int32_t Min = 1;
    int32_t Max = 1;
    int32_t Operand = 0;  // character, mode flag, marker, group index, node index or set index
  };

  struct TFrame {
    int32_t SavedPos = 0;
    int32_t NextAlt = 0;
    int32_t Count = 0;
    // Where the current try (alternative or iteration) began in the capture undo log and among the
    // states waiting for its outcome.
    size_t UndoMark = 0;
    size_t PendingMark = 0;
  };

  // A capture's bounds before a capture node changed them.
  struct TCaptureUndo {
    int32_t Group, Start, End;
  };
  // A state of the interpreter whose outcome is not known yet: node (or repetition end) `Node` entered at
  // `Pos` in case mode `CaseSens`.
  struct TPendingState {
    int32_t Node, Pos;
    bool CaseSens;
    uint64_t MarkerWrites;  // m_MarkerWrites when the state was entered
  };
  // Where a repeated single item, started at From in one case mode, stopped (not because of its maximum).
  struct TItemRun {
    int32_t From = -1, To = -1;
    bool CaseSens = false;
  };

  void Compile();
  void ResetProgram();
  [[noreturn]] void Fail(TRegExprError error, size_t index);  // compile error at pattern index `index`
  [[noreturn]] void Raise(TRegExprError error, int32_t position, const char* routine) const;

  char Cur() const { return At(m_Pos); }
  char At(size_t i) const { return i < m_Pattern.size() ? m_Pattern[i] : '\0'; }
  int32_t AddNode(uint8_t kind, int32_t operand = 0);
  int32_t AddSet(const TCharSet& set);
  int32_t FindOrAddNamedGroup(const std::string& name);
  std::string ReadName();
  int32_t ReadNumber();
  void ParseSequence();
  void ParseSubExpression(bool negative);
  void ParseModeSwitch();
  void ParseQuantifier(int32_t nodeIndex);
  void ParseSet();
  int ParseSetChar();
  int ParseEscapedChar();
  void ParseEscape();
  void ComputeFirstCharSet();
  int FirstCharWalk(int32_t from, int32_t stop, bool& caseSens, bool mixedModes, int depth);
  bool ItemTest(const TNode& node, unsigned char c, bool caseSens) const;
  int32_t EndOfSubExpression(int32_t index) const;

  void PlanShortcuts();
  void ResetShortcuts();
  bool KnownToFail(int32_t node, int32_t pos, bool& caseSens) const;
  void SettleFailed(size_t pendingMark, bool caseSens);
  void UndoCaptures(size_t undoMark);
  void SetCapture(int32_t group, int32_t start, int32_t end, int32_t depth);
  void Tick(int32_t work);

  bool Search(bool first);
  bool SearchEmptyLine(bool first);
  bool RunAt(int32_t start, int32_t& endPos);
  bool EndAnchorHolds(int32_t pos) const;
  bool IsWordAt(int32_t pos) const;
  int32_t NextAnchoredCandidate(int32_t pos) const;
  void ClearGroups();

  std::string m_Pattern;
  std::string m_Subject;
  bool m_CaseSensitive = false;
  bool m_UseFirstCharSet = true;
  TCharSet m_FirstCharSet{};
  bool m_Compiled = false;
  std::vector<TNode> m_Program;
  std::vector<TCharSet> m_Sets;
  std::vector<TGroup> m_Groups;
  std::array<int32_t, kMarkers> m_Markers{};
  int m_StartAnchor = 0;
  int m_EndAnchor = 0;
  bool m_EmptyLineMode = false;
  int32_t m_SearchPos = 0;
  int32_t m_MatchStart = 0;
  int32_t m_MatchLength = 0;
  bool m_Matched = false;
  // Search shortcuts (see the top of this file); valid for one program and one subject.
  bool m_CanSkipFailures = false;         // no back-references
  uint64_t m_MarkerWrites = 0;            // bead markers recorded so far
  std::vector<uint8_t> m_Checkpoint;      // per node: the states entering it are worth remembering
  std::vector<TItemRun> m_ItemRuns;       // per node
  std::vector<std::vector<uint64_t>> m_Failing;  // per node: states known to fail (see KnownToFail)
  std::vector<TPendingState> m_Pending;
  std::vector<TCaptureUndo> m_Undo;
  std::array<TFrame, kMaxFrames> m_Frames{};  // the interpreter's, kept so that a start costs no set-up
  TPoll m_Poll;
  int32_t m_PollBudget = 0;
  // Compile state
  size_t m_Pos = 0;
  int32_t m_Depth = 0;
  bool m_CompileCase = false;
  mutable std::array<char, 256> m_ErrorText{};
};
