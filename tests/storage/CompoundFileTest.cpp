// The compound-file container: names and order, images and files, what another reader sees, files from another
// writer, damaged input, exclusive access and safe saving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "storage/KVCompoundFile.h"
#include "support/TestSupport.h"

using testsupport::ReadFileBytes;
using testsupport::LockedElsewhere;
using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr TGUID kClassId = KVGuid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");

// --- Trees as test data -------------------------------------------------------------------------------------

struct TNode {
  std::string Name;
  bool Storage = false;
  std::string Data;
  std::vector<TNode> Children;
};

TNode Dir(const std::string& name, std::vector<TNode> children) { return {name, true, {}, std::move(children)}; }
TNode Stream(const std::string& name, std::string data) { return {name, false, std::move(data), {}}; }

std::string Pattern(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Nested storages five deep, empty and short streams, streams on both sides of the 4096-byte mini stream
// cutoff, and the names the document layout uses.
TNode SampleTree() {
  return Dir("Root Entry",
             {Dir("QXD", {Dir(".", {Dir("00000", {Dir(".", {Dir("00001", {Stream("Title", "deep down")})}),
                                                  Stream("Title", "first")})})}),
              Stream("empty", ""), Stream("small", "hello"), Stream("edge4095", Pattern(4095, 1)),
              Stream("edge4096", Pattern(4096, 2)), Stream("big", Pattern(100000, 3)),
              Dir("00000", {Stream("v", "x"), Stream("00000", "same name one level down")})});
}

void Fill(TKVCompoundElement& storage, const TNode& node) {
  for (const TNode& c : node.Children) {
    if (c.Storage)
      Fill(storage.CreateStorage(c.Name), c);
    else
      storage.WriteStream(c.Name, c.Data);
  }
}

// One line per element in enumeration order, with the stream bytes, so that two trees compare as text.
void Dump(const TKVCompoundElement& e, const std::string& path, std::string& out) {
  for (size_t i = 0; i < e.Count(); ++i) {
    const TKVCompoundElement& c = e.Child(i);
    std::string p = path.empty() ? c.Name() : path + "/" + c.Name();
    if (c.IsStorage()) {
      out += "D " + p + "\n";
      Dump(c, p, out);
    } else {
      out += "S " + p + " " + std::to_string(c.Data().size()) + " " +
             std::to_string(std::hash<std::string>()(c.Data())) + "\n";
    }
  }
}
std::string Dump(const TKVCompoundElement& e) {
  std::string out;
  Dump(e, "", out);
  return out;
}
std::string Dump(const TNode& n) {
  TKVCompoundFile f;
  Fill(f.Root(), n);
  return Dump(f.Root());
}

// --- The independent reader ---------------------------------------------------------------------------------

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string r;
  for (unsigned char b : bytes) {
    r += digits[b >> 4];
    r += digits[b & 15];
  }
  return r;
}

std::string JsonString(const std::string& s) {
  std::string r = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      r += '\\';
      r += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      r += buf;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r + "\"";
}

void Expect(const TNode& n, const std::string& path, std::string& storages, std::string& streams) {
  for (const TNode& c : n.Children) {
    std::string p = path.empty() ? c.Name : path + "/" + c.Name;
    if (c.Storage) {
      storages += (storages.empty() ? "" : ",") + JsonString(p);
      Expect(c, p, storages, streams);
    } else {
      streams += (streams.empty() ? "" : ",") + JsonString(p) + ":\"" + Hex(c.Data) + "\"";
    }
  }
}

bool OlefileAvailable() { return testsupport::RunCommand("/usr/bin/python3 -c 'import olefile'").exitCode == 0; }

// Runs the olefile check of `file` against `expected`; returns its report ("OK" when all is well).
std::string OlefileCheck(const TempDir& dir, const std::string& file, const TNode& expected, const TGUID& classId,
                         int major = 3) {
  std::string storages, streams;
  Expect(expected, "", storages, streams);
  std::string json = "{\"clsid\":" + JsonString(classId.ToString()) + ",\"major\":" + std::to_string(major) +
                     ",\"storages\":[" + storages + "],\"streams\":{" + streams + "}}";
  std::string jsonFile = dir.file("expected.json");
  WriteFileBytes(jsonFile, json);
  auto r =
      testsupport::RunCommand("/usr/bin/python3 " + ShellQuote(DABRIX_SOURCE_DIR "/tests/storage/olefile_check.py") +
                              " " + ShellQuote(file) + " " + ShellQuote(jsonFile));
  std::string report = r.out + r.err;
  while (!report.empty() && (report.back() == '\n' || report.back() == '\r')) report.pop_back();
  return report;
}

// --- Another writer -----------------------------------------------------------------------------------------

constexpr uint32_t kEnd = 0xFFFFFFFEu, kFree = 0xFFFFFFFFu, kFatSect = 0xFFFFFFFDu, kNoStream = 0xFFFFFFFFu;

void Put16(std::string& b, size_t off, uint16_t v) {
  b[off] = static_cast<char>(v & 0xFF);
  b[off + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint32_t Get32(const std::string& b, size_t off) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[off + i]);
  return v;
}

