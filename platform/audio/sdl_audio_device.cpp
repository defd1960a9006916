#include "platform/audio/sdl_audio_device.hpp"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace MivoKit {

namespace platform::audio {
namespace {

// SDL's audio calls (init, open, close, queries) are not meant to race each other.
std::mutex& sdlMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

AudioError sdlError(const std::string& what) { return AudioError(what + ": " + SDL_GetError()); }

// Used when SDL cannot say what the default microphone prefers: the rate every common device
// supports, and one channel because speech is mono.
constexpr int fallbackInputRate = 48000;
constexpr int fallbackInputChannels = 1;

// Wakes the delivery thread; the real-time callbacks only bump and notify the counter (a futex on
// Linux, no lock), so they never wait for it.
struct Delivery {
    std::atomic<std::uint32_t> wakeups{0};
    std::atomic<bool> quit{false};
    // Held while calling deliver(); recursive because deliver may stop a stream of this device
    // (a completion that stops the engine), which clears the client from the same thread.
    std::recursive_mutex clientsMutex;
    AudioDeviceClient* output = nullptr;
    AudioDeviceClient* input = nullptr;

    void wake() noexcept {
        wakeups.fetch_add(1, std::memory_order_release);
        wakeups.notify_one();
    }

    void run() {
        std::uint32_t seen = wakeups.load(std::memory_order_acquire);
        while (!quit.load(std::memory_order_acquire)) {
            wakeups.wait(seen, std::memory_order_acquire);
            seen = wakeups.load(std::memory_order_acquire);
            if (quit.load(std::memory_order_acquire)) break;
            std::lock_guard lock(clientsMutex);
            // Read again after each call: deliver() may have stopped the other stream.
            AudioDeviceClient* first = output;
            if (first) first->deliver();
            if (input && input != first) input->deliver();
        }
    }
};

// One open SDL device (playback or capture) and the scratch its callback works in.
struct Stream {
    SDL_AudioDeviceID id = 0;
    AudioDeviceClient* client = nullptr;
    Delivery* delivery = nullptr;
    std::uint32_t channelCount = 0;
    std::uint32_t capacity = 0; // frames of scratch per channel
    std::vector<std::vector<float>> scratch;
    std::vector<float*> pointers;
    std::int64_t sampleTime = 0;

    void prepare(std::uint32_t channels, std::uint32_t frames) {
        channelCount = channels;
        capacity = frames;
        scratch.assign(channels, std::vector<float>(frames));
        pointers.resize(channels);
        for (std::uint32_t c = 0; c < channels; ++c) pointers[c] = scratch[c].data();
        sampleTime = 0;
    }

    // SDL's audio thread: render into the interleaved stream SDL hands us.
    static void SDLCALL play(void* userdata, Uint8* bytes, int length) {
        auto& s = *static_cast<Stream*>(userdata);
        auto* out = reinterpret_cast<float*>(bytes);
        std::uint32_t frames = std::uint32_t(length) / (sizeof(float) * s.channelCount);
        while (frames > 0) {
            const std::uint32_t n = std::min(frames, s.capacity);
            s.client->renderOutput(s.pointers.data(), s.channelCount, n, s.sampleTime);
            for (std::uint32_t f = 0; f < n; ++f)
                for (std::uint32_t c = 0; c < s.channelCount; ++c) *out++ = s.scratch[c][f];
            s.sampleTime += n;
            frames -= n;
        }
        s.delivery->wake();
    }

    // SDL's capture thread: split the interleaved frames into channels for the client.
    static void SDLCALL record(void* userdata, Uint8* bytes, int length) {
        auto& s = *static_cast<Stream*>(userdata);
        const auto* in = reinterpret_cast<const float*>(bytes);
        std::uint32_t frames = std::uint32_t(length) / (sizeof(float) * s.channelCount);
        while (frames > 0) {
            const std::uint32_t n = std::min(frames, s.capacity);
            for (std::uint32_t f = 0; f < n; ++f)
                for (std::uint32_t c = 0; c < s.channelCount; ++c) s.scratch[c][f] = *in++;
            s.client->captureInput(s.pointers.data(), s.channelCount, n, s.sampleTime);
            s.sampleTime += n;
            frames -= n;
        }
        s.delivery->wake();
    }
};

class SdlAudioDevice final : public AudioDevice {
public:
    explicit SdlAudioDevice(const AudioDeviceOptions& options) : periodSeconds_(options.periodSeconds) {
        std::lock_guard lock(sdlMutex());
        // Audio starts SDL's event subsystem too, whose handlers would turn the application's
        // SIGINT and SIGTERM into SDL_QUIT events nobody reads. An application that wants them
        // sets the hint (or SDL_NO_SIGNAL_HANDLERS) itself.
        if (!SDL_GetHint(SDL_HINT_NO_SIGNAL_HANDLERS)) SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) throw sdlError("SDL audio cannot start");
        output_.delivery = delivery_.get();
        input_.delivery = delivery_.get();
    }

