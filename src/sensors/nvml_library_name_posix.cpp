#include "sensors/nvml_library.h"

const char* const nvml_library_name = "libnvidia-ml.so.1";