std::pair<size_t, std::string> AsciiKey(const std::string& name) {
  std::string up = name;
  for (auto& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return {name.size(), up};
}

// A compound-file writer of its own, for ASCII names: children form a balanced sibling tree (libgsf writes
// a chain), regions are laid out FAT, directory, mini FAT, mini stream, big streams, and the sector size
// is 512 (version 3) or 4096 (version 4). No DIFAT, so at most 109 FAT sectors.
std::string BuildCfb(const TNode& root, const TGUID& classId, unsigned shift = 9) {
  const size_t ss = size_t{1} << shift, per = ss / 4;
  struct TEntry {
    const TNode* Node;
    uint32_t Left = kNoStream, Right = kNoStream, Child = kNoStream, Start = kEnd;
    uint64_t Size = 0;
  };
  std::vector<TEntry> entries;
  std::function<uint32_t(const TNode&)> add = [&](const TNode& n) -> uint32_t {
    uint32_t self = static_cast<uint32_t>(entries.size());
    entries.push_back({&n});
    std::vector<uint32_t> kids;
    for (const TNode& c : n.Children) kids.push_back(add(c));
    std::stable_sort(kids.begin(), kids.end(), [&](uint32_t a, uint32_t b) {
      return AsciiKey(entries[a].Node->Name) < AsciiKey(entries[b].Node->Name);
    });
    std::function<uint32_t(int, int)> tree = [&](int lo, int hi) -> uint32_t {
      if (lo > hi) return kNoStream;
      int mid = (lo + hi) / 2;
      uint32_t e = kids[mid];
      entries[e].Left = tree(lo, mid - 1);
      entries[e].Right = tree(mid + 1, hi);
      return e;
    };
    entries[self].Child = tree(0, static_cast<int>(kids.size()) - 1);
    return self;
  };
  add(root);

  std::string mini;
  std::vector<std::pair<uint32_t, uint32_t>> miniChains;  // first mini sector, count
  uint32_t bigCount = 0;
  for (size_t i = 1; i < entries.size(); ++i) {
    const TNode& n = *entries[i].Node;
    if (n.Storage) continue;
    entries[i].Size = n.Data.size();
    if (n.Data.empty()) continue;
    if (n.Data.size() < 4096) {
      uint32_t first = static_cast<uint32_t>(mini.size() / 64),
               count = static_cast<uint32_t>((n.Data.size() + 63) / 64);
      entries[i].Start = first;
      miniChains.push_back({first, count});
      mini += n.Data;
      mini.resize((first + count) * 64, '\0');
    } else {
      bigCount += static_cast<uint32_t>((n.Data.size() + ss - 1) / ss);
    }
  }
  uint32_t miniSectors = static_cast<uint32_t>(mini.size() / 64);
  uint32_t dirSectors = static_cast<uint32_t>((entries.size() * 128 + ss - 1) / ss);
  uint32_t miniFatSectors = static_cast<uint32_t>((miniSectors * 4 + ss - 1) / ss);
  uint32_t miniStreamSectors = static_cast<uint32_t>((mini.size() + ss - 1) / ss);
  uint32_t rest = dirSectors + miniFatSectors + miniStreamSectors + bigCount, fatSectors = 1;
  while (fatSectors * per < fatSectors + rest) ++fatSectors;
  uint32_t total = fatSectors + rest;

  std::vector<uint32_t> fat(fatSectors * per, kFree);
  uint32_t next = 0;
  auto chain = [&](uint32_t count) {
    uint32_t first = next;
    for (uint32_t i = 0; i < count; ++i) fat[next + i] = i + 1 < count ? next + i + 1 : kEnd;
    next += count;
    return count ? first : kEnd;
  };
  for (uint32_t i = 0; i < fatSectors; ++i) fat[next++] = kFatSect;
  uint32_t firstDir = chain(dirSectors), firstMiniFat = chain(miniFatSectors), firstMini = chain(miniStreamSectors);
  std::string body(total * ss, '\0');
  auto sector = [&](uint32_t s) { return s * ss; };
  for (size_t i = 1; i < entries.size(); ++i) {
    const TNode& n = *entries[i].Node;
    if (n.Storage || n.Data.size() < 4096) continue;
    uint32_t first = chain(static_cast<uint32_t>((n.Data.size() + ss - 1) / ss));
    entries[i].Start = first;
    body.replace(sector(first), n.Data.size(), n.Data);
  }
  for (uint32_t i = 0; i < fat.size(); ++i) Put32(body, sector(i / per) + 4 * (i % per), fat[i]);
  std::vector<uint32_t> miniFat(miniFatSectors * per, kFree);
  for (auto [first, count] : miniChains)
    for (uint32_t i = 0; i < count; ++i) miniFat[first + i] = i + 1 < count ? first + i + 1 : kEnd;
  for (uint32_t i = 0; i < miniFat.size(); ++i) Put32(body, sector(firstMiniFat + i / per) + 4 * (i % per), miniFat[i]);
  if (!mini.empty()) body.replace(sector(firstMini), mini.size(), mini);
  entries[0].Start = mini.empty() ? kEnd : firstMini;
  entries[0].Size = mini.size();
  for (size_t i = 0; i < dirSectors * ss / 128; ++i) {
    size_t off = sector(firstDir) + i * 128;
    if (i >= entries.size()) {
      Put32(body, off + 68, kNoStream);
      Put32(body, off + 72, kNoStream);
      Put32(body, off + 76, kNoStream);
      continue;
    }
    const TEntry& e = entries[i];
    const std::string& name = e.Node->Name;
    for (size_t k = 0; k < name.size(); ++k) Put16(body, off + 2 * k, static_cast<unsigned char>(name[k]));
    Put16(body, off + 64, static_cast<uint16_t>((name.size() + 1) * 2));
    body[off + 66] = static_cast<char>(i == 0 ? 5 : (e.Node->Storage ? 1 : 2));
    body[off + 67] = 1;
    Put32(body, off + 68, e.Left);
    Put32(body, off + 72, e.Right);
    Put32(body, off + 76, e.Child);
    if (i == 0) {
      auto b = classId.ToBytes();
      body.replace(off + 80, 16, reinterpret_cast<const char*>(b.data()), 16);
    }
    Put32(body, off + 116, e.Start);
    Put32(body, off + 120, static_cast<uint32_t>(e.Size));
  }

  std::string header(ss, '\0');
  const unsigned char sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  header.replace(0, 8, reinterpret_cast<const char*>(sig), 8);
  Put16(header, 0x18, 0x3E);
  Put16(header, 0x1A, shift == 9 ? 3 : 4);
  Put16(header, 0x1C, 0xFFFE);
  Put16(header, 0x1E, static_cast<uint16_t>(shift));
  Put16(header, 0x20, 6);
  Put32(header, 0x28, shift == 9 ? 0 : dirSectors);
  Put32(header, 0x2C, fatSectors);
  Put32(header, 0x30, firstDir);
  Put32(header, 0x38, 4096);
  Put32(header, 0x3C, miniFatSectors ? firstMiniFat : kEnd);
  Put32(header, 0x40, miniFatSectors);
  Put32(header, 0x44, kEnd);
  for (uint32_t i = 0; i < 109; ++i) Put32(header, 0x4C + 4 * i, i < fatSectors ? i : kFree);
  return header + body;
}

// --- Surgery on version-3 images --------------------------------------------------------------------------

struct TSurgery {
  std::string& Img;

  static size_t Sector(uint32_t s) { return 512 + size_t{s} * 512; }
  size_t FatOffset(uint32_t i) const { return Sector(Get32(Img, 0x4C + 4 * (i / 128))) + 4 * (i % 128); }
  uint32_t Fat(uint32_t i) const { return Get32(Img, FatOffset(i)); }
  void SetFat(uint32_t i, uint32_t v) { Put32(Img, FatOffset(i), v); }
  std::vector<uint32_t> Chain(uint32_t s) const {
    std::vector<uint32_t> r;
    while (s < 0xFFFFFFFAu && r.size() < 100000) {
      r.push_back(s);
      s = Fat(s);
    }
    return r;
  }
  size_t Entry(uint32_t index) const {
    auto dir = Chain(Get32(Img, 0x30));
    return Sector(dir.at(index / 4)) + (index % 4) * 128;
  }
  uint32_t Find(const std::string& name) const {
    size_t count = Chain(Get32(Img, 0x30)).size() * 4;
    for (uint32_t i = 0; i < count; ++i) {
      size_t off = Entry(i);
      std::string n;
      for (size_t k = 0; k + 2 < static_cast<unsigned char>(Img[off + 64]); k += 2) n += Img[off + k];
      if (Img[off + 66] != 0 && n == name) return i;
    }
    ADD_FAILURE() << "no entry " << name;
    return 0;
  }
  size_t MiniFatOffset(uint32_t i) const {
    auto chain = Chain(Get32(Img, 0x3C));
    return Sector(chain.at(i / 128)) + 4 * (i % 128);
  }
  uint32_t Field(uint32_t entry, size_t at) const { return Get32(Img, Entry(entry) + at); }
  void SetField(uint32_t entry, size_t at, uint32_t v) { Put32(Img, Entry(entry) + at, v); }
};
constexpr size_t kLeft = 68, kRight = 72, kChild = 76, kStart = 116, kSize = 120;

HRESULT LoadError(const std::string& image, std::string* message = nullptr) {
  TKVCompoundFile f;
  try {
    f.LoadImage(image);
  } catch (const EKVHrException& e) {
    if (message) *message = e.GetMessageText();
    return e.ResultCode();
  }
  return 0;
}


// ===========================================================================================================

TEST(CompoundFileNames, InvalidNamesAreRefusedWithTheNameInTheMessage) {
  TKVCompoundFile f;
  const std::string tooLong(32, 'n');
  for (const std::string& bad : {std::string(), tooLong, std::string("a/b"), std::string("a\\b"), std::string("a:b"),
                                 std::string("wow!"), std::string("bad\xFFutf8"), std::string("nul\0in", 6)}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(KVCompoundIsValidName(bad));
    for (int kind = 0; kind < 2; ++kind) {
      try {
        if (kind == 0)
          f.Root().CreateStorage(bad);
        else
          f.Root().WriteStream(bad, "v");
        ADD_FAILURE() << "accepted";
      } catch (const EKVHrException& e) {
        EXPECT_EQ(e.ResultCode(), KV_STG_E_INVALIDNAME);
        if (!bad.empty() && bad.find('\0') == std::string::npos) {
          EXPECT_NE(e.GetMessageText().find("\"" + bad + "\""), std::string::npos) << e.GetMessageText();
        }
      }
    }
    EXPECT_EQ(f.Root().Find(bad), nullptr);
  }
  EXPECT_EQ(f.Root().Count(), 0u);
  EXPECT_FALSE(f.Modified());

  try {
    KVCompoundCheckName("x:y", "InternalOpenDir(\"x:y\")");
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.GetMessageText().rfind("InternalOpenDir(\"x:y\"): ", 0), 0u) << e.GetMessageText();
  }
}

