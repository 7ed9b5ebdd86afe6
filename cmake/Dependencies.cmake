# CppAD, Eigen and fmt come from the cmeel wheels, spdlog from a header-only
# wheel; all are located through the Python environment that has them.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

execute_process(
  COMMAND ${Python3_EXECUTABLE} -c
    "import os, sys; print(';'.join(os.path.join(p, 'cmeel.prefix') for p in sys.path if os.path.isdir(os.path.join(p, 'cmeel.prefix'))))"
  OUTPUT_VARIABLE LFE_CMEEL_PREFIXES OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(
  COMMAND ${Python3_EXECUTABLE} -c "import tokenspeed_spdlog; print(tokenspeed_spdlog.include_dir())"
  OUTPUT_VARIABLE LFE_SPDLOG_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)
list(PREPEND CMAKE_PREFIX_PATH ${LFE_CMEEL_PREFIXES})

find_package(Eigen3 3.4 REQUIRED NO_MODULE)
find_package(fmt 12 REQUIRED)

find_path(LFE_CPPAD_INCLUDE cppad/cppad.hpp PATHS ${LFE_CMEEL_PREFIXES} PATH_SUFFIXES include REQUIRED)
add_library(lfe::cppad INTERFACE IMPORTED)
set_target_properties(lfe::cppad PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${LFE_CPPAD_INCLUDE})

if(NOT EXISTS "${LFE_SPDLOG_INCLUDE}/spdlog/spdlog.h")
  message(FATAL_ERROR "spdlog headers not found: install tokenspeed-spdlog into ${Python3_EXECUTABLE}'s environment")
endif()
add_library(lfe::spdlog INTERFACE IMPORTED)
set_target_properties(lfe::spdlog PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${LFE_SPDLOG_INCLUDE}
  INTERFACE_COMPILE_DEFINITIONS "SPDLOG_HEADER_ONLY;SPDLOG_FMT_EXTERNAL")
