#include "plugin_functions/FVFunctions.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVRefObject.h"
#include "plugin_api/PluginArgs.h"
#include "plugin_functions/KVRegExp.h"

namespace {

using Text = std::u16string;
const Text kWhitespace = u" \t\n\r";

// --- Shared text routines (positions are 1-based, as the functions' users count them) ----------------------
bool InSet(char16_t c, const Text& set) { return set.find(c) != Text::npos; }

char16_t UpChar(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

Text UpperAscii(Text s) {
  for (char16_t& c : s) c = UpChar(c);
  return s;
}

bool SameChar(char16_t a, char16_t b, bool ignoreCase) { return ignoreCase ? UpChar(a) == UpChar(b) : a == b; }

// Whether `w` occurs in `s` at position `pos` (which must leave room for all of `w`).
bool MatchesAt(const Text& s, const Text& w, size_t pos, bool ignoreCase) {
  for (size_t i = 0; i < w.size(); ++i)
    if (!SameChar(s[pos - 1 + i], w[i], ignoreCase)) return false;
  return true;
}

bool SameTextAscii(const Text& a, const Text& b) {
  return a.size() == b.size() && (a.empty() || MatchesAt(a, b, 1, true));
}

Text ReplaceChars(Text s, const Text& find, const Text& repl) {
  for (char16_t& c : s) {
    size_t k = find.find(c);
    if (k != Text::npos && k < repl.size()) c = repl[k];
  }
  return s;
}

Text DeleteChars(const Text& s, const Text& set, bool keep) {
  Text r;
  r.reserve(s.size());
  for (char16_t c : s)
    if (InSet(c, set) == keep) r.push_back(c);
  return r;
}

// Removes characters in `set` (not in it when `invert`) from the chosen sides.
Text TrimSides(const Text& s, const Text& set, bool invert, bool left, bool right) {
  size_t b = 0, e = s.size();
  if (left)
    while (b < e && InSet(s[b], set) != invert) ++b;
  if (right)
    while (e > b && InSet(s[e - 1], set) != invert) --e;
  return s.substr(b, e - b);
}

Text TrimWhitespace(const Text& s) { return TrimSides(s, kWhitespace, false, true, true); }

// The word at `pos` after skipping separators; `pos` ends after the separators that follow it.
Text NextWord(const Text& s, size_t& pos, const Text& seps) {
  const size_t len = s.size();
  if (pos < 1) pos = 1;
  while (pos <= len && InSet(s[pos - 1], seps)) ++pos;
  size_t start = pos;
  while (pos <= len && !InSet(s[pos - 1], seps)) ++pos;
  Text word = start <= len ? s.substr(start - 1, pos - start) : Text();
  while (pos <= len && InSet(s[pos - 1], seps)) ++pos;
  return word;
}

// Whether `w` occurs in `s` at or after `pos`; on success `pos` is the match position. With whole words
// (and separators to tell words apart) only word starts are tried and the match must end the word.
bool FindWord(const Text& s, const Text& w, size_t& pos, bool ignoreCase, bool wholeWords, const Text& seps) {
  if (pos < 1) pos = 1;
  if (w.empty() || w.size() > s.size() || pos > s.size() - w.size() + 1) return false;
  const size_t len = s.size(), last = len - w.size() + 1;
  if (seps.empty()) wholeWords = false;
  size_t p = pos;
  if (!wholeWords) {
    for (; p <= last; ++p)
      if (MatchesAt(s, w, p, ignoreCase)) {
        pos = p;
        return true;
      }
    return false;
  }
  while (p <= len && InSet(s[p - 1], seps)) ++p;
  while (p <= last) {
    size_t end = p + w.size() - 1;
    if (MatchesAt(s, w, p, ignoreCase) && (end == len || InSet(s[end], seps))) {
      pos = p;
      return true;
    }
    while (p <= len && !InSet(s[p - 1], seps)) ++p;
    while (p <= len && InSet(s[p - 1], seps)) ++p;
  }
  return false;
}

std::vector<Text> WordList(const Text& words, const Text& seps) {
  std::vector<Text> list;
  size_t pos = 1;
  while (pos <= words.size()) {
    Text w = NextWord(words, pos, seps);
    if (!w.empty()) list.push_back(std::move(w));
  }
  return list;
}

// Separators given with a blank mean "white space": the other whitespace characters count too.
Text WordSeparators(IUnknown* args, int index) {
  Text seps = FVArgText(args, index);
  if (InSet(u' ', seps)) seps += u"\t\n\r";
  return seps;
}

Text SubString(const Text& s, int64_t p, int64_t n) {
  if (s.empty() || n < 0) return Text();
  if (p < 1) p = 1;
  if (p > static_cast<int64_t>(s.size())) return Text();
  return s.substr(static_cast<size_t>(p - 1), static_cast<size_t>(n));
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The house-number / street-name split: the first digit in the first half starts the address with the
// number ("12 Main Street"), otherwise the number (if any) ends it ("Main Street 12a").
void SplitAddress(const Text& s, Text& houseNo, Text& street) {
  const size_t len = s.size();
  size_t f = 1;
  while (f <= len && !IsDigit(s[f - 1])) ++f;
  if (f > len / 2) {
    houseNo = f <= len ? s.substr(f - 1) : Text();
    street = s.substr(0, f - 1);
  } else {
    size_t g = f;
    while (g <= len && IsDigit(s[g - 1])) ++g;
    houseNo = s.substr(0, g - 1);
    street = g <= len ? s.substr(g - 1) : Text();
  }
  houseNo = TrimWhitespace(houseNo);
  street = TrimWhitespace(street);
}

std::string Utf8(const Text& s) { return KVUtf16ToUtf8(s); }

// A new matcher for `pattern`; ERegExpr when it does not compile.
// A matcher for `pattern` whose searches stop when the run calling the function is cancelled.
TKVRef<TKVRegExprMatcher> CompileMatcher(const Text& pattern, IUnknown* args) {
  TKVRef<TKVRegExprMatcher> matcher = KVMakeRef<TKVRegExprMatcher>(Utf8(pattern));
  if (TPluginPtr<IKVQXCancelCheck> cancel = PluginQuery<IKVQXCancelCheck>(args))
    matcher->SetPoll([cancel] { FVCheckCancel(cancel.get(), "TKVRegExprMatcher.Search"); });
  return matcher;
}

// The module-wide random generator, seeded once from the clock when the module is loaded.
std::mutex g_RandomLock;
std::mt19937_64 g_Random(static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                         static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));

Text RandomText(int64_t length, bool digits) {
  Text r;
  if (length <= 0) return r;
  r.resize(static_cast<size_t>(length));
  std::uniform_int_distribution<int> pick(0, digits ? 9 : 25);
  std::lock_guard<std::mutex> lock(g_RandomLock);
  for (char16_t& c : r) c = static_cast<char16_t>((digits ? u'0' : u'a') + pick(g_Random));
  return r;
}

int64_t RandomBelow(int64_t bound) {
  if (bound <= 0) return 0;
  std::uniform_int_distribution<int64_t> pick(0, bound - 1);
  std::lock_guard<std::mutex> lock(g_RandomLock);
  return pick(g_Random);
}

const char* const kRoutineValidate = "Validate";

}  // namespace

// --- 1 Replace Characters ------------------------------------------------------------------------------------
TFVFReplaceChars::TFVFReplaceChars()
    : TFVFunctionBase("{91106769-BF7F-4c32-85D4-309112F50836}", "Replace Characters",
                      "Replace all characters contained in the first parameter by the corresponing character in "
                      "the second parameter") {
  AddTextParameter("Characters", "Characters to be replaced", u"");
  AddTextParameter("Replacements", "Characters used to replace the characters in the first parameter", u"");
}

void* TFVFReplaceChars::FindInterface(const GUID& iid) noexcept {
  if (PluginSameGuid(iid, IKVQXFVFConfirm::IID)) return static_cast<IKVQXFVFConfirm*>(this);
  return TFVFunctionBase::FindInterface(iid);
}

void TFVFReplaceChars::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  FVSetText(value, ReplaceChars(FVValueText(value), FVArgText(args, 0), FVArgText(args, 1)));
}

