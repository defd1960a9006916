#include "platform/dispatch/work_census.hpp"

#include "platform/dispatch/clock.hpp"

#include <mutex>

namespace MivoKit {

namespace platform::dispatch {
namespace {

struct Counter {
    std::string_view what;
    std::size_t (*count)();
};

struct Counters {
    std::mutex mutex;
    std::vector<Counter> list{{"background tasks", &backgroundWorkInFlight},
                              {"main-queue handlers", &mainHandlersPending},
                              {"main-queue timers", &mainTimersPending},
                              {"async tasks", &asyncTasksRunning}};
};

// Never destroyed: a census may be taken while the process exits.
Counters& counters() {
    static auto* c = new Counters();
    return *c;
}

} // namespace

void registerWorkCounter(std::string_view what, std::size_t (*count)()) {
    auto& c = counters();
    std::lock_guard lock(c.mutex);
    for (const auto& counter : c.list)
        if (counter.what == what) return;
    c.list.push_back({what, count});
}

std::vector<WorkCount> workInProgress() {
    auto& c = counters();
    std::lock_guard lock(c.mutex);
    std::vector<WorkCount> busy;
    for (const auto& counter : c.list)
        if (auto n = counter.count()) busy.push_back({counter.what, n});
    return busy;
}

std::string describe(const std::vector<WorkCount>& work) {
    std::string text;
    for (const auto& w : work) {
        if (!text.empty()) text += ", ";
        text += std::to_string(w.count) + " " + std::string(w.what);
    }
    return text;
}

} // namespace platform::dispatch

} // namespace MivoKit
