#include "storage/KVCompoundFile.h"

#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "foundation/KVConvert.h"
#include "storage/KVTempFiles.h"

namespace {

constexpr const char* kRoutineLoad = "TKVCompoundFile.LoadImage";
constexpr const char* kRoutineSave = "TKVCompoundFile.SaveImage";

// --- Names ---------------------------------------------------------------------------------------------------

bool Utf8ToUtf16(std::string_view s, std::u16string& out) { return KVTryUtf8ToUtf16(s, out); }
bool Utf16ToUtf8(const std::u16string& units, std::string& out) { return KVTryUtf16ToUtf8(units, out); }

bool IsAscii(std::string_view s) {
  unsigned char any = 0;
  for (char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

char16_t UpperAscii(char16_t u) { return u >= u'a' && u <= u'z' ? static_cast<char16_t>(u - (u'a' - u'A')) : u; }

// The format upper-cases code unit by code unit with the simple (one to one) mapping; surrogate halves and
// letters whose capital would leave the basic plane stay as they are.
std::u16string UpperKey(std::u16string units) {
  for (auto& u : units) {
    if (u < 0x80) {
      u = UpperAscii(u);
      continue;
    }
    if (u >= 0xD800 && u <= 0xDFFF) continue;
    gunichar up = g_unichar_toupper(u);
    if (up <= 0xFFFF && (up < 0xD800 || up > 0xDFFF)) u = static_cast<char16_t>(up);
  }
  return units;
}

// The sort key of a name as it may come out of a file: any non-empty UTF-8 of at most 31 code units.
bool LooseKey(std::string_view name, std::u16string& key) {
  if (name.empty()) return false;
  // Names are nearly always ASCII, where every byte is one code unit: no conversion needed.
  if (IsAscii(name)) {
    if (name.size() > 31) return false;
    key.resize(name.size());
    for (size_t i = 0; i < name.size(); ++i) key[i] = UpperAscii(static_cast<char16_t>(name[i]));
    return true;
  }
  std::u16string units;
  if (!Utf8ToUtf16(name, units) || units.size() > 31) return false;
  key = UpperKey(std::move(units));
  return true;
}

int CompareKeys(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool HasForbiddenChar(std::string_view name) {
  for (char c : name)
    if (c == '/' || c == '\\' || c == ':' || c == '!' || c == '\0') return true;
  return false;
}

// Why a name is refused; empty when it is valid. Names are checked on every lookup, so the message is only
// put together for a name that has a problem.
std::string NameProblem(std::string_view name) {
  auto shown = [&] {
    std::string text;
    for (char c : name) text += c == '\0' ? std::string("\\0") : std::string(1, c);
    return text;
  };
  if (name.empty()) return "An element name must not be empty";
  size_t units = name.size();
  if (!IsAscii(name)) {
    std::u16string converted;
    if (!Utf8ToUtf16(name, converted)) return "The element name \"" + shown() + "\" is not valid UTF-8";
    units = converted.size();
  }
  if (units > 31) return "The element name \"" + shown() + "\" is longer than 31 characters";
  if (!HasForbiddenChar(name)) return {};
  for (char c : {'/', '\\', ':', '!'})
    if (name.find(c) != std::string_view::npos)
      return "The element name \"" + shown() + "\" contains \"" + std::string(1, c) + "\"";
  return "The element name \"" + shown() + "\" contains a NUL character";
}

// NameProblem(name).empty() && LooseKey(name, key), in one conversion.
bool StrictKey(std::string_view name, std::u16string& key) {
  return !HasForbiddenChar(name) && LooseKey(name, key);
}

// --- Errors --------------------------------------------------------------------------------------------------

[[noreturn]] void NotCompound(const std::string& why) {
  throw EKVHrException(why, KV_STG_E_INVALIDHEADER, nullptr, kRoutineLoad);
}
[[noreturn]] void Corrupt(const std::string& why) {
  throw EKVHrException(why, KV_STG_E_DOCFILECORRUPT, nullptr, kRoutineLoad);
}
HRESULT StgCodeFromErrno(int err, bool writing) {
  switch (err) {
    case ENOENT:
      return KV_STG_E_FILENOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return KV_STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return KV_STG_E_ACCESSDENIED;
    case EWOULDBLOCK:
      return KV_STG_E_SHAREVIOLATION;
    case EEXIST:
      return KV_STG_E_FILEALREADYEXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return KV_STG_E_MEDIUMFULL;
    case ENOMEM:
      return KV_STG_E_INSUFFICIENTMEMORY;
    case EIO:
      return writing ? KV_STG_E_WRITEFAULT : KV_STG_E_READFAULT;
    default:
      return KVHResultFromOSError(err);
  }
}

[[noreturn]] void RaiseErrno(const std::string& what, int err, bool writing, const char* routine) {
  throw EKVHrException(what, StgCodeFromErrno(err, writing), KVSysErrorMessage(err), nullptr, routine);
}

// --- File helpers ----------------------------------------------------------------------------------------------

class TFd {
 public:
  explicit TFd(int fd = -1) : m_Fd(fd) {}
  ~TFd() { reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return m_Fd; }
  int release() { return std::exchange(m_Fd, -1); }
  void reset() {
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = -1;
  }

 private:
  int m_Fd;
};

// 0 or the errno of the failure.
int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

int ReadAll(int fd, std::string& data) {
  data.clear();
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    data.append(buf, static_cast<size_t>(n));
    at += n;
  }
}

// 0, or EWOULDBLOCK when another open description holds the lock, or another errno.
int LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void SyncFolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Some file systems cannot sync a folder; the rename itself has happened either way.
  if (::fsync(fd) != 0) {
  }
  ::close(fd);
}

std::string ResolvedPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string r = real;
  ::free(real);
  return r;
}

// --- Reading: every table and chain checked, then the tree taken from the image ----------------------------

constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint32_t kDifSect = 0xFFFFFFFCu;
constexpr uint32_t kNoStream = 0xFFFFFFFFu;
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFAu;
constexpr size_t kHeaderSize = 512;
constexpr size_t kEntrySize = 128;
constexpr uint64_t kMiniSectorSize = 64;
constexpr uint64_t kMiniCutoff = 4096;
constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// An element as the directory describes it.
struct TCheckedEntry {
  std::string Name;
  bool Storage = true;
  uint64_t Size = 0;
  std::string Data;
  std::vector<size_t> Children;  // indexes into TCheckedLayout::Entries, each after its parent
};

struct TCheckedLayout {
  std::vector<TCheckedEntry> Entries;  // [0] is the root
  TGUID ClassId;
};

class TImageChecker {
 public:
  explicit TImageChecker(std::string_view image) : m_Image(image) {}