void TFVFReplaceChars::Check(IUnknown* args) const {
  RequireArgs(args);
  Text find = FVArgText(args, 0), repl = FVArgText(args, 1);
  if (find.empty()) throw EWarning("No charachters specified to be replaced", kRoutineValidate);
  if (repl.size() < find.size())
    throw EConfirm(
        "Less replacement characters than characters to find specified.\r\rStrip characters without "
        "replacement?",
        kRoutineValidate);
}

int32_t TFVFReplaceChars::ConfirmStyle() noexcept { return 4; }

void TFVFReplaceChars::ApplyAnswer(int32_t answer, IUnknown* args) const {
  RequireArgs(args);
  Text find = FVArgText(args, 0), repl = FVArgText(args, 1);
  if (find.empty()) throw EWarning("No charachters specified to be replaced", "ApplyConfirmation");
  if (repl.size() < find.size()) {
    if (answer == kDialogResultYes)
      FVSetArgText(args, 0, find.substr(0, repl.size()));
    else
      throw EWarning(
          "Less replacement characters than characters to find specified. Characters without "
          "replacement will be ignored.",
          "ApplyConfirmation");
  }
}

int32_t TFVFReplaceChars::ApplyConfirmation(int32_t Answer, IUnknown* Args, char* Buffer, int32_t BufSize,
                                            int32_t* Severity) noexcept {
  return FVRunValidation([&] { ApplyAnswer(Answer, Args); }, Buffer, BufSize, Severity);
}

