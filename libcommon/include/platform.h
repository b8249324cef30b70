#pragma once
// Small platform queries shared by the logger, the token layer and the front end.
#include <cstdint>
#include <string>

// Current UTC time as 100-nanosecond intervals since 1601-01-01.
std::uint64_t currentFileTime();

// Operating-system identifier of the calling thread.
unsigned long currentThreadId();

// Base name of the host executable without its last extension
// ("???" when the executable's path cannot be obtained).
std::string executableStem();
