#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "dabrix-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  m_Path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_Path, ec);
}

pid_t GonePid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status = 0;
  waitpid(pid, &status, 0);
  return pid;
}

LiveChild::LiveChild() : m_Pid(fork()) {
  if (m_Pid == 0)
    for (;;) pause();
}

LiveChild::~LiveChild() {
  kill(m_Pid, SIGKILL);
  waitpid(m_Pid, nullptr, 0);
}

ForeignLock::ForeignLock(const std::string& file) {
  int ready[2], release[2];
  if (pipe(ready) != 0) return;
  if (pipe(release) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  m_Pid = fork();
  if (m_Pid == 0) {
    close(ready[0]);
    close(release[1]);
    int fd = open(file.c_str(), O_RDONLY);
    char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    while (read(release[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  m_Release = release[1];
  char ok = 0;
  m_Locked = m_Pid > 0 && read(ready[0], &ok, 1) == 1 && ok == '1';
  close(ready[0]);
}

ForeignLock::~ForeignLock() {
  if (m_Release >= 0) close(m_Release);
  if (m_Pid > 0) waitpid(m_Pid, nullptr, 0);
}

bool LockedElsewhere(const std::string& path) {
  return RunCommand("flock -n -E 9 " + ShellQuote(path) + " true").exitCode == 9;
}

ChildCommand::ChildCommand(const std::string& commandLine) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  m_Pid = fork();
  if (m_Pid < 0) throw std::runtime_error("fork failed");
  if (m_Pid == 0) {
    setpgid(0, 0);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execl("/bin/sh", "sh", "-c", commandLine.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(m_Pid, m_Pid);  // also here: the group must exist before a kill of it, whoever runs first
  close(pipeFds[1]);
  m_Out = pipeFds[0];
}

ChildCommand::~ChildCommand() { Stop(); }

void ChildCommand::Stop() {
  if (m_Pid > 0) {
    kill(-m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
    m_Pid = -1;
  }
  if (m_Out >= 0) close(m_Out);
  m_Out = -1;
}

std::string ChildCommand::ReadLine(int seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (m_Out >= 0) {
    size_t nl = m_Pending.find('\n');
    if (nl != std::string::npos) {
      std::string line = m_Pending.substr(0, nl);
      m_Pending.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{m_Out, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[256];
    ssize_t n = read(m_Out, buf, sizeof buf);
    if (n <= 0) break;
    m_Pending.append(buf, static_cast<size_t>(n));
  }
  return {};
}

std::string TempNameOf(const std::string& name, pid_t pid, const std::string& sequence) {
  return "." + name + ".dabrix-" + std::to_string(pid) + sequence + ".tmp";
}

void ExpectRunStatistics(const std::vector<std::string>& t, const std::string& recordsRead,
                         const std::string& transactions, const std::string& timePrefix) {
  ASSERT_GE(t.size(), 9u);
  size_t n = t.size();
  EXPECT_EQ(t[n - 9], "   Records Read: " + recordsRead);
  EXPECT_EQ(t[n - 8], "   Transactions: " + transactions);
  EXPECT_EQ(t[n - 7].rfind("   Duration: ", 0), 0u) << t[n - 7];
  EXPECT_EQ(t[n - 6].rfind("   WriteDestRS: " + timePrefix, 0), 0u) << t[n - 6];
  EXPECT_EQ(t[n - 5].rfind("   Total: " + timePrefix, 0), 0u) << t[n - 5];
  EXPECT_EQ(t[n - 4], "");
  EXPECT_EQ(t[n - 3], "");
  EXPECT_EQ(t[n - 2], "");
  EXPECT_EQ(t[n - 1].rfind("Total Operation Duration: " + timePrefix, 0), 0u) << t[n - 1];
}

std::string EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool ServersRequired() { return !EnvText("DABRIX_REQUIRE_SERVERS").empty() || !EnvText("CI").empty(); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ShellQuote(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'')
      r += "'\\''";
    else
      r += c;
  }
  return r + "'";
}

CommandResult RunCommand(const std::string& commandLine) {
  TempDir dir;
  std::string outFile = dir.file("out"), errFile = dir.file("err");
  std::string full = "(" + commandLine + ") >" + ShellQuote(outFile) + " 2>" + ShellQuote(errFile);
  int status = std::system(full.c_str());
  CommandResult r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFileBytes(outFile);
  r.err = ReadFileBytes(errFile);
  return r;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  getrlimit(RLIMIT_FSIZE, &m_Old);
  m_OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = m_Old;
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &m_Old);
  std::signal(SIGXFSZ, m_OldHandler);
}

}  // namespace testsupport
