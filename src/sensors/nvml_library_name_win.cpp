#include "sensors/nvml_library.h"

const char* const nvml_library_name = "nvml.dll";
