# Windows build with MinGW-w64 (see cmake/mingw-w64-x86_64.cmake): OpenCL from the system's
# OpenCL.dll, GoogleTest built from Debian's sources, tests run under Wine.

# OpenCL headers: Debian's opencl-headers are plain C headers that suit any compiler, but
# /usr/include as a whole must stay out of a cross build, so CL/ is copied into the build tree.
set(VELTRANE_OPENCL_HEADERS "/usr/include/CL" CACHE PATH "Folder of the OpenCL C headers (CL/cl.h)")
file(COPY "${VELTRANE_OPENCL_HEADERS}/" DESTINATION "${CMAKE_BINARY_DIR}/opencl/include/CL")

# Import library for OpenCL.dll, generated from the list of entry points the program uses.
set(opencl_def "${PROJECT_SOURCE_DIR}/cmake/opencl.def")
set(opencl_import_library "${CMAKE_BINARY_DIR}/opencl/libOpenCL.a")
find_program(VELTRANE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
execute_process(
  COMMAND "${VELTRANE_DLLTOOL}" --input-def "${opencl_def}" --output-lib "${opencl_import_library}"
          --dllname OpenCL.dll
  RESULT_VARIABLE dlltool_result)
if(NOT dlltool_result EQUAL 0)
  message(FATAL_ERROR "dlltool could not make the OpenCL import library from ${opencl_def}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${opencl_def}")
# FindOpenCL takes these as found.
set(OpenCL_INCLUDE_DIR "${CMAKE_BINARY_DIR}/opencl/include" CACHE PATH "" FORCE)
set(OpenCL_LIBRARY "${opencl_import_library}" CACHE FILEPATH "" FORCE)

if(VELTRANE_BUILD_TESTS)
  # GoogleTest from source with this compiler; it defines GTest::gtest and GTest::gtest_main.
  # An empty package configuration lets the tests' find_package(GTest) accept those targets.
  set(VELTRANE_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${VELTRANE_GTEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  file(WRITE "${CMAKE_BINARY_DIR}/gtest-config/GTestConfig.cmake"
       "# GTest::gtest and GTest::gtest_main are built in this tree (cmake/windows.cmake).\n")
  set(GTest_DIR "${CMAKE_BINARY_DIR}/gtest-config" CACHE PATH "" FORCE)

  # CTest runs the test executables under Wine, in a prefix of this build tree that
  # scripts/test-windows prepares; tests are listed when CTest runs, so building needs no Wine.
  find_program(VELTRANE_WINE NAMES wine)
  if(VELTRANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "WINEDEBUG=-all" "${VELTRANE_WINE}")
  endif()
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# Header-only libraries from Debian (nlohmann-json, standalone Asio for the tests), copied into
# the build tree for the same reason as the OpenCL headers.
set(VELTRANE_HEADER_LIBRARIES_DIR "${CMAKE_BINARY_DIR}/header-libraries/include")
file(COPY /usr/include/nlohmann /usr/include/asio /usr/include/asio.hpp DESTINATION "${VELTRANE_HEADER_LIBRARIES_DIR}")
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${VELTRANE_HEADER_LIBRARIES_DIR}")