TEST(CompoundFileNames, LengthLimitCountsUtf16CodeUnits) {
  TKVCompoundFile f;
  std::string e31, e16;  // 31 x "é" is 62 bytes but 31 code units; 16 emoji are 32 code units
  for (int i = 0; i < 31; ++i) e31 += "\xC3\xA9";
  for (int i = 0; i < 16; ++i) e16 += "\xF0\x9F\x98\x80";
  EXPECT_TRUE(KVCompoundIsValidName(std::string(31, 'n')));
  EXPECT_TRUE(KVCompoundIsValidName(e31));
  EXPECT_FALSE(KVCompoundIsValidName(e16));
  EXPECT_TRUE(KVCompoundIsValidName(e16.substr(4)));
  f.Root().WriteStream(e31, "v");
  f.Root().WriteStream(e16.substr(4), "w");
  TKVCompoundFile back;
  back.LoadImage(f.SaveImage());
  ASSERT_NE(back.Root().Find(e31), nullptr);
  EXPECT_EQ(back.Root().Find(e31)->Name(), e31);
  ASSERT_NE(back.Root().Find(e16.substr(4)), nullptr);
}

TEST(CompoundFileNames, LookupIgnoresCaseAndOneNameSpaceHoldsBothKinds) {
  TKVCompoundFile f;
  f.Root().WriteStream("Value", "1");
  ASSERT_NE(f.Root().Find("VALUE"), nullptr);
  EXPECT_EQ(f.Root().Find("value")->Name(), "Value");
  f.Root().WriteStream("VALUE", "2");  // replaces, keeps the first spelling
  EXPECT_EQ(f.Root().Count(), 1u);
  EXPECT_EQ(f.Root().Find("Value")->Data(), "2");
  EXPECT_EQ(f.Root().Find("value")->Name(), "Value");

  // Letters beyond ASCII fold too, as the format's upper-casing does.
  f.Root().WriteStream("\xC3\xA4rger", "lower");      // "ärger"
  ASSERT_NE(f.Root().Find("\xC3\x84RGER"), nullptr);  // "ÄRGER"
  f.Root().WriteStream("\xC3\x84rger", "upper");
  EXPECT_EQ(f.Root().Count(), 2u);

  f.Root().CreateStorage("Dir");
  EXPECT_EQ(&f.Root().CreateStorage("DIR"), f.Root().Find("dir"));  // opening again finds the same storage
  try {
    f.Root().WriteStream("dIR", "x");
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.ResultCode(), KV_STG_E_FILEALREADYEXISTS);
  }
  try {
    f.Root().CreateStorage("value");
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.ResultCode(), KV_STG_E_FILEALREADYEXISTS);
  }
  EXPECT_TRUE(f.Root().Find("Dir")->IsStorage());
  EXPECT_EQ(f.Root().Find("Value")->Data(), "2");
  EXPECT_THROW(f.Root().Find("Value")->CreateStorage("x"), EKVHrException);
  EXPECT_THROW(f.Root().Find("Dir")->SetData("x"), EKVHrException);

  EXPECT_TRUE(f.Root().Destroy("DIR"));
  EXPECT_FALSE(f.Root().Destroy("Dir"));
  EXPECT_FALSE(f.Root().Destroy("a/b"));

  // Only letters fold: the characters whose codes lie 32 apart from others' stay themselves.
  f.Root().WriteStream("x[", "bracket");
  f.Root().WriteStream("x{", "brace");
  f.Root().WriteStream("x@", "at");
  f.Root().WriteStream("x`", "grave");
  EXPECT_EQ(f.Root().Find("X[")->Data(), "bracket");
  EXPECT_EQ(f.Root().Find("X{")->Data(), "brace");
  EXPECT_EQ(f.Root().Find("X@")->Data(), "at");
  EXPECT_EQ(f.Root().Find("X`")->Data(), "grave");
  // A name mixing ASCII and other letters folds both.
  f.Root().WriteStream("Stra\xC3\x9F" "e \xC3\xA9t\xC3\xA9", "mixed");  // "Straße été"
  ASSERT_NE(f.Root().Find("STRA\xC3\x9F" "E \xC3\x89T\xC3\x89"), nullptr);
  EXPECT_EQ(f.Root().Find("stra\xC3\x9F" "e \xC3\x89t\xC3\xA9")->Data(), "mixed");
}

