#pragma once
// Trace output for developers. Off unless the environment variable DABRIX_TRACE is set (non-empty) when the
// program starts; then each line goes to standard error as "[dabrix] CATEGORY: text".
#include <string>
#include <string_view>

enum class TKVTraceCategory : int { Information = 1, Warning, Error, Exception, Call, Execute, Sql };

const char* KVTraceCategoryName(TKVTraceCategory c);  // "INFORMATION", ..., "SQL"
bool KVTraceEnabled();
// Switches tracing on or off at run time (tests, a command-line flag).
void KVSetTraceEnabled(bool on);
void KVTrace(TKVTraceCategory category, const std::string& text);

// Traces the exception being handled, which the caller drops on purpose (an error while cleaning up after
// another, or while closing what a finished run opened): "<where>: <what()>". Call it only inside a catch
// block; an exception that is no std::exception says so instead of a message.
void KVTraceDropped(std::string_view where);

// Runs a clean-up step whose failure must not end the caller: an exception it raises is traced
// (KVTraceDropped) and dropped.
template <class F>
void KVTraceFailures(std::string_view where, F&& step) noexcept {
  try {
    step();
  } catch (...) {
    KVTraceDropped(where);
  }
}
