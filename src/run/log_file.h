#pragma once
// The log file: every console line with the local time it was said, and no progress lines. One
// thread of its own writes it, so no device or network thread ever waits for the disk: lines
// wait in a bounded queue, and when that is full they are dropped and counted, the count written
// as soon as there is room. The file is appended to; once the next line would take it past its
// size limit it becomes PATH.1 (PATH.1 becomes PATH.2, PATH.2 PATH.3, the oldest is deleted) and
// a new PATH is started.

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "run/log_file_handle.h"

inline constexpr std::uint64_t default_log_limit_bytes = 20 * 1024 * 1024;
inline constexpr int log_files_kept = 3;  // PATH.1 .. PATH.3 besides PATH

// "2026-12-11T07:20:01+01:00": a local time and its offset east of UTC in seconds.
std::string iso8601_local_time(const std::tm& local, long offset_seconds);

// Lines waiting for the writer, at most capacity of them, and those dropped since the last count
// was queued.
struct LogQueue {
  std::size_t capacity = 4096;
  std::deque<std::string> lines;
  std::uint64_t dropped = 0;
};

// Queues "TIME LINE\n". When lines were dropped and there is room for the count as well, the
// count goes in first; when there is no room, the line is dropped and counted.
void queue_log_line(LogQueue& queue, std::string_view time_text, std::string_view line);

struct LogFileSettings {
  std::string path;
  std::uint64_t limit_bytes = default_log_limit_bytes;
  std::size_t queue_lines = 4096;
  std::function<std::string()> time_text = local_time_now_text;  // the time each line starts with
};

struct LogFile {
  LogFileSettings settings;
  std::mutex mutex;
  std::condition_variable wake;
  LogQueue queue;        // under mutex
  bool closing = false;  // under mutex
  LogFileHandle handle;  // the writer thread's once it runs
  std::uint64_t size = 0;  // bytes in PATH; the writer thread's
  std::thread writer;

  ~LogFile();
};

// Opens PATH for appending and starts the writer thread. On failure returns false with the
// system's reason in problem.
bool open_log(LogFile& log, const LogFileSettings& settings, std::string& problem);

// Queues every line of text that is not blank, without "\r" and the leading blanks of the
// console's indent, each with the time now. Never waits for the disk. Does nothing on a log that
// is not open.
void log_lines(LogFile& log, std::string_view text);

// Writes what is queued, ends the writer thread and closes the file. Safe to call twice.
void close_log(LogFile& log);

// PATH.2 to PATH.3, PATH.1 to PATH.2, PATH to PATH.1, the old PATH.3 deleted; missing files skipped.
void shift_log_files(const std::string& path);
