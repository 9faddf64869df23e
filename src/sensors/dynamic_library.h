#pragma once
// A shared library loaded at run time (dlopen, LoadLibrary), for vendor libraries the miner uses
// where they are installed and goes without elsewhere.

#include <string>

struct DynamicLibrary {
  void* handle = nullptr;  // nothing loaded
};

// Loads the library by name or path; false (and nothing loaded) when it cannot.
bool open_dynamic_library(DynamicLibrary& library, const std::string& name);
// The address of an exported function; nullptr when the library has no such export.
void* find_library_symbol(const DynamicLibrary& library, const char* name);
void close_dynamic_library(DynamicLibrary& library);