  TCheckedLayout Run() {
    CheckHeader();
    ReadAllocationTable();
    ReadDirectory();
    ReadMiniStream();
    return WalkTree();
  }

 private:
  uint16_t U16(size_t off) const {
    const auto* p = reinterpret_cast<const unsigned char*>(m_Image.data()) + off;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  uint32_t U32(size_t off) const {
    const auto* p = reinterpret_cast<const unsigned char*>(m_Image.data()) + off;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
  }
  uint64_t U64(size_t off) const { return U32(off) | static_cast<uint64_t>(U32(off + 4)) << 32; }
  size_t SectorOffset(uint32_t sector) const { return (static_cast<size_t>(sector) + 1) << m_Shift; }
  uint32_t SectorU32(uint32_t sector, size_t index) const { return U32(SectorOffset(sector) + 4 * index); }

  void CheckHeader() {
    if (m_Image.size() < sizeof kSignature || std::memcmp(m_Image.data(), kSignature, sizeof kSignature) != 0)
      NotCompound("The file is no compound file (signature missing)");
    if (m_Image.size() < kHeaderSize) NotCompound("The compound-file header is incomplete");
    uint16_t major = U16(0x1A);
    m_Shift = U16(0x1E);
    if (U16(0x1C) != 0xFFFE) NotCompound("The compound-file header has an unknown byte order mark");
    if (!((major == 3 && m_Shift == 9) || (major == 4 && m_Shift == 12)))
      NotCompound("Unsupported compound-file version " + std::to_string(major) + " with sector shift " +
                  std::to_string(m_Shift));
    if (U16(0x20) != 6 || U32(0x38) != kMiniCutoff)
      NotCompound("The compound-file header has unsupported mini stream parameters");
    m_SectorSize = size_t{1} << m_Shift;
    if (m_Image.size() < m_SectorSize) Corrupt("The compound file is truncated");
    size_t sectors = (m_Image.size() - m_SectorSize) / m_SectorSize;
    m_Sectors = static_cast<uint32_t>(std::min<size_t>(sectors, kMaxRegularSector));
    m_Used.assign(m_Sectors, false);
    m_Major = major;
  }

  void ReadAllocationTable() {
    uint32_t numFat = U32(0x2C), firstDifat = U32(0x44), numDifat = U32(0x48);
    if (numFat == 0) Corrupt("The compound file has no sector allocation table");
    if (numFat > m_Sectors) Corrupt("The header counts more allocation table sectors than the file holds");
    const size_t perSector = m_SectorSize / 4;
    std::vector<uint32_t> fatSectors;
    fatSectors.reserve(numFat);
    uint32_t inHeader = std::min<uint32_t>(numFat, 109);
    for (uint32_t i = 0; i < inHeader; ++i) fatSectors.push_back(U32(0x4C + 4 * i));
    uint32_t remaining = numFat - inHeader;
    uint64_t neededDifat = (remaining + perSector - 2) / (perSector - 1);
    if (numDifat != neededDifat) Corrupt("The header's count of DIFAT sectors does not fit its table size");
    uint32_t next = firstDifat;
    for (uint32_t d = 0; d < numDifat; ++d) {
      if (next >= m_Sectors) Corrupt("The DIFAT chain leaves the file");
      if (m_Used[next]) Corrupt("The DIFAT chain loops");
      m_Used[next] = true;
      uint32_t take = static_cast<uint32_t>(std::min<size_t>(perSector - 1, remaining));
      for (uint32_t j = 0; j < take; ++j) fatSectors.push_back(SectorU32(next, j));
      remaining -= take;
      next = SectorU32(next, perSector - 1);
    }
    m_Fat.resize(static_cast<size_t>(numFat) * perSector);
    for (size_t k = 0; k < fatSectors.size(); ++k) {
      uint32_t s = fatSectors[k];
      if (s >= m_Sectors) Corrupt("An allocation table sector lies outside the file");
      if (m_Used[s]) Corrupt("An allocation table sector is used twice");
      m_Used[s] = true;
      for (size_t j = 0; j < perSector; ++j) {
        uint32_t v = SectorU32(s, j);
        if (v >= m_Sectors && v < kDifSect) Corrupt("The allocation table refers to a sector outside the file");
        m_Fat[k * perSector + j] = v;
      }
    }
  }

  // Follows a chain to its end mark; every sector may belong to one chain only, which also ends loops.
  std::vector<uint32_t> Chain(uint32_t start, const std::vector<uint32_t>& table, std::vector<bool>& used,
                              const std::string& what) {
    std::vector<uint32_t> chain;
    uint32_t s = start;
    while (s != kEndOfChain) {
      if (s >= table.size() || s >= used.size()) Corrupt("The sector chain of " + what + " leaves its table");
      if (used[s]) Corrupt("The sector chain of " + what + " loops or runs into another chain");
      used[s] = true;
      chain.push_back(s);
      s = table[s];
    }
    return chain;
  }

  void ReadDirectory() {
    m_DirSectors = Chain(U32(0x30), m_Fat, m_Used, "the directory");
    if (m_DirSectors.empty()) Corrupt("The compound file has no directory");
    m_EntriesPerSector = m_SectorSize / kEntrySize;
    m_EntryCount = m_DirSectors.size() * m_EntriesPerSector;
    if (m_Image[EntryOffset(0) + 66] != 5) Corrupt("The first directory entry is not the root");
    if (U32(EntryOffset(0) + 68) != kNoStream || U32(EntryOffset(0) + 72) != kNoStream)
      Corrupt("The root directory entry has siblings");
  }

  size_t EntryOffset(size_t entry) const {
    return SectorOffset(m_DirSectors[entry / m_EntriesPerSector]) + (entry % m_EntriesPerSector) * kEntrySize;
  }

  uint64_t EntrySize(size_t off) const { return m_Major == 3 ? U32(off + 120) : U64(off + 120); }

  void ReadMiniStream() {
    size_t root = EntryOffset(0);
    m_MiniStreamSize = EntrySize(root);
    m_MiniChain = Chain(U32(root + 116), m_Fat, m_Used, "the mini stream");
    if (m_MiniChain.size() * m_SectorSize < m_MiniStreamSize) Corrupt("The mini stream is shorter than its size");
    std::vector<uint32_t> tableSectors = Chain(U32(0x3C), m_Fat, m_Used, "the mini allocation table");
    const size_t perSector = m_SectorSize / 4;
    m_MiniFat.reserve(tableSectors.size() * perSector);
    for (uint32_t s : tableSectors)
      for (size_t j = 0; j < perSector; ++j) m_MiniFat.push_back(SectorU32(s, j));
    // An entry out of range is a damaged table even where no chain reaches it: other readers stop filling
    // their table there and would follow a different one.
    for (uint32_t v : m_MiniFat)
      if (v >= m_MiniFat.size() && v < kDifSect) Corrupt("The mini allocation table refers to a sector it lacks");
    m_MiniUsed.assign(m_MiniFat.size(), false);
  }

  std::string EntryName(size_t off, size_t entry) const {
    uint16_t length = U16(off + 64);
    if (length <= 2 || length > 64 || length % 2 != 0)
      Corrupt("Directory entry " + std::to_string(entry) + " has an invalid name length");
    size_t units = length / 2 - 1;
    std::u16string name;
    for (size_t i = 0; i < units; ++i) {
      char16_t u = U16(off + 2 * i);
      if (u == 0) Corrupt("Directory entry " + std::to_string(entry) + " has a NUL inside its name");
      name.push_back(u);
    }
    if (U16(off + 2 * units) != 0)
      Corrupt("The name of directory entry " + std::to_string(entry) + " is not terminated");
    std::string utf8;
    if (!Utf16ToUtf8(name, utf8))
      Corrupt("The name of directory entry " + std::to_string(entry) + " is not valid UTF-16");
    return utf8;
  }

  void CheckStreamData(TCheckedEntry& e, uint32_t start) {
    if (e.Size > m_Image.size()) Corrupt("Stream \"" + e.Name + "\" claims to be larger than the file");
    const std::string what = "stream \"" + e.Name + "\"";
    if (e.Size >= kMiniCutoff) {
      std::vector<uint32_t> chain = Chain(start, m_Fat, m_Used, what);
      if (chain.size() < (e.Size + m_SectorSize - 1) / m_SectorSize)
        Corrupt("The sector chain of " + what + " is shorter than the stream");
      e.Data.resize(static_cast<size_t>(e.Size));
      for (size_t i = 0, done = 0; done < e.Data.size(); ++i) {
        size_t bytes = std::min(m_SectorSize, e.Data.size() - done);
        std::memcpy(e.Data.data() + done, m_Image.data() + SectorOffset(chain[i]), bytes);
        done += bytes;
      }
    } else if (e.Size > 0) {
      std::vector<uint32_t> chain = Chain(start, m_MiniFat, m_MiniUsed, what);
      uint64_t needed = (e.Size + kMiniSectorSize - 1) / kMiniSectorSize;
      if (chain.size() < needed) Corrupt("The sector chain of " + what + " is shorter than the stream");
      for (uint64_t i = 0; i < needed; ++i) {
        uint64_t bytes = std::min<uint64_t>(kMiniSectorSize, e.Size - i * kMiniSectorSize);
        if (chain[i] * kMiniSectorSize + bytes > m_MiniStreamSize)
          Corrupt("A mini sector of " + what + " lies outside the mini stream");
      }
      e.Data.resize(static_cast<size_t>(e.Size));
      for (uint64_t i = 0; i < needed; ++i) {
        size_t done = static_cast<size_t>(i * kMiniSectorSize);
        size_t bytes = std::min<size_t>(kMiniSectorSize, e.Data.size() - done);
        uint64_t at = chain[i] * kMiniSectorSize;
        size_t from = SectorOffset(m_MiniChain[at / m_SectorSize]) + static_cast<size_t>(at % m_SectorSize);
        std::memcpy(e.Data.data() + done, m_Image.data() + from, bytes);
      }
    }
  }

  // The directory is a tree of sibling trees; walked with an explicit stack so that no file can exhaust ours.
  TCheckedLayout WalkTree() {
    TCheckedLayout layout;
    layout.Entries.emplace_back();
    layout.Entries[0].Name = "Root Entry";
    std::vector<bool> seen(m_EntryCount, false);
    seen[0] = true;
    layout.ClassId = TGUID::FromBytes(reinterpret_cast<const uint8_t*>(m_Image.data()) + EntryOffset(0) + 80);
    struct TStep {
      uint32_t Entry;
      size_t Parent;
    };
    std::vector<TStep> todo{{U32(EntryOffset(0) + 76), 0}};
    while (!todo.empty()) {
      TStep step = todo.back();
      todo.pop_back();
      if (step.Entry == kNoStream) continue;
      if (step.Entry >= m_EntryCount)
        Corrupt("The directory refers to entry " + std::to_string(step.Entry) + " outside the directory");
      if (seen[step.Entry]) Corrupt("The directory tree loops or reaches an entry twice");
      seen[step.Entry] = true;
      size_t off = EntryOffset(step.Entry);
      uint8_t type = static_cast<uint8_t>(m_Image[off + 66]);
      if (type != 1 && type != 2)
        Corrupt("The directory tree reaches entry " + std::to_string(step.Entry) + " of type " + std::to_string(type));
      TCheckedEntry e;
      e.Name = EntryName(off, step.Entry);
      e.Storage = type == 1;
      uint32_t child = U32(off + 76);
      if (!e.Storage) {
        e.Size = EntrySize(off);
        if (child != kNoStream) Corrupt("Stream \"" + e.Name + "\" has children");
        CheckStreamData(e, U32(off + 116));
      }
      size_t index = layout.Entries.size();
      layout.Entries.push_back(std::move(e));
      layout.Entries[step.Parent].Children.push_back(index);
      todo.push_back({U32(off + 68), step.Parent});
      todo.push_back({U32(off + 72), step.Parent});
      if (layout.Entries[index].Storage) todo.push_back({child, index});
    }
    return layout;
  }

  std::string_view m_Image;
  unsigned m_Shift = 9;
  uint16_t m_Major = 3;
  size_t m_SectorSize = 512;
  uint32_t m_Sectors = 0;
  std::vector<bool> m_Used;
  std::vector<uint32_t> m_Fat;
  std::vector<uint32_t> m_DirSectors;
  size_t m_EntriesPerSector = 4;
  size_t m_EntryCount = 0;
  uint64_t m_MiniStreamSize = 0;
  std::vector<uint32_t> m_MiniChain;  // the regular sectors holding the mini stream
  std::vector<uint32_t> m_MiniFat;
  std::vector<bool> m_MiniUsed;
};

// --- Writing -------------------------------------------------------------------------------------------------
//
// Version 3 image laid out in one pass over sizes, then filled: header, allocation table, its extension (DIFAT),
// directory, mini allocation table, mini stream, then the large streams, each chain in consecutive sectors.
// The children of a storage become a balanced sibling tree (the midpoint of every range is its root), coloured
// as a valid red-black tree: readers that search the tree find names in about log n steps, and no reader's
// recursion grows with the number of siblings.

constexpr uint32_t kFreeSect = 0xFFFFFFFFu;
constexpr uint32_t kFatSect = 0xFFFFFFFDu;
constexpr size_t kSectorSize = 512;
constexpr size_t kIdsPerSector = kSectorSize / 4;
constexpr size_t kHeaderDifatEntries = 109;

// One directory entry as it will be written.
struct TOutEntry {
  const TKVCompoundElement* Element;  // null for the root
  uint32_t Left = kNoStream, Right = kNoStream, Child = kNoStream;
  uint32_t Start = kEndOfChain;
  uint64_t Size = 0;
  bool Red = false;
};

class TImageWriter {
 public:
  TImageWriter(const TKVCompoundElement& root, const TGUID& classId) : m_Root(root), m_ClassId(classId) {}

