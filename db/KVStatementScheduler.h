#pragma once
// Deferred work of statements, driven by the program's event loop: a scheduled re-execution waits
// "TimedReExecutionDelay" milliseconds, so that a burst of triggers (a master recordset scrolled record after
// record, a text changed key by key) executes once, after the last of them.
//
// The library has no event loop of its own. A program with one hands a scheduler to the library
// (KVSetStatementScheduler); without one, or when the scheduler cannot serve the calling thread, scheduled
// work runs at once.
#include <cstdint>
#include <functional>
#include <memory>

// One restartable timer. Start while running restarts it with the new delay and callback; Stop and the
// destructor make sure the callback is not called any more. The callback runs on the thread that started
// the timer, from its event loop; it must not raise (the owner catches and reports).
class IKVStatementTimer {
 public:
  virtual ~IKVStatementTimer() = default;
  virtual void Start(int32_t delayMs, std::function<void()> callback) = 0;
  virtual void Stop() = 0;
  virtual bool Running() const = 0;
};

class IKVStatementScheduler {
 public:
  virtual ~IKVStatementScheduler() = default;
  // A timer for the calling thread, or nullptr when this thread has no event loop the scheduler serves
  // (the work then runs at once).
  virtual std::unique_ptr<IKVStatementTimer> CreateTimer() = 0;
};

// The process's scheduler (none by default). Statements ask for it when they first schedule something, so
// it is set before the first statement schedules and stays while statements live.
void KVSetStatementScheduler(std::shared_ptr<IKVStatementScheduler> scheduler);
std::shared_ptr<IKVStatementScheduler> KVStatementScheduler();
