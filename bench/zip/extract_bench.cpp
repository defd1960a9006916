// Extraction speed against Info-ZIP's `unzip -q` on the same archive, measured side by side: each
// iteration extracts with Zip::unzipFile, then with unzip. The reported time is the kit's; the
// counters give unzip's time and the ratio kit / unzip.
//
// The archive resembles a character's shape archive written by the zip command: a few large files
// (a binary point cloud, JSON arrays of floats) and a few hundred small JSON files, about 50 MB.

#include "kit/zip/zip.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

using namespace MivoKit;

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

// Little-endian floats of a noisy smooth surface: compresses a little, like real splat data.
std::string pointCloud(std::size_t points, std::mt19937& random) {
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::string bytes;
    bytes.reserve(points * 14 * sizeof(float));
    for (std::size_t i = 0; i < points; ++i) {
        const float t = static_cast<float>(i) * 1e-4f;
        const float values[14] = {std::sin(t), std::cos(t), t * 0.01f, noise(random), noise(random), noise(random),
                                  0.5f + noise(random), -4.0f, -4.1f, -3.9f, 1.0f, 0.0f, 0.0f, 0.0f};
        bytes.append(reinterpret_cast<const char*>(values), sizeof values);
    }
    return bytes;
}

std::string floatArrayJSON(std::size_t count, std::mt19937& random) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ',';
        text += std::to_string(value(random));
    }
    return text + "]";
}

struct Fixture {
    fs::path root;
    fs::path archive;

    Fixture() {
        std::string templ = (fs::temp_directory_path() / "mivo-zip-bench-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root = templ;
        std::mt19937 random(42);
        const fs::path character = root / "src" / "character";
        writeFile(character / "point_cloud.ply", "ply\nformat binary_little_endian 1.0\nend_header\n" +
                                                     pointCloud(1250000, random));
        writeFile(character / "shape.json", floatArrayJSON(1600000, random));
        writeFile(character / "static_offset.json", floatArrayJSON(1000000, random));
        writeFile(character / "idle.json", floatArrayJSON(1300000, random));
        for (int i = 0; i < 300; ++i)
            writeFile(character / "frames" / ("frame_" + std::to_string(i) + ".json"), floatArrayJSON(1500, random));
        archive = root / "shape.zip";
        const std::string command = "cd '" + (root / "src").string() + "' && zip -qr '" + archive.string() + "' character";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("zip failed");
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ExtractCharacterShapeArchive(benchmark::State& state) {
    Fixture& f = fixture();
    const fs::path kitOut = f.root / "kit";
    const fs::path unzipOut = f.root / "unzip";
    const std::string unzip = "unzip -q -o '" + f.archive.string() + "' -d '" + unzipOut.string() + "'";
    double kitTotal = 0, unzipTotal = 0;
    for (auto _ : state) {
        fs::remove_all(kitOut);
        fs::remove_all(unzipOut);

        auto start = std::chrono::steady_clock::now();
        Zip::unzipFile(f.archive, kitOut, true, std::nullopt);
        const double kit = seconds(start);

        start = std::chrono::steady_clock::now();
        if (std::system(unzip.c_str()) != 0) state.SkipWithError("unzip failed");
        const double reference = seconds(start);

        state.SetIterationTime(kit);
        kitTotal += kit;
        unzipTotal += reference;
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["unzip_ms"] = unzipTotal / iterations * 1000.0;
    state.counters["ratio"] = kitTotal / unzipTotal;
    state.counters["archive_MB"] = static_cast<double>(fs::file_size(f.archive)) / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(fs::file_size(f.archive)) * state.iterations());
}

} // namespace

BENCHMARK(BM_ExtractCharacterShapeArchive)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
