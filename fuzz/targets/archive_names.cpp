// Hostile entry names through archive creation and extraction. The input's first byte chooses the
// options (bit 0: a password, bits 1-2: the compression, bit 3: overwrite); the rest is split at
// line feeds into entry names and contents, alternately. The kit's writer makes the archive, its
// extractor extracts it below a destination in the run's scratch folder.
//
// Oracles besides the sanitizers: only ZipError leaves the writer, and a failed archive leaves no
// file behind; the archive stores every entry with content under the name it was given, in order;
// extraction throws only ZipError or filesystem_error; afterwards the destination holds only
// regular files and directories, each file whole, nothing is left beside it, nothing appeared
// where a name would lead outside it or in the folder above the scratch folder; an extraction that
// succeeds met no name with a ".." component or a NUL byte, and every file it was given is there
// with its content.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/archive_checks.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/zip/entry_name.hpp"
#include "kit/zip/zip.hpp"

#include <climits>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>

using namespace MivoKit;

namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kAvailableSpace = 16u << 20;
const std::string kPassword = "fuzz password";

struct Request {
    std::optional<std::string> password;
    ZipCompression compression = ZipCompression::DefaultCompression;
    bool overwrite = true;
    std::vector<ArchiveFile> files;
};

Request parse(const std::uint8_t* data, std::size_t size) {
    Request r;
    if (size == 0) return r;
    const std::uint8_t options = data[0];
    if (options & 1) r.password = kPassword;
    r.compression = *zipCompressionFromRaw((options >> 1) & 3);
    r.overwrite = (options & 8) != 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = rest.find('\n', start);
        if (end == std::string_view::npos) end = rest.size();
        lines.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        const auto content = i + 1 < lines.size() ? lines[i + 1] : std::string_view();
        r.files.push_back({std::string(lines[i]), std::vector<std::uint8_t>(content.begin(), content.end()), std::nullopt});
    }
    return r;
}

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// After a successful extraction every file entry is at its place with the content of the entry
// that last wrote there (with existing files kept, the first one: later entries were skipped).
// Places are told apart by a hash of their components, built one component at a time, so that a
// deeply nested name costs memory in its depth, not in the square of its length.
void checkNothingLost(const std::vector<ArchiveFile>& entries, bool overwrite, const fs::path& destination) {
    struct Expected {
        fs::path target;
        const ArchiveFile* file;
    };
    std::map<std::uint64_t, Expected> expected;
    std::set<std::uint64_t> made; // every place an earlier entry made, folders included
    for (const auto& file : entries) {
        const auto components = zipdetail::entryNameComponents(zipdetail::decodeUTF8Lossy(file.filename));
        const bool directory = zipdetail::isDirectoryEntryName(file.filename);
        if (!components || (!directory && components->empty()))
            fuzz::fail("archive names: an entry the extractor refuses was extracted");
        std::uint64_t place = 1469598103934665603ull;
        for (const auto& component : *components) {
            for (unsigned char c : component) place = (place ^ c) * 1099511628211ull;
            place = (place ^ 0x100) * 1099511628211ull;
            if (&component != &components->back() || directory) made.insert(place);
        }
        if (directory) continue;
        const bool fresh = made.insert(place).second;
        if (!overwrite && !fresh) continue;
        fs::path target = destination;
        for (const auto& component : *components) target /= component;
        expected[place] = {std::move(target), &file};
    }
    for (const auto& [place, entry] : expected) {
        const auto& [target, file] = entry;
        if (target.native().size() >= PATH_MAX) continue; // there, but out of reach of a path
        std::error_code ec;
        if (fs::symlink_status(target, ec).type() != fs::file_type::regular)
            fuzz::fail("archive names: an extracted entry is missing: " + file->filename);
        const std::string content = contentsOf(target);
        if (content != std::string_view(reinterpret_cast<const char*>(file->data.data()), file->data.size()))
            fuzz::fail("archive names: an extracted entry lost its content: " + file->filename + " (" +
                       std::to_string(content.size()) + " bytes for " + std::to_string(file->data.size()) + ")");
    }
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    using namespace std::string_literals;
    std::vector<FuzzBytes> seeds;
    const auto seed = [&](std::uint8_t options, std::string body) {
        FuzzBytes bytes{options};
        bytes.insert(bytes.end(), body.begin(), body.end());
        seeds.push_back(std::move(bytes));
    };
    seed(8 | 4, "readme.txt\nhello\nfolder/inner.txt\ninner text\nfolder/\nx\n名前.txt\nutf-8");
    seed(1 | 8, "secret.txt\nencrypted content\nsub/secret2.txt\nmore");
    seed(0, "a.txt\nfirst\na.txt\nsecond\nb.txt\n");
    seed(8 | 2, "../x\nup\n/abs\nabsolute\na/../../b\ntraversal\nC:\\x\ndrive\na\\..\\b\nbackslash");
    seed(8, "nul\0name\ncontent\n\xff\xfe\xc0\xaf.txt\nnot utf-8\n./././c\ndots\n"s);
    seed(8 | 6, "a\ncontent of a file\na/b\nthen a folder named like it");
    seed(8, std::string(300, 'n') + "\nlong name\n" + std::string(40, 'd') + "/" + std::string(255, 'e') + "\ndeep");
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const Request request = parse(data, size);
    const auto folder = fuzz::archive::RunFolder::make();

    const bool made = fuzz::endsWithOnly<ZipError>("Zip::zipData", [&] {
        Zip::zipData(request.files, folder.archive, request.password, request.compression);
    });
    // The writer refuses an entry name it cannot store whole (a NUL, or nothing at all).
    bool storable = true;
    for (const auto& file : request.files)
        if (!file.data.empty() && (file.filename.empty() || file.filename.find('\0') != std::string::npos))
            storable = false;
    if (made && !storable) fuzz::fail("archive names: an entry name with a NUL or no name at all was written");
    if (!made) {
        fuzz::archive::checkRunFolder(folder, {});
        return 0;
    }

    // The entries as the archive should hold them.
    std::vector<ArchiveFile> stored;
    for (const auto& file : request.files)
        if (!file.data.empty()) stored.push_back({file.filename, file.data, {}});
    const auto listing = fuzz::archive::listArchive(folder.archive, stored.size() + 1);
    const auto names = listing.names();
    bool same = names.size() == stored.size();
    for (std::size_t i = 0; same && i < names.size(); ++i) same = names[i] == stored[i].filename;
    if (!same) fuzz::fail("archive names: the archive does not store the entries under their names");

    const fuzz::archive::EscapeCandidates escapes(folder.destination, names);
    const auto parent = folder.root.parent_path();
    const auto parentBefore = fuzz::archive::namesIn(parent);
    auto space = [](const fs::path&) { return kAvailableSpace; };
    const bool extracted = fuzz::endsWithOnly<ZipError, fs::filesystem_error>("Zip::unzipFile", [&] {
        Zip::unzipFile(folder.archive, folder.destination, request.overwrite, request.password, {}, {}, space);
    });

    escapes.checkNothingNew();
    fuzz::archive::checkParent(parent, parentBefore, fuzz::archive::nameComponents(names));
    if (extracted) {
        for (const auto& name : names)
            if (fuzz::archive::refusedName(name)) fuzz::fail("archive names: an entry named with \"..\" or NUL was extracted");
        checkNothingLost(stored, request.overwrite, folder.destination);
    }
    const fuzz::archive::WholeFiles whole(listing.entries);
    fuzz::archive::checkRunFolder(folder, {folder.archive.filename().string(), folder.destination.filename().string()},
                                  &whole);
    return 0;
}
