// Archives from other tools (Info-ZIP's zip, Python's zipfile) and other tools reading ours.

#include "kit/zip/zip.hpp"
#include "tests/kit/zip/zip_test_support.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace MivoKit;

using namespace ziptest;

namespace {

std::string randomBytes(std::size_t count) {
    std::mt19937 random(7);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string compressibleText() {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + " of a compressible file\n";
    return text;
}

// A small tree with a compressible file, an incompressible one, an empty directory, an
// executable and a UTF-8 name.
void makeTree(const fs::path& root) {
    writeFile(root / "docs" / "readme.txt", compressibleText());
    writeFile(root / "data.bin", randomBytes(100000));
    writeFile(root / "script.sh", "#!/bin/sh\necho hi\n");
    fs::permissions(root / "script.sh", fs::perms(0750));
    writeFile(root / "ünïcödé 名前.txt", "unicode");
    fs::create_directories(root / "empty");
}

void expectSameTree(const fs::path& expected, const fs::path& actual) {
    EXPECT_EQ(readFile(actual / "docs" / "readme.txt"), readFile(expected / "docs" / "readme.txt"));
    EXPECT_EQ(readFile(actual / "data.bin"), readFile(expected / "data.bin"));
    EXPECT_EQ(readFile(actual / "ünïcödé 名前.txt"), "unicode");
}

} // namespace

TEST(PeerArchive, ExtractsWhatTheZipCommandWrites) {
    TempDir dir;
    makeTree(dir / "src");
    const std::string src = quoted((dir / "src").string());
    ASSERT_EQ(run("cd " + src + " && zip -qr ../deflated.zip . && zip -qr0 ../stored.zip ."), 0);

    for (const char* archive : {"deflated.zip", "stored.zip"}) {
        const fs::path out = dir / (std::string("out-") + archive);
        Zip::unzipFile(dir / archive, out, true, std::nullopt);
        expectSameTree(dir / "src", out);
        EXPECT_EQ(permissionsOf(out / "script.sh"), 0750u) << archive;
        EXPECT_TRUE(fs::is_directory(out / "empty")) << archive;
    }
}

TEST(PeerArchive, ExtractsWhatPythonWritesWithBackslashNamesAndModes) {
    TempDir dir;
    const std::string script = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr(zipfile.ZipInfo("stored.txt"), "stored", compress_type=zipfile.ZIP_STORED)
    z.writestr("deflated.txt", "deflated " * 1000, compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("win\\sub\\file.txt", "windows")
    info = zipfile.ZipInfo("日本語/ファイル.txt")
    info.external_attr = 0o100600 << 16
    z.writestr(info, "japanese")
    z.writestr(zipfile.ZipInfo("emptydir/"), "")
)";
    ASSERT_EQ(runPython(dir.path(), script, {(dir / "py.zip").string()}), 0);
    const fs::path out = dir / "out";
    Zip::unzipFile(dir / "py.zip", out, true, std::nullopt);
    EXPECT_EQ(readFile(out / "stored.txt"), "stored");
    EXPECT_EQ(readFile(out / "deflated.txt").size(), 9000u);
    EXPECT_EQ(readFile(out / "win" / "sub" / "file.txt"), "windows");
    EXPECT_EQ(readFile(out / "日本語" / "ファイル.txt"), "japanese");
    EXPECT_EQ(permissionsOf(out / "日本語" / "ファイル.txt"), 0600u);
    EXPECT_TRUE(fs::is_directory(out / "emptydir"));
}

TEST(PeerArchive, DecryptsEntriesThatTheZipCommandEncrypted) {
    TempDir dir;
    makeTree(dir / "src");
    ASSERT_EQ(run("cd " + quoted((dir / "src").string()) + " && zip -qr -P secret ../enc.zip . && zip -qr0 -P secret ../enc0.zip ."), 0);
    for (const char* archive : {"enc.zip", "enc0.zip"}) {
        Zip::unzipFile(dir / archive, dir / "out" / archive, true, std::string("secret"));
        expectSameTree(dir / "src", dir / "out" / archive);
        for (const std::optional<std::string>& password : {std::optional<std::string>("wrong"), std::optional<std::string>()}) {
            EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / archive, dir / "bad", true, password); }),
                      ZipErrorCode::unzipFail);
        }
    }
}