// --- 2 Trim Characters -------------------------------------------------------------------------------------
TFVFTrimChars::TFVFTrimChars()
    : TFVFunctionBase("{23AFD3B4-B47B-4ff7-BBE7-D5F5A386BA47}", "Trim Characters",
                      "Remove all Characters contained in the first Parameter from the left and/or the right side "
                      "of the String until a character is found that shall not be trimmed") {
  AddTextParameter("Characters", "Characters to be removed from the left and/or the right side of the String",
                   kWhitespace);
  AddBoolParameter("Trim characters NOT specified", "", false);
  AddBoolParameter("Trim only the left side of the string", "", false);
  AddBoolParameter("Trim only the right side of the string", "", false);
}

void TFVFTrimChars::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  Text set = FVArgText(args, 0);
  bool invert = FVArgBool(args, 1), left = FVArgBool(args, 2), right = FVArgBool(args, 3);
  bool neither = !left && !right;
  FVSetText(value, TrimSides(FVValueText(value), set, invert, neither || left, neither || right));
}

void TFVFTrimChars::Check(IUnknown* args) const {
  RequireArgs(args);
  if (FVArgText(args, 0).empty()) throw EWarning("No charachters specified to be trimmed", kRoutineValidate);
}

// --- 3 Remove Characters -----------------------------------------------------------------------------------
TFVFDeleteChars::TFVFDeleteChars()
    : TFVFunctionBase("{A646CBBA-C427-406d-84C4-164EF00406AF}", "Remove Characters",
                      "Remove all occurences of characters given in the first parameter") {
  AddTextParameter("Characters", "Characters to be removed from the String", u"");
  AddBoolParameter("Remove characters NOT in first parameter",
                   "Remove all characters NOT contained in the first parameter", false);
}

void TFVFDeleteChars::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  FVSetText(value, DeleteChars(FVValueText(value), FVArgText(args, 0), FVArgBool(args, 1)));
}

void TFVFDeleteChars::Check(IUnknown* args) const {
  RequireArgs(args);
  if (FVArgText(args, 0).empty()) throw EWarning("No charachters specified to be removed", kRoutineValidate);
}

// --- 4 Make Number -----------------------------------------------------------------------------------------
TFVFMakeNumber::TFVFMakeNumber()
    : TFVFunctionBase("{D9420A22-8F39-11d6-A5E4-00E0987755DD}", "Make Number",
                      "Delete all non digit Characters from the String.") {
  AddTextParameter("Default Value", "Value if the String doesn't contain any digit", u"");
}

void TFVFMakeNumber::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  Text s = FVValueText(value);
  size_t i = 0;
  while (i < s.size() && InSet(s[i], kWhitespace)) ++i;
  bool negative = i < s.size() && s[i] == u'-';
  Text r = DeleteChars(s, u"0123456789", true);
  if (r.empty())
    r = FVArgText(args, 0);
  else if (negative)
    r.insert(r.begin(), u'-');
  FVSetTextOrNull(value, r);
}

void TFVFMakeNumber::Check(IUnknown*) const {}

// --- 5 Replace NULL Values ---------------------------------------------------------------------------------
TFVFReplaceNulls::TFVFReplaceNulls()
    : TFVFunctionBase("{1893AAF8-1A98-464a-AC5E-78EA05EBCCD8}", "Replace NULL Values",
                      "Avoid NULL values by replacing them with another value") {
  AddTextParameter("NULL Replacement", "Value to replace NULL values", u"?");
  AddBoolParameter("Treat empty \"\" strings as NULL values",
                   "If a String contains only \"white\" characters consider it as a NULL value", true);
}

