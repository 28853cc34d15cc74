#include "app/log_message.h"

#include <cstdarg>
#include <cstdio>

#include "app/run_options.h"
#include "platform/platform.h"

namespace {

// Messages that could not be written since the last one that was.
int unwritten = 0;
// A message that was not written whole may have been written in part: the
// next one then begins on a line of its own.
int lineCut = 0;

// 1 when the message went out whole. A write that fails (a closed pipe, a
// full disk, a device error) loses the message as one cut short does; the
// runtime drops what it could not write, and the error is cleared so that
// the next message is judged on its own. Where the output has a position (a
// file), it tells whether any of the message went out; elsewhere a message
// short enough to be written at once (to a pipe) goes out whole or not at all.
int WriteMessage(const char* message) {
    if (!plat::WritingOutput(plat::TRUE)) return 0;
    const long before = std::ftell(stdout);
    if (lineCut) std::fputs("\n", stdout);
    std::fputs(message, stdout);
    plat::OutputDebugStringA(message);
    std::fflush(nullptr);
    const int failed = std::ferror(stdout);
    std::clearerr(stdout);
    const int whole = plat::WritingOutput(plat::FALSE) && !failed ? 1 : 0;
    lineCut = !whole && (lineCut || std::ftell(stdout) != before);
    return whole;
}

}  // namespace

void LogMessage(const char* format, ...) {
    if (runOptions.quiet) return;

    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    // Some C runtimes leave an overlong result unterminated.
    if (length < 0) message[0] = '\0';
    message[sizeof message - 1] = '\0';

    // As a string, never as a format: a '%' that comes from a value stays a '%'.
    if (!WriteMessage(message)) {
        ++unwritten;
        return;
    }
    if (unwritten == 0) return;
    char note[64];
    std::snprintf(note, sizeof note, "Error: %d messages could not be written\n", unwritten);
    if (WriteMessage(note)) unwritten = 0;
}

void PrintUsage(const char* programName) {
    LogMessage("%s: Spawns / Changes priority of processes.\n", programName);
    LogMessage("\nUsage:\n");
    LogMessage("\t%s [options] <target.exe> <target args>\n", programName);
    LogMessage("\nOptions:\n");
    LogMessage("-h\t\tthis help\n");
    LogMessage("-l\t\tshow list of processes (ignore other options)\n");
    LogMessage(
        "-dnn\t\tsleep for #nn seconds before runnning\n"
        "\t\t(do not put a space between -d and number)\n");
    LogMessage(
        "-#nnn\t\tboost process with ID #nnn\n"
        "\t\t(IDs shown in listing, do not put a space between -# and number)\n");
    LogMessage("-s\t\tstart new target process\n\t\t(if not already running)\n");
    LogMessage(
        "-f\t\tforce start new target process\n"
        "\t\t(even if others are running), -a ignored\n");
    LogMessage(
        "-a\t\tset priority of all processes matching target\n"
        "\t\t(default to just first)\n");
    LogMessage("-p(l|n|h|r)\tset priority to low, normal, high (default), realtime\n");
    LogMessage("-q\t\tquiet mode (overrides -l and -v)\n");
    LogMessage("-v\t\tverbose\n");
    LogMessage(
        "-wnn\t\thold: repeat every #nn seconds until stopped\n"
        "\t\t(only with a target matched by name)\n");
    LogMessage(
        "\nSpecify valid target executable for -s and -f,\n"
        "otherwise target is case-insensitive substring.\n");
}
