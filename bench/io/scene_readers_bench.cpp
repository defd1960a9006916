// Reading point clouds into a SplatMemoryBuffer: the character layout as binary little-endian PLY,
// ASCII PLY and .splat, and the common layout with 45 higher-order colour coefficients (plus the
// binding_0 the reader requires) as binary PLY, at a character's 100k points; .splat and the
// character PLY also at 1M points. Reports points per second (items_per_second) and file bytes per
// second. Targets on one core: 25 M/s for the character layout, 10 M/s for the common layout,
// 50 M/s for .splat (at 100k and at 1M points).
//
//   taskset -c 3 build/bench/io/mivo_io_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Beside every reader, BM_PageCacheRead reads the same file's bytes with plain read() calls into
// one reused buffer: the speed of memory, which no reader can beat. The readers' counter
// `page_cache_x` is their time per file divided by that of such a read, timed just after them.
// BM_DecodeOnly runs the same reader into a delegate that keeps nothing: the reader's own share.
// BM_CollectDecodedPoints is the floor under every reader: copying points of 128 bytes into the
// buffer and freeing them, with nothing to decode.
//
// Every iteration collects a fresh list of points (12.8 MB per 100k points, plus 18 MB of
// coefficients for the common layout). Whether glibc keeps that memory between iterations or
// hands it back to the kernel (then every first touch of a page is a page fault inside the
// figure) is its own choice. To measure the readers with a warm heap for certain, as in a process
// that loads characters repeatedly:
//
//   MALLOC_TOP_PAD_=536870912 MALLOC_TRIM_THRESHOLD_=4294967295 taskset -c 3 build/bench/io/mivo_io_bench

#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/model/splat_memory_buffer.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

using namespace MivoKit;

namespace {

constexpr std::size_t kCharacterPoints = 100'000;
constexpr std::size_t kLargePoints = 1'000'000;

enum class Cloud { characterPLY, standardPLY, asciiPLY, dotSplat };

// The files, each written on first use into a private temporary directory and removed at exit.
class Files {
public:
    static Files& shared() {
        static Files files;
        return files;
    }

    const std::filesystem::path& path(Cloud cloud, std::size_t points) {
        auto& path = paths_[{cloud, points}];
        if (path.empty()) path = write(cloud, points);
        return path;
    }

private:
    Files() {
        std::string pattern = (std::filesystem::temp_directory_path() / "mivo-io-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        directory_ = pattern;
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    std::filesystem::path write(Cloud cloud, std::size_t points) const {
        const std::string stem = "cloud" + std::to_string(points);
        std::mt19937 random(7);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        if (cloud == Cloud::dotSplat) {
            const auto path = directory_ / (stem + ".splat");
            std::vector<ply_writer::DotSplatRecord> records(points);
            for (auto& r : records) {
                const float x = unit(random), y = unit(random), z = unit(random);
                r.position = {x, y, z};
                r.scale = {0.01f, 0.01f, 0.01f};
                r.rgba = {200, 100, 50, 255};
                r.rotation = {255, 130, 120, 128};
            }
            ply_writer::writeDotSplat(path, records);
            return path;
        }
        if (cloud == Cloud::standardPLY) {
            const auto path = directory_ / (stem + "_standard.ply");
            // The splat PLY reader needs a binding_0 on every point; the common layout has none.
            auto properties = ply_writer::standardLayout();
            properties.push_back({"binding_0"});
            ply_writer::VertexTable table(properties);
            std::vector<float> row(properties.size());
            for (std::size_t i = 0; i < points; ++i) {
                for (auto& value : row) value = unit(random);
                row.back() = static_cast<float>(i % 10000);
                table.addPoint(row);
            }
            ply_writer::writePLY(path, table, ply_writer::Format::binaryLittleEndian);
            return path;
        }
        ply_writer::VertexTable table(ply_writer::characterLayout());
        for (std::size_t i = 0; i < points; ++i) {
            const float x = unit(random), y = unit(random), z = unit(random);
            float row[] = {x, y, z, unit(random), unit(random), unit(random), unit(random) * 4,
                           std::log(0.01f) + unit(random), std::log(0.01f) + unit(random), std::log(0.01f) + unit(random),
                           1.0f, unit(random) * 0.1f, unit(random) * 0.1f, unit(random) * 0.1f,
                           static_cast<float>(i % 10000)};
            table.addPoint(row);
        }
        const bool ascii = cloud == Cloud::asciiPLY;
        const auto path = directory_ / (stem + (ascii ? "_ascii.ply" : ".ply"));
        ply_writer::writePLY(path, table, ascii ? ply_writer::Format::ascii : ply_writer::Format::binaryLittleEndian);
        return path;
    }

    std::filesystem::path directory_;
    std::map<std::pair<Cloud, std::size_t>, std::filesystem::path> paths_;
};

// Reads the whole file with read() into `buffer`; the bytes read.
std::size_t readWholeFile(const std::filesystem::path& path, std::vector<char>& buffer) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    std::size_t total = 0;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return total;
}

// The same buffer size for every page-cache read: large enough that system calls cost little.
constexpr std::size_t kPageCacheReadSize = 1 << 20;

// The median wall time of a few whole-file reads from the page cache.
double pageCacheSeconds(const std::filesystem::path& path) {
    std::vector<char> buffer(kPageCacheReadSize);
    std::vector<double> times;
    for (int i = 0; i < 9; ++i) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(readWholeFile(path, buffer));
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + 4, times.end());
    return times[4];
}

void setProcessed(benchmark::State& state, const std::filesystem::path& path, std::size_t points) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(path)));
}

