// The text document reader: the INI layer and the storage tree above it, on any bytes as a file.
//  - INI layer: every section, key and value that is read can be written into a new file (but for names
//    and texts only hand-made files hold, see ProfileLayer), which reads as the same sections, keys and
//    values; a change keeps every line it does not touch byte for byte (a new section only appends, and
//    deleting it again gives the file back).
//  - Storage tree: the tree of directories and values read from the file, copied into a new text file,
//    reads back as the same tree. Excepted: directories without any value below them (the format has no
//    empty directories), empty values (a copy leaves them out, so they read as the default), and texts
//    that are not UTF-8 or hold a substitute byte, which are compared by presence only, since the
//    substitution of white space is defined for UTF-8 text.
//  - The substitution itself: UTF-8 text encoded and decoded comes back unchanged.
#include <algorithm>
#include <string>
#include <vector>

#include "foundation/KVConvert.h"
#include "fuzz/FuzzSupport.h"
#include "storage/KVIniFileStorage.h"
#include "storage/KVPrivateProfile.h"

namespace {

struct TSectionModel {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Values;
  bool operator==(const TSectionModel&) const = default;
};

std::vector<TSectionModel> ReadModel(TKVPrivateProfile& p) {
  std::vector<TSectionModel> model;
  for (const std::string& name : p.ReadSectionNames()) {
    if (std::any_of(model.begin(), model.end(), [&](const TSectionModel& s) { return KVSameText(s.Name, name); }))
      continue;  // lookups see the first occurrence only
    TSectionModel s{name, {}};
    for (const std::string& key : p.ReadKeyNames(name)) {
      auto v = p.Read(name, key);
      FUZZ_CHECK(v.has_value(), "key " + FuzzQuote(key) + " of section " + FuzzQuote(name) + " is listed but not read");
      s.Values.emplace_back(key, *v);
    }
    model.push_back(std::move(s));
  }
  return model;
}

bool Writable(const std::string& name) { return name.find_first_of(std::string("\r\0", 2)) == std::string::npos; }

std::string Show(const std::vector<TSectionModel>& m) {
  std::string out;
  for (const auto& s : m) {
    out += "[" + FuzzQuote(s.Name) + "]\n";
    for (const auto& [k, v] : s.Values) out += FuzzQuote(k) + "=" + FuzzQuote(v) + "\n";
  }
  return out;
}

void ProfileLayer(const std::string& file, const std::string& bytes) {
  std::vector<TSectionModel> model;
  {
    TKVPrivateProfile p(file);
    model = ReadModel(p);
  }
  // Rebuilt from what was read.
  const std::string copy = FuzzPath("copy.ini");
  FuzzRemove(copy);
  {
    TKVPrivateProfile out(copy);
    out.BeginUpdate();
    // Names only a hand-made file holds, which the writer refuses: a NUL or a lone carriage return inside a
    // line (in texts too), and a key starting with "[" ("[x=1" reads as key "[x", but a written key line starting with
    // "[" would read as a section header once its text holds a "]").
    std::erase_if(model, [](const TSectionModel& s) { return !Writable(s.Name); });
    for (auto& s : model) {
      std::erase_if(s.Values, [](const auto& kv) {
        return !Writable(kv.first) || (!kv.first.empty() && kv.first.front() == '[') ||
               kv.second.find('\r') != std::string::npos;
      });
      for (const auto& [k, v] : s.Values) {
        try {
          out.WriteString(s.Name, k, v);
        } catch (const EKVException& e) {
          FuzzFail("what was read can be written", "section " + FuzzQuote(s.Name) + " key " + FuzzQuote(k) +
                                                       " value " + FuzzQuote(v) + ": " + e.what());
        }
      }
    }
    out.EndUpdate();
  }
  {
    TKVPrivateProfile back(copy);
    std::vector<TSectionModel> expected;
    for (const auto& s : model)
      if (!s.Values.empty()) expected.push_back(s);
    const std::vector<TSectionModel> got = ReadModel(back);
    FUZZ_CHECK(got == expected, "read:\n" + Show(expected) + "written and read again:\n" + Show(got) + "file:\n" +
                                    FuzzQuote(FuzzReadFile(copy)));
  }

  // A new section appends and leaves every byte before it alone; deleting it gives the file back.
  const std::string probe = "fuzz probe";
  if (std::any_of(model.begin(), model.end(), [&](const TSectionModel& s) { return KVSameText(s.Name, probe); })) return;
  TKVPrivateProfile p(file);
  p.WriteString(probe, "k", "v");
  const std::string changed = FuzzReadFile(file);
  FUZZ_CHECK(changed.compare(0, bytes.size(), bytes) == 0,
             "adding a section changed earlier bytes: " + FuzzQuote(bytes) + " became " + FuzzQuote(changed));
  FUZZ_CHECK(p.Read(probe, "k") == std::optional<std::string>("v"), FuzzQuote(changed));
  p.DeleteSection(probe);
  const std::string restored = FuzzReadFile(file);
  FUZZ_CHECK(restored == bytes || (restored == bytes + "\r\n" && !bytes.empty() && bytes.back() != '\n'),
             FuzzQuote(bytes) + " became " + FuzzQuote(restored) + " after adding and deleting a section");
}

// Deeper paths than this are left out: every level of a walk down a path spells the whole path, so the time
// grows with the square of the depth, and the per-input timeout would be reached by depth alone (the
// growth is measured by bench/growth-bench.sh instead). Nothing deeper can occur in the inputs taken.
constexpr size_t kMaxSeparators = 128;
constexpr int kMaxDepth = kMaxSeparators + 1;

// Set by Dump when a value name cannot be written (see ProfileLayer).
bool g_UnwritableName = false;
// Set by Dump for a directory name with a blank or tab at either end: the format trims section names, so
// such a directory is listed but is not (or is another) directory when opened, and a copy cannot keep it.
// A known limitation of the text format, left out of the comparison: every line already reads as some
// section name, so no spelling the writer could use for such a name would leave existing files reading
// as they do.
bool g_BlankEdgedDir = false;

bool BlankEdged(const std::string& name) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return !name.empty() && (blank(name.front()) || blank(name.back()));
}

