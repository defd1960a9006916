#include "platform/audio/virtual_audio_device.hpp"

#include "platform/audio/wav_file.hpp"
#include "platform/log/log.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <optional>
#include <stdexcept>
#include <thread>

namespace MivoKit {

namespace platform::audio {

using platform::dispatch::Nanoseconds;
using platform::dispatch::VirtualTime;

namespace {

// Frames in period k (from 1) of a stream at `rate`: boundaries are rounded, never accumulated, so
// the stream neither drifts nor loses a fraction.
std::uint32_t framesInPeriod(std::int64_t k, double periodSeconds, double rate) {
    return std::uint32_t(std::llround(double(k) * periodSeconds * rate) -
                         std::llround(double(k - 1) * periodSeconds * rate));
}

const log::Logger& logger() {
    static const log::Logger* instance = new log::Logger(std::string(log::kitBundleIdentifier), "audio");
    return *instance;
}

} // namespace

struct VirtualAudioDevice::Impl final : VirtualTime::Ticker {
    // Per-channel scratch for one period's audio.
    struct PeriodBuffers {
        std::vector<std::vector<float>> channels;
        std::vector<float*> pointers;

        void prepare(std::uint32_t channelCount, std::uint32_t frames) {
            channels.assign(channelCount, std::vector<float>(frames));
            pointers.clear();
            for (auto& channel : channels) pointers.push_back(channel.data());
        }
    };

    Impl(Mode mode, const AudioDeviceOptions& options) : mode(mode), options(options) {
        if (!(options.periodSeconds > 0)) throw AudioError("the virtual device's period must be positive");
        if (options.inputWavPath) {
            microphone = readWavFile(*options.inputWavPath);
            micFormat = AudioFormat::standard(microphone->sampleRate, microphone->channelCount);
        } else {
            micFormat = AudioFormat::standard(options.silentInputFormat.sampleRate(),
                                              options.silentInputFormat.channelCount());
            if (!micFormat.isValid()) throw AudioError("the virtual device's silent input format is not valid");
        }
    }

    const Mode mode;
    const AudioDeviceOptions options;
    std::optional<WavAudio> microphone;
    AudioFormat micFormat = AudioFormat::standard(16000, 1);

    // Held while a period runs and while a stream starts or stops, so a stream stopped from another
    // thread is never called again once stop returns. Recursive: deliver() may stop or start a
    // stream from inside the period.
    std::recursive_mutex periodMutex;

    struct Output {
        AudioDeviceClient* client = nullptr;
        double rate = 0;
        PeriodBuffers buffers;
        std::vector<float> interleaved;
        std::unique_ptr<WavFileWriter> wav;
        std::int64_t periods = 0;
    } out;
    struct Input {
        AudioDeviceClient* client = nullptr;
        PeriodBuffers buffers;
        std::size_t micPosition = 0;
        std::int64_t periods = 0;
    } in;

    std::atomic<std::uint64_t> periodsRun{0};
    // Paced mode: how late periods began after their deadlines.
    std::atomic<std::uint64_t> latePeriods{0};
    std::atomic<std::int64_t> maxLatenessNs{0};
    std::atomic<std::int64_t> outputFrames{0}, inputFrames{0};
    std::atomic<bool> outputRunning{false}, inputRunning{false};

    mutable std::mutex recordMutex;
    std::vector<float> record; // capacity reserved at startOutput(), never grown past it

    // ---- manual mode: virtual time, or advance() ----
    VirtualTime* ticking = nullptr; // the virtual time this device is a ticker of
    Nanoseconds tickStart{0};
    std::int64_t ticks = 0;
    std::atomic<std::int64_t> nextTickAt{0}; // read by VirtualTime under its own lock
    Nanoseconds advanced{0};
    std::int64_t advancedPeriods = 0;

    // ---- paced mode ----
    // Calls waiting to start or stop a stream. At pace 0 the paced thread runs period after period
    // and could take periodMutex again before a waiting caller wakes; it lets them in first.
    std::atomic<int> controlWaiting{0};
    std::thread pacer;
    std::mutex pacerMutex;
    std::condition_variable pacerWake;
    bool streamsActive = false, restartPace = false, quit = false; // under pacerMutex

