#pragma once
// Small helpers shared by the test suites: throwaway folders, whole-file I/O and running programs.
#include <filesystem>
#include <string>

namespace testsupport {

// A fresh folder under the system temp folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return m_Path; }
  std::string file(const std::string& name) const { return (m_Path / name).string(); }

 private:
  std::filesystem::path m_Path;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
// Runs a shell command line; standard output and error are captured separately.
CommandResult RunCommand(const std::string& commandLine);
// Quotes a string for /bin/sh.
std::string ShellQuote(const std::string& s);

}  // namespace testsupport
