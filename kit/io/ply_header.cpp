#include "kit/io/ply_header.hpp"

#include <array>

namespace MivoKit {

namespace {

using Type = PLYHeader::PrimitivePropertyType;

struct TypeNames {
    Type type;
    std::string_view longName;
    std::string_view shortName;
};

constexpr std::array<TypeNames, 8> kTypes{{
    {Type::int8, "int8", "char"},
    {Type::uint8, "uint8", "uchar"},
    {Type::int16, "int16", "short"},
    {Type::uint16, "uint16", "ushort"},
    {Type::int32, "int32", "int"},
    {Type::uint32, "uint32", "uint"},
    {Type::float32, "float32", "float"},
    {Type::float64, "float64", "double"},
}};

const TypeNames& names(Type type) { return kTypes[static_cast<std::size_t>(type)]; }

} // namespace

std::optional<PLYHeader::PrimitivePropertyType> PLYHeader::primitivePropertyType(std::string_view name) {
    for (const auto& entry : kTypes)
        if (entry.longName == name || entry.shortName == name) return entry.type;
    return std::nullopt;
}

std::string_view PLYHeader::description(PrimitivePropertyType type) { return names(type).shortName; }

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

} // namespace MivoKit
