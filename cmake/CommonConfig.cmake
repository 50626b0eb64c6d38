# One interface target carries the language standard, warnings and sanitizer
# flags for every target of the project.
option(QUORVEL_WERROR "Treat warnings as errors" OFF)
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address;undefined' or 'thread'")

add_library(quorvel_options INTERFACE)
target_compile_features(quorvel_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(quorvel_options INTERFACE -Wall -Wextra)
# GCC 12 reports false -Wrestrict overlaps inside std::string concatenation
# at -O3 (GCC bug 105329); the warning says nothing about our code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(quorvel_options INTERFACE -Wno-restrict)
endif()
if(QUORVEL_WERROR)
  target_compile_options(quorvel_options INTERFACE -Werror)
endif()

if(QUORVEL_SANITIZE)
  list(JOIN QUORVEL_SANITIZE "," _quorvel_san)
  target_compile_options(quorvel_options INTERFACE -fsanitize=${_quorvel_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(quorvel_options INTERFACE -fsanitize=${_quorvel_san})
endif()
