#include "platform/files/property_list.hpp"
#include "tests/support/python/python_script.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <limits>
#include <cmath>
#include <bit>

using namespace MivoKit;

using namespace platform::files;

namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

// A binary property list made by hand: objects in order, one-byte offsets and references, the
// first object on top.
std::vector<std::uint8_t> binaryList(const std::vector<std::vector<std::uint8_t>>& objects) {
    std::vector<std::uint8_t> bytes = bytesOf("bplist00");
    std::vector<std::uint8_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<std::uint8_t>(bytes.size()));
        bytes.insert(bytes.end(), object.begin(), object.end());
    }
    const auto table = static_cast<std::uint8_t>(bytes.size());
    bytes.insert(bytes.end(), offsets.begin(), offsets.end());
    std::uint8_t trailer[32] = {};
    trailer[6] = 1; // offset size
    trailer[7] = 1; // reference size
    trailer[15] = static_cast<std::uint8_t>(objects.size());
    trailer[31] = table;
    bytes.insert(bytes.end(), trailer, trailer + 32);
    return bytes;
}

// UTF-16 big-endian text objects.
const std::vector<std::uint8_t> utf16WithNul = {0x63, 0, 'a', 0, 0, 0, 'b'};
const std::vector<std::uint8_t> trueObject = {0x09};

PropertyList sample() {
    PropertyList root;
    root.set("flag", true);
    root.set("off", false);
    root.set("count", std::int64_t{42});
    root.set("negative", std::int64_t{-7});
    root.set("big", std::int64_t{1} << 40);
    root.set("ratio", 0.25);
    root.set("third", 1.0 / 3.0);
    root.set("name", "数字人 name");
    root.set("when", PropertyListDate{700000000.5});
    root.set("blob", PropertyList::Data{0, 1, 2, 255});
    root.set("list", PropertyList::Array{PropertyList("a"), PropertyList(2.5), PropertyList::Dictionary{}});
    root.set("nested", PropertyList::Dictionary{{"inner", PropertyList::Array{}}});
    return root;
}

TEST(PropertyList, BinaryRoundTripKeepsEveryType) {
    const auto encoded = encodeBinaryPropertyList(sample());
    ASSERT_GE(encoded.size(), 8u);
    EXPECT_EQ(std::string(encoded.begin(), encoded.begin() + 8), "bplist00");

    const PropertyList decoded = decodePropertyList(encoded);
    const PropertyList expected = sample();
    for (const auto& [key, value] : *expected.as<PropertyList::Dictionary>()) {
        const PropertyList* got = decoded.find(key);
        ASSERT_NE(got, nullptr) << key;
        EXPECT_EQ(*got, value) << key;
    }
    EXPECT_EQ(decoded.as<PropertyList::Dictionary>()->size(), expected.as<PropertyList::Dictionary>()->size());
}

TEST(PropertyList, SetReplacesAnExistingKey) {
    PropertyList dict;
    dict.set("k", "one");
    dict.set("k", "two");
    ASSERT_EQ(dict.as<PropertyList::Dictionary>()->size(), 1u);
    EXPECT_EQ(*dict.find("k")->as<std::string>(), "two");
    EXPECT_THROW(PropertyList("text").set("k", true), PropertyListError);
}

TEST(PropertyList, DecodesTheXmlForm) {
    const auto xml = bytesOf(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><array><dict><key>id</key><string>a/v1</string><key>n</key><real>1.5</real>
<key>t</key><true/></dict></array></plist>)");
    const PropertyList decoded = decodePropertyList(xml);
    const auto* array = decoded.as<PropertyList::Array>();
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->size(), 1u);
    EXPECT_EQ(*(*array)[0].find("id")->as<std::string>(), "a/v1");
    EXPECT_EQ(*(*array)[0].find("n")->as<double>(), 1.5);
    EXPECT_EQ(*(*array)[0].find("t")->as<bool>(), true);
}

