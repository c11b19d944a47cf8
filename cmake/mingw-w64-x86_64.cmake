# Cross build for 64-bit Windows with mingw-w64's POSIX-thread compilers
# (the win32-thread ones have no std::thread or std::mutex).
#
# VANTREL_WINDOWS_DEPS (a cache variable or an environment variable) names
# the prefix that holds ACE, GoogleTest and the header-only libraries built or
# gathered for Windows by scripts/windows-build-and-test.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT VANTREL_WINDOWS_DEPS AND DEFINED ENV{VANTREL_WINDOWS_DEPS})
  set(VANTREL_WINDOWS_DEPS "$ENV{VANTREL_WINDOWS_DEPS}")
endif()
set(VANTREL_WINDOWS_DEPS "${VANTREL_WINDOWS_DEPS}" CACHE PATH "Prefix of the Windows builds of the dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTREL_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VANTREL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
