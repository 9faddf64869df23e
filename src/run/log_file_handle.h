#pragma once
// The platform side of the log file: an append-only handle and the local time with its offset.

#include <cstdint>
#include <string>
#include <string_view>

struct LogFileHandle {
  std::intptr_t native = -1;  // a file descriptor, or a Windows HANDLE; -1: closed
};

// Opens the file for appending, creating it when missing, and gives its size. On Windows other
// programs may read, rename and delete it while it is open, as they may on POSIX. On failure
// returns false with the system's reason in problem.
bool open_log_for_append(const std::string& path, LogFileHandle& handle, std::uint64_t& size, std::string& problem);

// Writes all of text at the end of the file; false when the system refused.
bool append_to_log(LogFileHandle handle, std::string_view text);

void close_log_handle(LogFileHandle& handle);

// The local time now as "2026-12-11T07:20:01+01:00".
std::string local_time_now_text();
