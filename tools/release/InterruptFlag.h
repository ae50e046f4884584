#pragma once

#include <atomic>

// Turns SIGINT, SIGTERM and SIGHUP into a flag that the long steps poll, so that an interrupted
// run still removes what it staged. A second signal ends the process at once.
namespace InterruptFlag {

// Installs the handlers (once) and returns the flag they raise.
const std::atomic_bool *install();

} // namespace InterruptFlag
