# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build/dev
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
subdirs("platform")
subdirs("net")
subdirs("ftp")
subdirs("workers")
subdirs("app")
subdirs("ui")
subdirs("tests")
subdirs("bench")
