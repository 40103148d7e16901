// Temporary files of interrupted saves: named after their target and their process, and swept by the next
// save to that target once their process is gone, never while it runs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "storage/KVCompoundFile.h"
#include "storage/KVPrivateProfile.h"
#include "storage/KVTempFiles.h"
#include "support/TestSupport.h"

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

using testsupport::GonePid;
using testsupport::LiveChild;
using testsupport::TempNameOf;

std::set<std::string> Listing(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.insert(e.path().filename().string());
  return names;
}

// Beside `target` (a name in `dir`): two leftovers of a process that is gone, files of live processes, and
// files that only look similar. Returns the names that must survive a sweep.
std::set<std::string> PlantLeftovers(const TempDir& dir, const std::string& target, pid_t gone, pid_t live,
                                     std::set<std::string>& stale) {
  stale = {TempNameOf(target, gone), TempNameOf(target, gone, "-2")};
  for (const auto& name : stale) WriteFileBytes(dir.file(name), std::string(4096, 'x'));
  const std::set<std::string> kept = {
      TempNameOf(target, getpid(), "-7"),   // this process's own
      TempNameOf(target, live),             // another running process's
      TempNameOf(target, 1),                // a process of another user (or init): still running
      TempNameOf("other" + target, gone),   // another target's
      TempNameOf(target, gone) + ".keep",   // not our pattern
      target + ".dabrix-" + std::to_string(gone) + ".tmp",
      "." + target + ".Ab12Cd",
  };
  for (const auto& name : kept) WriteFileBytes(dir.file(name), "keep");
  return kept;
}

TEST(TempFileNames, CarryTheTargetAndTheProcess) {
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(KVTempFileName("/some/dir/doc.qxs"), "/some/dir/.doc.qxs.dabrix-" + pid + ".tmp");
  EXPECT_EQ(KVTempFileName("/some/dir/doc.qxs", 3), "/some/dir/.doc.qxs.dabrix-" + pid + "-3.tmp");
  EXPECT_EQ(KVTempFileName("doc.qxt"), ".doc.qxt.dabrix-" + pid + ".tmp");
  // A temporary file of ours being replaced in turn gives a further name of the real target.
  EXPECT_EQ(KVTempFileName("/d/.doc.qxs.dabrix-" + pid + ".tmp", 1), "/d/.doc.qxs.dabrix-" + pid + "-1.tmp");
  EXPECT_EQ(KVTempFileName("/d/.doc.qxs.dabrix-" + pid + "-4.tmp", 2), "/d/.doc.qxs.dabrix-" + pid + "-2.tmp");
  // A file that merely looks like another process's temporary file is a target of its own.
  EXPECT_EQ(KVTempFileName("/d/.doc.qxs.dabrix-1.tmp"), "/d/..doc.qxs.dabrix-1.tmp.dabrix-" + pid + ".tmp");
  // Long names are cut so that the decorated name still fits the 255 bytes of a file name.
  const std::string longName(250, 'n');
  const std::string temp = KVTempFileName("/d/" + longName, 12);
  EXPECT_EQ(temp, "/d/." + std::string(200, 'n') + ".dabrix-" + pid + "-12.tmp");
  EXPECT_LE(temp.size() - 3, 255u);

  std::string target;
  pid_t owner = 0;
  ASSERT_TRUE(KVParseTempFileName(".doc.qxs.dabrix-4321.tmp", target, owner));
  EXPECT_EQ(target, "doc.qxs");
  EXPECT_EQ(owner, 4321);
  ASSERT_TRUE(KVParseTempFileName("..a.dabrix-1.tmp.dabrix-77-3.tmp", target, owner));
  EXPECT_EQ(target, ".a.dabrix-1.tmp");
  EXPECT_EQ(owner, 77);
  for (const char* name : {"doc.qxs", "doc.qxs.dabrix-5.tmp", ".dabrix-5.tmp", ".a.dabrix-.tmp", ".a.dabrix-0.tmp",
                           ".a.dabrix-00.tmp", ".a.dabrix-0123.tmp", ".a.dabrix-5-0.tmp", ".a.dabrix-12345678901.tmp", ".a.dabrix-2147483648.tmp",
                           ".a.dabrix-5x.tmp", ".a.dabrix-5-.tmp", ".a.dabrix--5.tmp", ".a.dabrix-5-1-2.tmp",
                           ".a.dabrix-5.tmp.bak", ".a.dabrix-5.TMP", ".a.XXXXXX"})
    EXPECT_FALSE(KVParseTempFileName(name, target, owner)) << name;
}

