#include <windows.h>

#include "sensors/dynamic_library.h"

bool open_dynamic_library(DynamicLibrary& library, const std::string& name) {
  library.handle = reinterpret_cast<void*>(LoadLibraryA(name.c_str()));
  return library.handle != nullptr;
}

void* find_library_symbol(const DynamicLibrary& library, const char* name) {
  if (library.handle == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library.handle), name));
}

void close_dynamic_library(DynamicLibrary& library) {
  if (library.handle != nullptr) FreeLibrary(static_cast<HMODULE>(library.handle));
  library.handle = nullptr;
}
