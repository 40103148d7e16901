// The document loader on any bytes as a file: format detection, the data-format identifier check and the
// tree load. Opening either refuses the file with an error or gives a document; a document that opened is
// saved as text, that file opened and saved as binary, that one opened and saved as text again. Every
// save must open, the tree must stay the same through all of them (levels, titles, node classes), and
// the two text files must hold the same storage tree.
#include <algorithm>
#include <string>

#include "definition/QXDocument.h"
#include "foundation/KVConvert.h"
#include "fuzz/FuzzSupport.h"
#include "storage/KVFileFormat.h"
#include "storage/KVIniFileStorage.h"

namespace {

// A text as the text format gives it back. UTF-8 text comes back unchanged; a text that is not UTF-8 or
// holds one of the substitute bytes may change on the way (the substitution of white space is defined for
// UTF-8: "a\xF0b" from a binary document reads back as "a b"), and is shown as it will read, so that it
// compares equal to what it becomes. A mask would not do: the changed text may be plain UTF-8.
std::string Shown(const std::string& text) { return FuzzQuote(KVIniDecodeText(KVIniEncodeText(text))); }

std::string TreeOf(const TQXDocument& doc) {
  std::string out;
  doc.Tree().ForEach([&](TKVTreeItem& item) {
    out += std::to_string(item.Level()) + " " + Shown(item.Title()) + " [" + Shown(item.DataClassName()) + "]\n";
    return true;
  });
  return out;
}

// Set by Dump for a NUL in a text, a name with a NUL, line break or blank at either end, or a value name
// starting with "[": the text format cannot hold these (its texts end at a NUL, and it trims and splits
// names at line level), so a document holding them is left out of the round trip.
bool g_TextFormatCannotHold = false;

bool TextCannotHoldName(const std::string& n) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return n.find_first_of(std::string("\0\r\n=", 4)) != std::string::npos ||
         (!n.empty() && (blank(n.front()) || blank(n.back()) || n.front() == '[' || n.front() == ';'));
}

// Text inputs with deeper paths are left out: every level of a walk down a path spells the whole path, so
// the time grows with the square of the depth (measured by bench/growth-bench.sh instead). The dump goes
// deeper than any text input can, so that it sees every name the text format cannot hold.
constexpr size_t kMaxSeparators = 128;

void Dump(IKVStorage& s, std::string& out, int depth) {
  if (depth > 4 * static_cast<int>(kMaxSeparators)) return;
  std::vector<std::string> values = s.ReadValueNames();
  std::sort(values.begin(), values.end(), [](const std::string& a, const std::string& b) { return KVCompareText(a, b) < 0; });
  for (const std::string& name : values) {
    const std::string v = s.ReadString(name, "<default>");
    if (v.find('\0') != std::string::npos || TextCannotHoldName(name)) g_TextFormatCannotHold = true;
    if (v.empty()) continue;  // a copy drops empty values: missing, they read as the default they stand for
    out += FuzzQuote(KVUpperCase(s.GetCurrentDir())) + " " + FuzzQuote(KVUpperCase(name)) + "=" +
           Shown(v) + "\n";
  }
  std::vector<std::string> dirs = s.ReadSubDirNames();
  std::sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) { return KVCompareText(a, b) < 0; });
  for (const std::string& d : dirs) {
    if (TextCannotHoldName(d)) g_TextFormatCannotHold = true;
    TKVVsdDirPathKeeper keeper(s, d, false);
    if (keeper.Opened()) Dump(s, out, depth + 1);
  }
}

std::string DumpFile(const std::string& file) {
  TKVStorageClass cls = KVTestFileFormat(file);
  if (!cls) throw EKVException("Unsupported file format", nullptr, "DumpFile");
  auto data = KVMakeRef<TKVPersistentData>(cls, file);
  KVVsdOpenDir(*data, "\\", false);
  std::string out;
  Dump(*data, out, 0);
  return out;
}

// Opens `file` in a new document (which must succeed) and saves it as `target`; false when the save
// refuses names the target format cannot hold.
bool OpenAndSave(const std::string& file, const std::string& target, const std::string& tree) {
  auto doc = KVMakeRef<TQXDocument>();
  try {
    FUZZ_CHECK(doc->LoadFromFile(file), file);
  } catch (const EKVException& e) {
    FuzzFail("a saved document opens", file + ": " + e.what() + "\n" + tree);
  }
  FUZZ_CHECK(TreeOf(*doc) == tree, file + " shows\n" + TreeOf(*doc) + "instead of\n" + tree);
  try {
    doc->SaveAs(target);
  } catch (const EKVException&) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = FuzzPath("input.qxt");
  const std::string t1 = FuzzPath("first.qxt"), t2 = FuzzPath("second.qxs"), t3 = FuzzPath("third.qxt");
  for (const std::string& f : {t1, t2, t3}) FuzzRemove(f);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool compound = bytes.substr(0, 8) == std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  if (!compound && FuzzMaxSeparatorsPerLine(bytes) > kMaxSeparators) return 0;
  FuzzWriteFile(input, bytes);

  g_TextFormatCannotHold = false;
  try {
    (void)DumpFile(input);
  } catch (const EKVException&) {
    return 0;  // not a storage file at all
  }
  if (g_TextFormatCannotHold) return 0;

  std::string tree;
  {
    auto doc = KVMakeRef<TQXDocument>();
    try {
      if (!doc->LoadFromFile(input)) return 0;
    } catch (const EKVException&) {
      return 0;  // refused: not a document, a damaged one, or one whose tree cannot be built
    }
    tree = TreeOf(*doc);
    try {
      doc->SaveAs(t1);
    } catch (const EKVException&) {
      return 0;  // names the text format cannot hold
    }
  }
  if (!OpenAndSave(t1, t2, tree)) return 0;  // names the binary format cannot hold
  FUZZ_CHECK(OpenAndSave(t2, t3, tree), "a document read from binary saves as text");
  const std::string first = DumpFile(t1), third = DumpFile(t3);
  FUZZ_CHECK(first == third, "text after the binary round trip:\n" + third + "instead of\n" + first);
  return 0;
}
