#include <dlfcn.h>

#include "sensors/dynamic_library.h"

bool open_dynamic_library(DynamicLibrary& library, const std::string& name) {
  library.handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  return library.handle != nullptr;
}

void* find_library_symbol(const DynamicLibrary& library, const char* name) {
  return library.handle == nullptr ? nullptr : dlsym(library.handle, name);
}

void close_dynamic_library(DynamicLibrary& library) {
  if (library.handle != nullptr) dlclose(library.handle);
  library.handle = nullptr;
}
