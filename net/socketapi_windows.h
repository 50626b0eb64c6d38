#pragma once

#include <string>

// The files the Windows socket layer binds at run time: Windows Sockets 2
// and the IPv6 helper that offers getaddrinfo where Windows Sockets lacks it.
// Both are full paths into the system folder, so that a file of the same name
// in the program's folder or the current folder is never loaded in their
// place. Tests point them at stand-in libraries to reach the fallbacks that a
// current Windows never takes; change them only while the library is
// unloaded.
struct TWindowsSocketLibraries {
  std::wstring Sockets;
  std::wstring IPv6Support;
};

TWindowsSocketLibraries& WindowsSocketLibraries();