TEST(CompoundFileNames, ChildrenComeInTheFormatsOrderBeforeAndAfterWriting) {
  // Shorter first; then upper-cased code units, so "a" (as "A", 0x41) sorts before "_" (0x5F) although
  // the lower-case letter's code is above it.
  const std::vector<std::string> created = {"b", "_", "A", "aa", "B2", "a1", "Zzz", "00010", "00002", "c", "zz"};
  const std::vector<std::string> ordered = {"A", "b", "c", "_", "a1", "aa", "B2", "zz", "Zzz", "00002", "00010"};
  TKVCompoundFile f;
  for (size_t i = 0; i < created.size(); ++i) {
    if (i % 2)
      f.Root().CreateStorage(created[i]);
    else
      f.Root().WriteStream(created[i], created[i]);
  }
  auto names = [](const TKVCompoundElement& e) {
    std::vector<std::string> r;
    for (size_t i = 0; i < e.Count(); ++i) r.push_back(e.Child(i).Name());
    return r;
  };
  EXPECT_EQ(names(f.Root()), ordered);
  for (size_t i = 0; i + 1 < ordered.size(); ++i)
    EXPECT_LT(KVCompoundCompareNames(ordered[i], ordered[i + 1]), 0) << ordered[i];
  EXPECT_EQ(KVCompoundCompareNames("abc", "ABC"), 0);

  TKVCompoundFile back;
  back.LoadImage(f.SaveImage());
  EXPECT_EQ(names(back.Root()), ordered);
  std::vector<std::string> dirs, streams;
  for (auto& n : ordered) {
    if ((std::find(created.begin(), created.end(), n) - created.begin()) % 2)
      dirs.push_back(n);
    else
      streams.push_back(n);
  }
  EXPECT_EQ(back.Root().ChildNames(TKVCompoundElement::TKind::Storage), dirs);
  EXPECT_EQ(back.Root().ChildNames(TKVCompoundElement::TKind::Stream), streams);
}

// ===========================================================================================================

TEST(CompoundFileImage, RoundTripKeepsTreeBytesAndClassIdAndIsDeterministic) {
  TKVCompoundFile f;
  Fill(f.Root(), SampleTree());
  f.SetClassId(kClassId);
  EXPECT_TRUE(f.Modified());
  std::string image = f.SaveImage();
  EXPECT_EQ(image, f.SaveImage());
  EXPECT_EQ(image.size() % 512, 0u);

  TKVCompoundFile back;
  back.LoadImage(image);
  EXPECT_FALSE(back.Modified());
  EXPECT_EQ(back.ClassId(), kClassId);
  EXPECT_EQ(Dump(back.Root()), Dump(SampleTree()));
  const TKVCompoundElement* empty = back.Root().Find("empty");
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->IsStream());
  EXPECT_EQ(empty->Data(), "");
  EXPECT_EQ(back.SaveImage(), image);
}

