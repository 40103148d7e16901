#include "storage/KVFileFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVIniFileStorage.h"

namespace {
// Reads byte by byte from the start, skipping whitespace; -1 when the file ends first.
int FirstNonWhiteChar(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EAPIException("Unable to read \"" + fileName + "\"", errno, nullptr, "TestFirstNonWhiteChar");
  char buf[4096];
  int result = -1;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      throw EAPIException("Unable to read \"" + fileName + "\"", err, nullptr, "TestFirstNonWhiteChar");
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      char c = buf[i];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        result = static_cast<unsigned char>(c);
        break;
      }
    }
    if (result >= 0) break;
  }
  ::close(fd);
  return result;
}
}  // namespace

TKVStorageClass KVTestFileFormat(const std::string& fileName) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
    throw EKVException("File not found: \"" + fileName + "\"", nullptr, "TestFileFormat");
  if (KVStgIsStorageFile(fileName)) return &KVCompoundDocStorageClass;
  return FirstNonWhiteChar(fileName) == '[' ? &KVIniFileStorageClass : nullptr;
}

TKVStorageClass KVStorageClassForExtension(const std::string& fileName) {
  size_t slash = fileName.find_last_of('/');
  size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  std::string ext = fileName.substr(dot + 1);
  if (KVSameText(ext, "qxt")) return &KVIniFileStorageClass;
  if (KVSameText(ext, "qxs")) return &KVCompoundDocStorageClass;
  return nullptr;
}
