#pragma once
// TKVOnExit: a clean-up step that runs when its scope ends, however it ends (return, break or an
// exception), so that what a function opened or changed is put back once, not on each exit path.
#include <string_view>
#include <utility>

#include "foundation/KVTrace.h"

// The step runs in the destructor, possibly while an exception unwinds: an error it raises is traced and
// dropped (KVTraceFailures), never passed on. Guards of one scope run in the reverse of their declaration.
template <class F>
class TKVOnExit {
 public:
  TKVOnExit(std::string_view what, F step) : m_What(what), m_Step(std::move(step)) {}
  ~TKVOnExit() { KVTraceFailures(m_What, m_Step); }
  TKVOnExit(const TKVOnExit&) = delete;
  TKVOnExit& operator=(const TKVOnExit&) = delete;

 private:
  std::string_view m_What;  // a literal: it must outlive the guard
  F m_Step;
};