TEST(CompoundFileImage, AnotherReaderSeesExactlyTheTreeInOrder) {
  if (!OlefileAvailable()) GTEST_SKIP() << "/usr/bin/python3 has no olefile";
  TempDir dir;
  TKVCompoundFile f;
  TNode tree = SampleTree();
  // Mixed letter case and lengths in one storage put the sibling order to the test.
  tree.Children.push_back(Dir("order", {Stream("b", "1"), Stream("_", "2"), Stream("A", "3"), Stream("aa", "4"),
                                        Dir("B2", {}), Stream("a1", "5"), Stream("Zzz", "6")}));
  Fill(f.Root(), tree);
  f.SetClassId(kClassId);
  std::string file = dir.file("sample.qxs");
  WriteFileBytes(file, f.SaveImage());
  EXPECT_EQ(OlefileCheck(dir, file, tree, kClassId), "OK");

  // Without a class id the root's stays null.
  TKVCompoundFile plain;
  plain.Root().WriteStream("x", "y");
  WriteFileBytes(file, plain.SaveImage());
  EXPECT_EQ(OlefileCheck(dir, file, Dir("Root Entry", {Stream("x", "y")}), TGUID{}), "OK");
}

TEST(CompoundFileImage, AnotherReaderSeesWideDeepAndLargeTreesAsWritten) {
  if (!OlefileAvailable()) GTEST_SKIP() << "/usr/bin/python3 has no olefile";
  TempDir dir;
  // Many siblings (one balanced sibling tree), storages nested deep, and a stream large enough that the
  // allocation table needs the extension (DIFAT) beyond the header's 109 entries.
  std::vector<TNode> wide;
  for (int i = 0; i < 2000; ++i) wide.push_back(Stream("v" + std::to_string(i), i % 7 ? "x" + std::to_string(i) : ""));
  TNode deep = Stream("bottom", "reached");
  for (int i = 0; i < 200; ++i) deep = Dir(i % 2 ? "." : "00000", {deep});
  TNode tree = Dir("Root Entry", {Dir("wide", wide), deep, Stream("large", Pattern(7600000, 11))});
  TKVCompoundFile f;
  Fill(f.Root(), tree);
  f.SetClassId(kClassId);
  std::string file = dir.file("grown.qxs");
  WriteFileBytes(file, f.SaveImage());
  EXPECT_EQ(OlefileCheck(dir, file, tree, kClassId), "OK");
}

TEST(CompoundFileImage, SiblingTreesAreRedBlackTreesInTheFormatsOrder) {
  // Readers may search a sibling tree instead of walking it: each must be a binary search tree in the
  // format's order, and a valid red-black tree keeps every search short.
  for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 100, 1000}) {
    SCOPED_TRACE(n);
    TKVCompoundFile f;
    TKVCompoundElement& s = f.Root().CreateStorage("s");
    for (int i = 0; i < n; ++i) s.WriteStream("n" + std::to_string(i * 7919 % 10007), "");
    std::string image = f.SaveImage();
    TSurgery x{image};
    auto name = [&](uint32_t e) {
      size_t off = x.Entry(e);
      std::string r;
      for (size_t k = 0; k + 2 < static_cast<unsigned char>(image[off + 64]); k += 2) r += image[off + k];
      return r;
    };
    auto red = [&](uint32_t e) { return image[x.Entry(e) + 67] == 0; };
    uint32_t top = x.Field(x.Find("s"), kChild);
    ASSERT_NE(top, kNoStream);
    EXPECT_FALSE(red(top));
    // In-order walk with black heights of every path to a missing child.
    std::vector<std::string> inOrder;
    std::set<int> blackHeights;
    struct TStep {
      uint32_t Entry;
      int Blacks;
      bool Visited;
    };
    std::vector<TStep> stack{{top, 0, false}};
    while (!stack.empty()) {
      TStep step = stack.back();
      stack.pop_back();
      if (step.Entry == kNoStream) {
        blackHeights.insert(step.Blacks);
        continue;
      }
      if (step.Visited) {
        inOrder.push_back(name(step.Entry));
        continue;
      }
      int blacks = step.Blacks + (red(step.Entry) ? 0 : 1);
      uint32_t left = x.Field(step.Entry, kLeft), right = x.Field(step.Entry, kRight);
      if (red(step.Entry)) {
        EXPECT_TRUE(left == kNoStream || !red(left)) << "red " << name(step.Entry) << " has a red child";
        EXPECT_TRUE(right == kNoStream || !red(right)) << "red " << name(step.Entry) << " has a red child";
      }
      stack.push_back({right, blacks, false});
      stack.push_back({step.Entry, blacks, true});
      stack.push_back({left, blacks, false});
    }
    EXPECT_EQ(blackHeights.size(), 1u);
    ASSERT_EQ(inOrder.size(), static_cast<size_t>(n));
    for (size_t i = 1; i < inOrder.size(); ++i)
      EXPECT_LT(KVCompoundCompareNames(inOrder[i - 1], inOrder[i]), 0) << inOrder[i - 1] << " " << inOrder[i];
  }
}

TEST(CompoundFileImage, FilesOfAnotherWriterAreRead) {
  TNode tree = Dir("Root Entry", {Stream("Empty", ""), Dir("Sub", {Stream("Inner", "inner bytes"), Dir("Deeper", {})}),
                                  Stream("Big", Pattern(9000, 4)), Stream("a", "A"), Stream("Mid", Pattern(700, 5))});
  for (unsigned shift : {9u, 12u}) {
    SCOPED_TRACE(shift);
    std::string image = BuildCfb(tree, kClassId, shift);
    if (OlefileAvailable()) {
      TempDir dir;
      WriteFileBytes(dir.file("other.cfb"), image);
      ASSERT_EQ(OlefileCheck(dir, dir.file("other.cfb"), tree, kClassId, shift == 9 ? 3 : 4), "OK");
    }
    TKVCompoundFile f;
    f.LoadImage(image);
    EXPECT_EQ(Dump(f.Root()), Dump(tree));
    EXPECT_EQ(f.ClassId(), kClassId);
    // Saved again it becomes a version-3 file holding the same tree.
    TKVCompoundFile again;
    again.LoadImage(f.SaveImage());
    EXPECT_EQ(Dump(again.Root()), Dump(tree));
  }
}

