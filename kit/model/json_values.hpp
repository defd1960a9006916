#pragma once
// Shared JSON helpers over nlohmann::json.
//
// Lenient reading (character files, idle frames, head-model companions): numbers, booleans and
// numeric strings become numbers, anything else 0; non-arrays read as empty lists.
// Strict decoding (character description, coded records): a value of the wrong JSON type, a missing
// key or null fails with JsonDecodeError; a number that does not round to a finite 32-bit float
// fails a float (so every finite float reads back from the text encodeFloat gives it).
// Encoding uses ordered_json so keys keep the order they are written in.

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace json_values {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

class JsonDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- lenient views ----

// A number as is; true 1, false 0; a string holding a decimal number as that number; else 0.
double lenientNumber(const json& value);
// Numbers and booleans only (true 1, false 0); anything else none.
std::optional<double> optionalNumber(const json& value);
// Member `key` of an object, or null when absent or not an object.
const json& member(const json& value, std::string_view key);
// Element `index` of an array, or null when absent or not an array.
const json& element(const json& value, std::size_t index);
// The array itself, or an empty array for anything else.
const json& arrayView(const json& value);

// A string holding a decimal number (C locale, whole text consumed, no surrounding space).
std::optional<double> parseDecimal(std::string_view text);

// ---- strict decoding ----

const json& requireMember(const json& object, std::string_view key);
std::string decodeString(const json& value, std::string_view what);
bool decodeBool(const json& value, std::string_view what);
float decodeFloat(const json& value, std::string_view what);
double decodeDouble(const json& value, std::string_view what);
std::vector<float> decodeFloatArray(const json& value, std::string_view what);
std::vector<double> decodeDoubleArray(const json& value, std::string_view what);
std::vector<std::string> decodeStringArray(const json& value, std::string_view what);
void requireObject(const json& value, std::string_view what);

// ---- encoding ----

// The double whose shortest text equals the float's shortest text (0.1f is written as 0.1).
double encodeFloat(float value);

// Parses bytes as JSON; nullopt (with the parser's message in `error`) on failure.
std::optional<json> parse(std::string_view bytes, std::string* error = nullptr);

} // namespace json_values

} // namespace MivoKit