TEST(PropertyList, RefusesWhatIsNoPropertyList) {
    EXPECT_THROW(decodePropertyList({}), PropertyListError);
    EXPECT_THROW(decodePropertyList(bytesOf("hello, world")), PropertyListError);
    auto truncated = encodeBinaryPropertyList(sample());
    truncated.resize(truncated.size() / 2);
    EXPECT_THROW(decodePropertyList(truncated), PropertyListError);
    EXPECT_THROW(encodeBinaryPropertyList(PropertyList(std::string("a\0b", 3))), PropertyListError);
}

TEST(PropertyList, RefusesTextThatCannotComeBackWhole) {
    // libplist 2.2 asserts (aborting the process) on a NUL in a string or a key; it drops an
    // unpaired surrogate and gives bytes beyond ASCII back as they are.
    const std::vector<std::vector<std::uint8_t>> refused = {
        binaryList({utf16WithNul}),
        binaryList({{0xd1, 1, 2}, utf16WithNul, trueObject}),          // as a dictionary key
        binaryList({{0xa1, 1}, {0x53, 'a', 0, 'b'}}),                  // ASCII, in an array
        binaryList({{0x62, 0, 'a', 0xd8, 0x00}}),                      // high surrogate, then nothing
        binaryList({{0xd1, 1, 2}, {0x62, 0xdc, 0x00, 0, 'a'}, trueObject}), // lone low surrogate key
        binaryList({{0x52, 'a', 0xff}}),
        binaryList({{0x5f, 0x10, 0x09, 'a'}}),                         // longer than the file
    };
    for (const auto& bytes : refused) EXPECT_THROW(decodePropertyList(bytes), PropertyListError) << bytes.size();
    const std::string xml = std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a") + '\0' +
                            "b</key><true/></dict></plist>";
    EXPECT_THROW(decodePropertyList(bytesOf(xml)), PropertyListError);
    // The XML form passes bytes through: what is not UTF-8 is refused, as a value and as a key.
    for (const char* body : {"<string>x\x83\x83</string>", "<dict><key>\xed\xa0\x80</key><true/></dict>",
                             "<string>\xc0\xaf</string>"})
        EXPECT_THROW(decodePropertyList(bytesOf(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\">") + body +
                                                "</plist>")),
                     PropertyListError)
            << body;

    // What it can give back whole still reads: a surrogate pair, and text beside refused bytes.
    const auto pair = decodePropertyList(binaryList({{0xd1, 1, 2}, {0x62, 0xd8, 0x3d, 0xde, 0x00}, {0x51, 'x'}}));
    ASSERT_NE(pair.find("\xF0\x9F\x98\x80"), nullptr);
    EXPECT_EQ(*pair.find("\xF0\x9F\x98\x80")->as<std::string>(), "x");
    EXPECT_EQ(decodePropertyList(encodeBinaryPropertyList(sample())), sample());
}

