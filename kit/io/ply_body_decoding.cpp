// Body decoding of PLYReaderStream: ASCII lines and packed binary instances.

#include "kit/io/byte_order.hpp"
#include "kit/model/number_text.hpp"
#include "kit/io/ply_reader_stream.hpp"

#include <algorithm>

namespace MivoKit {

namespace {

using Type = PLYHeader::PrimitivePropertyType;

// Calls f.template operator()<T>() with the C++ type of `type`.
template <class F>
decltype(auto) withType(Type type, F&& f) {
    switch (type) {
    case Type::int8: return f.template operator()<std::int8_t>();
    case Type::uint8: return f.template operator()<std::uint8_t>();
    case Type::int16: return f.template operator()<std::int16_t>();
    case Type::uint16: return f.template operator()<std::uint16_t>();
    case Type::int32: return f.template operator()<std::int32_t>();
    case Type::uint32: return f.template operator()<std::uint32_t>();
    case Type::float32: return f.template operator()<float>();
    case Type::float64: break;
    }
    return f.template operator()<double>();
}

// The list value held by `slot`, reusing its storage when it already holds a list of T.
template <class T>
std::vector<T>& listSlot(PLYElement::Property& slot) {
    if (auto* list = std::get_if<std::vector<T>>(&slot)) return *list;
    return slot.emplace<std::vector<T>>();
}

template <class T>
std::optional<T> parseToken(std::string_view token) {
    if constexpr (std::same_as<T, float>) return number_text::parseFloat(token);
    else if constexpr (std::same_as<T, double>) return number_text::parseDouble(token);
    else return number_text::parseInteger<T>(token);
}

// Tokens of one ASCII line: runs of bytes between space bytes (0x20); any other byte, a tab
// included, belongs to a token.
class LineTokens {
public:
    explicit LineTokens(std::string_view line) : line_(line) {}

    std::optional<std::string_view> next() {
        while (position_ < line_.size() && line_[position_] == ' ') ++position_;
        if (position_ == line_.size()) return std::nullopt;
        std::size_t start = position_;
        while (position_ < line_.size() && line_[position_] != ' ') ++position_;
        return line_.substr(start, position_ - start);
    }

