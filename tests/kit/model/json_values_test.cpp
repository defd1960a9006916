#include "kit/model/json_values.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using namespace MivoKit;

using namespace json_values;

TEST(JsonValues, LenientNumbers) {
    EXPECT_EQ(lenientNumber(json(2.5)), 2.5);
    EXPECT_EQ(lenientNumber(json(true)), 1.0);
    EXPECT_EQ(lenientNumber(json(false)), 0.0);
    EXPECT_EQ(lenientNumber(json("0.25")), 0.25);
    EXPECT_EQ(lenientNumber(json("-1e3")), -1000.0);
    EXPECT_EQ(lenientNumber(json("abc")), 0.0);
    EXPECT_EQ(lenientNumber(json("1.5x")), 0.0);
    EXPECT_EQ(lenientNumber(json(" 1")), 0.0);
    EXPECT_EQ(lenientNumber(json("")), 0.0);
    EXPECT_EQ(lenientNumber(json()), 0.0);
    EXPECT_EQ(lenientNumber(json::array({1})), 0.0);
    EXPECT_EQ(optionalNumber(json(true)), 1.0);
    EXPECT_FALSE(optionalNumber(json("1")));
    EXPECT_FALSE(optionalNumber(json()));
}

TEST(JsonValues, DecimalStringsIgnoreTheApplicationLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    EXPECT_EQ(parseDecimal("0.5"), 0.5);
    EXPECT_FALSE(parseDecimal("0,5"));
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(JsonValues, StrictDecodingRefusesOtherTypes) {
    EXPECT_THROW(decodeFloat(json(true), "x"), JsonDecodeError);
    EXPECT_THROW(decodeFloat(json("1"), "x"), JsonDecodeError);
    EXPECT_THROW(decodeFloat(json(1e40), "x"), JsonDecodeError);
    EXPECT_EQ(decodeFloat(json(3), "x"), 3.0f);
    EXPECT_EQ(decodeFloat(json(-3.4e38), "x"), -3.4e38f);
    EXPECT_THROW(decodeBool(json(1), "x"), JsonDecodeError);
    EXPECT_THROW(decodeString(json(1), "x"), JsonDecodeError);
    EXPECT_THROW(decodeFloatArray(json::array({1, "2"}), "x"), JsonDecodeError);
    EXPECT_THROW(requireMember(json::object({{"a", nullptr}}), "a"), JsonDecodeError);
    EXPECT_THROW(requireMember(json::object(), "a"), JsonDecodeError);
}

TEST(JsonValues, FloatsAreWrittenInTheirShortestForm) {
    ordered_json j = ordered_json::object();
    j["a"] = encodeFloat(0.1f);
    j["b"] = encodeFloat(0.86466163f);
    j["c"] = encodeFloat(3.0f);
    EXPECT_EQ(j.dump(), R"({"a":0.1,"b":0.86466163,"c":3.0})");
    EXPECT_EQ(static_cast<float>(encodeFloat(0.86466163f)), 0.86466163f);
}

TEST(JsonValues, EveryFiniteFloatReadsBackFromItsShortestText) {
    // The shortest text of the largest floats names a number just past the largest float; it
    // still rounds to that float, so a strict decode must take it back.
    constexpr float largest = std::numeric_limits<float>::max();
    for (float value : {largest, -largest, std::nextafter(largest, 0.0f), std::numeric_limits<float>::denorm_min(),
                        -std::numeric_limits<float>::min()}) {
        const auto text = json(encodeFloat(value)).dump();
        EXPECT_EQ(decodeFloat(json::parse(text), "x"), value) << text;
    }
    EXPECT_EQ(decodeFloat(json(0x1.fffffefffffffp127), "x"), largest);
    // Halfway to 2^128 and beyond, a number rounds to infinity: out of range.
    EXPECT_THROW(decodeFloat(json(0x1.ffffffp127), "x"), JsonDecodeError);
    EXPECT_THROW(decodeFloat(json(-0x1.ffffffp127), "x"), JsonDecodeError);
}