TEST(CompoundFileImage, EmptyStreamsMayNameAnyFirstSector) {
  // There is nothing to read in an empty stream, and writers differ in the first sector they give it
  // (0 rather than the end mark is common); with or without a mini allocation table such a file reads.
  for (bool withMiniTable : {true, false}) {
    SCOPED_TRACE(withMiniTable);
    TNode tree =
        Dir("Root Entry", {Stream("Empty", ""), withMiniTable ? Stream("a", "A") : Stream("Big", Pattern(5000, 11))});
    std::string image = BuildCfb(tree, TGUID{});
    TSurgery x{image};
    x.SetField(x.Find("Empty"), kStart, 0);
    TKVCompoundFile f;
    EXPECT_NO_THROW(f.LoadImage(image));
    EXPECT_EQ(Dump(f.Root()), Dump(tree));
  }
}

TEST(CompoundFileImage, LargeStreamsAndWideAndDeepTreesRoundTrip) {
  // 8 MB needs more allocation-table sectors than the header lists: the DIFAT is used.
  TKVCompoundFile big;
  big.Root().WriteStream("huge", Pattern(8 << 20, 6));
  big.Root().WriteStream("second", Pattern(300000, 7));
  TKVCompoundFile bigBack;
  bigBack.LoadImage(big.SaveImage());
  EXPECT_EQ(Dump(bigBack.Root()), Dump(big.Root()));

  TKVCompoundFile wide;
  TKVCompoundElement& values = wide.Root().CreateStorage("values");
  for (int i = 0; i < 3000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d", i);
    values.WriteStream(name, i % 3 ? "v" : "");
  }
  TKVCompoundFile wideBack;
  wideBack.LoadImage(wide.SaveImage());
  ASSERT_EQ(wideBack.Root().Find("values")->Count(), 3000u);
  EXPECT_EQ(wideBack.Root().Find("values")->Child(2999).Name(), "02999");

  // libgsf reads the directory recursively, one level per child link (and per sibling link): this depth
  // overruns a default 8 MiB thread stack. Written, read, compared and freed without recursion of our own.
  const int depth = 60000;
  TKVCompoundFile deep;
  TKVCompoundElement* e = &deep.Root();
  for (int i = 0; i < depth; ++i) e = &e->CreateStorage(i % 2 ? "." : "00000");
  e->WriteStream("bottom", "reached");
  TKVCompoundFile deepBack;
  deepBack.LoadImage(deep.SaveImage());
  const TKVCompoundElement* d = &deepBack.Root();
  for (int i = 0; i < depth && d; ++i) d = d->Find(i % 2 ? "." : "00000");
  ASSERT_NE(d, nullptr);
  ASSERT_NE(d->Find("bottom"), nullptr);
  EXPECT_EQ(d->Find("bottom")->Data(), "reached");
}

TEST(CompoundFileImage, ModifiedFollowsRealChangesOnly) {
  TKVCompoundFile f;
  f.Root().WriteStream("a", "1");
  TKVCompoundFile g;
  g.LoadImage(f.SaveImage());
  EXPECT_FALSE(g.Modified());
  g.Root().WriteStream("A", "1");  // the same bytes again
  g.Root().CreateStorage("missing").Count();
  EXPECT_TRUE(g.Modified());
  g.SetModified(false);
  g.Root().CreateStorage("MISSING");  // exists already
  g.SetClassId(TGUID{});
  EXPECT_FALSE(g.Modified());
  g.Root().Find("a")->SetData("2");
  EXPECT_TRUE(g.Modified());
  g.SetModified(false);
  EXPECT_TRUE(g.Root().Destroy("a"));
  EXPECT_TRUE(g.Modified());
}

// ===========================================================================================================

struct TDamage {
  const char* Name;
  HRESULT Code;
  std::function<std::string()> Make;
};

std::string SampleImage() {
  TKVCompoundFile f;
  Fill(f.Root(), SampleTree());
  f.SetClassId(kClassId);
  return f.SaveImage();
}

