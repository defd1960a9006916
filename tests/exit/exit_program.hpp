#pragma once
// What the exit programs share. Each program starts one kind of kit work, waits until it is
// running, and returns from main while it runs, as an application that quits at that moment does.
// The program passes when it exits with status 0 and the sanitizer it was built with reports
// nothing.
//
// To make the race with the exit certain rather than a matter of timing, the program's last exit
// handler (registered before main, so it runs after every destructor of static state) lets the
// background work and the GPU run on until they are done: whatever they still touch has been torn
// down by then, and the sanitizers see it.

#include "kit/model/character.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/dispatch/clock.hpp"
#include "platform/dispatch/work_census.hpp"
#include "platform/files/directories.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace exitprogram {

using namespace MivoKit;

inline Mivo::Character syntheticCharacter() {
    platform::files::setDocumentsDirectory(std::filesystem::path(MIVO_TEST_DOCUMENTS_DIR));
    auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    if (!character) throw std::runtime_error("the synthetic character is missing");
    return std::move(*character);
}

// Pumps the main queue until `running()` holds. A program whose work never starts fails: at once
// when `failure()` names a reason (empty while there is none), else after two minutes.
template <class Running>
void pumpUntilRunning(std::string_view what, Running running, const std::function<std::string()>& failure = {}) {
    std::string reason;
    const auto startedOrFailed = [&] {
        if (failure) reason = failure();
        return !reason.empty() || running();
    };
    const bool settled = platform::dispatch::pumpMainUntil(startedOrFailed, platform::dispatch::Seconds(120));
    if (!settled || !reason.empty()) {
        std::fprintf(stderr, "%.*s never started%s%s\n", int(what.size()), what.data(), reason.empty() ? "" : ": ",
                     reason.c_str());
        std::exit(2);
    }
    std::printf("returning from main while %.*s: %s\n", int(what.size()), what.data(),
                platform::dispatch::describe(platform::dispatch::workInProgress()).c_str());
}

inline void lingerAfterTheExitHandlers() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
        bool running = false;
        for (const auto& work : platform::dispatch::workInProgress())
            running = running || work.what == "background tasks" || work.what == "GPU command buffers";
        if (!running) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline const bool lingerRegistered = (std::atexit(lingerAfterTheExitHandlers), true);

inline bool backgroundWorkRuns() { return platform::dispatch::backgroundWorkInFlight() > 0; }

} // namespace exitprogram
