#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

void FuzzFail(const char* property, const std::string& detail) {
  std::fprintf(stderr, "\n*** property failed: %s\n%s\n", property, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

namespace {
struct TFuzzDir {
  std::string Path;
  TFuzzDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    Path = (base / ("dabrix-fuzz-" + std::to_string(getpid()))).string();
    fs::create_directories(Path);
  }
  ~TFuzzDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
};
}  // namespace

const std::string& FuzzDir() {
  static TFuzzDir dir;
  return dir.Path;
}

std::string FuzzPath(const std::string& name) { return FuzzDir() + "/" + name; }

void FuzzWriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) FuzzFail("writing a fuzz file", path);
}

std::string FuzzReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void FuzzRemove(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

std::string FuzzQuote(std::string_view bytes) {
  std::string r = "\"";
  char buf[8];
  for (unsigned char c : bytes) {
    if (c == '\\' || c == '"') {
      r += '\\';
      r += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      r += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      r += buf;
    }
  }
  return r + "\"";
}

std::string TFuzzInput::Piece(char separator) {
  size_t end = m_Data.find(separator, m_Pos);
  if (end == std::string::npos) end = m_Data.size();
  std::string r = m_Data.substr(m_Pos, end - m_Pos);
  m_Pos = end < m_Data.size() ? end + 1 : end;
  return r;
}

size_t FuzzMaxSeparatorsPerLine(std::string_view bytes) {
  size_t most = 0, count = 0;
  for (char c : bytes) {
    if (c == '\n') count = 0;
    else if (c == '\\' || c == '/') most = std::max(most, ++count);
  }
  return most;
}
