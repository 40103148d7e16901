#include "storage/KVCompoundFile.h"

#include <fcntl.h>
#include <gsf/gsf.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

#include "foundation/KVConvert.h"
#include "storage/KVTempFiles.h"

namespace {

constexpr const char* kRoutineLoad = "TKVCompoundFile.LoadImage";
constexpr const char* kRoutineSave = "TKVCompoundFile.SaveImage";

// --- Names ---------------------------------------------------------------------------------------------------

bool Utf8ToUtf16(std::string_view s, std::u16string& out) { return KVTryUtf8ToUtf16(s, out); }
bool Utf16ToUtf8(const std::u16string& units, std::string& out) { return KVTryUtf16ToUtf8(units, out); }

// The format upper-cases code unit by code unit with the simple (one to one) mapping; surrogate halves and
// letters whose capital would leave the basic plane stay as they are.
std::u16string UpperKey(std::u16string units) {
  for (auto& u : units) {
    if (u >= 0xD800 && u <= 0xDFFF) continue;
    gunichar up = g_unichar_toupper(u);
    if (up <= 0xFFFF && (up < 0xD800 || up > 0xDFFF)) u = static_cast<char16_t>(up);
  }
  return units;
}

// The sort key of a name as it may come out of a file: any non-empty UTF-8 of at most 31 code units.
bool LooseKey(std::string_view name, std::u16string& key) {
  std::u16string units;
  if (name.empty() || !Utf8ToUtf16(name, units) || units.size() > 31) return false;
  key = UpperKey(std::move(units));
  return true;
}

int CompareKeys(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Why a name is refused; empty when it is valid.
std::string NameProblem(std::string_view name) {
  std::string shown;
  for (char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  if (name.empty()) return "An element name must not be empty";
  std::u16string units;
  if (!Utf8ToUtf16(name, units)) return "The element name \"" + shown + "\" is not valid UTF-8";
  if (units.size() > 31) return "The element name \"" + shown + "\" is longer than 31 characters";
  for (char c : {'/', '\\', ':', '!'})
    if (name.find(c) != std::string_view::npos)
      return "The element name \"" + shown + "\" contains \"" + std::string(1, c) + "\"";
  if (name.find('\0') != std::string_view::npos) return "The element name \"" + shown + "\" contains a NUL character";
  return {};
}

bool StrictKey(std::string_view name, std::u16string& key) { return NameProblem(name).empty() && LooseKey(name, key); }

// --- libgsf --------------------------------------------------------------------------------------------------

void EnsureGsf() {
  static std::once_flag once;
  std::call_once(once, [] { gsf_init(); });
}

struct TGObjectUnref {
  void operator()(void* p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using TGsfPtr = std::unique_ptr<T, TGObjectUnref>;

// --- Errors --------------------------------------------------------------------------------------------------

[[noreturn]] void NotCompound(const std::string& why) {
  throw EKVHrException(why, KV_STG_E_INVALIDHEADER, nullptr, kRoutineLoad);
}
[[noreturn]] void Corrupt(const std::string& why) {
  throw EKVHrException(why, KV_STG_E_DOCFILECORRUPT, nullptr, kRoutineLoad);
}
[[noreturn]] void CorruptGsf(const std::string& why, GError* err) {
  std::string detail = KVResultCodeMessage(KV_STG_E_DOCFILECORRUPT);
  if (err && err->message && *err->message) detail += std::string(" (libgsf: ") + err->message + ")";
  if (err) g_error_free(err);
  throw EKVHrException(why, KV_STG_E_DOCFILECORRUPT, detail, nullptr, kRoutineLoad);
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

// --- Reading: the image checked before libgsf sees it -------------------------------------------------------

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
  std::vector<size_t> Children;  // indexes into TCheckedLayout::Entries
};

struct TCheckedLayout {
  std::vector<TCheckedEntry> Entries;  // [0] is the root
  // How deep libgsf's directory reader will recurse: it descends once per sibling link as well as per child.
  size_t ReaderDepth = 0;
  // Offsets of the first-sector fields of empty streams that do not hold the end mark. Nothing is read from
  // an empty stream, but libgsf still follows such a chain and warns on standard error.
  std::vector<size_t> EmptyStreamStarts;
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
    std::vector<uint32_t> chain = Chain(U32(root + 116), m_Fat, m_Used, "the mini stream");
    if (chain.size() * m_SectorSize < m_MiniStreamSize) Corrupt("The mini stream is shorter than its size");
    std::vector<uint32_t> tableSectors = Chain(U32(0x3C), m_Fat, m_Used, "the mini allocation table");
    const size_t perSector = m_SectorSize / 4;
    m_MiniFat.reserve(tableSectors.size() * perSector);
    for (uint32_t s : tableSectors)
      for (size_t j = 0; j < perSector; ++j) m_MiniFat.push_back(SectorU32(s, j));
    // libgsf reads the whole table and stops filling it at the first entry it finds out of range, without
    // failing: the table it would then follow differs from this one.
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
    } else if (e.Size > 0) {
      std::vector<uint32_t> chain = Chain(start, m_MiniFat, m_MiniUsed, what);
      uint64_t needed = (e.Size + kMiniSectorSize - 1) / kMiniSectorSize;
      if (chain.size() < needed) Corrupt("The sector chain of " + what + " is shorter than the stream");
      for (uint64_t i = 0; i < needed; ++i) {
        uint64_t bytes = std::min<uint64_t>(kMiniSectorSize, e.Size - i * kMiniSectorSize);
        if (chain[i] * kMiniSectorSize + bytes > m_MiniStreamSize)
          Corrupt("A mini sector of " + what + " lies outside the mini stream");
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
    struct TStep {
      uint32_t Entry;
      size_t Parent;
      size_t Depth;
    };
    std::vector<TStep> todo{{U32(EntryOffset(0) + 76), 0, 2}};
    layout.ReaderDepth = 1;
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
        if (e.Size == 0 && U32(off + 116) != kEndOfChain) layout.EmptyStreamStarts.push_back(off + 116);
      }
      layout.ReaderDepth = std::max(layout.ReaderDepth, step.Depth);
      size_t index = layout.Entries.size();
      layout.Entries.push_back(std::move(e));
      layout.Entries[step.Parent].Children.push_back(index);
      todo.push_back({U32(off + 68), step.Parent, step.Depth + 1});
      todo.push_back({U32(off + 72), step.Parent, step.Depth + 1});
      if (layout.Entries[index].Storage) todo.push_back({child, index, step.Depth + 1});
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
  std::vector<uint32_t> m_MiniFat;
  std::vector<bool> m_MiniUsed;
};

// libgsf's directory reader recurses along every sibling and child link, so it needs stack in proportion to
// the longest such path (its own writer links all children of a storage into one chain of siblings): more
// than 8 MiB for some tens of thousands of elements in one storage, or storages nested as deep. It runs on a thread of
// its own whose stack is sized from the checked directory.
constexpr size_t kReaderStackBase = size_t{1} << 20;
constexpr size_t kReaderStackPerLevel = 2048;
constexpr size_t kReaderStackLimit = size_t{1} << 31;

void* RunTask(void* arg) {
  auto* task = static_cast<std::pair<const std::function<void()>*, std::exception_ptr>*>(arg);
  try {
    (*task->first)();
  } catch (...) {
    task->second = std::current_exception();
  }
  return nullptr;
}

void RunWithStack(size_t depth, const std::function<void()>& fn) {
  if (depth > (kReaderStackLimit - kReaderStackBase) / kReaderStackPerLevel)
    Corrupt("The directory tree is too deep to be read");
  size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  size_t size = kReaderStackBase + depth * kReaderStackPerLevel;
  size = (size + page - 1) / page * page;
  std::pair<const std::function<void()>*, std::exception_ptr> task{&fn, nullptr};
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, size);
    pthread_t thread;
    if (rc == 0) rc = pthread_create(&thread, &attr, &RunTask, &task);
    pthread_attr_destroy(&attr);
    if (rc == 0) pthread_join(thread, nullptr);
  }
  if (rc != 0)
    throw EKVHrException("No reader thread could be started", KV_STG_E_INSUFFICIENTMEMORY, KVSysErrorMessage(rc),
                         nullptr, kRoutineLoad);
  if (task.second) std::rethrow_exception(task.second);
}

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
  std::string normalized;
  if (!layout.EmptyStreamStarts.empty()) {
    normalized.assign(image);
    for (size_t off : layout.EmptyStreamStarts)
      for (int i = 0; i < 4; ++i) normalized[off + i] = static_cast<char>((kEndOfChain >> (8 * i)) & 0xFF);
    image = normalized;
  }

  std::unique_ptr<TKVCompoundElement> root = TKVCompoundAccess::NewRoot(this);
  TGUID classId;
  RunWithStack(layout.ReaderDepth, [&] {
    EnsureGsf();
    TGsfPtr<GsfInput> input(gsf_input_memory_new(reinterpret_cast<const guint8*>(image.data()),
                                                 static_cast<gsf_off_t>(image.size()), FALSE));
    if (!input) Corrupt("libgsf could not take the image");
    GError* err = nullptr;
    TGsfPtr<GsfInfile> ole(gsf_infile_msole_new(input.get(), &err));
    if (!ole) CorruptGsf("libgsf could not read the compound file", err);
    if (err) g_error_free(err);
    guint8 clsid[16];
    if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(ole.get()), clsid)) classId = TGUID::FromBytes(clsid);

    struct TLevel {
      TGsfPtr<GsfInfile> Dir;
      TKVCompoundElement* Target;
      int Next;
      int Count;
    };
    std::vector<TLevel> levels;
    int rootCount = gsf_infile_num_children(ole.get());
    levels.push_back({std::move(ole), root.get(), 0, rootCount});
    while (!levels.empty()) {
      TLevel& level = levels.back();
      if (level.Next >= level.Count) {
        TKVCompoundAccess::Order(*level.Target);
        levels.pop_back();
        continue;
      }
      int i = level.Next++;
      const char* rawName = gsf_infile_name_by_index(level.Dir.get(), i);
      std::string name = rawName ? rawName : "";
      TGsfPtr<GsfInput> child(gsf_infile_child_by_index(level.Dir.get(), i));
      std::u16string key;
      if (!child || !LooseKey(name, key)) Corrupt("libgsf could not open element \"" + name + "\"");
      int count = GSF_IS_INFILE(child.get()) ? gsf_infile_num_children(GSF_INFILE(child.get())) : -1;
      if (count >= 0) {
        TKVCompoundElement& storage =
            TKVCompoundAccess::Append(*level.Target, TKVCompoundElement::TKind::Storage, name, std::move(key));
        levels.push_back({TGsfPtr<GsfInfile>(GSF_INFILE(child.release())), &storage, 0, count});
        continue;
      }
      gsf_off_t size = gsf_input_size(child.get());
      if (size < 0) Corrupt("libgsf could not size stream \"" + name + "\"");
      std::string data(static_cast<size_t>(size), '\0');
      size_t done = 0;
      while (done < data.size()) {
        size_t chunk = std::min<size_t>(data.size() - done, size_t{1} << 20);
        if (!gsf_input_read(child.get(), chunk, reinterpret_cast<guint8*>(data.data() + done)))
          Corrupt("libgsf could not read stream \"" + name + "\"");
        done += chunk;
      }
      TKVCompoundAccess::Append(*level.Target, TKVCompoundElement::TKind::Stream, name, std::move(key),
                                std::move(data));
    }
  });

