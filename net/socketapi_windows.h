#pragma once

// Include after net/blcksock.h: the Windows headers define macros of the
// same names as its error constants.
#include <winsock2.h>
#include <ws2tcpip.h>

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

// The modern resolver as bound from the socket library or its IPv6 helper:
// all three set, or none (while unloaded, or when only the legacy resolver
// is there). Tests replace GetAddrInfo and FreeAddrInfo to answer host names
// that a machine without DNS cannot resolve and to watch which lookups are
// made; replace them only while no other thread resolves.
struct TWindowsResolverCalls {
  decltype(&::getaddrinfo) GetAddrInfo = nullptr;
  decltype(&::freeaddrinfo) FreeAddrInfo = nullptr;
  decltype(&::getnameinfo) GetNameInfo = nullptr;
};

TWindowsResolverCalls& WindowsResolverCalls();