void BM_Read(benchmark::State& state, Cloud cloud) {
    const auto points = static_cast<std::size_t>(state.range(0));
    const auto& path = Files::shared().path(cloud, points);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        AutodetectSceneReader reader(path);
        SplatMemoryBuffer buffer;
        buffer.read(reader);
        if (buffer.points.size() != points) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(buffer.points.data());
    }
    double perFile = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                     static_cast<double>(state.iterations());
    state.counters["page_cache_x"] = perFile / pageCacheSeconds(path);
    setProcessed(state, path, points);
}

void BM_PageCacheRead(benchmark::State& state, Cloud cloud) {
    const auto points = static_cast<std::size_t>(state.range(0));
    const auto& path = Files::shared().path(cloud, points);
    std::vector<char> buffer(kPageCacheReadSize);
    for (auto _ : state) {
        if (readWholeFile(path, buffer) != std::filesystem::file_size(path)) state.SkipWithError("short read");
    }
    setProcessed(state, path, points);
}

// Counts the points and keeps none.
class CountingDelegate final : public SplatSceneReaderDelegate {
public:
    void didStartReading(std::optional<std::uint32_t>) override {}
    void didRead(std::span<const SplatScenePoint> batch) override {
        benchmark::DoNotOptimize(batch.data());
        points += batch.size();
    }
    void didFinishReading() override {}
    void didFailReading(std::exception_ptr) override {}
    std::size_t points = 0;
};

void BM_DecodeOnly(benchmark::State& state, Cloud cloud) {
    const auto points = static_cast<std::size_t>(state.range(0));
    const auto& path = Files::shared().path(cloud, points);
    for (auto _ : state) {
        AutodetectSceneReader reader(path);
        CountingDelegate counting;
        reader.read(counting);
        if (counting.points != points) state.SkipWithError("wrong point count");
    }
    setProcessed(state, path, points);
}

// A reader that hands over points decoded in advance, in the readers' batches: what collecting
// points of 128 bytes into a SplatMemoryBuffer (and freeing them) costs, whatever the file.
class DecodedPointsReader final : public SplatSceneReader {
public:
    DecodedPointsReader(SplatScenePoint::Color color, std::size_t points) : batch_(2048), points_(points) {
        for (auto& point : batch_) point.color = color;
    }
    void read(SplatSceneReaderDelegate& delegate) override {
        delegate.didStartReading(static_cast<std::uint32_t>(points_));
        for (std::size_t done = 0; done < points_; done += batch_.size())
            delegate.didRead(std::span<const SplatScenePoint>(batch_.data(), std::min(batch_.size(), points_ - done)));
        delegate.didFinishReading();
    }

private:
    std::vector<SplatScenePoint> batch_;
    std::size_t points_;
};

void BM_CollectDecodedPoints(benchmark::State& state, bool withCoefficients) {
    const auto points = static_cast<std::size_t>(state.range(0));
    DecodedPointsReader reader(withCoefficients ? SplatScenePoint::Color(SplatScenePoint::Color::SphericalHarmonic(
                                                      0, 0, 0, std::vector<float>(45)))
                                                : SplatScenePoint::Color::FirstOrderSphericalHarmonic{},
                               points);
    for (auto _ : state) {
        SplatMemoryBuffer buffer;
        buffer.read(reader);
        if (buffer.points.size() != points) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(buffer.points.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

constexpr auto kCharacter = static_cast<std::int64_t>(kCharacterPoints);
constexpr auto kLarge = static_cast<std::int64_t>(kLargePoints);

// Each reader beside the page-cache read of its file.
BENCHMARK_CAPTURE(BM_Read, StandardLayoutPLY, Cloud::standardPLY)->Arg(kCharacter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, StandardLayoutPLY, Cloud::standardPLY)->Arg(kCharacter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read, CharacterLayoutPLY, Cloud::characterPLY)->Arg(kCharacter)->Arg(kLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, CharacterLayoutPLY, Cloud::characterPLY)->Arg(kCharacter)->Arg(kLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read, DotSplat, Cloud::dotSplat)->Arg(kCharacter)->Arg(kLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, DotSplat, Cloud::dotSplat)->Arg(kCharacter)->Arg(kLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodeOnly, DotSplat, Cloud::dotSplat)->Arg(kCharacter)->Arg(kLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read, CharacterLayoutAsciiPLY, Cloud::asciiPLY)->Arg(kCharacter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, CharacterLayoutAsciiPLY, Cloud::asciiPLY)->Arg(kCharacter)->Unit(benchmark::kMillisecond)->UseRealTime();
// The floor under every reader above: collecting points that need no decoding.
BENCHMARK_CAPTURE(BM_CollectDecodedPoints, WithoutCoefficients, false)->Arg(kCharacter)->Arg(kLarge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CollectDecodedPoints, WithCoefficients, true)->Arg(kCharacter)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
