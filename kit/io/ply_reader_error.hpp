#pragma once
// The one error type of the PLY reader: header, body and stream failures alike. Each case carries
// its payload and an English description.

#include "kit/io/ply_header.hpp"
#include "kit/model/typed_error.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace MivoKit {

enum class PLYReaderErrorCode {
    cannotOpenSource,
    readError,
    headerUnknownKeyword,
    headerUnexpectedKeyword,
    headerInvalidLine,
    headerInvalidFileFormatType,
    headerUnknownPropertyType,
    headerInvalidListCountType,
    bodyInvalidStringForPropertyType,
    bodyMissingPropertyValuesInElement,
    bodyUnexpectedValuesInElement,
    unexpectedEndOfFile,
    headerStartMissing,
    headerEndMissing, // kept for completeness: a header that never ends reads as unexpectedEndOfFile
    headerFormatMissing,
    headerInvalidCharacters,
    internalConsistency,
};

class PLYReaderError : public TypedError<PLYReaderErrorCode> {
public:
    using Code = PLYReaderErrorCode;

    // Where in the body a value failed: the element group's declaration, its index in the header
    // (the type index, not the instance number) and the property, when one is named.
    struct BodyLocation {
        PLYHeader::Element element;
        std::size_t index = 0;
        std::optional<PLYHeader::Property> property;
    };
    using Payload = std::variant<std::monostate, std::filesystem::path, std::string, BodyLocation>;

    static PLYReaderError cannotOpenSource(const std::filesystem::path& url);
    static PLYReaderError readError(const std::filesystem::path& url);
    static PLYReaderError headerUnknownKeyword(const std::string& keyword);
    static PLYReaderError headerUnexpectedKeyword(const std::string& keyword);
    static PLYReaderError headerInvalidLine(const std::string& line);
    static PLYReaderError headerInvalidFileFormatType(const std::string& format);
    static PLYReaderError headerUnknownPropertyType(const std::string& type);
    static PLYReaderError headerInvalidListCountType(const std::string& type);
    static PLYReaderError bodyInvalidStringForPropertyType(const PLYHeader::Element& element, std::size_t index,
                                                           const PLYHeader::Property& property);
    static PLYReaderError bodyMissingPropertyValuesInElement(const PLYHeader::Element& element, std::size_t index,
                                                             const PLYHeader::Property& property);
    static PLYReaderError bodyUnexpectedValuesInElement(const PLYHeader::Element& element, std::size_t index);
    static PLYReaderError unexpectedEndOfFile(const std::filesystem::path& url);
    static PLYReaderError headerStartMissing();
    static PLYReaderError headerEndMissing();
    static PLYReaderError headerFormatMissing();
    static PLYReaderError headerInvalidCharacters();
    static PLYReaderError internalConsistency();

    const Payload& payload() const { return payload_; }

private:
    PLYReaderError(Code code, const std::string& description, Payload payload)
        : TypedError(code, description), payload_(std::move(payload)) {}

    Payload payload_;
};

} // namespace MivoKit
