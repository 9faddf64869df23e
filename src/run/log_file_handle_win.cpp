#include <windows.h>

#include <ctime>

#include "run/log_file.h"
#include "run/log_file_handle.h"

namespace {

std::wstring wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

std::string system_message(DWORD error) {
  char buffer[256] = "";
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                      buffer, sizeof buffer, nullptr);
  std::string message(buffer, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

bool open_log_for_append(const std::string& path, LogFileHandle& handle, std::uint64_t& size, std::string& problem) {
  // Shared for reading, writing and deletion, so that a viewer can follow the file and a rotation
  // tool can rename it while the miner writes.
  const HANDLE file = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    problem = system_message(GetLastError());
    return false;
  }
  LARGE_INTEGER file_size{};
  size = GetFileSizeEx(file, &file_size) ? static_cast<std::uint64_t>(file_size.QuadPart) : 0;
  handle.native = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool append_to_log(LogFileHandle handle, std::string_view text) {
  const HANDLE file = reinterpret_cast<HANDLE>(handle.native);
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0) return false;
    text.remove_prefix(written);
  }
  return true;
}

void close_log_handle(LogFileHandle& handle) {
  if (handle.native != -1) CloseHandle(reinterpret_cast<HANDLE>(handle.native));
  handle.native = -1;
}

std::string local_time_now_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  // The local time read as if it were UTC, minus the real UTC time: the offset east of UTC.
  std::tm copy = local;
  const long offset = static_cast<long>(_mkgmtime(&copy) - now);
  return iso8601_local_time(local, offset);
}
