#include "kit/io/ply_header_parser.hpp"

#include "kit/model/number_text.hpp"
#include "kit/io/ply_reader_error.hpp"
#include "kit/io/utf8.hpp"

#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

// How a header line is read:
// - The keyword is the first token when the line is split at tabs and Unicode space separators.
// - "format", "element" and "property" lines must then have exactly the shape of their pattern
//   over the whole line: optional leading whitespace, then words separated by runs of whitespace,
//   no trailing whitespace. Whitespace there is any Unicode White_Space character; "word"
//   characters are ASCII letters, digits and "_"; digits are ASCII digits.
//     format          format <word> <version: non-whitespace>
//     element         element <name: non-whitespace> <count: digits>
//     list property   property list <word> <word> <name: non-whitespace>
//     scalar property property <word> <name: non-whitespace>

namespace {

bool isSpaceSeparatorOrTab(char32_t c) {
    return c == U'\t' || c == U' ' || c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 || isSpaceSeparatorOrTab(c);
}

bool isWord(std::string_view text) {
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return !text.empty();
}

bool isDigits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

// The runs of characters between separators (empty runs dropped); with `trailingSeparator` set
// when the text ends in a separator.
template <class IsSeparator>
std::vector<std::string_view> fields(std::string_view text, IsSeparator isSeparator, bool* trailingSeparator = nullptr) {
    std::vector<std::string_view> result;
    std::size_t position = 0;
    std::size_t start = 0;
    bool lastWasSeparator = false;
    while (position < text.size()) {
        std::size_t here = position;
        bool separator = isSeparator(utf8::next(text, position));
        if (separator && here > start) result.push_back(text.substr(start, here - start));
        if (separator) start = position;
        lastWasSeparator = separator;
    }
    if (start < text.size()) result.push_back(text.substr(start));
    if (trailingSeparator) *trailingSeparator = lastWasSeparator;
    return result;
}

// The fields of a line as the line patterns see them; none when the line ends in whitespace.
std::optional<std::vector<std::string_view>> patternFields(std::string_view line) {
    bool trailing = false;
    auto result = fields(line, isWhiteSpace, &trailing);
    if (trailing) return std::nullopt;
    return result;
}

class HeaderParser {
public:
    // Handles one line; false once "end_header" has been seen.
    bool parseHeaderLine(std::string_view line) {
        auto tokens = fields(line, isSpaceSeparatorOrTab);
        if (tokens.empty()) return true;
        std::string_view keyword = tokens.front();
        if (keyword == "ply" || keyword == "comment") return true;
        if (keyword == "end_header") return false;
        if (keyword == "format") parseFormat(line);
        else if (keyword == "element") parseElement(line);
        else if (keyword == "property") parseProperty(line);
        else throw PLYReaderError::headerUnknownKeyword(std::string(keyword));
        return true;
    }

    PLYHeader finish() {
        if (!header_) throw PLYReaderError::headerFormatMissing();
        return std::move(*header_);
    }

private:
    void parseFormat(std::string_view line) {
        if (header_) throw PLYReaderError::headerUnexpectedKeyword("format");
        auto f = patternFields(line);
        if (!f || f->size() != 3 || (*f)[0] != "format" || !isWord((*f)[1]))
            throw PLYReaderError::headerInvalidLine(std::string(line));
        auto format = fromRaw<PLYHeader::Format>((*f)[1]);
        if (!format) throw PLYReaderError::headerInvalidFileFormatType(std::string((*f)[1]));
        header_ = PLYHeader{*format, std::string((*f)[2]), {}};
    }

    void parseElement(std::string_view line) {
        if (!header_) throw PLYReaderError::headerUnexpectedKeyword("element");
        auto f = patternFields(line);
        if (!f || f->size() != 3 || (*f)[0] != "element" || !isDigits((*f)[2]))
            throw PLYReaderError::headerInvalidLine(std::string(line));
        // A count beyond the 32-bit range cannot be represented.
        auto count = number_text::parseInteger<std::uint32_t>((*f)[2]);
        if (!count) throw PLYReaderError::headerInvalidLine(std::string(line));
        header_->elements.push_back({std::string((*f)[1]), *count, {}});
    }

    void parseProperty(std::string_view line) {
        if (!header_ || header_->elements.empty()) throw PLYReaderError::headerUnexpectedKeyword("property");
        auto f = patternFields(line);
        if (!f || f->empty() || (*f)[0] != "property") throw PLYReaderError::headerInvalidLine(std::string(line));
        auto& properties = header_->elements.back().properties;

        if (f->size() == 5 && (*f)[1] == "list" && isWord((*f)[2]) && isWord((*f)[3])) {
            auto countType = typeNamed((*f)[2]);
            if (!PLYHeader::isInteger(countType))
                throw PLYReaderError::headerInvalidListCountType(std::string((*f)[2]));
            auto valueType = typeNamed((*f)[3]);
            properties.push_back({std::string((*f)[4]), PLYHeader::ListType{countType, valueType}});
        } else if (f->size() == 3 && isWord((*f)[1])) {
            properties.push_back({std::string((*f)[2]), typeNamed((*f)[1])});
        } else {
            throw PLYReaderError::headerInvalidLine(std::string(line));
        }
    }

    static PLYHeader::PrimitivePropertyType typeNamed(std::string_view name) {
        auto type = PLYHeader::primitivePropertyType(name);
        if (!type) throw PLYReaderError::headerUnknownPropertyType(std::string(name));
        return *type;
    }

    std::optional<PLYHeader> header_;
};

// Line terminators: LF, CR, CR LF, U+0085, U+2028 and U+2029. Calls `onLine` with each line
// (terminator removed) until it returns false.
template <class OnLine>
void enumerateLines(std::string_view text, OnLine onLine) {
    std::size_t start = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t here = position;
        char32_t c = utf8::next(text, position);
        if (c != U'\n' && c != U'\r' && c != 0x85 && c != 0x2028 && c != 0x2029) continue;
        if (c == U'\r' && position < text.size() && text[position] == '\n') ++position;
        if (!onLine(text.substr(start, here - start))) return;
        start = position;
    }
    if (start < text.size()) onLine(text.substr(start));
}

} // namespace

PLYHeader parsePLYHeader(std::string_view text) {
    HeaderParser parser;
    enumerateLines(text, [&](std::string_view line) { return parser.parseHeaderLine(line); });
    return parser.finish();
}

} // namespace MivoKit
