#include "kit/io/ply_header_parser.hpp"
#include "kit/io/ply_reader_stream.hpp"
#include "tests/kit/io/ply_test_support.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

using plytest::Bytes;
using plytest::RecordingDelegate;
using Code = PLYReaderErrorCode;

struct Decoder {
    explicit Decoder(const std::string& headerLines, const std::string& format = "ascii") : stream(delegate) {
        stream.header = parsePLYHeader("ply\nformat " + format + " 1.0\n" + headerLines + "end_header\n");
    }
    void append(std::string_view bytes) { stream.body.insert(stream.body.end(), bytes.begin(), bytes.end()); }
    // The error code parseBody raises, none when it returns.
    std::optional<Code> parse(bool final) {
        try {
            stream.parseBody(final);
        } catch (const PLYReaderError& error) {
            lastError = error.description();
            return error.code();
        }
        return std::nullopt;
    }

    RecordingDelegate delegate;
    PLYReaderStream stream;
    std::string lastError;
};

const std::string kThreeFloats = "element vertex 2\nproperty float x\nproperty float y\nproperty float z\n";

TEST(PLYBodyDecoding, AsciiLinesAndTokens) {
    Decoder d(kThreeFloats);
    d.append("0 1 2\r\n\n3.5  -4e2   +5  \n");
    EXPECT_EQ(d.parse(false), std::nullopt);
    EXPECT_EQ(d.delegate.events, (std::vector<std::string>{"0: 0 1 2", "0: 3.5 -400 5"}));
    EXPECT_TRUE(d.stream.complete());

    // Only the space byte separates tokens.
    Decoder tab(kThreeFloats);
    tab.append("1\t2 3\n");
    EXPECT_EQ(tab.parse(false), Code::bodyInvalidStringForPropertyType);
    EXPECT_EQ(tab.lastError, "Invalid type string for property x in element vertex, index 0");

    Decoder missing(kThreeFloats);
    missing.append("1 2\n");
    EXPECT_EQ(missing.parse(false), Code::bodyMissingPropertyValuesInElement);
    EXPECT_EQ(missing.lastError, "Missing values for property z in element vertex, index 0");
    EXPECT_EQ(missing.stream.bodyOffset, 4u); // past the failing line

    Decoder extra(kThreeFloats);
    extra.append("1 2 3 4\n");
    EXPECT_EQ(extra.parse(false), Code::bodyUnexpectedValuesInElement);
}

TEST(PLYBodyDecoding, AsciiLastLineWaitsForTheFinalCall) {
    Decoder d(kThreeFloats);
    d.append("1 2 3\n4 5 6");
    EXPECT_EQ(d.parse(false), std::nullopt);
    EXPECT_EQ(d.delegate.events.size(), 1u);
    EXPECT_EQ(d.stream.bodyOffset, 6u);
    EXPECT_EQ(d.parse(true), std::nullopt);
    EXPECT_EQ(d.delegate.events.back(), "0: 4 5 6");
    EXPECT_TRUE(d.stream.complete());

    Decoder short_(kThreeFloats);
    short_.append("1 2 3\n");
    EXPECT_EQ(short_.parse(true), std::nullopt);
    EXPECT_FALSE(short_.stream.complete()); // the stream reports the end of file
}

