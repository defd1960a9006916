#pragma once
// The monotonic clock that every wait of the kit reads, and virtual time for tests.
//
// monotonicNow() never goes backwards: wall-clock steps do not move it. A test may install a
// VirtualTime. From then on monotonicNow() stands still until the test advances it; one-shot timers
// of the main queue (Timer::scheduleOnMain, and with it the sleeps of async tasks) fire at their
// virtual deadlines, and tickers (the virtual audio device's periods) run at theirs.
//
// advance() runs everything on the calling thread, which becomes the main thread. Before each
// deadline it settles: it runs the main queue and waits for the counted background work (tasks
// posted with postBackground or to a serial queue) until both are idle. So a run that depends only
// on the main queue, the background pool and virtual time happens the same way every time. Equal
// deadlines fire tickers first (the audio hardware), then timers in the order they were scheduled.
//
// Work that arrives from other threads on its own (network callbacks) is not waited for; tests
// pump the main queue for it and advance virtual time in between.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace MivoKit {

namespace platform::dispatch {

using Nanoseconds = std::chrono::nanoseconds;

// Time since an arbitrary start, on the steady clock or, while installed, on virtual time.
Nanoseconds monotonicNow();

// Background tasks posted and not yet finished (postBackground and serial queues).
std::size_t backgroundWorkInFlight();

class VirtualTime {
public:
    // Something that runs at deadlines it chooses itself, such as an audio device's periods.
    class Ticker {
    public:
        virtual ~Ticker() = default;
        // The virtual time of the next tick.
        virtual Nanoseconds nextTick() const = 0;
        // Runs the tick due at nextTick(); called by advance() on its thread.
        virtual void tick() = 0;
    };

    // Installs virtual time for the process, starting at the current steady time. One at a time:
    // throws std::logic_error while another is installed.
    VirtualTime();
    // Uninstalls. Timers still pending are handed to the steady clock with their remaining delay.
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    // The installed virtual time, or null.
    static VirtualTime* current();

    Nanoseconds now() const;

    // Moves time forward by `duration`, firing every tick and timer due on the way, settling before
    // each, and settles at the end.
    void advance(Nanoseconds duration);
    template <class Rep, class Period>
    void advance(std::chrono::duration<Rep, Period> duration) {
        advance(std::chrono::duration_cast<Nanoseconds>(duration));
    }
    // Advances in steps of `step` until `done()` holds (checked after each step and before the
    // first); false when `limit` of virtual time passed first.
    bool advanceUntil(const std::function<bool()>& done, Nanoseconds step, Nanoseconds limit);
    // Runs the main queue and waits for counted background work until both are idle.
    void settle();

    // ---- used by the platform layer ----
    void addTicker(Ticker* ticker);
    void removeTicker(Ticker* ticker);
    // Runs `task` when virtual time reaches `deadline`, on advance()'s thread. A timer for which
    // `cancelled` holds is not handed on to the steady clock when virtual time is uninstalled.
    void scheduleTimer(Nanoseconds deadline, std::function<void()> task, std::function<bool()> cancelled = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::dispatch

} // namespace MivoKit
