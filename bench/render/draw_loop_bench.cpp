// The kit's view drawing the synthetic character in direct mode at 690x798: its display link asks
// for 30 draws a second while the player publishes the idle animation at 25 frames a second. Reports
// the frames presented per second, the time between presents (median and 99th percentile), and the
// share of draws that waited for one of the three frame slots. Runs 5 s of real time per repetition.
//
//   build/bench/render/bench_draw_loop --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//   (taskset -c 0,1 ... for two cores)

#include "kit/render/mv_character_view.hpp"
#include "platform/audio/virtual_audio_device.hpp"
#include "platform/files/directories.hpp"
#include "tools/demo/demo_scene.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <mutex>

using namespace MivoKit;

namespace dispatch = platform::dispatch;

namespace {

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

void BM_DrawLoop(benchmark::State& state) {
    platform::files::setDocumentsDirectory(demo::builtDocumentsDirectory());
    const auto character = Mivo::Character::createCharacter("synthetic");
    platform::files::setDocumentsDirectory(std::nullopt);
    platform::audio::AudioDeviceOptions options;
    options.drivers = "virtual"; // the idle animation plays no sound
    platform::audio::setSharedAudioDevice(platform::audio::makeAudioDevice(options));
    for (auto _ : state) {
        auto manager = MvCharacterManager::create(*character, Mivo::DriveServiceType::none,
                                                  platform::audio::AudioFormat::standard(16000, 1));
        HostedCharacterView hosted{MvCharacterView(manager)};
        const auto view = hosted.gpuView();
        view->setDrawableSize(690, 798);
        std::mutex mutex;
        std::vector<dispatch::Nanoseconds> presents;
        view->addPresentationSink([&](const platform::gpu::PresentedImage&) {
            std::lock_guard lock(mutex);
            presents.push_back(dispatch::monotonicNow());
        });
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(1)); // the head model loads
        const auto drawsBefore = view->drawCount();
        const auto waitsBefore = hosted.coordinator()->renderer->waitedDraws();
        {
            std::lock_guard lock(mutex);
            presents.clear();
        }
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(5));
        view->stopDisplayLink();
        const auto draws = view->drawCount() - drawsBefore;
        const auto waits = hosted.coordinator()->renderer->waitedDraws() - waitsBefore;
        manager->close(true);
        dispatch::pumpMainUntil([] { return false; }, dispatch::Seconds(0.2));
        std::lock_guard lock(mutex);
        std::vector<double> intervals;
        for (std::size_t i = 1; i < presents.size(); ++i)
            intervals.push_back(std::chrono::duration<double, std::milli>(presents[i] - presents[i - 1]).count());
        const double span = presents.size() > 1 ? std::chrono::duration<double>(presents.back() - presents.front()).count() : 0;
        state.counters["presents_per_second"] = span > 0 ? double(presents.size() - 1) / span : 0;
        state.counters["frame_time_median_ms"] = percentile(intervals, 0.5);
        state.counters["frame_time_p99_ms"] = percentile(intervals, 0.99);
        state.counters["draws_waiting_share"] = draws ? double(waits) / double(draws) : 0;
    }
    platform::audio::setSharedAudioDevice(nullptr);
}
BENCHMARK(BM_DrawLoop)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
