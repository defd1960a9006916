// Ctrl-C and a service manager's stop: the kit leaves SIGINT and SIGTERM to the application when it
// starts SDL, and the demo ends on them in order, with its files written.

#include "platform/audio/audio_device.hpp"
#include "platform/gpu/device.hpp"
#include "platform/ui/view_host.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <SDL.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace MivoKit;

namespace {

// Sets one environment variable for the test's lifetime.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

bool defaultActionFor(int number) {
    struct sigaction action {};
    sigaction(number, nullptr, &action);
    return action.sa_handler == SIG_DFL;
}

// Reads the child's output until `line` is printed or the output ends; appends all to `printed`.
bool readUntil(int fd, const std::string& line, std::string& printed, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char chunk[4096];
    while (line.empty() || printed.find(line) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        const auto n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return line.empty(); // the output ended
        printed.append(chunk, std::size_t(n));
    }
    return true;
}

} // namespace

TEST(StopSignals, StartingSdlAudioOrAWindowLeavesSigintAndSigtermToTheApplication) {
    const ScopedVariable audio("SDL_AUDIODRIVER", "dummy"), video("SDL_VIDEODRIVER", "offscreen");
    struct sigaction keptInt {}, keptTerm {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGINT, &byDefault, &keptInt);
    sigaction(SIGTERM, &byDefault, &keptTerm);
    {
        platform::audio::AudioDeviceOptions options;
        options.drivers = "sdl";
        const auto device = platform::audio::makeAudioDevice(options);
        EXPECT_TRUE(defaultActionFor(SIGINT) && defaultActionFor(SIGTERM)) << "SDL audio took the signals";
    }
    // Each SDL user must ask on its own: the hint the audio device set goes first.
    SDL_ResetHint(SDL_HINT_NO_SIGNAL_HANDLERS);
    {
        auto view = platform::gpu::GPUView::make();
        view->setDevice(platform::gpu::createSystemDefaultDevice());
        std::string why;
        const auto window = platform::ui::ViewHost::open(view, 32, 32, "signals", why);
        ASSERT_TRUE(window) << why;
        EXPECT_TRUE(defaultActionFor(SIGINT) && defaultActionFor(SIGTERM)) << "the window took the signals";
    }
    sigaction(SIGINT, &keptInt, nullptr);
    sigaction(SIGTERM, &keptTerm, nullptr);
}

TEST(StopSignals, TheDemoEndsOnSigintWithItsFilesWritten) {
    testsupport::TempDir output;
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    std::vector<std::string> args = {MIVO_DEMO_PROGRAM, "--no-window", "--size", "160x184", "--output", output.path().string()};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    {
        // SDL's dummy audio: the demo plays through SDL, as on a machine with a sound card.
        const ScopedVariable audio("SDL_AUDIODRIVER", "dummy"), video("SDL_VIDEODRIVER", "offscreen");
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);

    std::string printed;
    // Stopped while the reply plays and the head is on screen, so every file has something to show.
    const bool playing = readUntil(ends[0], "player: playing", printed, std::chrono::seconds(60)) &&
                         readUntil(ends[0], "the first that shows the head", printed, std::chrono::seconds(60));
    ::kill(pid, SIGINT);
    // It closes and writes its files first; the SIGINT ends it when that is done.
    const bool ended = readUntil(ends[0], "", printed, std::chrono::seconds(20));
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(ends[0]);

    ASSERT_TRUE(playing) << printed;
    EXPECT_TRUE(ended) << "still running 20 s after SIGINT";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status << "\n" << printed;
    EXPECT_NE(printed.find("SIGINT: closing"), std::string::npos) << printed;
    EXPECT_NE(printed.find("conversation: idle"), std::string::npos) << "the manager was closed";
    for (const char* file : {"reply.wav", "sync_plot.png", "contact_sheet.png"})
        EXPECT_GT(std::filesystem::exists(output / file) ? std::filesystem::file_size(output / file) : 0u, 0u) << file;
    EXPECT_FALSE(std::filesystem::is_empty(output / "frames"));
}
