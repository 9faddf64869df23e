#include "driver/executable_path.h"

#include <system_error>

std::filesystem::path executable_path() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}
