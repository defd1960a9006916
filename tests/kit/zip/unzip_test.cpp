#include "kit/zip/zip.hpp"
#include "platform/files/directories.hpp"
#include "platform/log/log.hpp"
#include "tests/kit/zip/zip_test_support.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace ziptest;

namespace {

constexpr std::uint32_t unixMode(std::uint32_t mode) { return mode << 16; }

const std::vector<RawEntry> kSimpleEntries = {{"hello.txt", "hello"}};

} // namespace

TEST(Unzip, AcceptsTheBuiltInAndRegisteredExtensionsExactly) {
    TempDir dir;
    for (const char* name : {"pack.zip", "pack.ZIP", "pack.cbz", "pack.dat"})
        writeFile(dir / name, storedArchive(kSimpleEntries));
    auto extract = [&](const char* name) {
        return zipErrorOf([&] { Zip::unzipFile(dir / name, dir / "out", true, std::nullopt); });
    };
    EXPECT_EQ(extract("pack.zip"), std::nullopt);
    EXPECT_EQ(extract("pack.cbz"), std::nullopt);
    EXPECT_EQ(extract("pack.ZIP"), ZipErrorCode::fileNotFound);
    EXPECT_EQ(extract("pack.dat"), ZipErrorCode::fileNotFound);
    Zip::addCustomFileExtension("dat");
    Zip::addCustomFileExtension("dat");
    EXPECT_EQ(extract("pack.dat"), std::nullopt);
    Zip::removeCustomFileExtension("dat");
    Zip::removeCustomFileExtension("zip"); // the built-in pair stays
    EXPECT_EQ(extract("pack.dat"), ZipErrorCode::fileNotFound);
    EXPECT_TRUE(Zip::isValidFileExtension("zip"));
}

TEST(Unzip, MissingEmptyAndForeignArchivesFailWithoutCreatingAnything) {
    TempDir dir;
    const fs::path out = dir / "out";
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "missing.zip", out, true, std::nullopt); }),
              ZipErrorCode::fileNotFound);
    EXPECT_EQ(zipErrorOf([&] { Zip::quickUnzipFile(dir / "missing.zip"); }), ZipErrorCode::unzipFail);

    writeFile(dir / "empty.zip", storedArchive({}));
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "empty.zip", out, true, std::nullopt); }), ZipErrorCode::unzipFail);
    writeFile(dir / "text.zip", "this is not an archive");
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "text.zip", out, true, std::nullopt); }), ZipErrorCode::unzipFail);
    writeFile(dir / "zero.zip", "");
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "zero.zip", out, true, std::nullopt); }), ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(out));
}

TEST(Unzip, CreatesTheDestinationAndTreatsBackslashesAsSeparators) {
    TempDir dir;
    writeFile(dir / "a.zip", storedArchive({{"a\\b\\", ""}, {"a\\b\\c.txt", "abc"}, {"top.txt", "top"}}));
    const fs::path out = dir / "new" / "nested" / "out";
    Zip::unzipFile(dir / "a.zip", out, true, std::nullopt);
    EXPECT_TRUE(fs::is_directory(out / "a" / "b"));
    EXPECT_EQ(readFile(out / "a" / "b" / "c.txt"), "abc");
    EXPECT_EQ(readFile(out / "top.txt"), "top");
}

TEST(Unzip, OverwriteFlagKeepsOrTruncatesExistingFiles) {
    TempDir dir;
    const fs::path out = dir / "out";
    writeFile(dir / "a.zip", storedArchive({{"keep.txt", "new"}, {"other.txt", "other"}}));
    writeFile(out / "keep.txt", "old and longer content");

    std::vector<std::string> reported;
    Zip::unzipFile(dir / "a.zip", out, false, std::nullopt, {},
                   [&](const fs::path& path) { reported.push_back(path.filename().string()); });
    EXPECT_EQ(readFile(out / "keep.txt"), "old and longer content");
    EXPECT_EQ(readFile(out / "other.txt"), "other");
    EXPECT_EQ(reported, std::vector<std::string>{"other.txt"}); // skipped files are not reported

    Zip::unzipFile(dir / "a.zip", out, true, std::nullopt);
    EXPECT_EQ(readFile(out / "keep.txt"), "new");
}

TEST(Unzip, AppliesUnixPermissionsOnlyWhenTheOwnerMayRead) {
    TempDir dir;
    const fs::path out = dir / "out";
    writeFile(dir / "a.zip", storedArchive({{"rw.txt", "1", unixMode(0100644)},
                                            {"run.sh", "2", unixMode(0100750)},
                                            {"writeonly.txt", "3", unixMode(0100200)},
                                            {"dos.txt", "4", 0x20},
                                            {"link", "target/elsewhere", unixMode(0120777)}}));
    Zip::unzipFile(dir / "a.zip", out, true, std::nullopt);
    writeFile(out / "reference.txt", "");
    const mode_t platformDefault = permissionsOf(out / "reference.txt");

    EXPECT_EQ(permissionsOf(out / "rw.txt"), 0644u);
    EXPECT_EQ(permissionsOf(out / "run.sh"), 0750u);
    EXPECT_EQ(permissionsOf(out / "writeonly.txt"), platformDefault);
    EXPECT_EQ(permissionsOf(out / "dos.txt"), platformDefault);
    // A symbolic-link entry becomes a regular file holding the link text.
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out / "link")));
    EXPECT_EQ(readFile(out / "link"), "target/elsewhere");
    EXPECT_EQ(permissionsOf(out / "link"), 0777u);
}

