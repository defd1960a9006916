// Extraction refuses archives that would not fit on the destination's file system.

#include "kit/zip/size_total.hpp"
#include "kit/zip/zip.hpp"
#include "tests/kit/zip/zip_test_support.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace MivoKit;

using namespace ziptest;

namespace {

// The free space a test claims, and the paths it was asked about.
struct StubSpace {
    std::uintmax_t available;
    std::vector<fs::path> asked;

    Zip::AvailableSpaceQuery query() {
        return [this](const fs::path& path) {
            asked.push_back(path);
            return available;
        };
    }
};

std::optional<ZipErrorCode> extractWith(const TempDir& dir, const fs::path& destination, StubSpace& space) {
    return zipErrorOf([&] { Zip::unzipFile(dir / "a.zip", destination, true, std::nullopt, {}, {}, space.query()); });
}

} // namespace

TEST(FreeSpace, AnArchiveLargerThanTheFreeSpaceIsRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    // 100 bytes recorded in all: no single entry is too large, only their sum.
    writeFile(dir / "a.zip", storedArchive({{"a.txt", std::string(60, 'a')},
                                            {"dir/", ""},
                                            {"dir/b.txt", std::string(40, 'b'), 0, std::nullopt, true}}));
    const fs::path out = dir / "new" / "out";

    StubSpace tooSmall{99, {}};
    EXPECT_EQ(extractWith(dir, out, tooSmall), ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(dir / "new"));
    // The destination does not exist yet: its nearest existing parent tells the file system.
    EXPECT_EQ(tooSmall.asked, std::vector<fs::path>{dir.path()});

    StubSpace exact{100, {}};
    EXPECT_EQ(extractWith(dir, out, exact), std::nullopt);
    EXPECT_EQ(readFile(out / "a.txt"), std::string(60, 'a'));
    EXPECT_EQ(readFile(out / "dir" / "b.txt"), std::string(40, 'b'));

    // Once it exists, the destination itself is asked about.
    StubSpace again{100, {}};
    EXPECT_EQ(extractWith(dir, out, again), std::nullopt);
    EXPECT_EQ(again.asked, std::vector<fs::path>{out});
}

TEST(FreeSpace, RecordedSizesCountRatherThanTheDataThatFollows) {
    TempDir dir;
    // One byte of data under a record of a mebibyte.
    writeFile(dir / "a.zip", storedArchive({{"small.txt", "x", 0, std::nullopt, false, 1 << 20}}));
    StubSpace space{(1 << 20) - 1, {}};
    EXPECT_EQ(extractWith(dir, dir / "out", space), ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(FreeSpace, TheFileSystemIsAskedWhenNoQueryIsGiven) {
    TempDir dir;
    constexpr std::uint32_t kEntrySize = 0xFFFFFFFE; // the largest size recorded without Zip64
    const std::uintmax_t available = fs::space(dir.path()).available;
    // One entry more than needed, in case space is freed meanwhile.
    const std::uintmax_t count = available / kEntrySize + 2;
    if (count > 0xFFFF) GTEST_SKIP() << "more free space than an archive without Zip64 can claim";
    std::vector<RawEntry> entries;
    for (std::uintmax_t i = 0; i < count; ++i)
        entries.push_back({"e" + std::to_string(i), "x", 0, std::nullopt, false, kEntrySize});
    writeFile(dir / "a.zip", storedArchive(entries));

    EXPECT_EQ(zipErrorOf([&] { Zip::unzipFile(dir / "a.zip", dir / "out", true, std::nullopt); }),
              ZipErrorCode::unzipFail);
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(SizeTotal, ATotalThatNoLongerFitsInSixtyFourBitsIsLost) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    zipdetail::SizeTotal total;
    total.add(1);
    total.add(kMax - 2);
    EXPECT_EQ(total.value(), kMax - 1);
    total.add(1);
    EXPECT_EQ(total.value(), kMax);
    total.add(1);
    EXPECT_EQ(total.value(), std::nullopt);
    total.add(0); // and it stays lost
    EXPECT_EQ(total.value(), std::nullopt);

    // 1 + 2^63 + 2^63 would wrap around to 1.
    zipdetail::SizeTotal halves;
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
    for (const std::uint64_t size : {std::uint64_t{1}, kHalf, kHalf}) halves.add(size);
    EXPECT_EQ(halves.value(), std::nullopt);
}
