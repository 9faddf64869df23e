#include "run/console_writer.h"

#include <cstdio>

void write_to_standard_output(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void console_say(ConsoleWriter& console, std::string_view lines) {
  std::lock_guard lock(console.mutex);
  std::string text;
  if (console.progress_line_open && !lines.starts_with('\n')) text = "\n";
  text += lines;
  console.write(text);
  console.progress_line_open = false;
  if (console.log != nullptr) log_lines(*console.log, lines);
}

void console_log_only(ConsoleWriter& console, std::string_view lines) {
  if (console.log != nullptr) log_lines(*console.log, lines);
}

void console_progress(ConsoleWriter& console, std::string_view text) {
  std::lock_guard lock(console.mutex);
  console.write("\r" + std::string(text));
  console.progress_line_open = true;
}
