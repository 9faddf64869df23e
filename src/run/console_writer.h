#pragma once
// The one way the run's lines reach the console, from whichever thread. A progress line has no
// line end (the next one overwrites it with "\r"), so a line that follows it starts on a line of
// its own. With a log file, every whole line goes there too, with its time; progress lines do not.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "run/log_file.h"

struct ConsoleWriter {
  std::function<void(std::string_view)> write;  // where the text goes: the console, or a test's buffer
  std::mutex mutex;
  bool progress_line_open = false;  // under mutex
  LogFile* log = nullptr;  // none: the console alone
};

// Writes to standard output.
void write_to_standard_output(std::string_view text);

// Writes whole lines (text ending in "\n"), first ending an open progress line unless the text
// starts with a line feed of its own; and to the log file.
void console_say(ConsoleWriter& console, std::string_view lines);

// Writes whole lines to the log file alone (nothing without one).
void console_log_only(ConsoleWriter& console, std::string_view lines);

// Writes a progress line: "\r", the text, and no line end.
void console_progress(ConsoleWriter& console, std::string_view text);
