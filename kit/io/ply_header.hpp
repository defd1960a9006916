#pragma once
// The header of a PLY file: its body format, version and element groups with typed properties.
// A group's position in `elements` is its type index, used by body decoding and the reader's
// delegate.

#include "kit/model/raw_value.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace MivoKit {

struct PLYHeader {
    enum class Format { ascii, binaryLittleEndian, binaryBigEndian };

    // Eight scalar types; the first six are integers (the only valid list count types).
    enum class PrimitivePropertyType { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

    // A type named in a header by either of its names ("int8" or "char", ..., "float64" or
    // "double"), matched exactly; none for anything else.
    static std::optional<PrimitivePropertyType> primitivePropertyType(std::string_view name);
    // The short name ("char", "uchar", ..., "float", "double").
    static std::string_view description(PrimitivePropertyType type);
    // Bytes one value occupies in a binary body.
    static constexpr std::size_t byteWidth(PrimitivePropertyType type) {
        switch (type) {
        case PrimitivePropertyType::int8:
        case PrimitivePropertyType::uint8: return 1;
        case PrimitivePropertyType::int16:
        case PrimitivePropertyType::uint16: return 2;
        case PrimitivePropertyType::int32:
        case PrimitivePropertyType::uint32:
        case PrimitivePropertyType::float32: return 4;
        case PrimitivePropertyType::float64: return 8;
        }
        return 8;
    }
    static constexpr bool isInteger(PrimitivePropertyType type) {
        return type != PrimitivePropertyType::float32 && type != PrimitivePropertyType::float64;
    }

    // A variable-length list per instance: a count of `countType`, then that many `valueType`s.
    struct ListType {
        PrimitivePropertyType countType;
        PrimitivePropertyType valueType;
        friend bool operator==(const ListType&, const ListType&) = default;
    };

    // Either one scalar per instance or a list.
    struct PropertyType : std::variant<PrimitivePropertyType, ListType> {
        using variant::variant;
        // The primitive type's short name, or the list's count and value type names.
        std::string description() const;
        const PrimitivePropertyType* primitive() const { return std::get_if<PrimitivePropertyType>(this); }
        const ListType* list() const { return std::get_if<ListType>(this); }
        friend bool operator==(const PropertyType& a, const PropertyType& b) {
            return static_cast<const variant&>(a) == static_cast<const variant&>(b);
        }
    };

    struct Property {
        std::string name;
        PropertyType type;
        // "property <type> <name>\n"
        std::string description() const;
        friend bool operator==(const Property&, const Property&) = default;
    };

    struct Element {
        std::string name;
        std::uint32_t count = 0;
        std::vector<Property> properties;

        // The first property named exactly `propertyName`.
        std::optional<std::size_t> index(std::string_view propertyName) const;
        // "element <name> <count>\n" and the properties' descriptions.
        std::string description() const;
        friend bool operator==(const Element&, const Element&) = default;
    };

    Format format = Format::ascii;
    std::string version;
    std::vector<Element> elements;

    // The first element group named exactly `elementName`.
    std::optional<std::size_t> index(std::string_view elementName) const;
    // "ply\n", "format <format> <version>\n" and the elements' descriptions; no "end_header".
    std::string description() const;
    friend bool operator==(const PLYHeader&, const PLYHeader&) = default;
};

template <>
struct RawValues<PLYHeader::Format> {
    static constexpr std::array<std::pair<PLYHeader::Format, std::string_view>, 3> table{{
        {PLYHeader::Format::ascii, "ascii"},
        {PLYHeader::Format::binaryLittleEndian, "binary_little_endian"},
        {PLYHeader::Format::binaryBigEndian, "binary_big_endian"},
    }};
};

} // namespace MivoKit