void TFVFReplaceNulls::Call(VARIANT& value, IUnknown* args) const {
  bool replace = FVIsEmptyOrNull(value);
  if (!replace && (value.vt == VT_BSTR || value.vt == VT_KVSTRING))
    replace = FVArgBool(args, 1) && TrimWhitespace(FVValueText(value)).empty();
  if (replace) PluginVariantFromKV(&value, GetArgValue(args, 0));
}

void TFVFReplaceNulls::Check(IUnknown*) const {}

// --- 6 Random String ---------------------------------------------------------------------------------------
TFVFRandomString::TFVFRandomString()
    : TFVFunctionBase("{DEF8510F-D1CB-4e7f-95C7-FF6EC4609A9E}", "Random String",
                      "Generate a random String of limited random length") {
  AddIntParameter("Minimum length", "Minimum length of generated String", 5);
  AddIntParameter("Maximum length", "Maximum length of generated String", 10);
  AddBoolParameter("First char upper case", "Make the first char in the String upper case", true);
  AddBoolParameter("All chars upper case", "Generate a String that consists only of upper case chars", false);
  AddBoolParameter("Only Digits", "Create a random integer value", false);
}

void TFVFRandomString::Call(VARIANT& value, IUnknown* args) const {
  int64_t minLen = FVArgInt(args, 0), maxLen = FVArgInt(args, 1);
  bool firstUpper = FVArgBool(args, 2), allUpper = FVArgBool(args, 3), digits = FVArgBool(args, 4);
  int64_t n = minLen + RandomBelow(maxLen - minLen);
  if (n > kFVMaxRandomLength)
    throw EKVException("A random string of " + std::to_string(n) + " characters is longer than the " +
                           std::to_string(kFVMaxRandomLength) + " characters allowed",
                       nullptr, "TFVFRandomString.CallFunction");
  Text r = RandomText(n, digits);
  if (!r.empty() && firstUpper) r[0] = UpChar(r[0]);
  if (allUpper) r = UpperAscii(std::move(r));
  FVSetText(value, r);
}

void TFVFRandomString::Check(IUnknown* args) const {
  RequireArgs(args);
  int32_t minLen = FVArgInt(args, 0), maxLen = FVArgInt(args, 1);
  if (maxLen < minLen) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "Minimum length (%d) must be less than or equal to the maximum length (%d)",
                  static_cast<int>(minLen), static_cast<int>(maxLen));
    throw EKVException(buf, nullptr, kRoutineValidate);
  }
}

// --- 7 Prefix & Postfix ------------------------------------------------------------------------------------
TFVFPrefixPostfix::TFVFPrefixPostfix()
    : TFVFunctionBase("{348FBC81-05D7-406f-9870-5CBBB59C540C}", "Prefix & Postfix",
                      "Add a Prefix and/or Postfix to a String") {
  AddTextParameter("Prefix", "Prefix to add, the prefix will not be added to empty strings \"\" and NULL values",
                   u"\"");
  AddTextParameter("Prevent Prefix", "Dont add prefix if the value has this prefix", u"");
  AddBoolParameter("Ignore Case", "Ignore case when comparing strings", true);
}

void TFVFPrefixPostfix::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  Text s = FVValueText(value);
  if (s.empty()) return;
  Text prevent = FVArgText(args, 1);
  if (!prevent.empty() && s.size() >= prevent.size() && MatchesAt(s, prevent, 1, FVArgBool(args, 2))) return;
  FVSetText(value, FVArgText(args, 0) + s);
}

void TFVFPrefixPostfix::Check(IUnknown*) const {}

// --- 8 Extract House No / 9 Extract Street Name --------------------------------------------------------------
TFVFExtractHouseNo::TFVFExtractHouseNo()
    : TFVFunctionBase("{79ECC862-CBA4-487e-8437-4306E0C15A4E}", "Extract House No",
                      "Extract the house number from a full street address") {}

void TFVFExtractHouseNo::Call(VARIANT& value, IUnknown*) const {
  if (FVIsEmptyOrNull(value)) return;
  Text houseNo, street;
  SplitAddress(FVValueText(value), houseNo, street);
  FVSetText(value, houseNo);
}

void TFVFExtractHouseNo::Check(IUnknown*) const {}

TFVFExtractStreetName::TFVFExtractStreetName()
    : TFVFunctionBase("{B78A1732-DB14-4393-8DF3-E15CB14F118B}", "Extract Street Name",
                      "Extract the street name from a full street address") {}

void TFVFExtractStreetName::Call(VARIANT& value, IUnknown*) const {
  if (FVIsEmptyOrNull(value)) return;
  Text houseNo, street;
  SplitAddress(FVValueText(value), houseNo, street);
  FVSetText(value, street);
}