std::vector<TDamage> DamageCorpus() {
  std::vector<TDamage> c;
  c.push_back({"empty", KV_STG_E_INVALIDHEADER, [] { return std::string(); }});
  c.push_back({"signature only", KV_STG_E_INVALIDHEADER, [] { return SampleImage().substr(0, 8); }});
  c.push_back({"header cut", KV_STG_E_INVALIDHEADER, [] { return SampleImage().substr(0, 300); }});
  c.push_back({"half the file", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 return s.substr(0, s.size() / 2);
               }});
  c.push_back({"random bytes", KV_STG_E_INVALIDHEADER, [] { return Pattern(5000, 8); }});
  c.push_back({"text file", KV_STG_E_INVALIDHEADER, [] { return std::string("[Section]\r\nKey=Value\r\n"); }});
  c.push_back({"wrong signature", KV_STG_E_INVALIDHEADER, [] {
                 std::string s = SampleImage();
                 s[7] = 0;
                 return s;
               }});
  c.push_back({"unknown version", KV_STG_E_INVALIDHEADER, [] {
                 std::string s = SampleImage();
                 Put16(s, 0x1A, 5);
                 return s;
               }});
  c.push_back({"random after the signature", KV_STG_E_INVALIDHEADER, [] {
                 std::string s = SampleImage();
                 std::string r = Pattern(s.size(), 9);
                 return s.substr(0, 8) + r.substr(8);
               }});
  c.push_back({"FAT cycle in a stream", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 auto chain = x.Chain(x.Field(x.Find("big"), kStart));
                 x.SetFat(chain.back(), chain.front());
                 return s;
               }});
  c.push_back({"FAT self loop in the directory", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 uint32_t first = Get32(s, 0x30);
                 x.SetFat(first, first);
                 return s;
               }});
  c.push_back({"two streams share sectors", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetField(x.Find("edge4096"), kStart, x.Field(x.Find("big"), kStart));
                 return s;
               }});
  c.push_back({"chain shorter than the stream", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetFat(x.Field(x.Find("big"), kStart), kEnd);
                 return s;
               }});
  c.push_back({"mini FAT cycle", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 uint32_t first = x.Field(x.Find("edge4095"), kStart);
                 Put32(s, x.MiniFatOffset(first + 10), first);
                 return s;
               }});
  c.push_back({"mini sector outside the mini stream", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetField(0, kSize, 64);  // the mini stream shrinks under the small streams
                 return s;
               }});
  c.push_back({"DIFAT loop", KV_STG_E_DOCFILECORRUPT, [] {
                 // Claim 237 allocation-table sectors (two DIFAT sectors) whose DIFAT chain points to itself.
                 TKVCompoundFile f;
                 f.Root().WriteStream("big", Pattern(200000, 10));
                 std::string s = f.SaveImage();
                 TSurgery x{s};
                 uint32_t difat = x.Chain(x.Field(x.Find("big"), kStart)).at(3);
                 for (uint32_t i = 0; i < 109; ++i) Put32(s, 0x4C + 4 * i, Get32(s, 0x4C));
                 for (uint32_t i = 0; i < 127; ++i) Put32(s, TSurgery::Sector(difat) + 4 * i, Get32(s, 0x4C));
                 Put32(s, TSurgery::Sector(difat) + 4 * 127, difat);
                 Put32(s, 0x2C, 237);
                 Put32(s, 0x44, difat);
                 Put32(s, 0x48, 2);
                 return s;
               }});
  c.push_back({"storage is its own child", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 uint32_t qxd = x.Find("QXD");
                 x.SetField(qxd, kChild, qxd);
                 return s;
               }});
  c.push_back({"sibling loop", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 uint32_t first = x.Field(0, kChild);
                 uint32_t second = x.Field(first, kRight) != kNoStream ? x.Field(first, kRight) : x.Field(first, kLeft);
                 x.SetField(second, kLeft, first);
                 return s;
               }});
  c.push_back({"child points back to the root's children", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetField(x.Find("00001"), kChild, x.Field(0, kChild));
                 return s;
               }});
  c.push_back({"entry reachable from two storages", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetField(x.Find("00001"), kChild, x.Find("small"));
                 return s;
               }});
  c.push_back({"child outside the directory", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetField(x.Find("QXD"), kChild, 5000);
                 return s;
               }});
  c.push_back({"stream larger than the file", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 x.SetField(x.Find("big"), kSize, 0x7FFFFFF0);
                 return s;
               }});
  c.push_back({"unterminated name", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 Put16(s, x.Entry(x.Find("small")) + 64, 10);  // "small" has 5 units: the terminator is cut
                 return s;
               }});
  c.push_back({"unused entry in the tree", KV_STG_E_DOCFILECORRUPT, [] {
                 std::string s = SampleImage();
                 TSurgery x{s};
                 s[x.Entry(x.Find("small")) + 66] = 0;
                 return s;
               }});
  c.push_back({"names equal but for case", KV_STG_E_DOCFILECORRUPT, [] {
                 return BuildCfb(Dir("Root Entry", {Stream("abc", "1"), Stream("ABC", "2")}), TGUID{});
               }});
  return c;
}

TEST(CompoundFileDamage, DamagedImagesAreRefusedWithTheirCode) {
  for (const TDamage& d : DamageCorpus()) {
    SCOPED_TRACE(d.Name);
    std::string message;
    EXPECT_EQ(LoadError(d.Make(), &message), d.Code) << message;
    EXPECT_FALSE(message.empty());
  }
  // A failed load leaves the document as it was.
  TKVCompoundFile f;
  f.Root().WriteStream("kept", "1");
  f.SetModified(false);
  auto corpus = DamageCorpus();
  auto cycle = std::find_if(corpus.begin(), corpus.end(),
                            [](const TDamage& d) { return std::string(d.Name) == "FAT cycle in a stream"; });
  ASSERT_NE(cycle, corpus.end());
  EXPECT_THROW(f.LoadImage(cycle->Make()), EKVHrException);
  EXPECT_EQ(f.Root().Count(), 1u);
  EXPECT_FALSE(f.Modified());
}

TEST(CompoundFileDamage, DamagedFilesAreNeitherChangedNorLeftLocked) {
  TempDir dir;
  for (const TDamage& d : DamageCorpus()) {
    SCOPED_TRACE(d.Name);
    std::string file = dir.file("damaged.qxs"), bytes = d.Make();
    WriteFileBytes(file, bytes);
    TKVCompoundFile f;
    try {
      f.OpenFile(file);
      ADD_FAILURE() << "opened";
    } catch (const EKVHrException& e) {
      EXPECT_EQ(e.ResultCode(), d.Code) << e.GetMessageText();
    }
    EXPECT_FALSE(f.HasFile());
    EXPECT_EQ(ReadFileBytes(file), bytes);
    EXPECT_FALSE(LockedElsewhere(file));
  }
}

TEST(CompoundFileDamage, RandomCorruptionNeverCrashes) {
  // Every outcome is either a tree or a clean error; under the sanitizers this also proves no read goes
  // astray. Flipped bytes land in the header, the tables and the directory alike.
  const std::string image = SampleImage();
  std::mt19937 gen(20240229);
  int refused = 0;
  for (int round = 0; round < 400; ++round) {
    std::string s = image;
    int flips = 1 + static_cast<int>(gen() % 8);
    for (int i = 0; i < flips; ++i) {
      size_t at = gen() % s.size();
      // Aim at the structures more often than at stream contents.
      if (gen() % 2) at = gen() % 512;
      if (gen() % 3 == 0) at = s.size() - 1024 + gen() % 1024;
      s[at] = static_cast<char>(gen());
    }
    TKVCompoundFile f;
    try {
      f.LoadImage(s);
    } catch (const EKVHrException& e) {
      ++refused;
      EXPECT_TRUE(e.ResultCode() == KV_STG_E_INVALIDHEADER || e.ResultCode() == KV_STG_E_DOCFILECORRUPT)
          << e.GetMessageText();
    }
  }
  EXPECT_GT(refused, 0);
}

