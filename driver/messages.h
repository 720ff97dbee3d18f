// messages.h — the single channel for diagnostics and the process exit status.
// message() prefixes "<program>: ", prints to stderr and either exits with
// status 3 (MSG_FATAL) or counts the error (MSG_ERROR) for exit_if_errors().
#pragma once

#include <cstdint>

#include "driver/unit.h"

enum MessageLevel { MSG_FATAL = 1, MSG_ERROR = 2 };

// Message state shared with the record reader and the unpack engine.
extern const char* program_name;       // argv[0], unchanged
extern int32_t error_count;            // counted (MSG_ERROR) messages so far
extern const char* current_file_name;  // input being read, or "(stdin)"
extern int32_t record_number;          // 1-based record number within that input

// printf-style. %s, %d and %c as usual; %ls takes a NUL-terminated string of
// Units (const Unit*) and %lc takes one Unit passed as int, both written in
// the locale's multibyte code (a surrogate pair joined into one character);
// %.*ls takes a count (int) and that many Units, for a text not ended by NUL.
// MSG_FATAL never returns.
void message(int level, const char* format, ...);

// Exits with `status` when any MSG_ERROR was counted; otherwise returns.
void exit_if_errors(int status);

// From now on a failed C++ allocation is the fatal storage message (status
// 3, buffered output still written) instead of an exception.
void exit_on_allocation_failure();
