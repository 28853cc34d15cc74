// The only way the program prints: standard output and the debugger channel,
// one message at a time, silent while the quiet option is in force.
#pragma once

#if defined(__GNUC__)
#define HOISTER_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define HOISTER_PRINTF(fmt, args)
#endif

const int kMessageSize = 8192;

/// Formats the message (cut at 8,191 characters) and writes it to standard
/// output and the debugger channel, then flushes every stream. A message that
/// the platform could not write is counted, and the next one that is written
/// is followed by one line that says how many were lost.
void LogMessage(const char* format, ...) HOISTER_PRINTF(1, 2);

/// The usage text, naming the program as programName.
void PrintUsage(const char* programName);
