#pragma once
// Watches the run's worker from a thread of its own and says when one database call has kept it waiting:
// a call blocked by another connection's lock makes no progress report, so without this the run would
// look hung until the driver's lock wait ends (KVLockWait.h bounds it).
//
// The worker marks the calls it makes (Enter/Leave, or a TScope) with what it is working on; the things
// are described beforehand (Describe), so that marking costs no more than taking an uncontended lock. When
// one call has lasted longer than the threshold the notice is called with that description, and with ""
// once that call has ended. Both notices come from the watch thread, never from the worker.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

class TQXWaitWatch {
 public:
  using TNotice = std::function<void(const std::string& text)>;
  TQXWaitWatch(std::chrono::milliseconds threshold, TNotice notice);
  ~TQXWaitWatch();  // stops the watch thread (after a pending notice)
  TQXWaitWatch(const TQXWaitWatch&) = delete;
  TQXWaitWatch& operator=(const TQXWaitWatch&) = delete;

  // What a wait on `subject` is shown as; "" forgets it.
  void Describe(const void* subject, std::string text);
  // The worker begins / ends a call on `subject` (one at a time; Enter replaces a call not yet left).
  void Enter(const void* subject);
  void Leave();

  class TScope {
   public:
    TScope(TQXWaitWatch* watch, const void* subject) : m_Watch(watch) {
      if (m_Watch) m_Watch->Enter(subject);
    }
    ~TScope() {
      if (m_Watch) m_Watch->Leave();
    }
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;

   private:
    TQXWaitWatch* m_Watch;
  };

 private:
  void Watch();
  const std::chrono::milliseconds m_Threshold;
  const TNotice m_Notice;
  std::mutex m_Lock;
  std::condition_variable m_Wake;
  bool m_Stop = false;
  std::unordered_map<const void*, std::string> m_Texts;
  const void* m_Subject = nullptr;             // the call going on, null when none
  std::chrono::steady_clock::time_point m_Since;
  uint64_t m_Call = 0, m_Announced = 0;        // calls counted; the one announced (0: none)
  std::thread m_Thread;
};
