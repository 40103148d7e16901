#include "db/KVAllocatorTuning.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kTrimThreshold = 16 << 20;
constexpr int kMmapThreshold = 4 << 20;

bool SetByEnvironment() {
  if (std::getenv("MALLOC_TRIM_THRESHOLD_") || std::getenv("MALLOC_MMAP_THRESHOLD_")) return true;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return tunables && (std::strstr(tunables, "malloc.trim_threshold") || std::strstr(tunables, "malloc.mmap_threshold"));
}

}  // namespace

bool KVTuneAllocator() {
  static std::once_flag once;
  static bool tuned = false;
  std::call_once(once, [] {
    if (SetByEnvironment()) return;
    tuned = mallopt(M_TRIM_THRESHOLD, kTrimThreshold) == 1 && mallopt(M_MMAP_THRESHOLD, kMmapThreshold) == 1;
  });
  return tuned;
}