    // The end of period `k` after a start, in nanoseconds.
    Nanoseconds periodEnd(std::int64_t k) const {
        return Nanoseconds(std::llround(double(k) * options.periodSeconds * 1e9));
    }

    bool drivenByVirtualTime() const { return ticking && VirtualTime::current() == ticking; }

    Nanoseconds nextTick() const override { return Nanoseconds(nextTickAt.load(std::memory_order_acquire)); }

    void tick() override {
        // Scheduled before the period runs: a stream restarted inside it re-bases the clock.
        ++ticks;
        nextTickAt.store((tickStart + periodEnd(ticks + 1)).count(), std::memory_order_release);
        runPeriod();
    }

    void runPeriod() {
        std::lock_guard period(periodMutex);
        periodsRun.fetch_add(1, std::memory_order_relaxed);
        if (out.client) renderPeriod();
        if (in.client) capturePeriod();
        // Read the clients again after each call: deliver() may stop a stream.
        AudioDeviceClient* first = out.client;
        if (first) first->deliver();
        if (in.client && in.client != first) in.client->deliver();
    }

    void renderPeriod() {
        const std::uint32_t frames = framesInPeriod(++out.periods, options.periodSeconds, out.rate);
        const auto channelCount = std::uint32_t(out.buffers.channels.size());
        out.client->renderOutput(out.buffers.pointers.data(), channelCount, frames,
                                 outputFrames.load(std::memory_order_relaxed));
        outputFrames.fetch_add(frames, std::memory_order_release);
        {
            std::lock_guard lock(recordMutex);
            const auto room = std::min<std::size_t>(frames, record.capacity() - record.size());
            record.insert(record.end(), out.buffers.channels[0].begin(), out.buffers.channels[0].begin() + room);
        }
        if (!out.wav) return;
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint32_t c = 0; c < channelCount; ++c)
                out.interleaved[std::size_t(f) * channelCount + c] = out.buffers.channels[c][f];
        try {
            out.wav->writeInterleaved(out.interleaved.data(), frames);
        } catch (const AudioError& error) {
            // The device keeps playing; the file stops where it failed.
            logger().error(std::string("virtual audio device: ") + error.what());
            out.wav.reset();
        }
    }

    void capturePeriod() {
        const std::uint32_t frames = framesInPeriod(++in.periods, options.periodSeconds, micFormat.sampleRate());
        const std::size_t length = microphone ? microphone->frameCount() : 0;
        for (std::uint32_t c = 0; c < micFormat.channelCount(); ++c) {
            float* to = in.buffers.channels[c].data();
            if (length == 0) {
                std::fill_n(to, frames, 0.0f);
                continue;
            }
            const std::vector<float>& source = microphone->channels[c];
            for (std::uint32_t f = 0; f < frames; ++f) to[f] = source[(in.micPosition + f) % length];
        }
        if (length) in.micPosition = (in.micPosition + frames) % length;
        in.client->captureInput(in.buffers.pointers.data(), micFormat.channelCount(), frames,
                                inputFrames.load(std::memory_order_relaxed));
        inputFrames.fetch_add(frames, std::memory_order_release);
    }

    std::uint32_t maxPeriodFrames(double rate) const {
        return std::uint32_t(std::ceil(options.periodSeconds * rate)) + 1;
    }

    // Under the period lock: a stream's client takes its place, and the clock starts if it was idle.
    void beginStream(AudioDeviceClient*& slot, AudioDeviceClient& client, std::atomic<bool>& running) {
        const bool wasIdle = !out.client && !in.client;
        slot = &client;
        running.store(true);
        streamStarted(wasIdle);
    }

    void endStream(AudioDeviceClient*& slot, std::atomic<bool>& running) {
        slot = nullptr;
        running.store(false);
        streamStopped();
    }