  std::string Run() {
    CollectEntries();
    PlaceStreams();
    return Emit();
  }

 private:
  static uint32_t MidOf(size_t lo, size_t hi) { return static_cast<uint32_t>(lo + (hi - lo) / 2); }

  // Pre-order numbering; a storage's children get consecutive ids in the format's order, so the sibling tree
  // over them is built from index ranges.
  void CollectEntries() {
    m_Entries.push_back({nullptr});
    std::vector<std::pair<const TKVCompoundElement*, uint32_t>> todo{{&m_Root, 0}};
    while (!todo.empty()) {
      auto [storage, id] = todo.back();
      todo.pop_back();
      size_t n = storage->Count();
      if (n == 0) continue;
      if (m_Entries.size() + n >= kMaxRegularSector)
        throw EKVHrException("The tree has more elements than a compound file can hold", KV_STG_E_INSUFFICIENTMEMORY,
                             nullptr, kRoutineSave);
      const uint32_t first = static_cast<uint32_t>(m_Entries.size());
      for (size_t i = 0; i < n; ++i) m_Entries.push_back({&storage->Child(i)});
      m_Entries[id].Child = first + MidOf(0, n);
      LinkSiblings(first, n);
      for (size_t i = n; i-- > 0;)
        if (storage->Child(i).IsStorage()) todo.emplace_back(&storage->Child(i), first + static_cast<uint32_t>(i));
    }
  }