TEST(PeerArchive, OwnArchivesPassUnzipTestsAndExtractElsewhere) {
    TempDir dir;
    makeTree(dir / "src");
    for (ZipCompression compression : {ZipCompression::NoCompression, ZipCompression::BestSpeed,
                                       ZipCompression::DefaultCompression, ZipCompression::BestCompression}) {
        const std::string name = "own" + std::to_string(static_cast<int>(compression));
        const fs::path archive = dir / (name + ".zip");
        Zip::zipFiles({dir / "src"}, archive, std::nullopt, compression);
        EXPECT_EQ(run("unzip -tqq " + quoted(archive.string())), 0) << name;
        ASSERT_EQ(run("unzip -qq " + quoted(archive.string()) + " -d " + quoted((dir / name).string())), 0);
        expectSameTree(dir / "src", dir / name / "src");
    }
    EXPECT_GT(fs::file_size(dir / "own0.zip"), fs::file_size(dir / "own3.zip"));
}

TEST(PeerArchive, OwnEncryptedArchivesOpenWithThePasswordElsewhere) {
    TempDir dir;
    makeTree(dir / "src");
    const fs::path archive = dir / "enc.zip";
    Zip::zipFiles({dir / "src"}, archive, std::string("secret"), ZipCompression::DefaultCompression);
    Zip::zipData({{"block.txt", {'b', 'l', 'o', 'c', 'k'}, std::nullopt}}, dir / "block.zip", std::string("secret"),
                 ZipCompression::NoCompression);

    EXPECT_EQ(run("unzip -tqq -P secret " + quoted(archive.string())), 0);
    EXPECT_NE(run("unzip -tqq -P wrong " + quoted(archive.string()) + " >/dev/null 2>&1"), 0);
    ASSERT_EQ(run("unzip -qq -P secret " + quoted(archive.string()) + " -d " + quoted((dir / "unzip").string())), 0);
    expectSameTree(dir / "src", dir / "unzip" / "src");
    const std::string script = R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.exit(0 if z.read("block.txt", pwd=b"secret") == b"block" else 1)
)";
    EXPECT_EQ(runPython(dir.path(), script, {(dir / "block.zip").string()}), 0);

    Zip::unzipFile(archive, dir / "own", true, std::string("secret"));
    expectSameTree(dir / "src", dir / "own" / "src");
}

TEST(PeerArchive, ExtractsEntriesWhoseSizesFollowTheirData) {
    // Written to a pipe, zipfile cannot go back to the local headers: they record sizes of 0 and
    // the sizes follow each entry's data.
    const std::string script = R"(
import sys, zipfile
class Unseekable:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with open(sys.argv[1], "wb") as out:
    with zipfile.ZipFile(Unseekable(out), "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("streamed.txt", "w") as entry: entry.write(sys.argv[2].encode())
        z.writestr("folder/", b"")
        with z.open("folder/empty.txt", "w") as entry: pass
)";
    TempDir dir;
    const std::string text = compressibleText();
    ASSERT_EQ(runPython(dir.path(), script, {(dir / "streamed.zip").string(), text}), 0);
    const std::string archive = readFile(dir / "streamed.zip");
    ASSERT_EQ(archive[6] & 0x08, 0x08);                   // general-purpose flag bit 3
    ASSERT_EQ(archive.substr(22, 4), std::string(4, '\0')); // local uncompressed size

    Zip::unzipFile(dir / "streamed.zip", dir / "out", true, std::nullopt);
    EXPECT_EQ(readFile(dir / "out" / "streamed.txt"), text);
    EXPECT_TRUE(fs::is_directory(dir / "out" / "folder"));
    EXPECT_EQ(readFile(dir / "out" / "folder" / "empty.txt"), "");
}
