#include "kit/io/ply_header.hpp"

#include <array>

namespace {

using Type = PLYHeader::PrimitivePropertyType;

struct TypeNames {
    Type type;
    std::string_view longName;
    std::string_view shortName;
    std::size_t width;
};

constexpr std::array<TypeNames, 8> kTypes{{
    {Type::int8, "int8", "char", 1},
    {Type::uint8, "uint8", "uchar", 1},
    {Type::int16, "int16", "short", 2},
    {Type::uint16, "uint16", "ushort", 2},
    {Type::int32, "int32", "int", 4},
    {Type::uint32, "uint32", "uint", 4},
    {Type::float32, "float32", "float", 4},
    {Type::float64, "float64", "double", 8},
}};

const TypeNames& names(Type type) { return kTypes[static_cast<std::size_t>(type)]; }

} // namespace

std::optional<PLYHeader::PrimitivePropertyType> PLYHeader::primitivePropertyType(std::string_view name) {
    for (const auto& entry : kTypes)
        if (entry.longName == name || entry.shortName == name) return entry.type;
    return std::nullopt;
}

std::string_view PLYHeader::description(PrimitivePropertyType type) { return names(type).shortName; }

std::size_t PLYHeader::byteWidth(PrimitivePropertyType type) { return names(type).width; }

bool PLYHeader::isInteger(PrimitivePropertyType type) {
    return type != PrimitivePropertyType::float32 && type != PrimitivePropertyType::float64;
}

std::string PLYHeader::PropertyType::description() const {
    if (const auto* type = primitive()) return std::string(PLYHeader::description(*type));
    const auto& l = *list();
    return std::string(PLYHeader::description(l.countType)) + " " + std::string(PLYHeader::description(l.valueType));
}

std::string PLYHeader::Property::description() const {
    return "property " + type.description() + " " + name + "\n";
}

std::optional<std::size_t> PLYHeader::Element::index(std::string_view propertyName) const {
    for (std::size_t i = 0; i < properties.size(); ++i)
        if (properties[i].name == propertyName) return i;
    return std::nullopt;
}

std::string PLYHeader::Element::description() const {
    std::string text = "element " + name + " " + std::to_string(count) + "\n";
    for (const auto& property : properties) text += property.description();
    return text;
}

std::optional<std::size_t> PLYHeader::index(std::string_view elementName) const {
    for (std::size_t i = 0; i < elements.size(); ++i)
        if (elements[i].name == elementName) return i;
    return std::nullopt;
}

std::string PLYHeader::description() const {
    std::string text = "ply\nformat " + std::string(toRaw(format)) + " " + version + "\n";
    for (const auto& element : elements) text += element.description();
    return text;
}
