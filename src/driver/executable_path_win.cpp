#include <windows.h>

#include <string>

#include "driver/executable_path.h"

std::filesystem::path executable_path() {
  // The path may be longer than MAX_PATH; the call cuts it to the buffer and says so by filling it.
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::filesystem::path(buffer.substr(0, length));
    buffer.resize(buffer.size() * 2);
  }
}
