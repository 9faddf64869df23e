#include <cstdlib>

#include "gpu/cache_folder.h"

std::filesystem::path user_cache_folder() {
  // The wide variable: user names outside the ANSI code page stay intact.
  const wchar_t* local_app_data = _wgetenv(L"LOCALAPPDATA");
  if (local_app_data == nullptr || local_app_data[0] == L'\0') return {};
  return std::filesystem::path(local_app_data) / "veltrane-miner";
}
