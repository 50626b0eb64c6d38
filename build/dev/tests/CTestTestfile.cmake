# CMake generated Testfile for 
# Source directory: /work/main/tests
# Build directory: /work/main/build/dev/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/dev/tests/codepage_test[1]_include.cmake")
include("/work/main/build/dev/tests/controller_test[1]_include.cmake")
include("/work/main/build/dev/tests/dispatch_test[1]_include.cmake")
include("/work/main/build/dev/tests/ftp_list_test[1]_include.cmake")
include("/work/main/build/dev/tests/ftp_server_test[1]_include.cmake")
include("/work/main/build/dev/tests/ftp_session_test[1]_include.cmake")
include("/work/main/build/dev/tests/headless_test[1]_include.cmake")
include("/work/main/build/dev/tests/journal_test[1]_include.cmake")
include("/work/main/build/dev/tests/net_resolve_test[1]_include.cmake")
include("/work/main/build/dev/tests/net_socket_test[1]_include.cmake")
include("/work/main/build/dev/tests/platform_test[1]_include.cmake")
include("/work/main/build/dev/tests/settings_test[1]_include.cmake")
include("/work/main/build/dev/tests/startup_test[1]_include.cmake")
include("/work/main/build/dev/tests/workers_test[1]_include.cmake")
subdirs("ui")