  // All levels of a midpoint tree but the deepest are full, so making the nodes of an incomplete deepest level
  // red gives every path the same number of black nodes.
  void LinkSiblings(uint32_t first, size_t n) {
    size_t fullLevels = 0;
    while ((size_t{2} << fullLevels) - 1 <= n) ++fullLevels;
    struct TRange {
      size_t Lo, Hi, Depth;
    };
    std::vector<TRange> ranges{{0, n, 0}};
    while (!ranges.empty()) {
      TRange r = ranges.back();
      ranges.pop_back();
      uint32_t mid = MidOf(r.Lo, r.Hi);
      TOutEntry& e = m_Entries[first + mid];
      e.Red = r.Depth >= fullLevels;
      if (r.Lo < mid) {
        e.Left = first + MidOf(r.Lo, mid);
        ranges.push_back({r.Lo, mid, r.Depth + 1});
      }
      if (mid + 1 < r.Hi) {
        e.Right = first + MidOf(mid + 1, r.Hi);
        ranges.push_back({mid + 1, r.Hi, r.Depth + 1});
      }
    }
  }

  static uint64_t SectorsFor(uint64_t bytes, uint64_t unit) { return (bytes + unit - 1) / unit; }

  void PlaceStreams() {
    uint64_t miniSectors = 0, bigSectors = 0;
    for (TOutEntry& e : m_Entries) {
      if (!e.Element || !e.Element->IsStream()) continue;
      e.Size = e.Element->Data().size();
      if (e.Size > 0xFFFFFFFFu)
        throw EKVHrException("Stream \"" + e.Element->Name() + "\" is larger than a compound file can hold",
                             KV_STG_E_WRITEFAULT, nullptr, kRoutineSave);
      if (e.Size == 0) continue;
      if (e.Size < kMiniCutoff) {
        e.Start = static_cast<uint32_t>(miniSectors);
        miniSectors += SectorsFor(e.Size, kMiniSectorSize);
      } else {
        e.Start = static_cast<uint32_t>(bigSectors);  // relative for now
        bigSectors += SectorsFor(e.Size, kSectorSize);
      }
    }
    if (miniSectors * kMiniSectorSize > 0xFFFFFFFFu)
      throw EKVHrException("The short streams are more than a compound file can hold", KV_STG_E_WRITEFAULT, nullptr,
                           kRoutineSave);
    m_MiniSectors = miniSectors;
    m_DirSectors = SectorsFor(m_Entries.size(), kSectorSize / kEntrySize);
    m_MiniFatSectors = SectorsFor(miniSectors * 4, kSectorSize);
    m_MiniStreamSectors = SectorsFor(miniSectors * kMiniSectorSize, kSectorSize);
    const uint64_t content = m_DirSectors + m_MiniFatSectors + m_MiniStreamSectors + bigSectors;
    // The allocation table describes itself and its extension too.
    uint64_t fat = 1, difat = 0;
    for (;;) {
      uint64_t needed = SectorsFor(content + fat + difat, kIdsPerSector);
      uint64_t needDifat = needed > kHeaderDifatEntries ? SectorsFor(needed - kHeaderDifatEntries, kIdsPerSector - 1) : 0;
      if (needed <= fat && needDifat <= difat) break;
      fat = std::max(fat, needed);
      difat = std::max(difat, needDifat);
    }
    m_FatSectors = fat;
    m_DifatSectors = difat;
    m_Total = fat + difat + content;
    if (m_Total >= kMaxRegularSector)
      throw EKVHrException("The tree is larger than a compound file can hold", KV_STG_E_WRITEFAULT, nullptr,
                           kRoutineSave);
    m_FirstDifat = fat;
    m_FirstDir = m_FirstDifat + difat;
    m_FirstMiniFat = m_FirstDir + m_DirSectors;
    m_FirstMiniStream = m_FirstMiniFat + m_MiniFatSectors;
    m_FirstBig = m_FirstMiniStream + m_MiniStreamSectors;
    for (TOutEntry& e : m_Entries)
      if (e.Element && e.Size >= kMiniCutoff) e.Start += static_cast<uint32_t>(m_FirstBig);
    m_Entries[0].Start = miniSectors ? static_cast<uint32_t>(m_FirstMiniStream) : kEndOfChain;
    m_Entries[0].Size = miniSectors * kMiniSectorSize;
  }

