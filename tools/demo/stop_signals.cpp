#include "tools/demo/stop_signals.hpp"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace demo {
namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

StopSignals::StopSignals() {
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::optional<int> StopSignals::poll() {
    if (taken_) return taken_;
    const sigset_t set = stopSet();
    const timespec now{0, 0};
    const int number = sigtimedwait(&set, nullptr, &now);
    if (number <= 0) return std::nullopt;
    taken_ = number;
    // Only this thread lets them through now, with their default action: a second one ends the
    // process even if the orderly end hangs.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return taken_;
}

void StopSignals::endProcess(int number) {
    std::fflush(nullptr);
    signal(number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(number);
    std::_Exit(128 + number); // not reached: the default action of both signals ends the process
}

} // namespace demo