void TFVFExtractStreetName::Check(IUnknown*) const {}

// --- 10 Set if regEx match ---------------------------------------------------------------------------------
TFVFSetIfRegExMatch::TFVFSetIfRegExMatch()
    : TFVFunctionBase("{93D899E9-7020-4B94-A1C0-63DBB05E585F}", "Set if regEx match",
                      "Change the value if it matches a regular expression") {
  AddTextParameter("Regular expression", "The regular expression that has to be matched", u".*");
  AddTextParameter("New value",
                   "The new value to set if the value matches the regular expression. The literal <Null> means "
                   "setting the value to NULL.",
                   u"<Null>");
  AddBoolParameter("Set new value if the value does NOT match the regular expression", "", false);
}

void TFVFSetIfRegExMatch::Call(VARIANT& value, IUnknown* args) const {
  TKVRef<TKVRegExprMatcher> matcher = CompileMatcher(FVArgText(args, 0), args);
  bool matched = matcher->IsMatch(Utf8(FVValueText(value)));
  if (matched == FVArgBool(args, 2)) return;
  Text newValue = FVArgText(args, 1);
  if (SameTextAscii(newValue, u"<Null>"))
    PluginVariantSetNull(&value);
  else
    FVSetText(value, newValue);
}

void TFVFSetIfRegExMatch::Check(IUnknown* args) const {
  RequireArgs(args);
  if (FVArgText(args, 0).empty()) throw EWarning("The regular expression cannot be empty", kRoutineValidate);
}

// --- 11 Remove Words / 12 Keep Words -----------------------------------------------------------------------
TFVFRemoveWords::TFVFRemoveWords()
    : TFVFunctionBase("{946566FB-6DA6-4503-9EFC-2CC5F14D92DF}", "Remove Words", "Remove words from the value") {
  AddTextParameter("Words", "Words to remove from the value", u"");
  AddTextParameter("Word separators", "Chracters that separate words", u"");
  AddBoolParameter("Ignore Case", "Ignore case when comparing strings", true);
}

void TFVFRemoveWords::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  Text seps = WordSeparators(args, 1);
  std::vector<Text> list = WordList(FVArgText(args, 0), seps);
  bool ignoreCase = FVArgBool(args, 2);
  Text r = FVValueText(value);
  // Each removal moves the rest of the value: a large value full of the word takes long enough to need
  // stopping when the run is cancelled.
  TPluginPtr<IKVQXCancelCheck> cancel = PluginQuery<IKVQXCancelCheck>(args);
  size_t removed = 0;
  for (const Text& w : list) {
    size_t pos = 1;
    while (FindWord(r, w, pos, ignoreCase, true, seps)) {
      r.erase(pos - 1, w.size());
      if (++removed % 1024 == 0) FVCheckCancel(cancel.get(), "TFVFRemoveWords.Call");
    }
  }
  FVSetTextOrNull(value, TrimWhitespace(r));
}

void TFVFRemoveWords::Check(IUnknown*) const {}

TFVFKeepWords::TFVFKeepWords()
    : TFVFunctionBase("{431193E0-DEE6-4a0f-B9F8-17A7EF3401EE}", "Keep Words",
                      "Remove everything but the given words from the value") {
  AddTextParameter("Words", "Words to keep", u"");
  AddTextParameter("Word separators", "Chracters that separate words", u"");
  AddBoolParameter("Ignore Case", "Ignore case when comparing strings", true);
}

void TFVFKeepWords::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  Text seps = WordSeparators(args, 1);
  std::vector<Text> list = WordList(FVArgText(args, 0), seps);
  bool ignoreCase = FVArgBool(args, 2);
  Text s = FVValueText(value), r;
  for (const Text& w : list) {
    size_t pos = 1;
    if (!FindWord(s, w, pos, ignoreCase, true, seps)) continue;
    if (!r.empty()) r.push_back(u' ');
    r += w;
  }
  FVSetTextOrNull(value, TrimWhitespace(r));
}

void TFVFKeepWords::Check(IUnknown*) const {}

// --- 13 Now ------------------------------------------------------------------------------------------------
TFVFNow::TFVFNow()
    : TFVFunctionBase("{7CB478BF-5F1C-4F15-BEF1-DB9FACEAC1B6}", "Now", "Timestamp of the moment when called") {}

void TFVFNow::Call(VARIANT& value, IUnknown*) const { PluginVariantSetDate(&value, KVNow()); }