  void Put16(size_t off, uint16_t v) {
    m_Out[off] = static_cast<char>(v & 0xFF);
    m_Out[off + 1] = static_cast<char>(v >> 8);
  }
  void Put32(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) m_Out[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  static size_t At(uint64_t sector) { return static_cast<size_t>((sector + 1) * kSectorSize); }
  // Table slot `index` of a table stored in consecutive sectors from `first`.
  static size_t Slot(uint64_t first, uint64_t index) { return At(first) + static_cast<size_t>(index) * 4; }

  void Chain(uint64_t tableFirst, uint64_t start, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i)
      Put32(Slot(tableFirst, start + i), i + 1 < count ? static_cast<uint32_t>(start + i + 1) : kEndOfChain);
  }

  std::string Emit() {
    m_Out.assign(At(m_Total), '\0');
    // Header.
    std::memcpy(m_Out.data(), kSignature, sizeof kSignature);
    Put16(0x18, 0x3E);
    Put16(0x1A, 3);
    Put16(0x1C, 0xFFFE);
    Put16(0x1E, 9);
    Put16(0x20, 6);
    Put32(0x2C, static_cast<uint32_t>(m_FatSectors));
    Put32(0x30, static_cast<uint32_t>(m_FirstDir));
    Put32(0x38, static_cast<uint32_t>(kMiniCutoff));
    Put32(0x3C, m_MiniFatSectors ? static_cast<uint32_t>(m_FirstMiniFat) : kEndOfChain);
    Put32(0x40, static_cast<uint32_t>(m_MiniFatSectors));
    Put32(0x44, m_DifatSectors ? static_cast<uint32_t>(m_FirstDifat) : kEndOfChain);
    Put32(0x48, static_cast<uint32_t>(m_DifatSectors));
    for (uint64_t i = 0; i < kHeaderDifatEntries; ++i)
      Put32(0x4C + 4 * i, i < m_FatSectors ? static_cast<uint32_t>(i) : kFreeSect);
    // DIFAT: the allocation-table sectors the header has no room for, 127 per sector and a link to the next.
    for (uint64_t d = 0; d < m_DifatSectors; ++d) {
      for (uint64_t j = 0; j < kIdsPerSector - 1; ++j) {
        uint64_t fat = kHeaderDifatEntries + d * (kIdsPerSector - 1) + j;
        Put32(Slot(m_FirstDifat + d, j), fat < m_FatSectors ? static_cast<uint32_t>(fat) : kFreeSect);
      }
      Put32(Slot(m_FirstDifat + d, kIdsPerSector - 1),
            d + 1 < m_DifatSectors ? static_cast<uint32_t>(m_FirstDifat + d + 1) : kEndOfChain);
    }
    // Allocation table.
    for (uint64_t i = 0; i < m_FatSectors * kIdsPerSector; ++i) Put32(Slot(0, i), kFreeSect);
    for (uint64_t i = 0; i < m_FatSectors; ++i) Put32(Slot(0, i), kFatSect);
    for (uint64_t i = 0; i < m_DifatSectors; ++i) Put32(Slot(0, m_FirstDifat + i), kDifSect);
    Chain(0, m_FirstDir, m_DirSectors);
    Chain(0, m_FirstMiniFat, m_MiniFatSectors);
    Chain(0, m_FirstMiniStream, m_MiniStreamSectors);
    // Mini allocation table: unused slots free.
    for (uint64_t i = 0; i < m_MiniFatSectors * kIdsPerSector; ++i) Put32(Slot(m_FirstMiniFat, i), kFreeSect);
    // Directory, then each stream's bytes and chain.
    const size_t entrySlots = static_cast<size_t>(m_DirSectors * (kSectorSize / kEntrySize));
    for (size_t id = 0; id < entrySlots; ++id) {
      size_t off = At(m_FirstDir) + id * kEntrySize;
      if (id >= m_Entries.size()) {
        Put32(off + 68, kNoStream);
        Put32(off + 72, kNoStream);
        Put32(off + 76, kNoStream);
        continue;
      }
      WriteEntry(off, m_Entries[id]);
    }
    return std::move(m_Out);
  }

