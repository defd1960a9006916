// Archives built to escape the destination or to pass damage off as success.

#include "kit/zip/zip.hpp"
#include "tests/kit/zip/zip_test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <zlib.h>

using namespace MivoKit;

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

TEST(HostileArchive, ADamagedCentralDirectoryFailsInsteadOfSkippingTheRest) {
    TempDir dir;
    std::string archive = storedArchive({{"ok.txt", "fine"}, {"../escape.txt", "evil"}, {"last.txt", "end"}});
    // Break the second central directory header's signature.
    const std::string central("PK\x01\x02", 4);
    const auto first = archive.find(central);
    ASSERT_NE(first, std::string::npos);
    const auto second = archive.find(central, first + 4);
    ASSERT_NE(second, std::string::npos);
    archive[second + 3] = '\x09';
    writeFile(dir / "damaged.zip", archive);
    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "damaged.zip", dir / "out", true, std::nullopt); }),
              ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(dir / "out" / "last.txt"));
    EXPECT_FALSE(fs::exists(dir / "escape.txt"));
}

TEST(HostileArchive, TheWriterRefusesNamesItCannotStoreWhole) {
    TempDir dir;
    for (const std::string& name : {std::string("a\0x", 3), std::string()}) {
        const std::vector<ArchiveFile> files = {{"a", {1, 2}, std::nullopt}, {name, {3}, std::nullopt}};
        EXPECT_EQ(zipErrorOf([&] { Zip::zipData(files, dir / "names.zip", std::nullopt, ZipCompression::DefaultCompression); }),
                  ZipErrorCode::zipFail)
            << name.size();
        EXPECT_FALSE(fs::exists(dir / "names.zip"));
    }
}

TEST(HostileArchive, DamagedDataFails) {
    TempDir dir;
    EXPECT_EQ(extract(dir, {{"bad.txt", "content", 0, 0xDEADBEEF}}), ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(dir / "out" / "bad.txt")); // the failed entry's file is removed

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
    EXPECT_TRUE(fs::exists(dir / "out" / "pipe")); // not the extraction's file: not removed either
}

namespace {

constexpr std::uint32_t kDeclaredSize = 10;

std::string patterned(std::size_t size) {
    std::string text;
    while (text.size() < size) text += "line " + std::to_string(text.size()) + " of a long entry\n";
    text.resize(size);
    return text;
}

std::uint32_t crcOf(const std::string& bytes) {
    const auto* data = reinterpret_cast<const Bytef*>(bytes.data());
    return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(bytes.size())));
}

// Extracts `archive` into dir/out over a file planted at out/<name> that has a second link outside:
// the link shows every byte written even after the failed entry's name is gone.
std::optional<ZipErrorCode> extractOverWitness(const TempDir& dir, const std::string& archive, const std::string& name,
                                               const std::optional<std::string>& password = std::nullopt) {
    fs::remove_all(dir / "out");
    fs::remove(dir / "witness");
    writeFile(dir / "out" / name, "");
    fs::create_hard_link(dir / "out" / name, dir / "witness");
    writeFile(dir / "archive.zip", archive);
    return zipErrorOf([&] { Zip::unzipFile(dir / "archive.zip", dir / "out", true, password); });
}

} // namespace

TEST(HostileArchive, DataBeyondTheDeclaredSizeFailsWithoutWritingIt) {
    TempDir dir;
    const std::string content = patterned(300000);
    // The recorded CRC is the true one, or that of the declared prefix, which a reader that merely
    // stops at the declared size would take for intact data.
    for (const bool deflated : {false, true}) {
        for (const std::uint32_t crc : {crcOf(content), crcOf(content.substr(0, kDeclaredSize))}) {
            const std::string archive =
                storedArchive({{"first.txt", "first"}, {"big.txt", content, 0, crc, deflated, kDeclaredSize}});
            EXPECT_EQ(extractOverWitness(dir, archive, "big.txt"), ZipErrorCode::unzipFail) << deflated;
            EXPECT_FALSE(fs::exists(dir / "out" / "big.txt")) << deflated;
            EXPECT_LE(fs::file_size(dir / "witness"), kDeclaredSize) << deflated;
            EXPECT_EQ(readFile(dir / "out" / "first.txt"), "first"); // entries before the failure stay
        }
    }
}

TEST(HostileArchive, EncryptedDataBeyondTheDeclaredSizeFailsWithoutWritingIt) {
    TempDir dir;
    writeFile(dir / "src" / "big.txt", patterned(300000));
    const std::string src = quoted((dir / "src").string());
    ASSERT_EQ(run("cd " + src + " && zip -q -P secret ../deflated.zip big.txt"), 0);
    ASSERT_EQ(run("cd " + src + " && zip -q0 -P secret ../stored.zip big.txt"), 0);
    for (const char* name : {"deflated.zip", "stored.zip"}) {
        const std::string archive = withDeclaredSize(readFile(dir / name), kDeclaredSize);
        EXPECT_EQ(extractOverWitness(dir, archive, "big.txt", std::string("secret")), ZipErrorCode::unzipFail) << name;
        EXPECT_FALSE(fs::exists(dir / "out" / "big.txt")) << name;
        EXPECT_LE(fs::file_size(dir / "witness"), kDeclaredSize) << name;
    }
}
