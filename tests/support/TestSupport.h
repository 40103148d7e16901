#pragma once
// Small helpers shared by the test suites: throwaway folders, whole-file I/O and running programs.
#include <sys/resource.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

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

// Files this process writes in this scope may not grow beyond `bytes`: a full disk as far as a writer can
// tell (writes fail with EFBIG), and one the super-user cannot bypass as he bypasses permissions.
// Process-wide: only for tests that run nothing in parallel inside their process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit m_Old{};
  void (*m_OldHandler)(int);
};

// The number of a process that has ended: a child that exits at once, reaped.
pid_t GonePid();

// A child process that sleeps until the object goes (then it is killed and reaped).
class LiveChild {
 public:
  LiveChild();
  ~LiveChild();
  LiveChild(const LiveChild&) = delete;
  LiveChild& operator=(const LiveChild&) = delete;
  pid_t pid() const { return m_Pid; }

 private:
  pid_t m_Pid;
};

// Another process holding an exclusive lock (flock) on a file until the object goes. Locked() tells whether
// the child got the lock.
class ForeignLock {
 public:
  explicit ForeignLock(const std::string& file);
  ~ForeignLock();
  ForeignLock(const ForeignLock&) = delete;
  ForeignLock& operator=(const ForeignLock&) = delete;
  bool Locked() const { return m_Locked; }

 private:
  pid_t m_Pid = -1;
  int m_Release = -1;
  bool m_Locked = false;
};

// Whether another process is kept from an exclusive lock on the file: util-linux flock(1) in a child, so
// another process and another open file description.
bool LockedElsewhere(const std::string& path);

// A shell command line run as a child process in a process group of its own, its standard output read
// through a pipe: for a second program that must hold something (a database lock) while a test runs. The
// whole group is killed and reaped when the object goes (or by Stop).
class ChildCommand {
 public:
  explicit ChildCommand(const std::string& commandLine);
  ~ChildCommand();
  ChildCommand(const ChildCommand&) = delete;
  ChildCommand& operator=(const ChildCommand&) = delete;
  // The next line of its output without the line break; "" at its end or after `seconds`.
  std::string ReadLine(int seconds = 30);
  void Stop();

 private:
  pid_t m_Pid = -1;
  int m_Out = -1;
  std::string m_Pending;
};

// The name a write by rename gives its temporary file beside `name` in the process `pid`.
std::string TempNameOf(const std::string& name, pid_t pid, const std::string& sequence = "");

// The statistics block that ends a run's report (the lines of the report, at least nine): records read,
// transactions, durations (each beginning with `timePrefix`), then three empty lines and the total.
void ExpectRunStatistics(const std::vector<std::string>& lines, const std::string& recordsRead,
                         const std::string& transactions, const std::string& timePrefix = "");

// The value of an environment variable, or "" when it is unset.
std::string EnvText(const char* name);

// True under the test command and in CI (DABRIX_REQUIRE_SERVERS or CI set): there a database server that is
// not configured means a broken set-up, and its tests must fail rather than skip.
bool ServersRequired();

}  // namespace testsupport

// Puts the connection string named by `variable` into `out`; when it is unset the test skips on a developer's
// machine and fails where servers are required. Use in SetUp or a test body (it returns from the function).
#define DABRIX_SERVER_CONNECTION(variable, out)                                                           \
  do {                                                                                                     \
    (out) = ::testsupport::EnvText(variable);                                                              \
    if ((out).empty()) {                                                                                   \
      if (::testsupport::ServersRequired())                                                                \
        FAIL() << (variable) << " is not set, but this run requires its database server";                 \
      GTEST_SKIP() << (variable) << " is not set";                                                         \
    }                                                                                                      \
  } while (0)
