#include "kit/io/ply_reader_error.hpp"

namespace MivoKit {

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// "<what> for property <name> in element <name>, index <index>"
std::string propertyInElement(const std::string& what, const PLYHeader::Element& element, std::size_t index,
                              const PLYHeader::Property& property) {
    return what + " for property " + property.name + " in element " + element.name + ", index " + std::to_string(index);
}

} // namespace

using E = PLYReaderError;

E E::cannotOpenSource(const std::filesystem::path& url) {
    return {Code::cannotOpenSource, "Cannot open source file at " + url.string(), url};
}
E E::readError(const std::filesystem::path& url) { return {Code::readError, "Error while reading " + url.string(), url}; }
E E::headerUnknownKeyword(const std::string& keyword) {
    return {Code::headerUnknownKeyword, "Unknown keyword in header: " + quoted(keyword), keyword};
}
E E::headerUnexpectedKeyword(const std::string& keyword) {
    return {Code::headerUnexpectedKeyword, "Unexpected keyword in header: " + quoted(keyword), keyword};
}
E E::headerInvalidLine(const std::string& line) {
    return {Code::headerInvalidLine, "Invalid line in header: " + quoted(line), line};
}
E E::headerInvalidFileFormatType(const std::string& format) {
    return {Code::headerInvalidFileFormatType, "Invalid file format type in header: " + format, format};
}
E E::headerUnknownPropertyType(const std::string& type) {
    return {Code::headerUnknownPropertyType, "Unknown property type: " + type, type};
}
E E::headerInvalidListCountType(const std::string& type) {
    return {Code::headerInvalidListCountType, "Invalid list count type: " + type, type};
}
E E::bodyInvalidStringForPropertyType(const PLYHeader::Element& element, std::size_t index,
                                      const PLYHeader::Property& property) {
    return {Code::bodyInvalidStringForPropertyType, propertyInElement("Invalid type string", element, index, property),
            BodyLocation{element, index, property}};
}
E E::bodyMissingPropertyValuesInElement(const PLYHeader::Element& element, std::size_t index,
                                        const PLYHeader::Property& property) {
    return {Code::bodyMissingPropertyValuesInElement, propertyInElement("Missing values", element, index, property),
            BodyLocation{element, index, property}};
}
E E::bodyUnexpectedValuesInElement(const PLYHeader::Element& element, std::size_t index) {
    return {Code::bodyUnexpectedValuesInElement,
            "Unexpected values in element " + element.name + ", index " + std::to_string(index),
            BodyLocation{element, index, std::nullopt}};
}
E E::unexpectedEndOfFile(const std::filesystem::path& url) {
    return {Code::unexpectedEndOfFile, "Unexpected end-of-file while reading " + url.string(), url};
}
E E::headerStartMissing() { return {Code::headerStartMissing, "Header start missing", {}}; }
E E::headerEndMissing() { return {Code::headerEndMissing, "Header end missing", {}}; }
E E::headerFormatMissing() { return {Code::headerFormatMissing, "Header format missing", {}}; }
E E::headerInvalidCharacters() { return {Code::headerInvalidCharacters, "Invalid characters in header", {}}; }
E E::internalConsistency() { return {Code::internalConsistency, "Internal error in PLYReader", {}}; }

} // namespace MivoKit