  void WriteEntry(size_t off, const TOutEntry& e) {
    std::u16string name;
    Utf8ToUtf16(e.Element ? e.Element->Name() : std::string("Root Entry"), name);
    for (size_t i = 0; i < name.size(); ++i) Put16(off + 2 * i, static_cast<uint16_t>(name[i]));
    Put16(off + 64, static_cast<uint16_t>((name.size() + 1) * 2));
    m_Out[off + 66] = static_cast<char>(!e.Element ? 5 : e.Element->IsStorage() ? 1 : 2);
    m_Out[off + 67] = static_cast<char>(e.Red ? 0 : 1);
    Put32(off + 68, e.Left);
    Put32(off + 72, e.Right);
    Put32(off + 76, e.Child);
    if (!e.Element) {
      std::array<uint8_t, 16> clsid = m_ClassId.ToBytes();
      std::memcpy(m_Out.data() + off + 80, clsid.data(), clsid.size());
    }
    Put32(off + 116, e.Start);
    Put32(off + 120, static_cast<uint32_t>(e.Size));
    if (!e.Element || e.Size == 0) return;
    const std::string& data = e.Element->Data();
    if (e.Size >= kMiniCutoff) {
      uint64_t count = SectorsFor(e.Size, kSectorSize);
      Chain(0, e.Start, count);
      std::memcpy(m_Out.data() + At(e.Start), data.data(), data.size());
      return;
    }
    uint64_t count = SectorsFor(e.Size, kMiniSectorSize);
    Chain(m_FirstMiniFat, e.Start, count);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t at = (e.Start + i) * kMiniSectorSize;
      size_t done = static_cast<size_t>(i * kMiniSectorSize);
      std::memcpy(m_Out.data() + At(m_FirstMiniStream + at / kSectorSize) + at % kSectorSize, data.data() + done,
                  std::min<size_t>(kMiniSectorSize, data.size() - done));
    }
  }

  const TKVCompoundElement& m_Root;
  TGUID m_ClassId;
  std::vector<TOutEntry> m_Entries;
  uint64_t m_MiniSectors = 0, m_DirSectors = 0, m_MiniFatSectors = 0, m_MiniStreamSectors = 0;
  uint64_t m_FatSectors = 0, m_DifatSectors = 0, m_Total = 0;
  uint64_t m_FirstDifat = 0, m_FirstDir = 0, m_FirstMiniFat = 0, m_FirstMiniStream = 0, m_FirstBig = 0;
  std::string m_Out;
};

}  // namespace

// --- Names -------------------------------------------------------------------------------------------------

bool KVCompoundIsValidName(std::string_view name) { return NameProblem(name).empty(); }

void KVCompoundCheckName(std::string_view name, const std::string& operation) {
  std::string problem = NameProblem(name);
  if (problem.empty()) return;
  if (operation.empty()) throw EKVHrException(problem, KV_STG_E_INVALIDNAME, nullptr, "KVCompoundCheckName");
  throw EKVHrException(operation, KV_STG_E_INVALIDNAME, problem, nullptr, "KVCompoundCheckName");
}

