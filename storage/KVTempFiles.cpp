#include "storage/KVTempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <utility>

namespace {

constexpr size_t kMaxNameBytes = 200;
constexpr const char* kTag = ".dabrix-";
constexpr const char* kEnd = ".tmp";
constexpr unsigned kMaxAttempts = 1000;

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// A decimal number as we write them: 1 to 10 digits without leading zeros, so above 0 (a process number 0
// would make kill() address our own process group) and within an int.
bool ParseNumber(const std::string& s, size_t from, size_t to, long long& value) {
  if (to <= from || to - from > 10 || s[from] == '0') return false;
  value = 0;
  for (size_t i = from; i < to; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return value <= INT_MAX;
}

// The file name whose temporary files a name stands for: a temporary name of this very process stands for
// its own target, since that file is only on its way to becoming the target.
std::string RootName(const std::string& name) {
  std::string root;
  pid_t pid = 0;
  if (KVParseTempFileName(name, root, pid) && pid == ::getpid()) return root;
  return name.substr(0, kMaxNameBytes);
}

bool ProcessIsGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

bool KVParseTempFileName(const std::string& fileName, std::string& targetName, pid_t& pid) {
  const size_t endLen = std::char_traits<char>::length(kEnd);
  if (fileName.size() < 1 + endLen || fileName[0] != '.' ||
      fileName.compare(fileName.size() - endLen, endLen, kEnd) != 0)
    return false;
  const size_t tag = fileName.rfind(kTag);
  if (tag == std::string::npos || tag < 2) return false;
  const size_t numbers = tag + std::char_traits<char>::length(kTag);
  const size_t numbersEnd = fileName.size() - endLen;
  if (numbers >= numbersEnd) return false;
  const size_t dash = fileName.find('-', numbers);
  long long value = 0, sequence = 0;
  if (dash != std::string::npos && dash < numbersEnd) {
    if (!ParseNumber(fileName, numbers, dash, value) || !ParseNumber(fileName, dash + 1, numbersEnd, sequence))
      return false;
  } else if (!ParseNumber(fileName, numbers, numbersEnd, value)) {
    return false;
  }
  targetName = fileName.substr(1, tag - 1);
  pid = static_cast<pid_t>(value);
  return true;
}

std::string KVTempFileName(const std::string& target, unsigned n) {
  std::string folder, name;
  SplitPath(target, folder, name);
  std::string temp = folder + "." + RootName(name) + kTag + std::to_string(::getpid());
  if (n > 0) temp += "-" + std::to_string(n);
  return temp + kEnd;
}

int KVSweepStaleTempFiles(const std::string& target) {
  const int saved = errno;  // a sweep that finds nothing to do is no error of the caller's
  std::string folder, name;
  SplitPath(target, folder, name);
  const std::string root = RootName(name);
  DIR* dir = root.empty() ? nullptr : ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) {
    errno = saved;
    return 0;
  }
  int removed = 0;
  while (dirent* entry = ::readdir(dir)) {
    std::string candidate = entry->d_name, owner;
    pid_t pid = 0;
    if (!KVParseTempFileName(candidate, owner, pid) || owner != root || pid == ::getpid() || !ProcessIsGone(pid))
      continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlinkat(::dirfd(dir), candidate.c_str(), 0) == 0) ++removed;
  }
  ::closedir(dir);
  errno = saved;
  return removed;
}

int KVCreateTempFile(const std::string& target, std::string& tempName, mode_t mode) {
  KVSweepStaleTempFiles(target);
  for (unsigned n = 0; n < kMaxAttempts; ++n) {
    std::string candidate = KVTempFileName(target, n);
    if (candidate == target) continue;
    int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (fd >= 0) {
      tempName = std::move(candidate);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

std::string KVFreshTempFileName(const std::string& target) {
  KVSweepStaleTempFiles(target);
  for (unsigned n = 0; n < kMaxAttempts; ++n) {
    std::string candidate = KVTempFileName(target, n);
    struct stat st;
    if (candidate != target && ::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) return candidate;
  }
  return KVTempFileName(target, kMaxAttempts);
}