    ~SdlAudioDevice() override {
        stopOutput();
        stopInput();
        if (thread_.joinable()) {
            delivery_->quit.store(true, std::memory_order_release);
            delivery_->wake();
            // A device dropped by its own delivery callback cannot wait for itself; the thread
            // keeps the shared state alive and ends on its own.
            if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
            else thread_.join();
        }
        std::lock_guard lock(sdlMutex());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    std::string_view driverName() const override { return "sdl"; }

    AudioFormat inputFormat() override {
        std::lock_guard lock(sdlMutex());
        return inputFormatLocked();
    }

    void startOutput(const AudioFormat& format, AudioDeviceClient& client) override {
        if (!format.isValid() || !format.isStandard())
            throw AudioError("the SDL device plays 32-bit float non-interleaved audio");
        if (output_.id) throw AudioError("the SDL playback device is already in use");
        open(output_, int(std::lround(format.sampleRate())), int(format.channelCount()), false, client);
    }

    void stopOutput() override { close(output_, delivery_->output); }

    void startInput(AudioDeviceClient& client) override {
        if (input_.id) throw AudioError("the SDL capture device is already in use");
        AudioFormat format = inputFormat();
        open(input_, int(std::lround(format.sampleRate())), int(format.channelCount()), true, client);
    }

    void stopInput() override { close(input_, delivery_->input); }

private:
    AudioFormat inputFormatLocked() {
        SDL_AudioSpec spec{};
        if (SDL_GetDefaultAudioInfo(nullptr, &spec, 1) == 0 && spec.freq > 0 && spec.channels > 0)
            return AudioFormat::standard(spec.freq, spec.channels);
        return AudioFormat::standard(fallbackInputRate, fallbackInputChannels);
    }

    // SDL's buffer in frames: the power of two nearest to one period, as many drivers want.
    Uint16 bufferFrames(int rate) const {
        const double wanted = std::clamp(periodSeconds_ * rate, 64.0, 8192.0);
        return Uint16(1u << unsigned(std::lround(std::log2(wanted))));
    }

    void open(Stream& stream, int rate, int channels, bool capture, AudioDeviceClient& client) {
        ensureDeliveryThread();
        SDL_AudioSpec wanted{}, obtained{};
        wanted.freq = rate;
        wanted.format = AUDIO_F32SYS;
        wanted.channels = Uint8(std::min(channels, 255)); // SDL refuses more than 8 in its own words
        wanted.samples = bufferFrames(rate);
        wanted.callback = capture ? &Stream::record : &Stream::play;
        wanted.userdata = &stream;
        stream.client = &client;
        stream.prepare(wanted.channels, wanted.samples);
        std::lock_guard lock(sdlMutex());
        // No allowed changes: SDL converts between what we asked for and what the hardware has.
        const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, capture ? 1 : 0, &wanted, &obtained, 0);
        if (id == 0) {
            stream.client = nullptr;
            throw sdlError(capture ? "SDL cannot open the capture device" : "SDL cannot open the playback device");
        }
        // The device starts paused, so the callback cannot yet be using the scratch.
        if (obtained.samples > stream.capacity) stream.prepare(stream.channelCount, obtained.samples);
        {
            std::lock_guard clients(delivery_->clientsMutex);
            (capture ? delivery_->input : delivery_->output) = &client;
        }
        stream.id = id;
        SDL_PauseAudioDevice(id, 0);
    }

    void close(Stream& stream, AudioDeviceClient*& deliveredClient) {
        if (!stream.id) return;
        {
            // Returns once SDL's thread has finished its last callback.
            std::lock_guard lock(sdlMutex());
            SDL_CloseAudioDevice(stream.id);
        }
        stream.id = 0;
        stream.client = nullptr;
        // Waits for a deliver() in progress on the delivery thread (unless we are on it).
        std::lock_guard clients(delivery_->clientsMutex);
        deliveredClient = nullptr;
    }

    void ensureDeliveryThread() {
        if (thread_.joinable()) return;
        thread_ = std::thread([delivery = delivery_] { delivery->run(); });
    }

    double periodSeconds_;
    // Shared with the delivery thread, which may outlive a device destroyed on it.
    std::shared_ptr<Delivery> delivery_ = std::make_shared<Delivery>();
    std::thread thread_;
    Stream output_, input_;
};

} // namespace

std::shared_ptr<AudioDevice> makeSdlAudioDevice(const AudioDeviceOptions& options) {
    return std::make_shared<SdlAudioDevice>(options);
}

} // namespace platform::audio

} // namespace MivoKit