TEST(PLYBodyDecoding, AsciiTokenConversionRules) {
    struct Case {
        const char* type;
        const char* token;
        const char* value; // nullptr: refused
    };
    const Case cases[] = {
        {"uchar", "-0", "0"},      {"uchar", "-00", "0"},     {"uchar", "+5", "5"},        {"uchar", "007", "7"},
        {"uchar", "-1", nullptr},  {"uchar", "256", nullptr}, {"char", "128", nullptr},    {"char", "-128", "-128"},
        {"short", "-32768", "-32768"}, {"ushort", "65536", nullptr}, {"int", "2147483648", nullptr},
        {"uint", "4294967295", "4294967295"}, {"int", "1.0", nullptr}, {"int", "1e3", nullptr},
        {"int", "0x10", nullptr},  {"uint", "  ", nullptr},     {"int", "+", nullptr},       {"int", "1_000", nullptr},
        {"float", "inf", "inf"},   {"float", "NaN", "nan"},   {"float", "0x1p-2", "0.25"}, {"float", ".5", "0.5"},
        {"float", "5.", "5"},      {"float", "-4e2", "-400"}, {"float", "+1.5", "1.5"},    {"float", "INFINITY", "inf"},
        {"float", "1,5", nullptr}, {"float", "1.5f", nullptr}, {"float", "\v1", nullptr},  {"float", "e5", nullptr},
        {"double", "0x1.8p1", "3"}, {"double", "1e-320", "9.99989e-321"}, {"float", "1e39", "inf"},
    };
    for (const auto& c : cases) {
        Decoder d(std::string("element v 1\nproperty ") + c.type + " a\n");
        d.append(std::string(c.token) + "\n");
        auto error = d.parse(true);
        if (c.value) {
            EXPECT_EQ(error, std::nullopt) << c.type << " '" << c.token << "'";
            if (!d.delegate.elements.empty()) {
                EXPECT_EQ(plytest::describe(d.delegate.elements[0]), c.value) << c.type << " '" << c.token << "'";
            }
        } else if (std::string_view(c.token).find_first_not_of(' ') == std::string_view::npos) {
            EXPECT_EQ(error, Code::bodyMissingPropertyValuesInElement);
        } else {
            EXPECT_EQ(error, Code::bodyInvalidStringForPropertyType) << c.type << " '" << c.token << "'";
        }
    }
}

TEST(PLYBodyDecoding, AsciiLists) {
    const std::string header = "element face 1\nproperty list uchar int idx\n";
    auto decode = [&](std::string line) {
        Decoder d(header);
        d.append(line + "\n");
        auto error = d.parse(true);
        return error ? "error " + d.lastError : d.delegate.events.at(0);
    };
    EXPECT_EQ(decode("3 0 1 2"), "0: [0,1,2]");
    EXPECT_EQ(decode("0"), "0: []");
    EXPECT_EQ(decode("3 0 1"), "error Missing values for property idx in element face, index 0");
    EXPECT_EQ(decode("256 1"), "error Invalid type string for property idx in element face, index 0");
    EXPECT_EQ(decode("2 1 x"), "error Invalid type string for property idx in element face, index 0");
    EXPECT_EQ(decode("2 1 2 3"), "error Unexpected values in element face, index 0");

    // A negative count is refused; a huge one fails on the missing values without reserving them.
    Decoder negative("element face 1\nproperty list int float idx\n");
    negative.append("-1 5\n");
    EXPECT_EQ(negative.parse(true), Code::bodyInvalidStringForPropertyType);
    Decoder huge("element face 1\nproperty list uint double idx\n");
    huge.append("4294967295 1 2\n");
    EXPECT_EQ(huge.parse(true), Code::bodyMissingPropertyValuesInElement);
}

TEST(PLYBodyDecoding, BinaryBothByteOrdersWithLists) {
    const std::string header = "element v 1\nproperty float x\nproperty uchar red\nproperty list uchar int idx\n";
    for (bool bigEndian : {false, true}) {
        Decoder d(header, bigEndian ? "binary_big_endian" : "binary_little_endian");
        auto bytes = Bytes(bigEndian).add(1.0f).add<std::uint8_t>(7).add<std::uint8_t>(2).add<std::int32_t>(1).add<std::int32_t>(-1).str();
        ASSERT_EQ(bytes.size(), 14u);
        EXPECT_EQ(bytes.substr(0, 4), bigEndian ? std::string("\x3F\x80\x00\x00", 4) : std::string("\x00\x00\x80\x3F", 4));

        // 13 bytes: nothing decoded, nothing consumed; the 14th completes the instance.
        d.append(bytes.substr(0, 13));
        EXPECT_EQ(d.parse(false), std::nullopt);
        EXPECT_TRUE(d.delegate.events.empty());
        EXPECT_EQ(d.stream.bodyOffset, 0u);
        d.append(bytes.substr(13));
        EXPECT_EQ(d.parse(false), std::nullopt);
        EXPECT_EQ(d.delegate.events, (std::vector<std::string>{"0: 1 7 [1,-1]"}));
        EXPECT_EQ(d.stream.bodyOffset, 14u);
    }
}

