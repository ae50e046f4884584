#include "InterruptFlag.h"

#include <csignal>

namespace InterruptFlag {
namespace {

std::atomic_bool g_interrupted{false};
static_assert(std::atomic_bool::is_always_lock_free, "the flag is set from a signal handler");

void raiseFlag(int)
{
    g_interrupted.store(true);
}

} // namespace

const std::atomic_bool *install()
{
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = raiseFlag;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(signalNumber, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
    return &g_interrupted;
}

} // namespace InterruptFlag
