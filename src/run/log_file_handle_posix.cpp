#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "run/log_file.h"
#include "run/log_file_handle.h"

bool open_log_for_append(const std::string& path, LogFileHandle& handle, std::uint64_t& size, std::string& problem) {
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    problem = std::strerror(errno);
    return false;
  }
  struct stat status {};
  size = ::fstat(descriptor, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  handle.native = descriptor;
  return true;
}

bool append_to_log(LogFileHandle handle, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(static_cast<int>(handle.native), text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void close_log_handle(LogFileHandle& handle) {
  if (handle.native >= 0) ::close(static_cast<int>(handle.native));
  handle.native = -1;
}

std::string local_time_now_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return iso8601_local_time(local, local.tm_gmtoff);
}
