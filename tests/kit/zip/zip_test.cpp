#include "kit/zip/zip.hpp"
#include "kit/zip/zip_utilities.hpp"
#include "platform/files/directories.hpp"
#include "platform/progress/progress.hpp"
#include "tests/kit/zip/zip_test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <utility>

using namespace MivoKit;

using namespace ziptest;

namespace {

std::vector<std::string> entryNames(const fs::path& archive) {
    std::vector<std::string> names;
    for (const EntryInfo& entry : listEntries(archive)) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::chrono::system_clock::time_point localTime(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

void setModificationTime(const fs::path& path, std::chrono::system_clock::time_point time) {
    const timespec times[2] = {{std::chrono::system_clock::to_time_t(time), 0},
                               {std::chrono::system_clock::to_time_t(time), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::vector<std::uint8_t> bytes(std::size_t count) { return std::vector<std::uint8_t>(count, 'x'); }

} // namespace

TEST(ZipFiles, NamesEntriesAfterTheGivenFilesAndDirectories) {
    TempDir dir;
    writeFile(dir / "photos" / "a.jpg", "a");
    writeFile(dir / "photos" / "sub" / "b.jpg", "b");
    fs::create_directories(dir / "photos" / "empty");
    writeFile(dir / "x.txt", "x");

    Zip::zipFiles({dir / "photos", dir / "x.txt"}, dir / "a.zip", std::nullopt, ZipCompression::DefaultCompression);
    EXPECT_EQ(entryNames(dir / "a.zip"), (std::vector<std::string>{"photos/a.jpg", "photos/sub/b.jpg", "x.txt"}));

    const auto records = ZipUtilities().expandPaths({dir / "photos/", dir / "missing.txt"});
    std::vector<std::string> names;
    for (const auto& record : records) names.push_back(record.fileName.value_or(""));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"missing.txt", "photos/a.jpg", "photos/sub/b.jpg"}));
}

TEST(ZipFiles, StoresModificationDatesWithMonthsCountedFromZero) {
    TempDir dir;
    writeFile(dir / "december.txt", "d");
    writeFile(dir / "january.txt", "j");
    setModificationTime(dir / "december.txt", localTime(2023, 12, 15));
    setModificationTime(dir / "january.txt", localTime(2024, 1, 3));
    Zip::zipFiles({dir / "december.txt", dir / "january.txt"}, dir / "files.zip", std::nullopt,
                  ZipCompression::BestSpeed);
    Zip::zipData({{"december.bin", bytes(1), localTime(2023, 12, 15)}, {"undated.bin", bytes(1), std::nullopt}},
                 dir / "blocks.zip", std::nullopt, ZipCompression::BestSpeed);

    const auto files = listEntries(dir / "files.zip");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ((std::array{files[0].year, files[0].month, files[0].day}), (std::array{2023u, 11u, 15u}));
    EXPECT_EQ((std::array{files[1].year, files[1].month, files[1].day}), (std::array{2024u, 0u, 3u}));
    const auto blocks = listEntries(dir / "blocks.zip");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ((std::array{blocks[0].year, blocks[0].month, blocks[0].day}), (std::array{2023u, 11u, 15u}));
    EXPECT_EQ(blocks[1].externalAttributes, 0u); // no Unix permissions are recorded
}

TEST(ZipFiles, EmptyFilesGiveEntriesAndEmptyBlocksDoNot) {
    TempDir dir;
    writeFile(dir / "empty.txt", "");
    Zip::zipFiles({dir / "empty.txt"}, dir / "files.zip", std::nullopt, ZipCompression::DefaultCompression);
    Zip::zipData({{"empty.bin", {}, std::nullopt}, {"full.bin", bytes(3), std::nullopt}}, dir / "blocks.zip",
                 std::nullopt, ZipCompression::DefaultCompression);
    ASSERT_EQ(listEntries(dir / "files.zip").size(), 1u);
    EXPECT_EQ(listEntries(dir / "files.zip")[0].size, 0u);
    EXPECT_EQ(entryNames(dir / "blocks.zip"), std::vector<std::string>{"full.bin"});
}

TEST(ZipFiles, ProgressRulesForFilesBlocksAndEmptyInput) {
    TempDir dir;
    writeFile(dir / "a", std::string(100, 'a'));
    writeFile(dir / "b", std::string(300, 'b'));
    writeFile(dir / "empty", "");
    std::vector<double> fractions;
    auto record = [&](double f) { fractions.push_back(f); };

    Zip::zipFiles({dir / "a", dir / "b"}, dir / "f.zip", std::nullopt, ZipCompression::DefaultCompression, record);
    EXPECT_EQ(fractions, (std::vector<double>{0.25, 1.0}));

    fractions.clear();
    Zip::zipData({{"a", bytes(100), std::nullopt}, {"b", bytes(300), std::nullopt}}, dir / "d.zip", std::nullopt,
                 ZipCompression::DefaultCompression, record);
    EXPECT_EQ(fractions, (std::vector<double>{0.25, 1.0, 1.0}));

    for (const auto& paths : {std::vector<fs::path>{}, std::vector<fs::path>{dir / "empty"}}) {
        fractions.clear();
        Zip::zipFiles(paths, dir / "e.zip", std::nullopt, ZipCompression::DefaultCompression, record);
        EXPECT_EQ(fractions, std::vector<double>{1.0}); // 0 of 0 bytes is not reported
    }
    fractions.clear();
    Zip::zipData({}, dir / "n.zip", std::nullopt, ZipCompression::DefaultCompression, record);
    EXPECT_EQ(fractions, std::vector<double>{1.0});
    EXPECT_EQ(fs::file_size(dir / "n.zip"), 22u); // the end record alone
}

// An application's progress, current on its thread around each call, is read from the calls'
// own callbacks: each sees the entries written before it, so the values must climb entry by entry.
TEST(ArchiveProgress, ACallersCurrentProgressRisesToOneAsEntriesAreWritten) {
    TempDir dir;
    std::vector<RawEntry> entries;
    for (const char* name : {"1", "2", "3", "4"}) entries.push_back({name, std::string(200, name[0])});
    writeFile(dir / "a.zip", storedArchive(entries));
    for (const char* name : {"1", "2", "3", "4"}) writeFile(dir / "in" / name, std::string(100, name[0]));

    platform::progress::Progress overall(2);
    std::vector<double> seen;
    auto watch = [&](double) { seen.push_back(overall.fractionCompleted()); };

    overall.becomeCurrent(1);
    Zip::unzipFile(dir / "a.zip", dir / "out", true, std::nullopt, watch);
    overall.resignCurrent();
    const std::vector<double> whileExtracting = std::exchange(seen, {});
    const double extracted = overall.fractionCompleted();

    overall.becomeCurrent(1);
    Zip::zipFiles({dir / "in"}, dir / "b.zip", std::nullopt, ZipCompression::DefaultCompression, watch);
    overall.resignCurrent();
    const std::vector<double> whileArchiving = std::exchange(seen, {});

    // Four entries, then the final report: five readings, each above the one before.
    ASSERT_EQ(whileExtracting.size(), 5u);
    for (std::size_t i = 1; i < whileExtracting.size(); ++i) EXPECT_GT(whileExtracting[i], whileExtracting[i - 1]);
    EXPECT_EQ(whileExtracting.front(), 0.0);
    EXPECT_LT(whileExtracting.back(), 0.5) << "headers count in the archive's size, not in the entries' data";
    EXPECT_EQ(extracted, 0.5) << "the extraction stands for one of two units";

    // Files of equal size: an eighth of the whole per file; the last file's own report is left
    // out, the final one sees it.
    EXPECT_EQ(whileArchiving, (std::vector<double>{0.5, 0.625, 0.75, 1.0}));
    EXPECT_EQ(overall.fractionCompleted(), 1.0);
}

TEST(QuickZip, WritesNamedArchivesIntoTheDocumentsDirectory) {
    TempDir dir;
    platform::files::setDocumentsDirectory(dir / "Documents"); // not there yet
    writeFile(dir / "x.txt", "x");
    const fs::path backup = Zip::quickZipFiles({dir / "x.txt"}, "backup");
    const fs::path doubled = Zip::quickZipFiles({dir / "x.txt"}, "backup.zip");
    platform::files::setDocumentsDirectory(std::nullopt);

    EXPECT_EQ(backup, dir / "Documents" / "backup.zip");
    EXPECT_EQ(doubled, dir / "Documents" / "backup.zip.zip");
    EXPECT_EQ(entryNames(backup), std::vector<std::string>{"x.txt"});
}

TEST(ZipFailures, AFailedArchiveLeavesNothingHalfWrittenAndKeepsAnEarlierFile) {
    TempDir dir;
    writeFile(dir / "x.txt", "x");
    writeFile(dir / "out.zip", "earlier archive");
    auto zip = [&](std::vector<fs::path> paths, const fs::path& archive) {
        return zipErrorOf([&] { Zip::zipFiles(paths, archive, std::nullopt, ZipCompression::DefaultCompression); });
    };
    EXPECT_EQ(zip({dir / "x.txt", dir / "missing.txt"}, dir / "out.zip"), ZipErrorCode::zipFail);
    // A read error in the middle of a file (this one cannot be read from its start).
    EXPECT_EQ(zip({dir / "x.txt", "/proc/self/mem"}, dir / "out.zip"), ZipErrorCode::zipFail);
    // A file too large for an entry without ZIP64 records (sparse, so it takes no space).
    {
        const int fd = ::open((dir / "huge.bin").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 0x100000000LL), 0);
        ::close(fd);
    }
    EXPECT_EQ(zip({dir / "huge.bin"}, dir / "out.zip"), ZipErrorCode::zipFail);
    EXPECT_EQ(readFile(dir / "out.zip"), "earlier archive");

    // The archive cannot be created at all.
    EXPECT_EQ(zip({dir / "x.txt"}, dir / "no" / "such" / "dir.zip"), ZipErrorCode::zipFail);
    EXPECT_EQ(zipErrorOf([&] {
                  Zip::zipData({{"a", bytes(1), std::nullopt}}, dir / "no" / "a.zip", std::nullopt,
                               ZipCompression::DefaultCompression);
              }),
              ZipErrorCode::zipFail);

    std::vector<std::string> left;
    for (const auto& item : fs::directory_iterator(dir.path())) left.push_back(item.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"huge.bin", "out.zip", "x.txt"}));
}