int KVCompoundCompareNames(std::string_view a, std::string_view b) {
  std::u16string ka, kb;
  bool va = LooseKey(a, ka), vb = LooseKey(b, kb);
  if (va && vb) return CompareKeys(ka, kb);
  if (va != vb) return va ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool KVStgIsStorageFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  TFd guard(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  unsigned char head[sizeof kSignature];
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = ::pread(fd, head + got, sizeof head - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return std::memcmp(head, kSignature, sizeof kSignature) == 0;
}

// --- TKVCompoundElement ----------------------------------------------------------------------------------------

// Fills storages in bulk while a file is read: append everything, then order once.
struct TKVCompoundAccess {
  static TKVCompoundElement& Append(TKVCompoundElement& storage, TKVCompoundElement::TKind kind, std::string name,
                                    std::u16string key, std::string data = {}) {
    storage.m_Children.push_back(std::unique_ptr<TKVCompoundElement>(
        new TKVCompoundElement(storage.m_Owner, kind, std::move(name), std::move(key))));
    storage.m_Children.back()->m_Data = std::move(data);
    return *storage.m_Children.back();
  }
  static std::unique_ptr<TKVCompoundElement> NewRoot(TKVCompoundFile* owner) {
    std::u16string key;
    LooseKey("Root Entry", key);
    return std::unique_ptr<TKVCompoundElement>(
        new TKVCompoundElement(owner, TKVCompoundElement::TKind::Storage, "Root Entry", std::move(key)));
  }
  static void Order(TKVCompoundElement& storage) {
    auto& c = storage.m_Children;
    std::sort(c.begin(), c.end(), [](const auto& a, const auto& b) { return CompareKeys(a->m_Key, b->m_Key) < 0; });
    for (size_t i = 1; i < c.size(); ++i)
      if (c[i - 1]->m_Key == c[i]->m_Key)
        Corrupt("Two elements of one storage are named \"" + c[i - 1]->m_Name + "\" and \"" + c[i]->m_Name + "\"");
  }
  static TKVCompoundElement* FindLoose(const TKVCompoundElement& storage, const std::string& name) {
    std::u16string key;
    if (!LooseKey(name, key)) return nullptr;
    auto it = storage.LowerBound(key);
    return it != storage.m_Children.end() && (*it)->m_Key == key ? it->get() : nullptr;
  }
};

TKVCompoundElement::TKVCompoundElement(TKVCompoundFile* owner, TKind kind, std::string name, std::u16string key)
    : m_Owner(owner), m_Kind(kind), m_Name(std::move(name)), m_Key(std::move(key)) {}

TKVCompoundElement::~TKVCompoundElement() {
  // Flattened, so that a deep tree cannot exhaust the stack while it is freed.
  std::vector<std::unique_ptr<TKVCompoundElement>> pending = std::move(m_Children);
  while (!pending.empty()) {
    std::unique_ptr<TKVCompoundElement> e = std::move(pending.back());
    pending.pop_back();
    for (auto& c : e->m_Children) pending.push_back(std::move(c));
    e->m_Children.clear();
  }
}

std::vector<std::unique_ptr<TKVCompoundElement>>::const_iterator TKVCompoundElement::LowerBound(
    const std::u16string& key) const {
  return std::lower_bound(m_Children.begin(), m_Children.end(), key,
                          [](const std::unique_ptr<TKVCompoundElement>& e, const std::u16string& k) {
                            return CompareKeys(e->m_Key, k) < 0;
                          });
}

void TKVCompoundElement::RequireStorage(const char* routine) const {
  if (!IsStorage())
    throw EKVHrException("\"" + m_Name + "\" is a stream, not a storage", KV_STG_E_INVALIDFUNCTION, nullptr, routine);
}

void TKVCompoundElement::Touch() {
  if (m_Owner) m_Owner->m_Modified = true;
}

std::vector<std::string> TKVCompoundElement::ChildNames(TKind kind) const {
  std::vector<std::string> names;
  for (auto& c : m_Children)
    if (c->m_Kind == kind) names.push_back(c->m_Name);
  return names;
}

const TKVCompoundElement* TKVCompoundElement::Find(std::string_view name) const {
  std::u16string key;
  if (!IsStorage() || !StrictKey(name, key)) return nullptr;
  auto it = LowerBound(key);
  return it != m_Children.end() && (*it)->m_Key == key ? it->get() : nullptr;
}

TKVCompoundElement& TKVCompoundElement::CreateStorage(const std::string& name) {
  RequireStorage("TKVCompoundElement.CreateStorage");
  KVCompoundCheckName(name, {});
  std::u16string key;
  LooseKey(name, key);
  auto it = LowerBound(key);
  if (it != m_Children.end() && (*it)->m_Key == key) {
    if ((*it)->IsStorage()) return **it;
    throw EKVHrException("\"" + (*it)->m_Name + "\" is a stream, not a storage", KV_STG_E_FILEALREADYEXISTS, nullptr,
                         "TKVCompoundElement.CreateStorage");
  }
  auto pos = m_Children.begin() + (it - m_Children.begin());
  auto& e = *m_Children.insert(
      pos, std::unique_ptr<TKVCompoundElement>(new TKVCompoundElement(m_Owner, TKind::Storage, name, std::move(key))));
  Touch();
  return *e;
}

TKVCompoundElement& TKVCompoundElement::WriteStream(const std::string& name, std::string data) {
  RequireStorage("TKVCompoundElement.WriteStream");
  KVCompoundCheckName(name, {});
  std::u16string key;
  LooseKey(name, key);
  auto it = LowerBound(key);
  if (it != m_Children.end() && (*it)->m_Key == key) {
    if ((*it)->IsStorage())
      throw EKVHrException("\"" + (*it)->m_Name + "\" is a storage, not a stream", KV_STG_E_FILEALREADYEXISTS, nullptr,
                           "TKVCompoundElement.WriteStream");
    (*it)->SetData(std::move(data));
    return **it;
  }
  auto pos = m_Children.begin() + (it - m_Children.begin());
  auto& e = *m_Children.insert(
      pos, std::unique_ptr<TKVCompoundElement>(new TKVCompoundElement(m_Owner, TKind::Stream, name, std::move(key))));
  e->m_Data = std::move(data);
  Touch();
  return *e;
}

bool TKVCompoundElement::Destroy(std::string_view name) {
  const TKVCompoundElement* e = Find(name);
  if (!e) return false;
  auto it = LowerBound(e->m_Key);
  m_Children.erase(m_Children.begin() + (it - m_Children.begin()));
  Touch();
  if (m_Owner) ++m_Owner->m_Removals;
  return true;
}

void TKVCompoundElement::SetData(std::string data) {
  if (!IsStream())
    throw EKVHrException("\"" + m_Name + "\" is a storage, not a stream", KV_STG_E_INVALIDFUNCTION, nullptr,
                         "TKVCompoundElement.SetData");
  // Writing what is there already is no change: reading and writing back must not make a save necessary.
  if (data == m_Data) return;
  m_Data = std::move(data);
  Touch();
}

// --- TKVCompoundFile: image ----------------------------------------------------------------------------------

TKVCompoundFile::TKVCompoundFile() : m_Root(TKVCompoundAccess::NewRoot(this)) {}

TKVCompoundFile::~TKVCompoundFile() { CloseFile(); }

void TKVCompoundFile::SetClassId(const TGUID& classId) {
  if (classId == m_ClassId) return;
  m_ClassId = classId;
  m_Modified = true;
}

void TKVCompoundFile::LoadImage(std::string_view image) {
  TCheckedLayout layout = TImageChecker(image).Run();
  // Entries come after their parents, so one pass in order builds the tree; each storage is ordered once, when
  // all its children are in.
  std::unique_ptr<TKVCompoundElement> root = TKVCompoundAccess::NewRoot(this);
  std::vector<TKVCompoundElement*> elements(layout.Entries.size(), nullptr);
  elements[0] = root.get();
  for (size_t i = 0; i < layout.Entries.size(); ++i) {
    TCheckedEntry& entry = layout.Entries[i];
    if (!entry.Storage) continue;
    for (size_t c : entry.Children) {
      TCheckedEntry& child = layout.Entries[c];
      std::u16string key;
      if (!LooseKey(child.Name, key)) Corrupt("Element \"" + child.Name + "\" has an invalid name");
      elements[c] = &TKVCompoundAccess::Append(
          *elements[i], child.Storage ? TKVCompoundElement::TKind::Storage : TKVCompoundElement::TKind::Stream,
          std::move(child.Name), std::move(key), std::move(child.Data));
    }
    TKVCompoundAccess::Order(*elements[i]);
  }
  m_Root = std::move(root);
  ++m_Removals;
  m_ClassId = layout.ClassId;
  m_Modified = false;
}

std::string TKVCompoundFile::SaveImage() const { return TImageWriter(*m_Root, m_ClassId).Run(); }

// --- TKVCompoundFile: files ----------------------------------------------------------------------------------

void TKVCompoundFile::AdoptFile(int fd, const std::string& fileName, bool readOnly) {
  m_Fd = fd;
  m_FileName = fileName;
  m_TargetPath = ResolvedPath(fileName);
  m_ReadOnly = readOnly;
}

void TKVCompoundFile::OpenFile(const std::string& path) {
  const char* routine = "TKVCompoundFile.OpenFile";
  if (HasFile()) throw EKVHrException("The document already has a file", KV_STG_E_INVALIDFUNCTION, nullptr, routine);
  // Non-blocking, so that a FIFO in place of the file cannot make the open wait.
  const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  bool readOnly = false;
  int raw = ::open(path.c_str(), O_RDWR | flags);
  if (raw < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    raw = ::open(path.c_str(), O_RDONLY | flags);
    readOnly = true;
  }
  TFd fd(raw);
  if (fd.get() < 0) RaiseErrno("The file cannot be opened", errno, false, routine);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) RaiseErrno("The file cannot be examined", errno, false, routine);
  if (!S_ISREG(st.st_mode)) throw EKVHrException("This is not a regular file", KV_STG_E_ACCESSDENIED, nullptr, routine);
  if (int err = LockExclusive(fd.get())) {
    if (err == EWOULDBLOCK)
      throw EKVHrException("The file is open in another document", KV_STG_E_SHAREVIOLATION, nullptr, routine);
    RaiseErrno("The file cannot be locked", err, false, routine);
  }
  std::string image;
  if (int err = ReadAll(fd.get(), image)) RaiseErrno("The file cannot be read", err, false, routine);
  LoadImage(image);
  AdoptFile(fd.release(), path, readOnly);
}

void TKVCompoundFile::CreateFile(const std::string& path) {
  const char* routine = "TKVCompoundFile.CreateFile";
  if (HasFile()) throw EKVHrException("The document already has a file", KV_STG_E_INVALIDFUNCTION, nullptr, routine);
  std::string image = SaveImage();
  TFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd.get() < 0) RaiseErrno("The file cannot be created", errno, true, routine);
  int err = LockExclusive(fd.get());
  const char* what = "The new file cannot be locked";
  if (err == 0) {
    what = "The new file cannot be written";
    err = WriteAll(fd.get(), image);
  }
  if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
  if (err != 0) {
    // Nothing but our own half-written file is removed.
    ::unlink(path.c_str());
    RaiseErrno(what, err, true, routine);
  }
  SyncFolderOf(path);
  AdoptFile(fd.release(), path, false);
  m_Modified = false;
}

