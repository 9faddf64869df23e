#pragma once
// The user's cache folder for this program: $XDG_CACHE_HOME (or ~/.cache) on Linux and
// %LOCALAPPDATA% on Windows, each with a "veltrane-miner" subfolder. One implementation per platform.

#include <filesystem>

// Empty when the environment names no cache folder.
std::filesystem::path user_cache_folder();
