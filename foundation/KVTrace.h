#pragma once
// Trace output for developers. Off unless the environment variable DABRIX_TRACE is set (non-empty) when the
// program starts; then each line goes to standard error as "[dabrix] CATEGORY: text".
#include <string>

enum class TKVTraceCategory : int { Information = 1, Warning, Error, Exception, Call, Execute, Sql };

const char* KVTraceCategoryName(TKVTraceCategory c);  // "INFORMATION", ..., "SQL"
bool KVTraceEnabled();
// Switches tracing on or off at run time (tests, a command-line flag).
void KVSetTraceEnabled(bool on);
void KVTrace(TKVTraceCategory category, const std::string& text);