    // An upper bound of the tokens left: each needs a byte and all but the last a separator.
    std::size_t maximumRemaining() const { return (line_.size() - position_ + 1) / 2; }

private:
    std::string_view line_;
    std::size_t position_ = 0;
};

} // namespace

bool PLYReaderStream::complete() const { return header && currentElementGroup == header->elements.size(); }

bool PLYReaderStream::skipToGroupWithInstances() {
    const auto& elements = header->elements;
    while (currentElementGroup < elements.size() && elements[currentElementGroup].count == 0) ++currentElementGroup;
    return currentElementGroup < elements.size();
}

void PLYReaderStream::deliverAndAdvance() {
    const auto& group = header->elements[currentElementGroup];
    delegate_.didRead(reusableElement, currentElementGroup, group);
    if (++currentElementCountInGroup == group.count) {
        ++currentElementGroup;
        currentElementCountInGroup = 0;
    }
}

void PLYReaderStream::parseBody(bool final) {
    if (!header) throw PLYReaderError::internalConsistency();
    std::span<const std::uint8_t> region(body.data() + std::min(bodyOffset, body.size()),
                                         body.size() - std::min(bodyOffset, body.size()));
    if (header->format == PLYHeader::Format::ascii) readASCIIElements(region, final);
    else readBinaryElements(region, header->format == PLYHeader::Format::binaryBigEndian);
}

// ---- ASCII ----

void PLYReaderStream::readASCIIElements(std::span<const std::uint8_t> region, bool final) {
    const char* text = reinterpret_cast<const char*>(region.data());
    std::size_t size = region.size();
    std::size_t p = 0;
    while (skipToGroupWithInstances() && p < size) {
        const char* start = text + p;
        // The bytes of an incomplete line were searched by the previous call; a long line is
        // therefore scanned once, not once per chunk.
        const char* searchFrom = start + std::min(incompleteLineScanned_, size - p);
        const char* end = std::find_if(searchFrom, text + size, [](char c) { return c == '\n' || c == '\r'; });
        std::size_t next;
        if (end != text + size) {
            next = static_cast<std::size_t>(end - text) + 1; // exactly one terminator byte
        } else {
            incompleteLineScanned_ = size - p;
            if (!final) return; // the line is not complete yet
            next = size;
        }
        incompleteLineScanned_ = 0;
        std::string_view line(start, static_cast<std::size_t>(end - start));
        bodyOffset += next - p;
        p = next;
        if (line.empty()) continue;
        parseASCIIElement(line, header->elements[currentElementGroup]);
        deliverAndAdvance();
    }
}

void PLYReaderStream::parseASCIIElement(std::string_view line, const PLYHeader::Element& declaration) {
    auto& values = reusableElement.properties;
    if (values.size() != declaration.properties.size()) values.resize(declaration.properties.size());
    const std::size_t typeIndex = currentElementGroup;

    LineTokens tokens(line);
    for (std::size_t i = 0; i < declaration.properties.size(); ++i) {
        const auto& property = declaration.properties[i];
        auto missing = [&] { return PLYReaderError::bodyMissingPropertyValuesInElement(declaration, typeIndex, property); };
        auto invalid = [&] { return PLYReaderError::bodyInvalidStringForPropertyType(declaration, typeIndex, property); };

        auto token = tokens.next();
        if (!token) throw missing();

        if (const auto* type = property.type.primitive()) {
            bool ok = withType(*type, [&]<class T>() {
                auto value = parseToken<T>(*token);
                if (value) values[i] = *value;
                return value.has_value();
            });
            if (!ok) throw invalid();
            continue;
        }

        const auto& list = *property.type.list();
        auto count = withType(list.countType, [&]<class T>() -> std::optional<std::int64_t> {
            auto value = parseToken<T>(*token);
            if (!value) return std::nullopt;
            return static_cast<std::int64_t>(*value);
        });
        if (!count || *count < 0) throw invalid();
        withType(list.valueType, [&]<class T>() {
            auto& items = listSlot<T>(values[i]);
            items.clear();
            // A count larger than the line can hold ends in a missing value below; never reserve
            // more than the line's tokens.
            items.reserve(std::min<std::uint64_t>(static_cast<std::uint64_t>(*count), tokens.maximumRemaining()));
            for (std::int64_t k = 0; k < *count; ++k) {
                auto item = tokens.next();
                if (!item) throw missing();
                auto value = parseToken<T>(*item);
                if (!value) throw invalid();
                items.push_back(*value);
            }
        });
    }
    if (tokens.next()) throw PLYReaderError::bodyUnexpectedValuesInElement(declaration, typeIndex);
}

// ---- binary ----

const PLYReaderStream::GroupLayout& PLYReaderStream::layout(std::size_t group) {
    if (layouts_.size() != header->elements.size()) {
        layouts_.clear();
        for (const auto& element : header->elements) {
            GroupLayout l{std::size_t{0}, {}};
            for (const auto& property : element.properties) {
                if (const auto* type = property.type.primitive()) {
                    l.types.push_back(*type);
                    if (l.fixedSize) *l.fixedSize += PLYHeader::byteWidth(*type);
                } else {
                    l.fixedSize.reset();
                }
            }
            layouts_.push_back(std::move(l));
        }
    }
    return layouts_[group];
}

void PLYReaderStream::readBinaryElements(std::span<const std::uint8_t> region, bool bigEndian) {
    std::size_t p = 0;
    while (skipToGroupWithInstances()) {
        // Instances without properties take no bytes: when nobody listens, pass the whole group.
        if (interest_ && header->elements[currentElementGroup].properties.empty() &&
            !interest_->wantsElements(currentElementGroup)) {
            ++currentElementGroup;
            currentElementCountInGroup = 0;
            continue;
        }
        const auto& group = header->elements[currentElementGroup];
        const auto& groupLayout = layout(currentElementGroup);
        if (rows_ && groupLayout.fixedSize && *groupLayout.fixedSize > 0 && rows_->wantsRows(currentElementGroup)) {
            // Every whole row buffered, in one call.
            const std::size_t rowSize = *groupLayout.fixedSize;
            const std::size_t count =
                std::min<std::size_t>((region.size() - p) / rowSize, group.count - currentElementCountInGroup);
            if (count == 0) return; // wait for the rest of the row
            const std::size_t bytes = count * rowSize;
            const std::size_t typeIndex = currentElementGroup;
            bodyOffset += bytes;
            currentElementCountInGroup += count;
            if (currentElementCountInGroup == group.count) {
                ++currentElementGroup;
                currentElementCountInGroup = 0;
            }
            rows_->didReadRows(typeIndex, region.subspan(p, bytes), rowSize);
            p += bytes;
            continue;
        }
        auto size = readBinaryElement(region.subspan(p), group, bigEndian);
        if (!size) return; // wait for the rest of the instance
        bodyOffset += *size;
        p += *size;
        deliverAndAdvance();
    }
}

std::optional<std::size_t> PLYReaderStream::readBinaryElement(std::span<const std::uint8_t> bytes,
                                                              const PLYHeader::Element& declaration, bool bigEndian) {
    auto& values = reusableElement.properties;
    if (values.size() != declaration.properties.size()) values.resize(declaration.properties.size());

    const std::uint8_t* data = bytes.data();
    const std::size_t available = bytes.size();

    // All scalars and all bytes present: no per-value size checks.
    const auto& fixed = layout(currentElementGroup);
    if (fixed.fixedSize && available >= *fixed.fixedSize) {
        std::size_t offset = 0;
        for (std::size_t i = 0; i < fixed.types.size(); ++i) {
            const auto type = fixed.types[i];
            if (type == Type::float32) {
                // The common case: overwrite the float in place.
                float value = byte_order::read<float>(data, offset, bigEndian);
                if (auto* slot = std::get_if<float>(&values[i])) *slot = value;
                else values[i] = value;
            } else {
                withType(type, [&]<class T>() { values[i] = byte_order::read<T>(data, offset, bigEndian); });
            }
            offset += PLYHeader::byteWidth(type);
        }
        return offset;
    }

    std::size_t cursor = 0;
    for (std::size_t i = 0; i < declaration.properties.size(); ++i) {
        const auto& property = declaration.properties[i];
        if (const auto* type = property.type.primitive()) {
            std::size_t width = PLYHeader::byteWidth(*type);
            if (available - cursor < width) return std::nullopt;
            withType(*type, [&]<class T>() { values[i] = byte_order::read<T>(data, cursor, bigEndian); });
            cursor += width;
            continue;
        }

        const auto& list = *property.type.list();
        const std::size_t countWidth = PLYHeader::byteWidth(list.countType);
        if (available - cursor < countWidth) return std::nullopt;
        std::int64_t count = withType(list.countType, [&]<class T>() -> std::int64_t {
            if constexpr (std::floating_point<T>) return -1; // the header parser admits integer counts only
            else return static_cast<std::int64_t>(byte_order::read<T>(data, cursor, bigEndian));
        });
        if (count < 0)
            throw PLYReaderError::bodyInvalidStringForPropertyType(declaration, currentElementGroup, property);
        // At most 2^32 - 1 values of at most 8 bytes: the size fits in 64 bits.
        const std::uint64_t valueBytes = static_cast<std::uint64_t>(count) * PLYHeader::byteWidth(list.valueType);
        if (static_cast<std::uint64_t>(available - cursor) < countWidth + valueBytes) return std::nullopt;
        cursor += countWidth;
        withType(list.valueType, [&]<class T>() {
            auto& items = listSlot<T>(values[i]);
            items.resize(static_cast<std::size_t>(count));
            byte_order::readArray<T>(data, cursor, std::span<T>(items), bigEndian);
        });
        cursor += static_cast<std::size_t>(valueBytes);
    }
    return cursor;
}

} // namespace MivoKit