void TKVCompoundFile::SaveFile() {
  const char* routine = "TKVCompoundFile.SaveFile";
  if (!HasFile()) throw EKVHrException("The document has no file", KV_STG_E_INVALIDFUNCTION, nullptr, routine);
  if (m_ReadOnly) throw EKVHrException("The file was opened read-only", KV_STG_E_ACCESSDENIED, nullptr, routine);
  std::string image = SaveImage();

  struct stat st;
  if (::fstat(m_Fd, &st) != 0) RaiseErrno("The file cannot be examined", errno, false, routine);
  std::string temp;
  TFd fd(KVCreateTempFile(m_TargetPath, temp, 0600));
  if (fd.get() < 0) RaiseErrno("No temporary file can be made beside the file", errno, true, routine);

  int err = 0;
  const char* what = "The temporary file cannot be written";
  if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
    err = errno;
    what = "The permissions cannot be carried over";
  }
  // Keeping the owner needs privileges; without them the file simply belongs to whoever saves it.
  if (err == 0 && ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
  }
  if (err == 0) err = WriteAll(fd.get(), image);
  if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
  if (err == 0 && (err = LockExclusive(fd.get())) != 0) what = "The temporary file cannot be locked";
  if (err == 0 && ::rename(temp.c_str(), m_TargetPath.c_str()) != 0) {
    err = errno;
    what = "The file cannot be replaced";
  }
  if (err != 0) {
    ::unlink(temp.c_str());
    RaiseErrno(what, err, true, routine);
  }
  SyncFolderOf(m_TargetPath);
  // The new inode is locked already; dropping the old descriptor ends the lock on the replaced contents.
  ::close(m_Fd);
  m_Fd = fd.release();
  m_Modified = false;
}

void TKVCompoundFile::CloseFile() {
  if (m_Fd >= 0) ::close(m_Fd);
  m_Fd = -1;
  m_ReadOnly = false;
  m_FileName.clear();
  m_TargetPath.clear();
}
