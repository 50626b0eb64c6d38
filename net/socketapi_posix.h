#pragma once

#include <netdb.h>

// The C library's name resolver as the POSIX socket layer calls it. Tests
// replace the pointers to answer host names that a machine without DNS cannot
// resolve (a name with only an IPv6 address, a name with several addresses)
// and to watch which lookups are made; the defaults are getaddrinfo and
// freeaddrinfo. Replace them only while no other thread resolves.
struct TPosixResolverCalls {
  int (*GetAddrInfo)(const char* Node, const char* Service, const addrinfo* Hints,
                     addrinfo** Result) = &::getaddrinfo;
  void (*FreeAddrInfo)(addrinfo* List) = &::freeaddrinfo;
};

TPosixResolverCalls& PosixResolverCalls();
