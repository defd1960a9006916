// Archives built to escape the destination or to pass damage off as success.

#include "kit/zip/zip.hpp"
#include "tests/kit/zip/zip_test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace ziptest;

namespace {

std::optional<ZipErrorCode> extract(const TempDir& dir, const std::vector<RawEntry>& entries, bool overwrite = true) {
    writeFile(dir / "hostile.zip", storedArchive(entries));
    return zipErrorOf([&] { Zip::unzipFile(dir / "hostile.zip", dir / "out", overwrite, std::nullopt); });
}

} // namespace

TEST(HostileArchive, ParentComponentsFailAndNothingIsWrittenOutside) {
    for (const char* name : {"../evil.txt", "a/../../evil.txt", "a\\..\\..\\evil.txt", "..\\evil.txt"}) {
        TempDir dir;
        EXPECT_EQ(extract(dir, {{"safe.txt", "safe"}, {name, "evil"}}), ZipErrorCode::unzipFail) << name;
        EXPECT_EQ(readFile(dir / "out" / "safe.txt"), "safe"); // entries before the failure stay
        EXPECT_FALSE(fs::exists(dir / "evil.txt")) << name;
    }
}

TEST(HostileArchive, AbsoluteNamesStayInsideTheDestination) {
    TempDir dir;
    const std::string outside = (dir / "outside.txt").string();
    EXPECT_EQ(extract(dir, {{outside, "in"}, {"//x/./y.txt", "y"}}), std::nullopt);
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_EQ(readFile(dir / "out" / fs::path(outside).relative_path()), "in");
    EXPECT_EQ(readFile(dir / "out" / "x" / "y.txt"), "y");
}

TEST(HostileArchive, NulByteInANameFails) {
    TempDir dir;
    EXPECT_EQ(extract(dir, {{std::string("ok.txt\0/../../x", 15), "data"}}), ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(dir / "out" / "ok.txt"));
    EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST(HostileArchive, DamagedDataFails) {
    TempDir dir;
    EXPECT_EQ(extract(dir, {{"bad.txt", "content", 0, 0xDEADBEEF}}), ZipErrorCode::unzipFail);

    std::string archive = storedArchive({{"a.txt", std::string(5000, 'a')}, {"b.txt", "b"}});
    writeFile(dir / "truncated.zip", archive.substr(0, archive.size() - 40));
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "truncated.zip", dir / "t", true, std::nullopt); }),
              ZipErrorCode::unzipFail);

    // A deflated entry whose data is cut short.
    writeFile(dir / "src" / "big.txt", std::string(200000, 'z') + "tail");
    ASSERT_EQ(run("cd " + quoted((dir / "src").string()) + " && zip -q ../deflated.zip big.txt"), 0);
    std::string deflated = readFile(dir / "deflated.zip");
    const std::size_t extraLength = static_cast<unsigned char>(deflated[28]) | static_cast<unsigned char>(deflated[29]) << 8;
    const std::size_t data = 30 + 7 + extraLength; // local header, name, extra field
    deflated.replace(data + 10, 40, std::string(40, '\xff'));
    writeFile(dir / "deflated.zip", deflated);
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "deflated.zip", dir / "d", true, std::nullopt); }),
              ZipErrorCode::unzipFail);
}

TEST(HostileArchive, NeverWritesThroughASymbolicLinkInTheDestination) {
    TempDir dir;
    writeFile(dir / "outside" / "victim.txt", "precious");
    fs::create_directories(dir / "out");
    fs::create_symlink(dir / "outside" / "victim.txt", dir / "out" / "link");
    fs::create_directory_symlink(dir / "outside", dir / "out" / "linkdir");
    const auto outsideMode = fs::status(dir / "outside").permissions();

    EXPECT_EQ(extract(dir, {{"link", "overwritten"}}), ZipErrorCode::unzipFail);
    EXPECT_EQ(extract(dir, {{"linkdir/new.txt", "planted"}}), ZipErrorCode::unzipFail);
    EXPECT_EQ(extract(dir, {{"linkdir/", "", 040777u << 16}}), ZipErrorCode::unzipFail);
    // Without overwrite the link counts as an existing item and is skipped.
    EXPECT_EQ(extract(dir, {{"link", "overwritten"}}, false), std::nullopt);

    EXPECT_EQ(readFile(dir / "outside" / "victim.txt"), "precious");
    EXPECT_FALSE(fs::exists(dir / "outside" / "new.txt"));
    EXPECT_EQ(fs::status(dir / "outside").permissions(), outsideMode);
}

TEST(HostileArchive, ATargetThatCannotBeWrittenFailsEvenForAnEmptyEntry) {
    TempDir dir;
    fs::create_directories(dir / "out" / "blocker");
    EXPECT_EQ(extract(dir, {{"blocker", ""}}), ZipErrorCode::unzipFail);
    writeFile(dir / "out" / "file.txt", "x");
    EXPECT_EQ(extract(dir, {{"file.txt/inner.txt", ""}}), ZipErrorCode::unzipFail);
    // A FIFO planted at the target neither blocks extraction nor is written.
    ASSERT_EQ(::mkfifo((dir / "out" / "pipe").c_str(), 0644), 0);
    EXPECT_EQ(extract(dir, {{"pipe", "data"}}), ZipErrorCode::unzipFail);
}