TEST(PLYBodyDecoding, BinaryEveryScalarType) {
    Decoder d("element v 1\nproperty char a\nproperty uchar b\nproperty short c\nproperty ushort d\n"
              "property int e\nproperty uint f\nproperty float g\nproperty double h\n"
              "property list ushort double l\n",
              "binary_big_endian");
    d.append(Bytes(true)
                 .add<std::int8_t>(-2).add<std::uint8_t>(200).add<std::int16_t>(-300).add<std::uint16_t>(60000)
                 .add<std::int32_t>(-70000).add<std::uint32_t>(4000000000u).add(-0.5f).add(1e300)
                 .add<std::uint16_t>(2).add(0.25).add(-8.0)
                 .str());
    EXPECT_EQ(d.parse(false), std::nullopt);
    EXPECT_EQ(d.delegate.events, (std::vector<std::string>{"0: -2 200 -300 60000 -70000 4000000000 -0.5 1e+300 [0.25,-8]"}));
}

TEST(PLYBodyDecoding, BinaryListCountsAreChecked) {
    // A negative count is refused.
    Decoder negative("element v 1\nproperty list char float l\n", "binary_little_endian");
    negative.append(Bytes().add<std::int8_t>(-1).add(1.0f).str());
    EXPECT_EQ(negative.parse(false), Code::bodyInvalidStringForPropertyType);

    // The largest count waits for its bytes (no overflow, no allocation), then the data ends.
    Decoder huge("element v 1\nproperty list uint double l\n", "binary_little_endian");
    huge.append(Bytes().add<std::uint32_t>(0xFFFFFFFFu).add(1.0).str());
    EXPECT_EQ(huge.parse(false), std::nullopt);
    EXPECT_EQ(huge.parse(true), std::nullopt);
    EXPECT_TRUE(huge.delegate.events.empty());
    EXPECT_FALSE(huge.stream.complete());
}

TEST(PLYBodyDecoding, GroupWalkSkipsEmptyGroupsAndReportsTheGroupIndex) {
    Decoder d("element a 0\nproperty float x\nelement b 2\nproperty float x\nelement c 0\nproperty float x\n"
              "element d 1\nproperty int y\nelement e 0\nproperty float x\n");
    d.append("1\n2\n3\n4 trailing line is never decoded\n");
    EXPECT_EQ(d.parse(false), std::nullopt);
    EXPECT_EQ(d.delegate.events, (std::vector<std::string>{"1: 1", "1: 2", "3: 3"}));
    EXPECT_EQ(d.delegate.groupNames, (std::vector<std::string>{"b", "b", "d"}));
    EXPECT_TRUE(d.stream.complete());

    Decoder second("element a 1\nproperty float x\nelement b 3\nproperty float x\n");
    second.append("1\n2\n3\nx\n");
    EXPECT_EQ(second.parse(false), Code::bodyInvalidStringForPropertyType);
    EXPECT_EQ(second.lastError, "Invalid type string for property x in element b, index 1");

    Decoder empty("element a 0\nproperty float x\n", "binary_little_endian");
    EXPECT_EQ(empty.parse(false), std::nullopt);
    EXPECT_TRUE(empty.stream.complete());

    // Instances without properties take no bytes and are all reported at once.
    Decoder bare("element a 3\n", "binary_little_endian");
    EXPECT_EQ(bare.parse(false), std::nullopt);
    EXPECT_EQ(bare.delegate.events.size(), 3u);
}

TEST(PLYBodyDecoding, ReusedElementFollowsTheGroupShape) {
    Decoder d("element a 1\nproperty list uchar float l\nproperty int n\nelement b 2\nproperty double x\n",
              "binary_little_endian");
    d.append(Bytes().add<std::uint8_t>(1).add(2.5f).add<std::int32_t>(9).add(1.0).add(2.0).str());
    EXPECT_EQ(d.parse(false), std::nullopt);
    EXPECT_EQ(d.delegate.events, (std::vector<std::string>{"0: [2.5] 9", "1: 1", "1: 2"}));
    EXPECT_EQ(d.stream.reusableElement.properties.size(), 1u);
}

TEST(PLYBodyDecoding, RefusesToDecodeWithoutAHeader) {
    RecordingDelegate delegate;
    PLYReaderStream stream(delegate);
    try {
        stream.parseBody(false);
        FAIL();
    } catch (const PLYReaderError& error) {
        EXPECT_EQ(error.code(), Code::internalConsistency);
    }
}

} // namespace
