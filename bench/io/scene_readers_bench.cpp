// Reading a character-sized point cloud (100k points) into a SplatMemoryBuffer: the character
// layout as binary little-endian PLY, ASCII PLY and .splat, and the common layout with 45
// higher-order colour coefficients (plus the binding_0 the reader requires) as binary PLY.
// Reports points per second (items_per_second) and file bytes per second. Targets on one core:
// 25 M/s for the character layout, 10 M/s for the common layout, 50 M/s for .splat.
//
//   taskset -c 3 build/bench/io/mivo_io_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Beside every reader, BM_PageCacheRead reads the same file's bytes with plain read() calls into
// one reused buffer: the speed of memory, which no reader can beat. The readers' counter
// `page_cache_x` is their time per file divided by that of such a read, timed just after them.
// BM_CollectDecodedPoints is the floor under every reader: copying 100k points of 128 bytes into
// the buffer and freeing them, with nothing to decode.
//
// Every iteration collects a fresh list of points (12.8 MB, plus 18 MB of coefficients for the
// common layout). Whether glibc keeps that memory between iterations or hands it back to the
// kernel (then every first touch of a page is a page fault inside the figure) is its own choice.
// To measure the readers with a warm heap for certain, as in a process that loads characters
// repeatedly:
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
#include <random>
#include <vector>

using namespace MivoKit;

namespace {

constexpr std::size_t kPoints = 100'000;

enum class Cloud { characterPLY, standardPLY, asciiPLY, dotSplat };

// The files, written once into a private temporary directory and removed at exit.
class Files {
public:
    static const Files& shared() {
        static Files files;
        return files;
    }

    const std::filesystem::path& path(Cloud cloud) const {
        switch (cloud) {
        case Cloud::characterPLY: return binary_;
        case Cloud::standardPLY: return standard_;
        case Cloud::asciiPLY: return ascii_;
        case Cloud::dotSplat: break;
        }
        return dotSplat_;
    }

private:
    Files() {
        std::string pattern = (std::filesystem::temp_directory_path() / "mivo-io-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        directory_ = pattern;
        binary_ = directory_ / "cloud.ply";
        standard_ = directory_ / "cloud_standard.ply";
        ascii_ = directory_ / "cloud_ascii.ply";
        dotSplat_ = directory_ / "cloud.splat";

        std::mt19937 random(7);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        ply_writer::VertexTable table(ply_writer::characterLayout());
        // The splat PLY reader needs a binding_0 on every point; the common layout has none.
        auto standardProperties = ply_writer::standardLayout();
        standardProperties.push_back({"binding_0"});
        ply_writer::VertexTable standard(standardProperties);
        std::vector<ply_writer::DotSplatRecord> records(kPoints);
        std::vector<float> standardRow(standardProperties.size());
        for (std::size_t i = 0; i < kPoints; ++i) {
            float x = unit(random), y = unit(random), z = unit(random);
            float row[] = {x, y, z, unit(random), unit(random), unit(random), unit(random) * 4,
                           std::log(0.01f) + unit(random), std::log(0.01f) + unit(random), std::log(0.01f) + unit(random),
                           1.0f, unit(random) * 0.1f, unit(random) * 0.1f, unit(random) * 0.1f,
                           static_cast<float>(i % 10000)};
            table.addPoint(row);
            for (auto& value : standardRow) value = unit(random);
            standardRow.back() = static_cast<float>(i % 10000);
            standard.addPoint(standardRow);
            auto& r = records[i];
            r.position = {x, y, z};
            r.scale = {0.01f, 0.01f, 0.01f};
            r.rgba = {200, 100, 50, 255};
            r.rotation = {255, 130, 120, 128};
        }
        ply_writer::writePLY(binary_, table, ply_writer::Format::binaryLittleEndian);
        ply_writer::writePLY(standard_, standard, ply_writer::Format::binaryLittleEndian);
        ply_writer::writePLY(ascii_, table, ply_writer::Format::ascii);
        ply_writer::writeDotSplat(dotSplat_, records);
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    std::filesystem::path directory_, binary_, standard_, ascii_, dotSplat_;
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

void BM_Read(benchmark::State& state, Cloud cloud) {
    const auto& path = Files::shared().path(cloud);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        AutodetectSceneReader reader(path);
        SplatMemoryBuffer buffer;
        buffer.read(reader);
        if (buffer.points.size() != kPoints) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(buffer.points.data());
    }
    double perFile = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                     static_cast<double>(state.iterations());
    state.counters["page_cache_x"] = perFile / pageCacheSeconds(path);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(path)));
}

void BM_PageCacheRead(benchmark::State& state, Cloud cloud) {
    const auto& path = Files::shared().path(cloud);
    std::vector<char> buffer(kPageCacheReadSize);
    for (auto _ : state) {
        if (readWholeFile(path, buffer) != std::filesystem::file_size(path)) state.SkipWithError("short read");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(path)));
}

// A reader that hands over points decoded in advance, in the readers' batches: what collecting
// 100k points of 128 bytes into a SplatMemoryBuffer (and freeing them) costs, whatever the file.
class DecodedPointsReader final : public SplatSceneReader {
public:
    explicit DecodedPointsReader(SplatScenePoint::Color color) : batch_(2048) {
        for (auto& point : batch_) point.color = color;
    }
    void read(SplatSceneReaderDelegate& delegate) override {
        delegate.didStartReading(static_cast<std::uint32_t>(kPoints));
        for (std::size_t done = 0; done < kPoints; done += batch_.size())
            delegate.didRead(std::span<const SplatScenePoint>(batch_.data(), std::min(batch_.size(), kPoints - done)));
        delegate.didFinishReading();
    }

private:
    std::vector<SplatScenePoint> batch_;
};

void BM_CollectDecodedPoints(benchmark::State& state, bool withCoefficients) {
    DecodedPointsReader reader(withCoefficients ? SplatScenePoint::Color(SplatScenePoint::Color::SphericalHarmonic(
                                                      0, 0, 0, std::vector<float>(45)))
                                                : SplatScenePoint::Color::FirstOrderSphericalHarmonic{});
    for (auto _ : state) {
        SplatMemoryBuffer buffer;
        buffer.read(reader);
        if (buffer.points.size() != kPoints) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(buffer.points.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

// Each reader beside the page-cache read of its file.
BENCHMARK_CAPTURE(BM_Read, StandardLayoutPLY, Cloud::standardPLY)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, StandardLayoutPLY, Cloud::standardPLY)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read, CharacterLayoutPLY, Cloud::characterPLY)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, CharacterLayoutPLY, Cloud::characterPLY)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read, DotSplat, Cloud::dotSplat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, DotSplat, Cloud::dotSplat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Read, CharacterLayoutAsciiPLY, Cloud::asciiPLY)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PageCacheRead, CharacterLayoutAsciiPLY, Cloud::asciiPLY)->Unit(benchmark::kMillisecond)->UseRealTime();
// The floor under every reader above: collecting points that need no decoding.
BENCHMARK_CAPTURE(BM_CollectDecodedPoints, WithoutCoefficients, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CollectDecodedPoints, WithCoefficients, true)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