// ===========================================================================================================

TEST(CompoundFileStorageFile, IsStorageFileLooksAtTheSignatureOnly) {
  TempDir dir;
  WriteFileBytes(dir.file("doc.qxs"), SampleImage());
  WriteFileBytes(dir.file("cut.qxs"), SampleImage().substr(0, 8));
  WriteFileBytes(dir.file("seven.qxs"), SampleImage().substr(0, 7));
  WriteFileBytes(dir.file("text.qxt"), "[Section]\n");
  EXPECT_TRUE(KVStgIsStorageFile(dir.file("doc.qxs")));
  EXPECT_TRUE(KVStgIsStorageFile(dir.file("cut.qxs")));
  EXPECT_FALSE(KVStgIsStorageFile(dir.file("seven.qxs")));
  EXPECT_FALSE(KVStgIsStorageFile(dir.file("text.qxt")));
  EXPECT_FALSE(KVStgIsStorageFile(dir.file("missing.qxs")));
  EXPECT_FALSE(KVStgIsStorageFile(dir.path().string()));
}

TEST(CompoundFileStorageFile, OpenFileHoldsAnExclusiveLockUntilClosed) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  WriteFileBytes(file, SampleImage());
  {
    TKVCompoundFile first;
    first.OpenFile(file);
    EXPECT_FALSE(first.ReadOnly());
    EXPECT_EQ(Dump(first.Root()), Dump(SampleTree()));
    EXPECT_TRUE(LockedElsewhere(file));

    TKVCompoundFile second;  // same process, its own open file description
    try {
      second.OpenFile(file);
      ADD_FAILURE() << "second open succeeded";
    } catch (const EKVHrException& e) {
      EXPECT_EQ(e.ResultCode(), KV_STG_E_SHAREVIOLATION);
    }
    EXPECT_THROW(first.OpenFile(file), EKVHrException);  // one file per document
  }
  EXPECT_FALSE(LockedElsewhere(file));

  // And the other way round: a lock held by another process keeps us out.
  TKVCompoundFile blocked;
  {
    testsupport::ForeignLock other(file);
    ASSERT_TRUE(other.Locked());
    try {
      blocked.OpenFile(file);
      ADD_FAILURE() << "opened a file another process holds";
    } catch (const EKVHrException& e) {
      EXPECT_EQ(e.ResultCode(), KV_STG_E_SHAREVIOLATION);
    }
  }
  blocked.OpenFile(file);
  EXPECT_TRUE(blocked.HasFile());
}

TEST(CompoundFileStorageFile, SaveReplacesTheFileByRenameAndKeepsLockAndMode) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  WriteFileBytes(file, SampleImage());
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  int oldView = open(file.c_str(), O_RDONLY);
  ASSERT_GE(oldView, 0);

  TKVCompoundFile f;
  f.OpenFile(file);
  f.Root().WriteStream("added", "new value");
  f.SaveFile();
  EXPECT_FALSE(f.Modified());

  struct stat after;
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFileBytes(file), f.SaveImage());
  // The previous inode was never written to: whoever still reads it sees the old document whole.
  std::string old;
  char buf[4096];
  for (ssize_t n; (n = read(oldView, buf, sizeof buf)) > 0;) old.append(buf, static_cast<size_t>(n));
  close(oldView);
  EXPECT_EQ(old, SampleImage());
  // The lock moved to the new file, and no temporary file is left behind.
  EXPECT_TRUE(LockedElsewhere(file));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
  f.CloseFile();
  EXPECT_FALSE(LockedElsewhere(file));
  TKVCompoundFile back;
  back.OpenFile(file);
  ASSERT_NE(back.Root().Find("added"), nullptr);
  EXPECT_EQ(back.Root().Find("added")->Data(), "new value");
}

TEST(CompoundFileStorageFile, SaveThroughASymbolicLinkUpdatesTheTarget) {
  TempDir dir;
  std::string real = dir.file("real.qxs"), link = dir.file("link.qxs");
  WriteFileBytes(real, SampleImage());
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  TKVCompoundFile f;
  f.OpenFile(link);
  EXPECT_EQ(f.FileName(), link);
  f.Root().WriteStream("via", "link");
  f.SaveFile();
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileBytes(real), f.SaveImage());
}

TEST(CompoundFileStorageFile, CreateFileWritesAtOnceAndRefusesExistingFiles) {
  TempDir dir;
  std::string file = dir.file("new.qxs");
  TKVCompoundFile f;
  f.SetClassId(kClassId);
  f.CreateFile(file);
  EXPECT_FALSE(f.Modified());
  EXPECT_TRUE(LockedElsewhere(file));
  EXPECT_EQ(ReadFileBytes(file), f.SaveImage());
  TKVCompoundFile g;
  try {
    g.CreateFile(file);
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.ResultCode(), KV_STG_E_FILEALREADYEXISTS);
  }
  try {
    g.CreateFile(dir.file("no/such/folder.qxs"));
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.ResultCode(), KV_STG_E_FILENOTFOUND);
  }
  f.CloseFile();
  TKVCompoundFile back;
  back.OpenFile(file);
  EXPECT_EQ(back.ClassId(), kClassId);
  EXPECT_EQ(back.Root().Count(), 0u);

  TKVCompoundFile missing;
  try {
    missing.OpenFile(dir.file("missing.qxs"));
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.ResultCode(), KV_STG_E_FILENOTFOUND);
  }
  try {
    missing.OpenFile(dir.path().string());
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.ResultCode(), KV_STG_E_ACCESSDENIED);
  }
  EXPECT_THROW(missing.SaveFile(), EKVHrException);
}

}  // namespace
