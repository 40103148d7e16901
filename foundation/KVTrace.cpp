#include "foundation/KVTrace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

namespace {
std::atomic<bool>& Enabled() {
  static std::atomic<bool> on{[] {
    const char* v = std::getenv("DABRIX_TRACE");
    return v != nullptr && *v != '\0';
  }()};
  return on;
}
std::mutex g_TraceLock;
}  // namespace

const char* KVTraceCategoryName(TKVTraceCategory c) {
  switch (c) {
    case TKVTraceCategory::Information: return "INFORMATION";
    case TKVTraceCategory::Warning: return "WARNING";
    case TKVTraceCategory::Error: return "ERROR";
    case TKVTraceCategory::Exception: return "EXCEPTION";
    case TKVTraceCategory::Call: return "CALL";
    case TKVTraceCategory::Execute: return "EXECUTE";
    case TKVTraceCategory::Sql: return "SQL";
  }
  return "INFORMATION";
}

bool KVTraceEnabled() { return Enabled().load(std::memory_order_relaxed); }
void KVSetTraceEnabled(bool on) { Enabled().store(on); }

void KVTrace(TKVTraceCategory category, const std::string& text) {
  if (!KVTraceEnabled()) return;
  std::lock_guard lock(g_TraceLock);
  std::fprintf(stderr, "[dabrix] %s: %s\n", KVTraceCategoryName(category), text.c_str());
  std::fflush(stderr);
}

void KVTraceDropped(std::string_view where) {
  if (!KVTraceEnabled()) return;
  std::string text(where);
  try {
    throw;
  } catch (const std::exception& e) {
    text += ": ";
    text += e.what();
  } catch (...) {
    text += ": an exception of no known class";
  }
  KVTrace(TKVTraceCategory::Exception, text);
}