TEST(Unzip, ProgressIsTheShareOfCompressedBytesHandled) {
    TempDir dir;
    const std::vector<RawEntry> entries = {{"first", std::string(300, 'a')}, {"secondly", std::string(500, 'b')}};
    writeFile(dir / "a.zip", storedArchive(entries));
    ASSERT_EQ(fs::file_size(dir / "a.zip"), 1000u);

    std::vector<double> fractions;
    Zip::unzipFile(dir / "a.zip", dir / "out", true, std::nullopt, [&](double f) { fractions.push_back(f); });
    EXPECT_EQ(fractions, (std::vector<double>{0.3, 0.8, 1.0}));

    // An entry skipped by the overwrite rule does not count.
    fractions.clear();
    fs::remove(dir / "out" / "secondly");
    Zip::unzipFile(dir / "a.zip", dir / "out", false, std::nullopt, [&](double f) { fractions.push_back(f); });
    EXPECT_EQ(fractions, (std::vector<double>{0.5, 1.0}));
}

TEST(Unzip, FileOutputHandlerReceivesPercentEncodedPathsOfFilesAndDirectories) {
    TempDir dir;
    writeFile(dir / "a.zip", storedArchive({{"my dir/", ""}, {"my dir/a b.txt", "x"}}));
    std::vector<std::string> reported;
    Zip::unzipFile(dir / "a.zip", dir / "out", true, std::nullopt, {},
                   [&](const fs::path& path) { reported.push_back(path.string()); });
    const std::string base = (dir / "out").string();
    EXPECT_EQ(reported, (std::vector<std::string>{base + "/my%20dir", base + "/my%20dir/a%20b.txt"}));
}

TEST(QuickUnzip, ExtractsIntoANamedDirectoryOfTheDocumentsDirectory) {
    TempDir dir;
    platform::files::setDocumentsDirectory(dir / "Documents");
    writeFile(dir / "pack.zip", storedArchive(kSimpleEntries));
    writeFile(dir / "a.zip.b.zip", storedArchive(kSimpleEntries));
    std::vector<double> fractions;

    const fs::path pack = Zip::quickUnzipFile(dir / "pack.zip", [&](double f) { fractions.push_back(f); });
    const fs::path ab = Zip::quickUnzipFile(dir / "a.zip.b.zip");
    platform::files::setDocumentsDirectory(std::nullopt);

    EXPECT_EQ(pack, dir / "Documents" / "pack");
    EXPECT_EQ(readFile(pack / "hello.txt"), "hello");
    EXPECT_EQ(ab, dir / "Documents" / "a.b");
    EXPECT_TRUE(fs::exists(ab / "hello.txt"));
    EXPECT_EQ(fractions.back(), 1.0);
}

TEST(Unzip, ReportsPermissionsItCannotSetAndGoesOn) {
    TempDir dir;
    writeFile(dir / "out" / "taken", "a file where the archive has a directory");
    writeFile(dir / "a.zip", storedArchive({{"taken/", "", unixMode(040755)}, {"after.txt", "after"}}));
    platform::log::Capture capture;
    Zip::unzipFile(dir / "a.zip", dir / "out", true, std::nullopt);
    EXPECT_TRUE(capture.printedLine("Failed to set permissions to file " + (dir / "out" / "taken").string() +
                                    ", error: Not a directory"));
    EXPECT_EQ(readFile(dir / "out" / "taken"), "a file where the archive has a directory");
    EXPECT_EQ(readFile(dir / "out" / "after.txt"), "after");
}

TEST(Unzip, EntriesEndingAtTheirRecordedSizeExtractWhateverTheirMethod) {
    TempDir dir;
    const std::string text = "exactly as long as recorded";
    std::string archive = storedArchive({{"stored.txt", text},
                                         {"deflated.txt", text, 0, std::nullopt, true},
                                         {"empty.txt", ""},
                                         // a deflate stream of two bytes that inflates to nothing
                                         {"empty-deflated.txt", "", 0, std::nullopt, true},
                                         {"dir/", ""},
                                         {"deflated-dir/", "", 0, std::nullopt, true},
                                         {"no-data/", ""}});
    // Some writers mark entries without any data as deflated: set that method on the last entry.
    const std::size_t lastLocal = archive.find("no-data/") - 30;
    const std::size_t lastCentral = archive.rfind("no-data/") - 46;
    archive[lastLocal + 8] = archive[lastCentral + 10] = 8;
    writeFile(dir / "a.zip", archive);

    Zip::unzipFile(dir / "a.zip", dir / "out", true, std::nullopt);
    EXPECT_EQ(readFile(dir / "out" / "stored.txt"), text);
    EXPECT_EQ(readFile(dir / "out" / "deflated.txt"), text);
    EXPECT_EQ(readFile(dir / "out" / "empty.txt"), "");
    EXPECT_EQ(readFile(dir / "out" / "empty-deflated.txt"), "");
    for (const char* directory : {"dir", "deflated-dir", "no-data"})
        EXPECT_TRUE(fs::is_directory(dir / "out" / directory)) << directory;
}
