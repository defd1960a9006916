#include "platform/files/file_url.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace platform::files;

namespace {

TEST(FileURL, EncodesPathsAsFileURLs) {
    EXPECT_EQ(fileURLString("/home/me/Documents/MvCharacters/name/v1", true),
              "file:///home/me/Documents/MvCharacters/name/v1/");
    EXPECT_EQ(fileURLString("/home/me/My Files/a#b?c%d", false), "file:///home/me/My%20Files/a%23b%3Fc%25d");
    EXPECT_EQ(fileURLString("/tmp/数字人", false), "file:///tmp/%E6%95%B0%E5%AD%97%E4%BA%BA");
    EXPECT_EQ(fileURLString("/a/./b/../c/", true), "file:///a/c/");
}

TEST(FileURL, DecodesWhatItEncodes) {
    for (const char* path : {"/home/me/My Files/a#b?c%d", "/tmp/数字人/x", "/a/b;c=d@e"})
        EXPECT_EQ(pathFromFileURL(fileURLString(path, false)), std::filesystem::path(path)) << path;
    EXPECT_EQ(pathFromFileURL("FILE://localhost/x/y"), std::filesystem::path("/x/y"));
    EXPECT_EQ(pathFromFileURL("file:/x/y"), std::filesystem::path("/x/y"));
    EXPECT_EQ(pathFromFileURL("file:///x/y?query#fragment"), std::filesystem::path("/x/y"));
}

TEST(FileURL, RefusesTextThatNamesNoLocalPath) {
    for (const char* text :
         {"", "name/v1", "/absolute/path", "https://host/x", "file://otherhost/x", "file://localhostile/x",
          "file:relative/x", "file:///x/%2", "file:///x/%zz", "file:///x/%00y"})
        EXPECT_EQ(pathFromFileURL(text), std::nullopt) << text;
}

} // namespace
