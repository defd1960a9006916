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
    watcher_ = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
    quit_.store(true);
    watcher_.join();
}

std::optional<int> StopSignals::received() const {
    const int number = received_.load();
    return number ? std::optional(number) : std::nullopt;
}

void StopSignals::watch() {
    const sigset_t set = stopSet();
    const timespec tick{0, 50'000'000}; // how soon the destructor is noticed
    while (!quit_.load()) {
        const int number = sigtimedwait(&set, nullptr, &tick);
        if (number <= 0) continue;
        int none = 0;
        if (!received_.compare_exchange_strong(none, number)) endProcess(number); // the second one
    }
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
