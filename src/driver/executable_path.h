#pragma once
// Where the running program's own file is, so that files installed beside it can be found
// whatever the working directory.

#include <filesystem>

// The full path of the running executable; empty when the system cannot tell.
std::filesystem::path executable_path();
