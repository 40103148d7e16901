#pragma once
// Temporary files beside a file that is being replaced.
//
// Every writer that makes a file complete under a temporary name and then renames it over its target names
// that temporary file ".NAME.dabrix-PID.tmp" (NAME the target's file name, cut to 200 bytes so that the
// decoration fits a file name; PID the writing process), or ".NAME.dabrix-PID-N.tmp" for a further one of
// the same process. A writer that replaces one of our own temporary files (a document saved into a fresh
// file is itself saved atomically) takes a further name of the real target, so every temporary file of a
// target carries the target's name.
//
// A process killed half-way leaves its temporary files behind; nothing else ever removes them. So each new
// temporary file for a target first sweeps the ones of that target whose process no longer exists. A file
// whose process still runs (or whose number a new process now has, or which belongs to another user's
// process) stays: removing a live writer's file would break its save.
#include <sys/types.h>

#include <string>

// The temporary name with sequence number `n` (0: none) beside `target`, for this process.
std::string KVTempFileName(const std::string& target, unsigned n = 0);

// When `fileName` (a name without folder) is a temporary name of ours, its target's file name (as cut to fit)
// and the process that made it.
bool KVParseTempFileName(const std::string& fileName, std::string& targetName, pid_t& pid);

// Removes the temporary files of `target` left by processes that are gone; returns how many went.
int KVSweepStaleTempFiles(const std::string& target);

// Sweeps, then creates a new temporary file for `target` exclusively with `mode` (before the umask).
// Returns the open descriptor (read-write, close-on-exec) and sets `tempName`, or -1 with errno set.
int KVCreateTempFile(const std::string& target, std::string& tempName, mode_t mode = 0666);

// Sweeps, then gives a temporary name for `target` that no file has yet, for writers that create the file
// themselves (a storage asked to switch to a new file).
std::string KVFreshTempFileName(const std::string& target);
