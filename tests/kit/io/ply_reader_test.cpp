#include "kit/io/ply_reader.hpp"
#include "tests/kit/io/ply_test_support.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace MivoKit;

namespace {

using plytest::Bytes;
using plytest::RecordingDelegate;
using Code = PLYReaderErrorCode;

class PLYReaderTest : public ::testing::Test {
protected:
    std::vector<std::string> read(std::string_view bytes, RecordingDelegate* into = nullptr) {
        testsupport::writeFile(dir / "file.ply", bytes);
        RecordingDelegate local;
        RecordingDelegate& delegate = into ? *into : local;
        PLYReader(dir / "file.ply").read(delegate);
        return delegate.events;
    }
    std::string eof() const { return "fail: Unexpected end-of-file while reading " + (dir / "file.ply").string(); }

    testsupport::TempDir dir;
};

TEST_F(PLYReaderTest, StartMarkerIsTheFirstFourBytes) {
    EXPECT_EQ(read(""), (std::vector<std::string>{eof()}));
    EXPECT_EQ(read("ply"), (std::vector<std::string>{eof()}));
    EXPECT_EQ(read("ply\n"), (std::vector<std::string>{eof()}));
    EXPECT_EQ(read("ply\r\nformat ascii 1.0\r\nend_header\n"), (std::vector<std::string>{"fail: Header start missing"}));
    EXPECT_EQ(read("\xEF\xBB\xBFply\nformat ascii 1.0\nend_header\n"),
              (std::vector<std::string>{"fail: Header start missing"}));
    EXPECT_EQ(read("PLY\nformat ascii 1.0\nend_header\n"), (std::vector<std::string>{"fail: Header start missing"}));
}

TEST_F(PLYReaderTest, HeaderEndsAtTheFirstLineFeedAfterEndHeader) {
    // A CR LF after end_header is never the end marker: the whole file is taken as header.
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement v 1\nproperty float x\nend_header\r\n1\r\n"),
              (std::vector<std::string>{eof()}));
    // A comment ending in end_header ends the header; the next line is the body.
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement v 1\nproperty float x\ncomment end_header\n7\n"),
              (std::vector<std::string>{"start", "0: 7", "finish"}));
    EXPECT_EQ(read("ply\nformat ascii 1.0\ncomment \xFF\nend_header\n"),
              (std::vector<std::string>{"fail: Invalid characters in header"}));
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement v 1\nproperty half x\nend_header\n"),
              (std::vector<std::string>{"fail: Unknown property type: half"}));
}

TEST_F(PLYReaderTest, HeaderWithoutElementsFinishesWhateverFollows) {
    EXPECT_EQ(read("ply\nformat ascii 1.0\nend_header\n"), (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(read("ply\nformat binary_little_endian 1.0\nend_header\nxyz"),
              (std::vector<std::string>{"start", "finish"}));
}

TEST_F(PLYReaderTest, ShortBodiesEndInUnexpectedEndOfFile) {
    std::string header = "ply\nformat binary_little_endian 1.0\nelement v 3\nproperty int a\nend_header\n";
    EXPECT_EQ(read(header + Bytes().add<std::int32_t>(5).add<std::int32_t>(6).add<std::int16_t>(1).str()),
              (std::vector<std::string>{"start", "0: 5", "0: 6", eof()}));
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement v 3\nproperty int a\nend_header\n1\n2\n"),
              (std::vector<std::string>{"start", "0: 1", "0: 2", eof()}));
    // Body errors come after the start and the instances before them.
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement v 3\nproperty int a\nend_header\n1\nx\n3\n"),
              (std::vector<std::string>{"start", "0: 1", "fail: Invalid type string for property a in element v, index 0"}));
}

TEST_F(PLYReaderTest, BytesAfterTheLastInstanceAreNotRead) {
    EXPECT_EQ(read("ply\nformat ascii 1.0\nelement v 1\nproperty int a\nend_header\n4\nnot a number\n"),
              (std::vector<std::string>{"start", "0: 4", "finish"}));
}