void TFVFNow::Check(IUnknown*) const {}

// --- 14 n'th word ------------------------------------------------------------------------------------------
TFVFNthWord::TFVFNthWord()
    : TFVFunctionBase("{1B5C4E52-173F-47AC-9A6D-04640294071F}", "n'th word", "Get the n'th word of the value") {
  AddIntParameter("Word number", "The number which word to get. First word is number 1", 1);
  AddTextParameter("Word separators", "Chracters that separate words", kWhitespace);
}

void TFVFNthWord::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  // The count is an unsigned 16-bit number: 65537 asks for the first word.
  uint16_t n = static_cast<uint16_t>(FVArgInt(args, 0));
  Text seps = FVArgText(args, 1), s = FVValueText(value), word;
  size_t pos = 1;
  for (uint32_t i = 0; i < n; ++i) {
    word = NextWord(s, pos, seps);
    if (word.empty()) break;  // every further application is past the end as well
  }
  FVSetTextOrNull(value, word);
}

void TFVFNthWord::Check(IUnknown*) const {}

// --- 15 Substring ------------------------------------------------------------------------------------------
TFVFSubString::TFVFSubString()
    : TFVFunctionBase("{4408B08F-D5C2-428E-A326-67AF20851195}", "Substring", "Extract a substring from the value") {
  AddIntParameter("Start position", "Character position where the substring starts. First character has position 1", 1);
  AddIntParameter("Length", "Length of the substring in characters", 10);
}

void TFVFSubString::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  int32_t start = FVArgInt(args, 0), length = FVArgInt(args, 1);
  FVSetTextOrNull(value, SubString(FVValueText(value), start, length));
}

void TFVFSubString::Check(IUnknown*) const {}

// --- 16 RegEx Replace --------------------------------------------------------------------------------------
TFVFRegExReplace::TFVFRegExReplace()
    : TFVFunctionBase("{6CE005AB-6B1B-4175-A385-90E642229A5B}", "RegEx Replace",
                      "Replace all occurences of a regular expression") {
  AddTextParameter("Regular expression", "The regular expression that has to be matched", u".*");
  AddTextParameter("Replacement", "Value to replace the occurences of the regular expression", u"");
  AddBoolParameter("Expand replacement string before using it", "", false);
}

void TFVFRegExReplace::Call(VARIANT& value, IUnknown* args) const {
  if (FVIsEmptyOrNull(value)) return;
  Text pattern = FVArgText(args, 0);
  if (pattern.empty()) return;
  TKVRef<TKVRegExprMatcher> matcher = CompileMatcher(pattern, args);
  std::string replaced;
  if (!matcher->ReplaceAll(Utf8(FVValueText(value)), Utf8(FVArgText(args, 1)), FVArgBool(args, 2), replaced))
    return;  // nothing matched: the value is kept as it is
  FVSetTextOrNull(value, KVUtf8ToUtf16(replaced));
}

void TFVFRegExReplace::Check(IUnknown* args) const {
  RequireArgs(args);
  if (FVArgText(args, 0).empty()) throw EWarning("The regular expression cannot be empty", kRoutineValidate);
}

// --- The fixed order of the module ----------------------------------------------------------------------------
namespace {

template <class T>
TFVFunctionBase* Make() {
  return new T();
}

}  // namespace

void FVCreateFunctions(const std::function<void(TFVFunctionBase*)>& receiver) {
  static constexpr TFVFunctionBase* (*kFactories[])() = {Make<TFVFReplaceChars>,
                                                         Make<TFVFTrimChars>,
                                                         Make<TFVFDeleteChars>,
                                                         Make<TFVFMakeNumber>,
                                                         Make<TFVFReplaceNulls>,
                                                         Make<TFVFRandomString>,
                                                         Make<TFVFPrefixPostfix>,
                                                         Make<TFVFExtractHouseNo>,
                                                         Make<TFVFExtractStreetName>,
                                                         Make<TFVFSetIfRegExMatch>,
                                                         Make<TFVFRemoveWords>,
                                                         Make<TFVFKeepWords>,
                                                         Make<TFVFNow>,
                                                         Make<TFVFNthWord>,
                                                         Make<TFVFSubString>,
                                                         Make<TFVFRegExReplace>};
  for (auto factory : kFactories) {
    TFVFunctionBase* f = nullptr;
    try {
      f = factory();
    } catch (...) {
      continue;  // out of memory: the function is simply not offered this time
    }
    f->RefAdd();
    receiver(f);
  }
}
