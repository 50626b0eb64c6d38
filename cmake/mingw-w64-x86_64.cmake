# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model, for std::thread). The C and C++ runtimes and winpthread are linked
# statically, so quorvel.exe runs without any DLL beside it. Programs built
# here run under Wine through cmake/wine-run (tests, test discovery).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_quorvel_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_quorvel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_quorvel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_quorvel_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_quorvel_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Each build tree gets a Wine prefix of its own, created on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