TEST(PropertyList, ADateBeyondThirtyTwoBitSecondsIsRefusedNotChanged) {
    // libplist reads dates into 32-bit seconds: the year 2273 would come back as 1932.
    const auto date = [](double seconds) {
        std::vector<std::uint8_t> object = {0x33};
        const auto bits = std::bit_cast<std::uint64_t>(seconds);
        for (int i = 7; i >= 0; --i) object.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        return binaryList({object});
    };
    for (double seconds : {8.9e9, -3e9, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_THROW(decodePropertyList(date(seconds)), PropertyListError) << seconds;
    EXPECT_THROW(decodePropertyList(bytesOf("<?xml version=\"1.0\"?><plist version=\"1.0\"><date>2273-03-08T23:15:12Z</date></plist>")),
                 PropertyListError);
    EXPECT_THROW(decodePropertyList(date(-0.25)), PropertyListError); // its sign would be lost
    for (double seconds : {700000000.5, -26.491871, -700000000.25}) {
        const auto kept = decodePropertyList(date(seconds));
        ASSERT_NE(kept.as<PropertyListDate>(), nullptr);
        // libplist keeps whole microseconds, cut rather than rounded.
        EXPECT_NEAR(kept.as<PropertyListDate>()->secondsSinceReferenceDate, seconds, 2e-6) << seconds;
        const auto again = decodePropertyList(encodeBinaryPropertyList(kept));
        EXPECT_NEAR(again.as<PropertyListDate>()->secondsSinceReferenceDate, seconds, 3e-6) << seconds;
    }
}

TEST(PropertyList, AKeyWrittenTwiceKeepsItsLastValue) {
    // { "a": true, "b": false, "a": false } as a writer that does not check its keys makes it.
    const auto root = decodePropertyList(binaryList({{0xd3, 1, 2, 1, 3, 4, 4}, {0x51, 'a'}, {0x51, 'b'}, trueObject, {0x08}}));
    const auto* entries = root.as<PropertyList::Dictionary>();
    ASSERT_NE(entries, nullptr);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ(*root.find("a")->as<bool>(), false);
    EXPECT_EQ(decodePropertyList(encodeBinaryPropertyList(root)), root);
}

TEST(PropertyListDate, CountsFromTheStartOf2001) {
    using namespace std::chrono;
    const auto reference = sys_days{year{2001} / January / 1};
    EXPECT_DOUBLE_EQ(PropertyListDate::fromTimePoint(reference).secondsSinceReferenceDate, 0.0);
    EXPECT_DOUBLE_EQ(PropertyListDate::fromTimePoint(reference + hours(1)).secondsSinceReferenceDate, 3600.0);
    EXPECT_EQ(PropertyListDate{86400.25}.timePoint(), reference + days(1) + milliseconds(250));
}

// Python's plistlib is an independent reader and writer of the binary form.
TEST(PropertyList, InteroperatesWithPythonPlistlib) {
    testsupport::TempDir dir;
    const auto ours = dir / "ours.plist";
    const auto encoded = encodeBinaryPropertyList(sample());
    testsupport::writeFile(ours, std::string(encoded.begin(), encoded.end()));

    const auto read = nlohmann::json::parse(testsupport::runPython(R"(
import json, plistlib, sys, datetime
with open(sys.argv[1], 'rb') as f:
    v = plistlib.load(f)
v['when'] = (v['when'] - datetime.datetime(2001, 1, 1)).total_seconds()
v['blob'] = list(v['blob'])
print(json.dumps(v))
)",
                                                                   {ours.string()}));
    EXPECT_EQ(read["flag"], true);
    EXPECT_EQ(read["count"], 42);
    EXPECT_EQ(read["negative"], -7);
    EXPECT_EQ(read["big"], std::int64_t{1} << 40);
    EXPECT_EQ(read["third"], 1.0 / 3.0);
    EXPECT_EQ(read["name"], "数字人 name");
    EXPECT_DOUBLE_EQ(read["when"].get<double>(), 700000000.5);
    EXPECT_EQ(read["blob"], nlohmann::json::array({0, 1, 2, 255}));
    EXPECT_EQ(read["list"][1], 2.5);

    const auto theirs = dir / "theirs.plist";
    testsupport::runPython(R"(
import plistlib, sys, datetime
v = {'flag': True, 'negative': -123456789012, 'real': 0.1, 'text': '数字人',
     'when': datetime.datetime(2001, 1, 2, 0, 0, 30), 'blob': b'\x00\x7f', 'list': [1, 'x']}
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(v, f, fmt=plistlib.FMT_BINARY)
)",
                           {theirs.string()});
    const std::string bytes = testsupport::readFile(theirs);
    const PropertyList decoded = decodePropertyList(bytesOf(bytes));
    EXPECT_EQ(*decoded.find("flag")->as<bool>(), true);
    EXPECT_EQ(*decoded.find("negative")->as<std::int64_t>(), -123456789012);
    EXPECT_EQ(*decoded.find("real")->as<double>(), 0.1);
    EXPECT_EQ(*decoded.find("text")->as<std::string>(), "数字人");
    EXPECT_DOUBLE_EQ(decoded.find("when")->as<PropertyListDate>()->secondsSinceReferenceDate, 86430.0);
    EXPECT_EQ(*decoded.find("blob")->as<PropertyList::Data>(), (PropertyList::Data{0, 0x7f}));
    EXPECT_EQ(decoded.find("list")->as<PropertyList::Array>()->size(), 2u);
}

} // namespace
