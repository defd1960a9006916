// Reading a character-sized point cloud (100k points, the character layout) into a
// SplatMemoryBuffer, as binary little-endian PLY, ASCII PLY and .splat. Reports points per second
// (items_per_second). Targets on one core: 10 M/s for binary PLY, 20 M/s for .splat.
//
//   taskset -c 3 build/bench/io/mivo_io_bench
//
// Every iteration collects a fresh 12.8 MB list of points, and glibc hands freed memory back to
// the kernel, so the first touch of each page (a page fault) is part of every figure. To measure
// the readers with a warm heap, as in a process that loads characters repeatedly:
//
//   MALLOC_TOP_PAD_=536870912 MALLOC_TRIM_THRESHOLD_=4294967295 taskset -c 3 build/bench/io/mivo_io_bench

#include "kit/io/autodetect_scene_reader.hpp"
#include "kit/model/splat_memory_buffer.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>

using namespace MivoKit;

namespace {

constexpr std::size_t kPoints = 100'000;

// The three files, written once into a private temporary directory and removed at exit.
class Files {
public:
    static const Files& shared() {
        static Files files;
        return files;
    }
    std::filesystem::path binary, ascii, dotSplat;

private:
    Files() {
        std::string pattern = (std::filesystem::temp_directory_path() / "mivo-io-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        directory_ = pattern;
        binary = directory_ / "cloud.ply";
        ascii = directory_ / "cloud_ascii.ply";
        dotSplat = directory_ / "cloud.splat";

        std::mt19937 random(7);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        ply_writer::VertexTable table(ply_writer::characterLayout());
        std::vector<ply_writer::DotSplatRecord> records(kPoints);
        for (std::size_t i = 0; i < kPoints; ++i) {
            float x = unit(random), y = unit(random), z = unit(random);
            float row[] = {x, y, z, unit(random), unit(random), unit(random), unit(random) * 4,
                           std::log(0.01f) + unit(random), std::log(0.01f) + unit(random), std::log(0.01f) + unit(random),
                           1.0f, unit(random) * 0.1f, unit(random) * 0.1f, unit(random) * 0.1f,
                           static_cast<float>(i % 10000)};
            table.addPoint(row);
            auto& r = records[i];
            r.position = {x, y, z};
            r.scale = {0.01f, 0.01f, 0.01f};
            r.rgba = {200, 100, 50, 255};
            r.rotation = {255, 130, 120, 128};
        }
        ply_writer::writePLY(binary, table, ply_writer::Format::binaryLittleEndian);
        ply_writer::writePLY(ascii, table, ply_writer::Format::ascii);
        ply_writer::writeDotSplat(dotSplat, records);
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    std::filesystem::path directory_;
};

void readCloud(benchmark::State& state, const std::filesystem::path& path) {
    for (auto _ : state) {
        AutodetectSceneReader reader(path);
        SplatMemoryBuffer buffer;
        buffer.read(reader);
        if (buffer.points.size() != kPoints) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(buffer.points.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

void BM_BinaryLittleEndianPLY(benchmark::State& state) { readCloud(state, Files::shared().binary); }
void BM_AsciiPLY(benchmark::State& state) { readCloud(state, Files::shared().ascii); }
void BM_DotSplat(benchmark::State& state) { readCloud(state, Files::shared().dotSplat); }

BENCHMARK(BM_BinaryLittleEndianPLY)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AsciiPLY)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DotSplat)->Unit(benchmark::kMillisecond);

} // namespace
