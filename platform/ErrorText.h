// System error texts: the FormatMessageW role. Texts end in "\r\n" like the
// system's, so callers trim trailing white space exactly as before.
#pragma once

#include <cstdint>
#include <string>

// Text for a Win32 / Windows Sockets error code; a generic sentence naming
// the code for one that has no text of its own.
std::string SystemErrorText(uint32_t code);

#ifndef _WIN32
// Windows Sockets code for a POSIX errno value (ECONNREFUSED -> 10061, ...);
// name-resolution failures use ResolverErrorToWsa.
uint32_t ErrnoToWsaError(int err);
// getaddrinfo() result -> WSAHOST_NOT_FOUND / WSATRY_AGAIN / WSANO_RECOVERY...
uint32_t ResolverErrorToWsa(int gaiError);
#endif