    void streamStarted(bool wasIdle) {
        if (mode == Mode::manual) {
            auto* time = VirtualTime::current();
            if (time && !drivenByVirtualTime()) {
                ticking = time;
                tickStart = time->now();
                ticks = 0;
                nextTickAt.store((tickStart + periodEnd(1)).count(), std::memory_order_release);
                time->addTicker(this);
            } else if (!time && wasIdle) {
                advanced = Nanoseconds(0);
                advancedPeriods = 0;
            }
            return;
        }
        {
            std::lock_guard lock(pacerMutex);
            streamsActive = true;
            restartPace = restartPace || wasIdle;
        }
        pacerWake.notify_all();
        if (!pacer.joinable()) pacer = std::thread([this] { pace(); });
    }

    // The clock idles once both streams have stopped.
    void streamStopped() {
        if (out.client || in.client) return;
        if (mode == Mode::manual) {
            if (drivenByVirtualTime()) ticking->removeTicker(this);
            ticking = nullptr;
            return;
        }
        std::lock_guard lock(pacerMutex);
        streamsActive = false;
    }

    // The paced thread: a period, then a sleep until its absolute deadline.
    void pace() {
        using Clock = std::chrono::steady_clock;
        Clock::time_point start;
        std::int64_t k = 0;
        while (true) {
            {
                std::unique_lock lock(pacerMutex);
                pacerWake.wait(lock, [&] { return quit || streamsActive; });
                if (quit) return;
                if (restartPace) start = Clock::now(), k = 0, restartPace = false;
            }
            runPeriod();
            ++k;
            while (controlWaiting.load(std::memory_order_acquire) > 0) std::this_thread::yield();
            if (options.pace > 0) {
                const auto deadline =
                    start + std::chrono::duration_cast<Clock::duration>(periodEnd(k) / options.pace);
                std::unique_lock lock(pacerMutex);
                if (pacerWake.wait_until(lock, deadline, [&] { return quit || restartPace || !streamsActive; }))
                    continue;
                // A period that starts more than a period late is one a real device would have
                // had to play without it.
                const auto lateness = std::chrono::duration_cast<Nanoseconds>(Clock::now() - deadline);
                if (lateness.count() > maxLatenessNs.load(std::memory_order_relaxed))
                    maxLatenessNs.store(lateness.count(), std::memory_order_relaxed);
                if (lateness > (periodEnd(k + 1) - periodEnd(k)) / options.pace)
                    latePeriods.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
};

namespace {

// The period lock, taken by the calls that start and stop streams.
class ControlLock {
public:
    ControlLock(std::recursive_mutex& mutex, std::atomic<int>& waiting) : lock_(mutex, std::defer_lock) {
        waiting.fetch_add(1, std::memory_order_acq_rel);
        lock_.lock();
        waiting.fetch_sub(1, std::memory_order_acq_rel);
    }

private:
    std::unique_lock<std::recursive_mutex> lock_;
};

} // namespace

VirtualAudioDevice::VirtualAudioDevice(Mode mode, const AudioDeviceOptions& options)
    : impl_(std::make_unique<Impl>(mode, options)) {}

VirtualAudioDevice::~VirtualAudioDevice() {
    stopOutput();
    stopInput();
    if (impl_->pacer.joinable()) {
        {
            std::lock_guard lock(impl_->pacerMutex);
            impl_->quit = true;
        }
        impl_->pacerWake.notify_all();
        impl_->pacer.join();
    }
}

std::string_view VirtualAudioDevice::driverName() const {
    return impl_->mode == Mode::manual ? "virtual" : "wav";
}

AudioFormat VirtualAudioDevice::inputFormat() { return impl_->micFormat; }

void VirtualAudioDevice::startOutput(const AudioFormat& format, AudioDeviceClient& client) {
    if (!format.isValid() || !format.isStandard())
        throw AudioError("the virtual device plays 32-bit float non-interleaved audio");
    auto& impl = *impl_;
    ControlLock period(impl.periodMutex, impl.controlWaiting);
    if (impl.out.client) throw AudioError("the virtual device's output is already running");
    // The file first: when it cannot be made nothing has changed.
    std::unique_ptr<WavFileWriter> wav;
    if (impl.options.outputWavPath)
        wav = std::make_unique<WavFileWriter>(*impl.options.outputWavPath, format.sampleRate(), format.channelCount());
    const std::uint32_t frames = impl.maxPeriodFrames(format.sampleRate());
    impl.out.buffers.prepare(format.channelCount(), frames);
    impl.out.interleaved.assign(std::size_t(frames) * format.channelCount(), 0.0f);
    impl.out.wav = std::move(wav);
    impl.out.rate = format.sampleRate();
    impl.out.periods = 0;
    {
        std::lock_guard lock(impl.recordMutex);
        impl.record = {};
        impl.record.reserve(std::size_t(std::ceil(recordCapacitySeconds * format.sampleRate())));
    }
    impl.outputFrames.store(0);
    impl.beginStream(impl.out.client, client, impl.outputRunning);
}

void VirtualAudioDevice::stopOutput() {
    auto& impl = *impl_;
    ControlLock period(impl.periodMutex, impl.controlWaiting);
    if (!impl.out.client) return;
    if (impl.out.wav) {
        try {
            impl.out.wav->close();
        } catch (const AudioError& error) {
            logger().error(std::string("virtual audio device: ") + error.what());
        }
        impl.out.wav.reset();
    }
    impl.endStream(impl.out.client, impl.outputRunning);
}

void VirtualAudioDevice::startInput(AudioDeviceClient& client) {
    auto& impl = *impl_;
    ControlLock period(impl.periodMutex, impl.controlWaiting);
    if (impl.in.client) throw AudioError("the virtual device's input is already running");
    impl.in.buffers.prepare(impl.micFormat.channelCount(), impl.maxPeriodFrames(impl.micFormat.sampleRate()));
    impl.in.periods = 0;
    impl.in.micPosition = 0;
    impl.inputFrames.store(0);
    impl.beginStream(impl.in.client, client, impl.inputRunning);
}

void VirtualAudioDevice::stopInput() {
    auto& impl = *impl_;
    ControlLock period(impl.periodMutex, impl.controlWaiting);
    if (impl.in.client) impl.endStream(impl.in.client, impl.inputRunning);
}

void VirtualAudioDevice::advance(Nanoseconds duration) {
    auto& impl = *impl_;
    if (impl.mode == Mode::paced) throw std::logic_error("the paced virtual device runs on its own");
    ControlLock period(impl.periodMutex, impl.controlWaiting);
    if (impl.drivenByVirtualTime()) throw std::logic_error("the virtual device follows virtual time: advance that");
    impl.advanced += std::max(Nanoseconds(0), duration);
    while (impl.periodEnd(impl.advancedPeriods + 1) <= impl.advanced) {
        ++impl.advancedPeriods;
        impl.runPeriod();
    }
}

void VirtualAudioDevice::runPeriod() {
    if (impl_->mode == Mode::paced) throw std::logic_error("the paced virtual device runs on its own");
    impl_->runPeriod();
}

std::uint64_t VirtualAudioDevice::periodsRun() const { return impl_->periodsRun.load(); }
std::uint64_t VirtualAudioDevice::latePeriods() const { return impl_->latePeriods.load(); }
Nanoseconds VirtualAudioDevice::maxLateness() const { return Nanoseconds(impl_->maxLatenessNs.load()); }
std::int64_t VirtualAudioDevice::outputFramesRendered() const { return impl_->outputFrames.load(); }
std::int64_t VirtualAudioDevice::inputFramesCaptured() const { return impl_->inputFrames.load(); }

std::vector<float> VirtualAudioDevice::renderedSamples() const {
    std::lock_guard lock(impl_->recordMutex);
    return impl_->record;
}

bool VirtualAudioDevice::isOutputRunning() const { return impl_->outputRunning.load(); }
bool VirtualAudioDevice::isInputRunning() const { return impl_->inputRunning.load(); }

} // namespace platform::audio

} // namespace MivoKit
