#include "kit/io/ply_header_parser.hpp"
#include "kit/io/ply_reader_error.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

namespace {

using Code = PLYReaderErrorCode;
using Type = PLYHeader::PrimitivePropertyType;

// The error parsing `text` raises, with its description; fails the test when it parses.
std::pair<Code, std::string> parseError(const std::string& text) {
    try {
        parsePLYHeader(text);
    } catch (const PLYReaderError& error) {
        return {error.code(), error.description()};
    }
    ADD_FAILURE() << "parsed: " << text;
    return {Code::internalConsistency, ""};
}

std::string withFormat(const std::string& lines) { return "ply\nformat ascii 1.0\n" + lines + "end_header\n"; }

TEST(PLYHeaderParser, ParsesElementsAndTypedProperties) {
    auto header = parsePLYHeader("ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\n"
                                 "property float32 y\ncomment anything\nelement face 0\n"
                                 "property list uchar int vertex_indices\nproperty uchar list\nend_header\n");
    EXPECT_EQ(header.format, PLYHeader::Format::binaryLittleEndian);
    EXPECT_EQ(header.version, "1.0");
    ASSERT_EQ(header.elements.size(), 2u);
    EXPECT_EQ(header.elements[0].name, "vertex");
    EXPECT_EQ(header.elements[0].count, 2u);
    EXPECT_EQ(header.elements[0].properties,
              (std::vector<PLYHeader::Property>{{"x", Type::float32}, {"y", Type::float32}}));
    EXPECT_EQ(header.elements[1].count, 0u);
    EXPECT_EQ(header.elements[1].properties[0].type, (PLYHeader::PropertyType{PLYHeader::ListType{Type::uint8, Type::int32}}));
    EXPECT_EQ(header.elements[1].properties[1], (PLYHeader::Property{"list", Type::uint8}));
    EXPECT_EQ(header.index("face"), 1u);
    EXPECT_EQ(header.index("Face"), std::nullopt);
    EXPECT_EQ(header.elements[0].index("y"), 1u);
}

TEST(PLYHeaderParser, AcceptsEveryTypeNameAndLineTerminator) {
    std::string names[][2] = {{"int8", "char"},   {"uint8", "uchar"}, {"int16", "short"},   {"uint16", "ushort"},
                              {"int32", "int"},   {"uint32", "uint"}, {"float32", "float"}, {"float64", "double"}};
    for (std::size_t i = 0; i < 8; ++i) {
        auto type = static_cast<Type>(i);
        EXPECT_EQ(PLYHeader::primitivePropertyType(names[i][0]), type);
        EXPECT_EQ(PLYHeader::primitivePropertyType(names[i][1]), type);
        EXPECT_EQ(PLYHeader::description(type), names[i][1]);
    }
    EXPECT_EQ(PLYHeader::primitivePropertyType("Float"), std::nullopt);

    // CR, CR LF and the Unicode line separators end lines inside the header; blank lines and
    // indentation are accepted, and tabs separate the keyword.
    auto header = parsePLYHeader("ply\r\n   format ascii 2\relement\tv 1\xC2\x85property int a\xE2\x80\xA8"
                                 "\t \n   \ncomment\xE2\x80\xA9property double b\nend_header\n");
    EXPECT_EQ(header.version, "2");
    ASSERT_EQ(header.elements.size(), 1u);
    EXPECT_EQ(header.elements[0].properties.size(), 2u);
}

TEST(PLYHeaderParser, RefusesMalformedHeadersWithTheirCase) {
    EXPECT_EQ(parseError("ply\nformat ascii 1.0\nformat ascii 1.0\nend_header\n"),
              std::make_pair(Code::headerUnexpectedKeyword, std::string("Unexpected keyword in header: \"format\"")));
    EXPECT_EQ(parseError("ply\nelement vertex 1\nformat ascii 1.0\nend_header\n").first, Code::headerUnexpectedKeyword);
    EXPECT_EQ(parseError(withFormat("property float x\n")),
              std::make_pair(Code::headerUnexpectedKeyword, std::string("Unexpected keyword in header: \"property\"")));
    EXPECT_EQ(parseError("ply\nformat ascii2 1.0\nend_header\n"),
              std::make_pair(Code::headerInvalidFileFormatType, std::string("Invalid file format type in header: ascii2")));
    EXPECT_EQ(parseError("ply\nformat ASCII 1.0\nend_header\n").first, Code::headerInvalidFileFormatType);
    EXPECT_EQ(parseError(withFormat("element v 1\nproperty half x\n")),
              std::make_pair(Code::headerUnknownPropertyType, std::string("Unknown property type: half")));
    EXPECT_EQ(parseError(withFormat("element v 1\nproperty list float int x\n")),
              std::make_pair(Code::headerInvalidListCountType, std::string("Invalid list count type: float")));
    EXPECT_EQ(parseError(withFormat("element v 1\nproperty list foo int x\n")),
              std::make_pair(Code::headerUnknownPropertyType, std::string("Unknown property type: foo")));
    EXPECT_EQ(parseError(withFormat("element v 1\nproperty list uchar bar x\n")),
              std::make_pair(Code::headerUnknownPropertyType, std::string("Unknown property type: bar")));
    EXPECT_EQ(parseError(withFormat("element v 1\nproperty list uchar int\n")),
              std::make_pair(Code::headerInvalidLine, std::string("Invalid line in header: \"property list uchar int\"")));
    EXPECT_EQ(parseError(withFormat("obj_info made by hand\n")),
              std::make_pair(Code::headerUnknownKeyword, std::string("Unknown keyword in header: \"obj_info\"")));
    EXPECT_EQ(parseError("ply\ncomment only\nend_header\n"),
              std::make_pair(Code::headerFormatMissing, std::string("Header format missing")));
}

TEST(PLYHeaderParser, LinePatternsSpanTheWholeLine) {
    for (std::string line : {"format ascii 1.0 extra", "format ascii 1.0 ", "format ascii\t1.0\t", "format ascii-x 1.0"})
        EXPECT_EQ(parseError("ply\n" + line + "\nend_header\n").first, Code::headerInvalidLine) << line;
    for (std::string line : {"element v 1 ", "element v", "element v x", "element v -1", "element v 1.0",
                             "element v 4294967296", "element v 99999999999999999999999"})
        EXPECT_EQ(parseError(withFormat(line + "\n")).first, Code::headerInvalidLine) << line;
    for (std::string line : {"property float x ", "property float", "property float x y", "property f-32 x"})
        EXPECT_EQ(parseError(withFormat("element v 1\n" + line + "\n")).first, Code::headerInvalidLine) << line;

    EXPECT_EQ(parsePLYHeader(withFormat("element v 4294967295\n")).elements[0].count, 4294967295u);
    EXPECT_EQ(parsePLYHeader("ply\n  format ascii x\nend_header\n").version, "x");
    // A no-break space is whitespace to the patterns: it may separate words, not end a line.
    EXPECT_EQ(parsePLYHeader(withFormat("element\xC2\xA0v 3\n")).elements[0].count, 3u);
    EXPECT_EQ(parseError(withFormat("element v 3\xC2\xA0\n")).first, Code::headerInvalidLine);
}

TEST(PLYHeaderParser, StopsAtTheFirstEndHeaderAndTheFirstError) {
    auto header = parsePLYHeader("ply\nformat ascii 1.0\nend_header trailing words\nbogus line\n");
    EXPECT_TRUE(header.elements.empty());
    // The first offending line decides, later ones are never looked at.
    EXPECT_EQ(parseError(withFormat("element v 1\nproperty half x\nobj_info\n")).first, Code::headerUnknownPropertyType);
}

TEST(PLYHeader, DescriptionsUseShortTypeNames) {
    PLYHeader header{PLYHeader::Format::ascii,
                     "1.0",
                     {{"face", 1, {{"vertex_indices", PLYHeader::ListType{Type::uint8, Type::int32}}}}}};
    EXPECT_EQ(header.description(), "ply\nformat ascii 1.0\nelement face 1\nproperty uchar int vertex_indices\n");
    // Without the word "list" a list property's description is not a header line.
    EXPECT_THROW(parsePLYHeader(header.description() + "end_header\n"), PLYReaderError);
    header.elements[0].properties[0].type = Type::float64;
    EXPECT_EQ(parsePLYHeader(header.description() + "end_header\n"), header);
    EXPECT_EQ(toRaw(PLYHeader::Format::binaryBigEndian), "binary_big_endian");
    EXPECT_EQ(fromRaw<PLYHeader::Format>("Binary_big_endian"), std::nullopt);
}

TEST(PLYReaderError, DescribesEveryCase) {
    PLYHeader::Element element{"vertex", 3, {{"x", Type::float32}}};
    EXPECT_EQ(PLYReaderError::cannotOpenSource("/a/b.ply").description(), "Cannot open source file at /a/b.ply");
    EXPECT_EQ(PLYReaderError::readError("/a/b.ply").description(), "Error while reading /a/b.ply");
    EXPECT_EQ(PLYReaderError::unexpectedEndOfFile("/a/b.ply").description(),
              "Unexpected end-of-file while reading /a/b.ply");
    EXPECT_EQ(PLYReaderError::bodyInvalidStringForPropertyType(element, 2, element.properties[0]).description(),
              "Invalid type string for property x in element vertex, index 2");
    EXPECT_EQ(PLYReaderError::bodyMissingPropertyValuesInElement(element, 0, element.properties[0]).description(),
              "Missing values for property x in element vertex, index 0");
    EXPECT_EQ(PLYReaderError::bodyUnexpectedValuesInElement(element, 1).description(),
              "Unexpected values in element vertex, index 1");
    EXPECT_EQ(PLYReaderError::headerStartMissing().description(), "Header start missing");
    EXPECT_EQ(PLYReaderError::headerEndMissing().description(), "Header end missing");
    EXPECT_EQ(PLYReaderError::headerInvalidCharacters().description(), "Invalid characters in header");
    EXPECT_EQ(PLYReaderError::internalConsistency().description(), "Internal error in PLYReader");
    auto located = PLYReaderError::bodyUnexpectedValuesInElement(element, 1);
    EXPECT_EQ(std::get<PLYReaderError::BodyLocation>(located.payload()).element, element);
}

} // namespace
