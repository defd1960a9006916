// Archive extraction: the input is a ZIP archive, extracted below a destination in the run's
// scratch folder.
//
// Oracles besides the sanitizers: only ZipError and filesystem_error escape; afterwards the
// destination holds only regular files and directories, each file whole (the size and CRC-32 of an
// entry whose name leads to it), nothing is left beside it, nothing appeared where an entry name
// would lead outside it or in the folder above the scratch folder; a successful extraction met no
// entry name with a ".." component or a NUL byte and walked every entry the archive declares;
// progress stays within 0...1, never goes back and ends at 1; every reported output lies below
// the destination.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/archive_checks.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/zip/zip.hpp"

#include <chrono>
#include <cmath>
#include <optional>
#include <string>

using namespace MivoKit;

namespace {

namespace fs = std::filesystem;

// What extraction may write in one run; larger archives are refused before anything is written.
constexpr std::uintmax_t kAvailableSpace = 16u << 20;
const std::string kPassword = "fuzz password";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

ArchiveFile file(std::string name, std::string_view data) {
    return {std::move(name), std::vector<std::uint8_t>(data.begin(), data.end()),
            std::chrono::system_clock::time_point(std::chrono::seconds(1700000000))};
}

// One archive made by the kit's writer, as bytes.
FuzzBytes written(const std::vector<ArchiveFile>& files, const std::optional<std::string>& password,
                  ZipCompression compression) {
    const auto path = fuzz::inputFolder() / "seed.zip";
    std::error_code ignored;
    fs::remove(path, ignored);
    Zip::zipData(files, path, password, compression);
    return fuzz::readFile(path);
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    const std::string text = "The quick brown fox jumps over the lazy dog.\n";
    std::string repeated;
    for (int i = 0; i < 200; ++i) repeated += text;
    const std::vector<ArchiveFile> files{file("readme.txt", text), file("folder/inner.txt", repeated),
                                         file("folder/deeper/data.bin", std::string("\0\1\2\3\xff\xfe", 6)),
                                         file("folder/", "x"), file("名前/ファイル.txt", text)};
    std::vector<FuzzBytes> seeds;
    seeds.push_back(written(files, std::nullopt, ZipCompression::DefaultCompression));
    seeds.push_back(written(files, std::nullopt, ZipCompression::NoCompression));
    seeds.push_back(written(files, std::nullopt, ZipCompression::BestCompression));
    seeds.push_back(written(files, kPassword, ZipCompression::DefaultCompression));
    seeds.push_back(written(files, kPassword, ZipCompression::NoCompression));
    // Names the extractor must refuse or keep inside; the writer stores them as given.
    seeds.push_back(written({file("ok.txt", text), file("../escape.txt", text)}, std::nullopt, ZipCompression::BestSpeed));
    seeds.push_back(written({file("/absolute.txt", text), file("a\\..\\..\\b.txt", text), file("C:\\x.txt", text),
                             file("./dot/./x.txt", text)},
                            std::nullopt, ZipCompression::BestSpeed));

    // A folder archived from disk.
    const auto folder = fuzz::inputFolder() / "tree";
    fs::create_directories(folder / "nested" / "empty");
    fuzz::writeInput("tree/top.txt", text);
    fuzz::writeInput("tree/nested/inner.txt", repeated);
    const auto path = fuzz::inputFolder() / "tree.zip";
    Zip::zipFiles({folder}, path, std::nullopt, ZipCompression::DefaultCompression);
    seeds.push_back(fuzz::readFile(path));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto folder = fuzz::archive::RunFolder::make();
    fuzz::writeFile(folder.archive, data, size);

    const auto listing = fuzz::archive::listArchive(folder.archive);
    const auto names = listing.names();
    const fuzz::archive::EscapeCandidates escapes(folder.destination, names);
    const fuzz::archive::WholeFiles whole(listing.entries);
    const auto parent = folder.root.parent_path();
    const auto parentBefore = fuzz::archive::namesIn(parent);

    // The password is given to most inputs; the overwrite rule alternates.
    const std::optional<std::string> password = (size / 2) % 4 == 0 ? std::nullopt : std::optional(kPassword);
    const bool overwrite = size % 2 == 0;
    double lastProgress = 0;
    int progressCalls = 0;
    auto progress = [&](double share) {
        if (!std::isfinite(share) || share < lastProgress || share > 1.0)
            fuzz::fail("archive: progress " + std::to_string(share) + " after " + std::to_string(lastProgress));
        lastProgress = share;
        ++progressCalls;
    };
    auto output = [&](const fs::path& target) {
        const auto decoded = fs::path(percentDecoded(target.string())).lexically_normal();
        const auto relative = decoded.lexically_relative(folder.destination.lexically_normal());
        if (relative.empty() || *relative.begin() == "..")
            fuzz::fail("archive: an output reported outside the destination: " + decoded.string());
    };
    auto space = [](const fs::path&) { return kAvailableSpace; };

    const bool extracted = fuzz::endsWithOnly<ZipError, fs::filesystem_error>("Zip::unzipFile", [&] {
        Zip::unzipFile(folder.archive, folder.destination, overwrite, password, progress, output, space);
    });

    fuzz::archive::checkRunFolder(folder, {folder.archive.filename().string(), folder.destination.filename().string()},
                                  listing.cut ? nullptr : &whole);
    escapes.checkNothingNew();
    fuzz::archive::checkParent(parent, parentBefore, fuzz::archive::nameComponents(names));
    if (extracted) {
        if (progressCalls == 0 || lastProgress != 1.0) fuzz::fail("archive: a finished extraction did not report 1.0");
        if (!listing.cut) {
            for (const auto& name : names)
                if (fuzz::archive::refusedName(name)) fuzz::fail("archive: an entry named with \"..\" or NUL was extracted");
            // 0xFFFF entries is what a ZIP64 archive declares here; its walk ends at the last entry.
            if (!listing.complete && listing.declared != 0xFFFF)
                fuzz::fail("archive: a successful extraction stopped at an entry it could not read (" +
                           std::to_string(listing.entries.size()) + " of " + std::to_string(listing.declared) + ")");
        }
    }
    return 0;
}
