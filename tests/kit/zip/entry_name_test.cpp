#include "kit/zip/entry_name.hpp"
#include "kit/zip/text_encoding.hpp"
#include "kit/zip/zip.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace zipdetail;
using Components = std::vector<std::string>;

TEST(EntryName, SplitsOnBothSeparatorsAndDropsEmptyAndDotComponents) {
    EXPECT_EQ(entryNameComponents("a/b/c.txt"), (Components{"a", "b", "c.txt"}));
    EXPECT_EQ(entryNameComponents("a\\b\\"), (Components{"a", "b"}));
    EXPECT_EQ(entryNameComponents("/abs//x/./y"), (Components{"abs", "x", "y"}));
    EXPECT_EQ(entryNameComponents("a..b/c.."), (Components{"a..b", "c.."}));
    EXPECT_EQ(entryNameComponents("./"), Components{});
    EXPECT_TRUE(isDirectoryEntryName("a\\b\\"));
    EXPECT_FALSE(isDirectoryEntryName("a/b"));
}

TEST(EntryName, RefusesParentComponentsAndNulBytes) {
    EXPECT_EQ(entryNameComponents(".."), std::nullopt);
    EXPECT_EQ(entryNameComponents("a/../../b"), std::nullopt);
    EXPECT_EQ(entryNameComponents("a\\..\\b"), std::nullopt);
    EXPECT_EQ(entryNameComponents(std::string_view("ok.txt\0../x", 11)), std::nullopt);
}

TEST(EntryName, PathExtensionIsTheTextAfterTheLastDot) {
    EXPECT_EQ(pathExtension("/tmp/pack.ZIP"), "ZIP");
    EXPECT_EQ(pathExtension("/tmp/a.zip.b.cbz"), "cbz");
    EXPECT_EQ(pathExtension("/tmp/noext"), "");
    EXPECT_EQ(pathExtension("/tmp/dir.zip/"), "zip");
    EXPECT_EQ(lastPathComponent("/tmp/photos/"), "photos");
}

TEST(TextEncoding, ReplacesEachIllFormedSequenceWithOneReplacementCharacter) {
    EXPECT_EQ(decodeUTF8Lossy("日本/ファイル.txt"), "日本/ファイル.txt");
    EXPECT_EQ(decodeUTF8Lossy("caf\xE9.txt"), "caf\uFFFD.txt");
    EXPECT_EQ(decodeUTF8Lossy("\xE6\x97x"), "\uFFFDx");             // truncated sequence
    EXPECT_EQ(decodeUTF8Lossy("\xC0\xAF"), "\uFFFD\uFFFD");         // overlong "/"
    EXPECT_EQ(decodeUTF8Lossy("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD"); // surrogate
    EXPECT_EQ(decodeUTF8Lossy("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD"); // above U+10FFFF
}

TEST(TextEncoding, PercentEncodesWhatAQueryMayNotHold) {
    EXPECT_EQ(percentEncodeForQuery("/data/x/a b.txt"), "/data/x/a%20b.txt");
    EXPECT_EQ(percentEncodeForQuery("100%#ü[]"), "100%25%23%C3%BC%5B%5D");
    EXPECT_EQ(percentEncodeForQuery("!$&'()*+,-./:;=?@_~az09"), "!$&'()*+,-./:;=?@_~az09");
    EXPECT_TRUE(isASCII("secret"));
    EXPECT_FALSE(isASCII("pässwort"));
}

TEST(ZipTypes, CompressionRawValuesLevelsAndErrorTexts) {
    EXPECT_EQ(zipCompressionFromRaw(0), ZipCompression::NoCompression);
    EXPECT_EQ(zipCompressionFromRaw(3), ZipCompression::BestCompression);
    EXPECT_EQ(zipCompressionFromRaw(4), std::nullopt);
    EXPECT_EQ(zipCompressionFromRaw(-1), std::nullopt);
    EXPECT_EQ(deflateLevel(ZipCompression::NoCompression), 0);
    EXPECT_EQ(deflateLevel(ZipCompression::BestSpeed), 1);
    EXPECT_EQ(deflateLevel(ZipCompression::DefaultCompression), -1);
    EXPECT_EQ(deflateLevel(ZipCompression::BestCompression), 9);
    EXPECT_EQ(makeZipError(ZipErrorCode::fileNotFound).description(), "File not found.");
    EXPECT_EQ(makeZipError(ZipErrorCode::unzipFail).description(), "Failed to unzip file.");
    EXPECT_EQ(std::string(makeZipError(ZipErrorCode::zipFail).what()), "Failed to zip file.");
}
