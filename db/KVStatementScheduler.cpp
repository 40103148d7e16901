#include "db/KVStatementScheduler.h"

#include <mutex>

namespace {
std::mutex g_Mutex;
std::shared_ptr<IKVStatementScheduler> g_Scheduler;
}  // namespace

void KVSetStatementScheduler(std::shared_ptr<IKVStatementScheduler> scheduler) {
  std::lock_guard lock(g_Mutex);
  g_Scheduler = std::move(scheduler);
}

std::shared_ptr<IKVStatementScheduler> KVStatementScheduler() {
  std::lock_guard lock(g_Mutex);
  return g_Scheduler;
}
