#include "kit/model/json_values.hpp"

#include "kit/model/number_text.hpp"

#include <charconv>
#include <cmath>

namespace MivoKit {

namespace json_values {
namespace {

// Never destroyed, like every static that background work reads: a file may be decoded on a
// background task while the process exits.
const json& nullValue() {
    static const json* null = new json();
    return *null;
}

const json& emptyArray() {
    static const json* empty = new json(json::array());
    return *empty;
}

[[noreturn]] void fail(std::string_view what, std::string_view expected, const json& value) {
    throw JsonDecodeError(std::string(what) + ": expected " + std::string(expected) + ", found " +
                          (value.is_null() ? std::string("null") : std::string(value.type_name())));
}

} // namespace

std::optional<double> parseDecimal(std::string_view text) { return number_text::parseDouble(text); }

double lenientNumber(const json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
    if (value.is_string()) return parseDecimal(value.get_ref<const std::string&>()).value_or(0.0);
    return 0.0;
}

std::optional<double> optionalNumber(const json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
    return std::nullopt;
}

const json& member(const json& value, std::string_view key) {
    if (!value.is_object()) return nullValue();
    auto it = value.find(key);
    return it == value.end() ? nullValue() : *it;
}

const json& element(const json& value, std::size_t index) {
    if (!value.is_array() || index >= value.size()) return nullValue();
    return value[index];
}

const json& arrayView(const json& value) { return value.is_array() ? value : emptyArray(); }

const json& requireMember(const json& object, std::string_view key) {
    if (!object.is_object()) fail(key, "an object holding it", object);
    auto it = object.find(key);
    if (it == object.end()) throw JsonDecodeError("missing key \"" + std::string(key) + "\"");
    if (it->is_null()) throw JsonDecodeError("key \"" + std::string(key) + "\" is null");
    return *it;
}

void requireObject(const json& value, std::string_view what) {
    if (!value.is_object()) fail(what, "object", value);
}

std::string decodeString(const json& value, std::string_view what) {
    if (!value.is_string()) fail(what, "string", value);
    return value.get<std::string>();
}

bool decodeBool(const json& value, std::string_view what) {
    if (!value.is_boolean()) fail(what, "boolean", value);
    return value.get<bool>();
}

double decodeDouble(const json& value, std::string_view what) {
    if (!value.is_number()) fail(what, "number", value);
    return value.get<double>();
}

float decodeFloat(const json& value, std::string_view what) {
    double d = decodeDouble(value, what);
    // Halfway between the largest float and 2^128 a number rounds to infinity. Anything below
    // rounds to a finite float, including the shortest text of the largest floats ("3.4028235e+38"
    // is a little past the largest float).
    constexpr double roundsToInfinity = 0x1.ffffffp127;
    if (!std::isfinite(d) || std::fabs(d) >= roundsToInfinity)
        throw JsonDecodeError(std::string(what) + ": number does not fit in a 32-bit float");
    return static_cast<float>(d);
}

std::vector<float> decodeFloatArray(const json& value, std::string_view what) {
    if (!value.is_array()) fail(what, "array", value);
    std::vector<float> out;
    out.reserve(value.size());
    for (const auto& v : value) out.push_back(decodeFloat(v, what));
    return out;
}

std::vector<double> decodeDoubleArray(const json& value, std::string_view what) {
    if (!value.is_array()) fail(what, "array", value);
    std::vector<double> out;
    out.reserve(value.size());
    for (const auto& v : value) out.push_back(decodeDouble(v, what));
    return out;
}

std::vector<std::string> decodeStringArray(const json& value, std::string_view what) {
    if (!value.is_array()) fail(what, "array", value);
    std::vector<std::string> out;
    out.reserve(value.size());
    for (const auto& v : value) out.push_back(decodeString(v, what));
    return out;
}

double encodeFloat(float value) {
    if (!std::isfinite(value)) return static_cast<double>(value);
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    double d = 0;
    std::from_chars(buf, res.ptr, d);
    return d;
}

std::optional<json> parse(std::string_view bytes, std::string* error) {
    try {
        return json::parse(bytes.begin(), bytes.end());
    } catch (const json::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

} // namespace json_values

} // namespace MivoKit
