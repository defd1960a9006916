#pragma once
// Stand-in for the platform's property-list coding: a property-list value tree and its binary
// encoding, over libplist. Decoding accepts the binary and the XML form.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace MivoKit {

namespace platform::files {

class PropertyListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A property-list date: seconds since 1 January 2001, 00:00:00 UTC.
struct PropertyListDate {
    double secondsSinceReferenceDate = 0;

    static PropertyListDate fromTimePoint(std::chrono::system_clock::time_point time);
    std::chrono::system_clock::time_point timePoint() const;
    friend bool operator==(const PropertyListDate&, const PropertyListDate&) = default;
};

class PropertyList {
public:
    using Data = std::vector<std::uint8_t>;
    using Array = std::vector<PropertyList>;
    // Keys are unique; the order is the order the entries were added in.
    using Dictionary = std::vector<std::pair<std::string, PropertyList>>;
    using Value = std::variant<bool, std::int64_t, double, std::string, PropertyListDate, Data, Array, Dictionary>;

    PropertyList() : value_(Dictionary{}) {}
    PropertyList(bool v) : value_(v) {}
    PropertyList(std::int64_t v) : value_(v) {}
    PropertyList(double v) : value_(v) {}
    PropertyList(std::string v) : value_(std::move(v)) {}
    PropertyList(const char* v) : value_(std::string(v)) {}
    PropertyList(PropertyListDate v) : value_(v) {}
    PropertyList(Data v) : value_(std::move(v)) {}
    PropertyList(Array v) : value_(std::move(v)) {}
    PropertyList(Dictionary v) : value_(std::move(v)) {}

    const Value& value() const { return value_; }

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(value_);
    }
    // The value as T, or nullptr when it holds another type.
    template <class T>
    const T* as() const {
        return std::get_if<T>(&value_);
    }

    // The entry `key` of a dictionary; nullptr when absent or when this is no dictionary.
    const PropertyList* find(std::string_view key) const;
    // Adds or replaces the entry `key` (this must be a dictionary).
    void set(std::string key, PropertyList value);

    friend bool operator==(const PropertyList&, const PropertyList&) = default;

private:
    Value value_;
};

// The binary form ("bplist00"). Throws PropertyListError when libplist cannot encode it.
std::vector<std::uint8_t> encodeBinaryPropertyList(const PropertyList& root);
// A binary or XML property list. Throws PropertyListError for anything else (including an empty
// input, unsupported value types and integers beyond the signed 64-bit range).
PropertyList decodePropertyList(std::span<const std::uint8_t> bytes);

} // namespace platform::files

} // namespace MivoKit
