#include "kit/zip/zip.hpp"
#include "tests/kit/loader/loader_environment.hpp"

#include <gmock/gmock.h>

using namespace MivoKit;

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using namespace character_loader;
using namespace loadertest;

namespace {

class ExtractionTest : public LoaderEnvironment {
protected:
    // Puts the archive bytes where the download step leaves them.
    DownloadedArchive downloaded(const std::string& id, const std::string& type, const std::string& bytes) {
        const fs::path file = temporary() / id / (type + ".zip");
        testsupport::writeFile(file, bytes);
        return DownloadedArchive{file, type};
    }

    Downloader downloader_;
};

TEST_F(ExtractionTest, UnpacksBothArchivesIntoTheCharacterDirectory) {
    const auto animation =
        downloaded("e/v1", "animation", makeArchive({{"animation/idle.json", "[]"}, {"same.txt", "A"}}));
    const auto model = downloaded("e/v1", "model", makeArchive({{"model/shape.json", "[1]"}, {"same.txt", "M"}}));
    Recorder recorder;

    const fs::path directory = downloader_.extractAssets({animation, model}, meta("e/v1"), recorder.handler());

    EXPECT_EQ(directory, charactersRoot() / "e" / "v1");
    EXPECT_THAT(recorder.names(), ElementsAre("extracting", "completed"));
    EXPECT_THAT(printedLines(),
                ElementsAre("正在解压 animation 资源...", "animation 资源解压完成", "正在解压 model 资源...",
                            "model 资源解压完成", "解压完成，找到 3 个文件/目录"));
    EXPECT_EQ(testsupport::readFile(directory / "same.txt"), "M") << "the model archive is unpacked last";
    EXPECT_TRUE(fs::is_regular_file(directory / "animation" / "idle.json"));
    EXPECT_FALSE(fs::exists(temporary() / "e" / "v1"));
}

TEST_F(ExtractionTest, CountsOnlyTopLevelEntries) {
    const auto archive =
        downloaded("c", "animation", makeArchive({{"one/a.txt", "a"}, {"one/deep/b.txt", "b"}, {"two/c.txt", "c"}}));
    downloader_.extractAssets({archive}, meta("c"), {});
    EXPECT_TRUE(printed("解压完成，找到 2 个文件/目录"));
}

TEST_F(ExtractionTest, NothingToUnpackIntoAnEmptyDirectoryFails) {
    fs::create_directories(temporary() / "empty");
    Recorder recorder;
    try {
        downloader_.extractAssets({}, meta("empty"), recorder.handler());
        FAIL() << "no error";
    } catch (const DownloadError& e) {
        EXPECT_EQ(e.code(), DownloadErrorCode::noFilesFound);
        EXPECT_STREQ(e.what(), "解压后没有找到任何文件");
    }
    EXPECT_THAT(recorder.names(), ElementsAre("extracting", "failed(extractAssetsFailed)"));
    EXPECT_FALSE(fs::exists(charactersRoot() / "empty"));
    EXPECT_FALSE(fs::exists(temporary() / "empty"));
}

TEST_F(ExtractionTest, NothingToUnpackKeepsWhatIsThere) {
    testsupport::writeFile(charactersRoot() / "old" / ".hidden", "x");
    Recorder recorder;
    downloader_.extractAssets({}, meta("old"), recorder.handler());
    EXPECT_THAT(recorder.names(), ElementsAre("extracting", "completed"));
    EXPECT_TRUE(printed("解压完成，找到 1 个文件/目录"));
    EXPECT_TRUE(fs::exists(charactersRoot() / "old" / ".hidden"));
}

TEST_F(ExtractionTest, CorruptModelArchiveRemovesEverythingItsAnimationBrought) {
    const auto animation = downloaded("bad", "animation", makeArchive({{"animation/idle.json", "[]"}}));
    const auto model = downloaded("bad", "model", "PK\x03\x04 not really an archive");
    Recorder recorder;
    EXPECT_THROW(downloader_.extractAssets({animation, model}, meta("bad"), recorder.handler()), ZipError);
    EXPECT_THAT(recorder.names(), ElementsAre("extracting", "failed(extractAssetsFailed)"));
    EXPECT_THAT(printedLines(),
                ElementsAre("正在解压 animation 资源...", "animation 资源解压完成", "正在解压 model 资源..."));
    EXPECT_FALSE(fs::exists(charactersRoot() / "bad"));
    EXPECT_FALSE(fs::exists(temporary() / "bad"));
    EXPECT_TRUE(fs::is_directory(charactersRoot())) << "only the character's own directory goes";
}

TEST_F(ExtractionTest, DirectoryThatCannotBeMadeLeavesEverythingInPlace) {
    const auto archive = downloaded("x/v1", "animation", makeArchive({{"a.txt", "a"}}));
    testsupport::writeFile(charactersRoot() / "x", "a file in the way");
    Recorder recorder;
    EXPECT_THROW(downloader_.extractAssets({archive}, meta("x/v1"), recorder.handler()), fs::filesystem_error);
    EXPECT_THAT(recorder.names(), ElementsAre("extracting"));
    EXPECT_TRUE(fs::exists(archive.file));
    EXPECT_TRUE(fs::is_regular_file(charactersRoot() / "x"));
}

} // namespace