  // What libgsf delivered must be exactly what the directory describes: it skips what it cannot read.
  std::vector<std::pair<size_t, const TKVCompoundElement*>> pairs{{0, root.get()}};
  while (!pairs.empty()) {
    auto [index, element] = pairs.back();
    pairs.pop_back();
    const TCheckedEntry& expected = layout.Entries[index];
    if (expected.Children.size() != element->Count())
      Corrupt("libgsf read a different number of elements in \"" + expected.Name + "\" than the directory holds");
    for (size_t c : expected.Children) {
      const TCheckedEntry& want = layout.Entries[c];
      const TKVCompoundElement* got = TKVCompoundAccess::FindLoose(*element, want.Name);
      if (!got || got->Name() != want.Name || got->IsStorage() != want.Storage ||
          (!want.Storage && got->Data().size() != want.Size))
        Corrupt("libgsf read element \"" + want.Name + "\" differently from the directory");
      if (want.Storage) pairs.emplace_back(c, got);
    }
  }

  m_Root = std::move(root);
  m_ClassId = classId;
  m_Modified = false;
}

std::string TKVCompoundFile::SaveImage() const {
  EnsureGsf();
  TGsfPtr<GsfOutput> sink(gsf_output_memory_new());
  TGsfPtr<GsfOutfile> ole(sink ? gsf_outfile_msole_new_full(sink.get(), 512, 64) : nullptr);
  if (!ole)
    throw EKVHrException("libgsf could not start a compound image", KV_STG_E_INSUFFICIENTMEMORY, nullptr, kRoutineSave);
  std::array<uint8_t, 16> clsid = m_ClassId.ToBytes();
  gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(ole.get()), clsid.data());

  struct TLevel {
    const TKVCompoundElement* Storage;
    GsfOutfile* Out;
    TGsfPtr<GsfOutfile> Owned;  // null for the root, which is closed last
    size_t Next;
  };
  std::vector<TLevel> levels;
  levels.push_back({m_Root.get(), ole.get(), nullptr, 0});
  std::string failure;
  auto describe = [](GsfOutput* out, const std::string& what) {
    const GError* e = out ? gsf_output_error(out) : nullptr;
    return e && e->message ? what + " (libgsf: " + e->message + ")" : what;
  };
  while (!levels.empty() && failure.empty()) {
    TLevel& level = levels.back();
    if (level.Next == level.Storage->Count()) {
      if (level.Owned && !gsf_output_close(GSF_OUTPUT(level.Out)))
        failure = describe(GSF_OUTPUT(level.Out), "Storage \"" + level.Storage->Name() + "\" could not be written");
      levels.pop_back();
      continue;
    }
    const TKVCompoundElement& e = level.Storage->Child(level.Next++);
    if (e.IsStream() && e.Data().size() > 0xFFFFFFFFu) {
      failure = "Stream \"" + e.Name() + "\" is larger than a compound file can hold";
      break;
    }
    GsfOutput* child = gsf_outfile_new_child(level.Out, e.Name().c_str(), e.IsStorage());
    if (!child) {
      failure = "Element \"" + e.Name() + "\" could not be added";
      break;
    }
    if (e.IsStorage()) {
      levels.push_back({&e, GSF_OUTFILE(child), TGsfPtr<GsfOutfile>(GSF_OUTFILE(child)), 0});
      continue;
    }
    // Each stream is written whole and closed before the next one is opened: libgsf cuts a second large
    // stream that is open at the same time without reporting it.
    TGsfPtr<GsfOutput> stream(child);
    const std::string& data = e.Data();
    size_t done = 0;
    bool ok = true;
    while (ok && done < data.size()) {
      size_t chunk = std::min<size_t>(data.size() - done, size_t{1} << 20);
      ok = gsf_output_write(stream.get(), chunk, reinterpret_cast<const guint8*>(data.data() + done));
      done += chunk;
    }
    if (!gsf_output_close(stream.get()) || !ok)
      failure = describe(stream.get(), "Stream \"" + e.Name() + "\" could not be written");
  }
  // After a failure the storages still open are closed innermost first, so that libgsf finishes cleanly.
  while (!levels.empty()) {
    if (levels.back().Owned) gsf_output_close(GSF_OUTPUT(levels.back().Out));
    levels.pop_back();
  }
  bool closed = gsf_output_close(GSF_OUTPUT(ole.get()));
  if (failure.empty() && !closed)
    failure = describe(GSF_OUTPUT(ole.get()), "The compound image could not be completed");
  if (!failure.empty()) throw EKVHrException(failure, KV_STG_E_WRITEFAULT, nullptr, kRoutineSave);
  const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(sink.get()));
  gsf_off_t size = gsf_output_size(sink.get());
  if (!bytes || size <= 0) throw EKVHrException("libgsf produced no image", KV_STG_E_WRITEFAULT, nullptr, kRoutineSave);
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
}

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
