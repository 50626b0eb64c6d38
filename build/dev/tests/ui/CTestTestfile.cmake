# CMake generated Testfile for 
# Source directory: /work/main/tests/ui
# Build directory: /work/main/build/dev/tests/ui
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[window_test]=] "/work/main/build/dev/tests/ui/window_test")
set_tests_properties([=[window_test]=] PROPERTIES  ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT "120" _BACKTRACE_TRIPLES "/work/main/tests/ui/CMakeLists.txt;11;add_test;/work/main/tests/ui/CMakeLists.txt;0;")
