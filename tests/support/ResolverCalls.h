#pragma once

// The socket layer's resolver seam under one name on every platform, with
// the platform's socket declarations (addrinfo, sockaddr_in6, inet_pton), for
// tests that stand in for getaddrinfo.

#include "net/blcksock.h"  // before the Windows headers, whose macros share its names

#ifdef _WIN32
#include "net/socketapi_windows.h"
using TResolverCalls = TWindowsResolverCalls;
inline TResolverCalls& ResolverCalls() { return WindowsResolverCalls(); }
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "net/socketapi_posix.h"
using TResolverCalls = TPosixResolverCalls;
inline TResolverCalls& ResolverCalls() { return PosixResolverCalls(); }
#endif
