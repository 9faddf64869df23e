#include <cstdlib>

#include "gpu/cache_folder.h"

std::filesystem::path user_cache_folder() {
  // A relative XDG_CACHE_HOME is invalid by the XDG rules and ignored.
  const char* xdg_cache_home = std::getenv("XDG_CACHE_HOME");
  if (xdg_cache_home != nullptr && xdg_cache_home[0] == '/') {
    return std::filesystem::path(xdg_cache_home) / "veltrane-miner";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return {};
  return std::filesystem::path(home) / ".cache" / "veltrane-miner";
}