// The tree below the current directory, one line per value, directories without values left out.
void Dump(IKVStorage& s, std::string& out, int depth) {
  if (depth > kMaxDepth) return;
  std::vector<std::string> values = s.ReadValueNames();
  std::sort(values.begin(), values.end(), [](const std::string& a, const std::string& b) { return KVCompareText(a, b) < 0; });
  for (const std::string& name : values) {
    if (!Writable(name) || (!name.empty() && name.front() == '[')) g_UnwritableName = true;
    const std::string v = s.ReadString(name, "<default>");
    if (v.empty()) continue;  // a copy drops empty values: missing, they read as the default they stand for
    std::u16string u;
    out += FuzzQuote(s.GetCurrentDir()) + " " + FuzzQuote(KVUpperCase(name)) + "=" +
           (KVTryUtf8ToUtf16(v, u) && v.find_first_of("\xD0\xDE\xF0\xFE") == std::string::npos
                ? FuzzQuote(v)
                : std::string("<not UTF-8, or holding a substitute byte>")) +
           "\n";
  }
  std::vector<std::string> dirs = s.ReadSubDirNames();
  std::sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) { return KVCompareText(a, b) < 0; });
  for (const std::string& d : dirs) {
    if (!Writable(d)) g_UnwritableName = true;
    if (BlankEdged(d)) {
      g_BlankEdgedDir = true;
      continue;
    }
    TKVVsdDirPathKeeper keeper(s, d, false);
    FUZZ_CHECK(keeper.Opened(), "listed directory " + FuzzQuote(d) + " below " + FuzzQuote(s.GetCurrentDir()) + " opens");
    Dump(s, out, depth + 1);
  }
}

std::string DumpFile(const std::string& file) {
  auto storage = KVMakeRef<TKVIniFileStorage>(nullptr, 0, "", file);
  KVVsdOpenDir(*storage, "\\", false);
  std::string out;
  Dump(*storage, out, 0);
  return out;
}

void StorageLayer(const std::string& file) {
  g_UnwritableName = g_BlankEdgedDir = false;
  const std::string tree = DumpFile(file);
  if (g_BlankEdgedDir) return;
  const std::string copy = FuzzPath("copy.qxt");
  FuzzRemove(copy);
  try {
    auto source = KVMakeRef<TKVIniFileStorage>(nullptr, 0, "", file);
    auto target = KVMakeRef<TKVIniFileStorage>(nullptr, 0, "", copy);
    KVVsdOpenDir(*source, "\\", false);
    TKVStorageUpdate update(*target);
    KVVsdCopyTree(*source, *target, "");
    update.Finish();
  } catch (const EKVException& e) {
    if (g_UnwritableName) return;
    FuzzFail("a tree that was read can be copied", std::string(e.what()) + "\n" + tree);
  }
  const std::string back = DumpFile(copy);
  FUZZ_CHECK(back == tree, "read:\n" + tree + "copied and read again:\n" + back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (FuzzMaxSeparatorsPerLine(bytes) > kMaxSeparators) return 0;
  std::u16string u;
  if (KVTryUtf8ToUtf16(bytes, u))
    FUZZ_CHECK(KVIniDecodeText(KVIniEncodeText(bytes)) == bytes, FuzzQuote(bytes) + " encoded as " +
                                                                       FuzzQuote(KVIniEncodeText(bytes)));
  const std::string file = FuzzPath("input.qxt");
  FuzzWriteFile(file, bytes);
  ProfileLayer(file, bytes);
  FuzzWriteFile(file, bytes);
  StorageLayer(file);
  return 0;
}