TEST(ZipRoundTrip, ArchivesExtractToTheSameBytesWithAndWithoutPassword) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 50000; ++i) content += static_cast<char>(i * 7 % 251);
    writeFile(dir / "src" / "data.bin", content);
    writeFile(dir / "src" / "nested" / "note.txt", "note");

    Zip::zipFiles({dir / "src"}, dir / "plain.zip", std::nullopt, ZipCompression::BestCompression);
    Zip::zipFiles({dir / "src"}, dir / "locked.zip", std::string("secret"), ZipCompression::BestSpeed);
    Zip::unzipFile(dir / "plain.zip", dir / "plain", true, std::nullopt);
    Zip::unzipFile(dir / "locked.zip", dir / "locked", true, std::string("secret"));
    for (const char* out : {"plain", "locked"}) {
        EXPECT_EQ(readFile(dir / out / "src" / "data.bin"), content) << out;
        EXPECT_EQ(readFile(dir / out / "src" / "nested" / "note.txt"), "note") << out;
    }
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "locked.zip", dir / "bad", true, std::string("wrong")); }),
              ZipErrorCode::unzipFail);

    // Extraction only uses ASCII passwords, so an archive locked with another one does not open.
    Zip::zipData({{"a.txt", bytes(10), std::nullopt}}, dir / "umlaut.zip", std::string("pässwort"),
                 ZipCompression::DefaultCompression);
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "umlaut.zip", dir / "u", true, std::string("pässwort")); }),
              ZipErrorCode::unzipFail);
    EXPECT_EQ(run("unzip -tqq -P 'pässwort' " + quoted((dir / "umlaut.zip").string())), 0);
}