TEST(TempFileSweep, RemovesOnlyLeftoversOfGoneProcessesForThatTarget) {
  TempDir dir;
  LiveChild live;
  const pid_t gone = GonePid();
  std::set<std::string> stale;
  std::set<std::string> kept = PlantLeftovers(dir, "doc.qxs", gone, live.pid(), stale);
  // Only regular files are ours: a folder or a link of that name stays.
  const std::string folder = TempNameOf("doc.qxs", gone, "-3"), link = TempNameOf("doc.qxs", gone, "-4");
  std::filesystem::create_directory(dir.file(folder));
  WriteFileBytes(dir.file("elsewhere"), "pointed to");
  ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file(link).c_str()), 0);
  kept.insert({folder, link, "elsewhere"});

  EXPECT_EQ(KVSweepStaleTempFiles(dir.file("doc.qxs")), 2);
  EXPECT_EQ(Listing(dir), kept);
  EXPECT_EQ(ReadFileBytes(dir.file("elsewhere")), "pointed to");
  EXPECT_EQ(KVSweepStaleTempFiles(dir.file("doc.qxs")), 0);
  // A missing folder is nothing to sweep.
  EXPECT_EQ(KVSweepStaleTempFiles(dir.file("no/such/doc.qxs")), 0);

  // From inside that folder, with a name alone.
  PlantLeftovers(dir, "rel.qxt", gone, live.pid(), stale);
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const int removed = KVSweepStaleTempFiles("rel.qxt");
  std::filesystem::current_path(old);
  EXPECT_EQ(removed, 2);
  for (const auto& name : stale) EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
}

TEST(TempFileSweep, NewTemporaryFilesNeverTakeAnExistingName) {
  TempDir dir;
  const std::string target = dir.file("doc.qxs");
  WriteFileBytes(dir.file(TempNameOf("doc.qxs", getpid())), "an earlier attempt of ours");
  const std::string fresh = KVFreshTempFileName(target);
  EXPECT_EQ(fresh, dir.file(TempNameOf("doc.qxs", getpid(), "-1")));
  EXPECT_FALSE(std::filesystem::exists(fresh));

  std::string first, second;
  const int a = KVCreateTempFile(target, first, 0600);
  const int b = KVCreateTempFile(target, second, 0600);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(first, dir.file(TempNameOf("doc.qxs", getpid(), "-1")));
  EXPECT_EQ(second, dir.file(TempNameOf("doc.qxs", getpid(), "-2")));
  struct stat st;
  ASSERT_EQ(fstat(a, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(fcntl(a, F_GETFD) & FD_CLOEXEC, 0);
  close(a);
  close(b);
  // A temporary file made for one of our own temporary files is named after the real target.
  std::string nested;
  const int c = KVCreateTempFile(fresh, nested);
  ASSERT_GE(c, 0);
  close(c);
  EXPECT_EQ(nested, dir.file(TempNameOf("doc.qxs", getpid(), "-3")));

  std::string none;
  errno = 0;
  EXPECT_EQ(KVCreateTempFile(dir.file("no/such/doc.qxs"), none), -1);
  EXPECT_EQ(errno, ENOENT);
}

// Every writer that replaces a file through a temporary one sweeps that file's stale leftovers first, and
// leaves none of its own.
TEST(TempFileSweep, EveryWriterSweepsItsTargetsLeftovers) {
  LiveChild live;
  const pid_t gone = GonePid();
  struct TWriter {
    const char* name;
    const char* target;
    std::function<void(const std::string&)> write;
  };
  const TWriter writers[] = {
      {"compound file save", "doc.qxs",
       [](const std::string& file) {
         {
           TKVCompoundFile created;
           created.CreateFile(file);
         }
         TKVCompoundFile f;
         f.OpenFile(file);
         f.Root().WriteStream("value", "saved");
         f.SaveFile();
         f.CloseFile();
         TKVCompoundFile back;
         back.OpenFile(file);
         ASSERT_NE(back.Root().Find("value"), nullptr);
         EXPECT_EQ(back.Root().Find("value")->Data(), "saved");
       }},
      {"text file write", "doc.qxt",
       [](const std::string& file) {
         TKVPrivateProfile p(file);
         p.WriteString("Section", "key", "saved");
         EXPECT_EQ(ReadFileBytes(file), "[Section]\r\nkey=saved\r\n");
       }},
  };
  for (const TWriter& w : writers) {
    SCOPED_TRACE(w.name);
    TempDir dir;
    std::set<std::string> stale;
    std::set<std::string> kept = PlantLeftovers(dir, w.target, gone, live.pid(), stale);
    w.write(dir.file(w.target));
    kept.insert(w.target);
    EXPECT_EQ(Listing(dir), kept);
  }
}

}  // namespace