TEST_F(PLYReaderTest, HeaderSplitAcrossReadsAtAnyByte) {
    // Pad the header with a comment so that the 8192-byte read boundary falls on every byte of
    // "end_header\n" and of the first body values.
    const std::string start = "ply\nformat binary_big_endian 1.0\nelement v 2\nproperty double a\ncomment ";
    const std::string tail = "\nend_header\n";
    const std::string body = Bytes(true).add(1.5).add(-2.0).str();
    for (int k = -static_cast<int>(body.size()); k <= static_cast<int>(tail.size()); ++k) {
        // The header ends k bytes after the first read boundary.
        std::size_t padding = 8192 + k - start.size() - tail.size();
        RecordingDelegate delegate;
        auto events = read(start + std::string(padding, 'c') + tail + body, &delegate);
        EXPECT_EQ(events, (std::vector<std::string>{"start", "0: 1.5", "0: -2", "finish"})) << padding;
        EXPECT_EQ(delegate.header.elements.size(), 1u);
    }
}

TEST_F(PLYReaderTest, LargeBodyIsCompactedAndDeliveredInOrder) {
    // 40000 instances of 12 bytes, far beyond the compaction threshold, and an instance straddling
    // every read boundary.
    std::string file = "ply\nformat binary_little_endian 1.0\nelement v 40000\nproperty int i\nproperty double d\nend_header\n";
    Bytes body;
    for (int i = 0; i < 40000; ++i) body.add<std::int32_t>(i).add(i * 0.5);
    testsupport::writeFile(dir / "big.ply", file + body.str());

    struct Checker : PLYReaderDelegate {
        void didStartReading(const PLYHeader&) override {}
        void didRead(const PLYElement& e, std::size_t, const PLYHeader::Element&) override {
            if (std::get<std::int32_t>(e.properties[0]) != next || std::get<double>(e.properties[1]) != next * 0.5) ++wrong;
            ++next;
        }
        void didFinishReading() override { ++finished; }
        void didFailReading(std::exception_ptr) override { ++failed; }
        int next = 0, wrong = 0, finished = 0, failed = 0;
    } checker;
    PLYReader reader(dir / "big.ply");
    reader.read(checker);
    EXPECT_EQ(checker.next, 40000);
    EXPECT_EQ(checker.wrong, 0);
    EXPECT_EQ(checker.finished, 1);
    EXPECT_EQ(checker.failed, 0);

    // The same reader reads again from the start.
    reader.read(checker);
    EXPECT_EQ(checker.next, 80000);
    EXPECT_EQ(checker.finished, 2);
}

TEST_F(PLYReaderTest, SourcesThatCannotBeRead) {
    RecordingDelegate missing;
    PLYReader(dir / "missing.ply").read(missing);
    EXPECT_EQ(missing.events, (std::vector<std::string>{"fail: Error while reading " + (dir / "missing.ply").string()}));

    RecordingDelegate directory;
    PLYReader(dir.path()).read(directory);
    EXPECT_EQ(directory.code, Code::readError);

    RecordingDelegate noPath;
    PLYReader("").read(noPath);
    EXPECT_EQ(noPath.events, (std::vector<std::string>{"fail: Cannot open source file at "}));
}

// A delegate that throws from didRead still gets exactly one terminal report: the failure.
TEST_F(PLYReaderTest, ThrowingDelegateEndsTheReadWithOneFailure) {
    struct Throwing : RecordingDelegate {
        void didRead(const PLYElement&, std::size_t, const PLYHeader::Element&) override {
            throw std::runtime_error("delegate gave up");
        }
    } delegate;
    read("ply\nformat ascii 1.0\nelement v 2\nproperty int a\nend_header\n1\n2\n", &delegate);
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"start", "fail: delegate gave up"}));
}

} // namespace
