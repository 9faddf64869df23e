#include "run/log_file.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

std::string iso8601_local_time(const std::tm& local, long offset_seconds) {
  const char sign = offset_seconds < 0 ? '-' : '+';
  const long offset_minutes = std::labs(offset_seconds) / 60;
  char text[96];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, sign, offset_minutes / 60,
                offset_minutes % 60);
  return text;
}

namespace {

void queue_dropped_count(LogQueue& queue, std::string_view time_text) {
  queue.lines.push_back(std::string(time_text) + " [!] " + std::to_string(queue.dropped) +
                        " log lines dropped: the log file could not keep up\n");
  queue.dropped = 0;
}

}  // namespace

void queue_log_line(LogQueue& queue, std::string_view time_text, std::string_view line) {
  const std::size_t needed = queue.dropped > 0 ? 2 : 1;
  if (queue.lines.size() + needed > queue.capacity) {
    ++queue.dropped;
    return;
  }
  if (queue.dropped > 0) queue_dropped_count(queue, time_text);
  std::string entry;
  entry.reserve(time_text.size() + line.size() + 2);
  entry.append(time_text).append(" ").append(line).append("\n");
  queue.lines.push_back(std::move(entry));
}

void shift_log_files(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  const auto numbered = [&path](int number) { return fs::path(path + "." + std::to_string(number)); };
  fs::remove(numbered(log_files_kept), ignored);
  // Renaming onto an existing file fails on Windows, so each target is gone before its rename.
  for (int number = log_files_kept - 1; number >= 1; --number) fs::rename(numbered(number), numbered(number + 1), ignored);
  fs::rename(fs::path(path), numbered(1), ignored);
}

namespace {

void write_entry(LogFile& log, const std::string& entry) {
  if (log.size > 0 && log.size + entry.size() > log.settings.limit_bytes) {
    close_log_handle(log.handle);
    shift_log_files(log.settings.path);
    std::string problem;
    if (!open_log_for_append(log.settings.path, log.handle, log.size, problem)) return;
  }
  if (log.handle.native == -1) {
    // A reopen after a rotation failed (the folder went away): tried again with each line.
    std::string problem;
    if (!open_log_for_append(log.settings.path, log.handle, log.size, problem)) return;
  }
  if (append_to_log(log.handle, entry)) log.size += entry.size();
}

void write_until_closed(LogFile& log) {
  std::unique_lock lock(log.mutex);
  while (true) {
    log.wake.wait(lock, [&log] { return log.closing || !log.queue.lines.empty(); });
    if (log.queue.lines.empty() && log.closing) break;
    std::deque<std::string> lines = std::exchange(log.queue.lines, {});
    lock.unlock();
    for (const std::string& entry : lines) write_entry(log, entry);
    lock.lock();
  }
}

}  // namespace

LogFile::~LogFile() { close_log(*this); }

bool open_log(LogFile& log, const LogFileSettings& settings, std::string& problem) {
  log.settings = settings;
  log.queue.capacity = settings.queue_lines;
  if (!open_log_for_append(settings.path, log.handle, log.size, problem)) return false;
  log.writer = std::thread(write_until_closed, std::ref(log));
  return true;
}

void log_lines(LogFile& log, std::string_view text) {
  if (!log.writer.joinable()) return;
  const std::string time_text = log.settings.time_text();
  {
    std::lock_guard lock(log.mutex);
    while (!text.empty()) {
      const std::size_t line_end = text.find('\n');
      std::string line(text.substr(0, line_end));
      text = line_end == std::string_view::npos ? std::string_view() : text.substr(line_end + 1);
      std::erase(line, '\r');
      const std::size_t first = line.find_first_not_of(' ');
      if (first == std::string::npos) continue;
      queue_log_line(log.queue, time_text, std::string_view(line).substr(first));
    }
  }
  log.wake.notify_one();
}

void close_log(LogFile& log) {
  if (!log.writer.joinable()) return;
  const std::string time_text = log.settings.time_text();
  {
    std::lock_guard lock(log.mutex);
    // The last count goes in even when the queue is full: the writer is about to empty it.
    if (log.queue.dropped > 0) queue_dropped_count(log.queue, time_text);
    log.closing = true;
  }
  log.wake.notify_one();
  log.writer.join();
  close_log_handle(log.handle);
}
