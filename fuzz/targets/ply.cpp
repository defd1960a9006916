// The generic PLY reader: header parsing, the read loop and body decoding, in ASCII and in both
// binary byte orders.
//
// Oracles besides the sanitizers: the delegate hears one start, instances in group order with the
// declared shape and types, and exactly one terminal report; a finished read delivered every
// declared instance; the header reads back from its own text; decoding the body in small
// slices (with the buffer compacted between them) gives what the read loop gave; the instances,
// written as a binary body of the other byte order, read back the same; a vertex table the PLY
// writer can express survives writing and reading in all three formats.

#include "fuzz/fuzz_support.hpp"
#include "fuzz/targets/input_file.hpp"
#include "kit/io/ply_header_parser.hpp"
#include "kit/io/ply_reader.hpp"
#include "kit/io/ply_reader_stream.hpp"
#include "kit/io/utf8.hpp"
#include "tools/ply_writer/ply_writer.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

using namespace MivoKit;

namespace {

using Type = PLYHeader::PrimitivePropertyType;

// Instances of property-less groups take no bytes: a header can declare billions of them. The
// delegate stops the read past this many by throwing, which the reader must report as its failure.
constexpr std::size_t kPropertylessBudget = 1 << 12;
// Vertex tables of up to this many values are written back and read again.
constexpr std::size_t kRoundTripLimit = 1 << 14;

struct Enough : std::exception {
    const char* what() const noexcept override { return "the fuzz delegate stopped the read"; }
};

// An FNV-style hash of the instances delivered, so two reads can be compared without keeping them.
struct Digest {
    std::uint64_t value = 1469598103934665603ull;
    void add(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(bytes);
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            value = (value ^ word) * 1099511628211ull;
        }
        for (; i < size; ++i) value = (value ^ p[i]) * 1099511628211ull;
    }
    void add(std::size_t typeIndex, const PLYElement& element) {
        add(&typeIndex, sizeof typeIndex);
        for (const auto& property : element.properties) {
            const std::size_t kind = property.index();
            add(&kind, sizeof kind);
            std::visit(
                [&](const auto& v) {
                    if constexpr (requires { v.size(); }) {
                        const std::size_t n = v.size();
                        add(&n, sizeof n);
                        if (n) add(v.data(), n * sizeof v[0]);
                    } else {
                        add(&v, sizeof v);
                    }
                },
                property);
        }
    }
};

// The variant alternative a declared property must arrive as: the eight scalars in the order of
// PrimitivePropertyType, then the eight lists in the same order.
std::size_t expectedAlternative(const PLYHeader::PropertyType& type) {
    if (const auto* scalar = type.primitive()) return static_cast<std::size_t>(*scalar);
    return 8 + static_cast<std::size_t>(type.list()->valueType);
}

// One "vertex" group of float and uchar scalars: what the PLY writer can express. A property named
// "...end_header" would end the written header on its own line, as any header line ending so does.
bool writerCanExpress(const PLYHeader& header) {
    if (header.elements.size() != 1 || header.elements[0].name != "vertex") return false;
    for (const auto& property : header.elements[0].properties) {
        const auto* type = property.type.primitive();
        if (!type || (*type != Type::float32 && *type != Type::uint8)) return false;
        if (property.name.ends_with("end_header")) return false;
    }
    return !header.elements[0].properties.empty();
}

template <class T>
void put(std::string& out, T value, bool bigEndian) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if (bigEndian == (std::endian::native == std::endian::little))
        for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    out.append(reinterpret_cast<const char*>(bytes), sizeof(T));
}

// Appends one instance as a binary body holds it. A list's count goes in as uint32, whatever type
// the header gives it: the re-encoded header declares uint32 counts.
void encode(std::string& out, const PLYElement& element, bool bigEndian) {
    for (const auto& property : element.properties)
        std::visit(
            [&](const auto& v) {
                if constexpr (requires { v.size(); }) {
                    put<std::uint32_t>(out, std::uint32_t(v.size()), bigEndian);
                    for (auto item : v) put(out, item, bigEndian);
                } else {
                    put(out, v, bigEndian);
                }
            },
            property);
}

// Counts and checks what one read reports.
class Checking final : public PLYReaderDelegate {
public:
    void didStartReading(const PLYHeader& header) override {
        if (starts_++ != 0 || ends_ != 0) fuzz::fail("ply: didStartReading more than once or after the end");
        header_ = &header;
        delivered_.assign(header.elements.size(), 0);
        parsedHeader = header;
        if (!writerCanExpress(header)) keepRows = false;
        reencodeBigEndian = header.format != PLYHeader::Format::binaryBigEndian;
    }

    void didRead(const PLYElement& element, std::size_t typeIndex, const PLYHeader::Element& group) override {
        if (!header_ || ends_ != 0) fuzz::fail("ply: didRead before didStartReading or after the end");
        if (typeIndex >= header_->elements.size() || &group != &header_->elements[typeIndex])
            fuzz::fail("ply: didRead names a group that is not the header's");
        if (typeIndex < current_) fuzz::fail("ply: element groups out of order");
        for (std::size_t g = current_; g < typeIndex; ++g)
            if (delivered_[g] != header_->elements[g].count) fuzz::fail("ply: a group ended before all its instances");
        current_ = typeIndex;
        if (++delivered_[typeIndex] > group.count) fuzz::fail("ply: more instances than the header declares");
        if (element.properties.size() != group.properties.size())
            fuzz::fail("ply: an instance without one value per declared property");
        for (std::size_t i = 0; i < group.properties.size(); ++i)
            if (element.properties[i].index() != expectedAlternative(group.properties[i].type))
                fuzz::fail("ply: a value of another type than declared");
        digest.add(typeIndex, element);
        if (reencoded) encode(*reencoded, element, reencodeBigEndian);
        ++instances;
        if (keepRows)
            for (const auto& value : element.properties)
                values.push_back(std::holds_alternative<float>(value) ? std::get<float>(value)
                                                                      : float(std::get<std::uint8_t>(value)));
        if (group.properties.empty() && ++propertyless_ > kPropertylessBudget) throw Enough();
    }

    void didFinishReading() override {
        if (ends_++ != 0) fuzz::fail("ply: a second terminal report");
        if (!header_) fuzz::fail("ply: finished without a header");
        for (std::size_t g = 0; g < header_->elements.size(); ++g)
            if (delivered_[g] != header_->elements[g].count) fuzz::fail("ply: finished with instances missing");
        finished = true;
    }

    void didFailReading(std::exception_ptr error) override {
        if (ends_++ != 0) fuzz::fail("ply: a second terminal report");
        if (!error) fuzz::fail("ply: a failure without an error");
        try {
            std::rethrow_exception(error);
        } catch (const PLYReaderError& e) {
            code = e.code();
        } catch (const Enough&) {
            stopped = true;
        } catch (const std::exception& e) {
            fuzz::fail(std::string("ply: the read failed with an undocumented error: ") + e.what());
        }
    }

    int ends() const { return ends_; }
    bool started() const { return starts_ != 0; }

    std::optional<PLYHeader> parsedHeader;
    std::optional<PLYReaderErrorCode> code;
    bool finished = false;
    bool stopped = false;
    Digest digest;
    std::size_t instances = 0;
    // When set, every instance is appended here as a binary body, big-endian unless the file is.
    std::string* reencoded = nullptr;
    bool reencodeBigEndian = false;
    // Keeps the values of a file the PLY writer could have made, instance after instance.
    bool keepRows = false;
    std::vector<float> values;

private:
    int starts_ = 0, ends_ = 0;
    const PLYHeader* header_ = nullptr;
    std::vector<std::size_t> delivered_;
    std::size_t current_ = 0;
    std::size_t propertyless_ = 0;
};

// What decoding a body gave.
struct Outcome {
    bool complete = false;
    bool stopped = false;
    std::optional<PLYReaderErrorCode> code;
    Digest digest;
    std::size_t instances = 0;
};

// Decodes `body` the way the read loop does, but fed `slice` bytes at a time and with the consumed
// bytes dropped from the buffer after every call.
Outcome decodeInSlices(const PLYHeader& header, std::span<const std::uint8_t> body, std::size_t slice) {
    struct Hashing final : PLYReaderDelegate {
        void didStartReading(const PLYHeader&) override {}
        void didRead(const PLYElement& element, std::size_t typeIndex, const PLYHeader::Element& group) override {
            outcome.digest.add(typeIndex, element);
            ++outcome.instances;
            if (group.properties.empty() && ++propertyless > kPropertylessBudget) throw Enough();
        }
        void didFinishReading() override {}
        void didFailReading(std::exception_ptr) override {}
        Outcome outcome;
        std::size_t propertyless = 0;
    } delegate;

    PLYReaderStream stream(delegate);
    stream.header = header;
    try {
        for (std::size_t at = 0; at < body.size() && !stream.complete(); at += slice) {
            const auto piece = body.subspan(at, std::min(slice, body.size() - at));
            stream.body.insert(stream.body.end(), piece.begin(), piece.end());
            stream.parseBody(false);
            if (stream.bodyOffset > 0) {
                stream.body.erase(stream.body.begin(), stream.body.begin() + std::ptrdiff_t(stream.bodyOffset));
                stream.bodyOffset = 0;
            }
        }
        if (!stream.complete()) stream.parseBody(true);
    } catch (const PLYReaderError& e) {
        delegate.outcome.code = e.code();
    } catch (const Enough&) {
        delegate.outcome.stopped = true;
    }
    delegate.outcome.complete = stream.complete() && !delegate.outcome.code && !delegate.outcome.stopped;
    return delegate.outcome;
}

// The body as the read loop finds it: everything after the first "end_header\n" past "ply\n".
std::optional<std::span<const std::uint8_t>> bodyOf(std::span<const std::uint8_t> file) {
    constexpr std::string_view kEnd = "end_header\n";
    const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    if (!text.starts_with("ply\n")) return std::nullopt;
    const auto end = text.find(kEnd, 4);
    if (end == std::string_view::npos) return std::nullopt;
    return file.subspan(end + kEnd.size());
}

bool sameFloat(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (a != a && b != b); }

// Writes the values in one of the three formats and reads them back.
void roundTripThroughWriter(const PLYHeader& header, const std::vector<float>& values, ply_writer::Format format) {
    std::vector<ply_writer::Property> layout;
    for (const auto& property : header.elements[0].properties)
        layout.push_back({property.name, *property.type.primitive() == Type::uint8 ? ply_writer::PropertyType::uint8
                                                                                   : ply_writer::PropertyType::float32});
    ply_writer::VertexTable table(layout);
    for (std::size_t at = 0; at < values.size(); at += layout.size())
        table.addPoint(std::span<const float>(values).subspan(at, layout.size()));
    const auto path = fuzz::writeInput("written.ply", ply_writer::encodePLY(table, format));
    Checking again;
    again.keepRows = true;
    PLYReader(path).read(again);
    if (!again.finished) fuzz::fail("ply: a file the writer made from a read does not read back");
    if (again.values.size() != values.size()) fuzz::fail("ply: written instances do not read back");
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!sameFloat(values[i], again.values[i])) fuzz::fail("ply: a value changed through the writer and the reader");
}

// The header as a file would write it. Descriptions of list properties leave out the word "list"
// (they are not header lines), so the lines are made here.
std::string headerText(const PLYHeader& header) {
    std::string text = "ply\nformat " + std::string(toRaw(header.format)) + " " + header.version + "\n";
    for (const auto& element : header.elements) {
        text += "element " + element.name + " " + std::to_string(element.count) + "\n";
        for (const auto& property : element.properties)
            text += property.type.list() ? "property list " + property.type.description() + " " + property.name + "\n"
                                         : property.description();
    }
    return text + "end_header\n";
}

// The instances, written as a binary body in the other byte order (big-endian for an ASCII file)
// under the same header with uint32 list counts, read back the same.
void roundTripInBinary(const PLYHeader& header, const std::string& body, bool bigEndian, const Checking& read) {
    PLYHeader binary = header;
    binary.format = bigEndian ? PLYHeader::Format::binaryBigEndian : PLYHeader::Format::binaryLittleEndian;
    for (auto& element : binary.elements)
        for (auto& property : element.properties)
            if (const auto* list = property.type.list()) property.type = PLYHeader::ListType{Type::uint32, list->valueType};
    const std::string text = headerText(binary);
    // A name or version ending in "end_header" ends a header early, by design.
    if (text.find("end_header\n") != text.size() - 11) return;
    const auto path = fuzz::writeInput("binary.ply", text + body);
    Checking again;
    PLYReader(path).read(again);
    if (!again.finished || again.instances != read.instances || again.digest.value != read.digest.value)
        fuzz::fail("ply: the instances, written in binary, do not read back the same");
}

// ---- seeds ----

// Every scalar type, lists of several count and value types, an empty group and a property-less one.
std::string everyTypeHeader(std::string_view format) {
    return "ply\nformat " + std::string(format) +
           " 1.0\ncomment every type\nelement vertex 2\nproperty char a\nproperty uchar b\nproperty short c\n"
           "property ushort d\nproperty int e\nproperty uint f\nproperty float g\nproperty double h\n"
           "element face 2\nproperty list uchar int vertex_indices\nproperty list ushort float weights\n"
           "element nothing 0\nproperty int unused\nelement marker 2\nend_header\n";
}

std::string everyTypeBinary(bool bigEndian) {
    std::string out = everyTypeHeader(bigEndian ? "binary_big_endian" : "binary_little_endian");
    for (int v = 0; v < 2; ++v) {
        put<std::int8_t>(out, std::int8_t(-128 + v), bigEndian);
        put<std::uint8_t>(out, std::uint8_t(255 - v), bigEndian);
        put<std::int16_t>(out, std::int16_t(-32768 + v), bigEndian);
        put<std::uint16_t>(out, std::uint16_t(65535 - v), bigEndian);
        put<std::int32_t>(out, std::int32_t(-2147483647 - 1 + v), bigEndian);
        put<std::uint32_t>(out, 4294967295u - std::uint32_t(v), bigEndian);
        put<float>(out, 1.5f * float(v + 1), bigEndian);
        put<double>(out, -0.25 * (v + 1), bigEndian);
    }
    for (int f = 0; f < 2; ++f) {
        put<std::uint8_t>(out, 3, bigEndian);
        for (int i = 0; i < 3; ++i) put<std::int32_t>(out, f + i, bigEndian);
        put<std::uint16_t>(out, 2, bigEndian);
        put<float>(out, 0.5f, bigEndian);
        put<float>(out, -0.5f, bigEndian);
    }
    return out;
}

std::string everyTypeASCII() {
    return everyTypeHeader("ascii") +
           "-128 255 -32768 65535 -2147483648 4294967295 1.5 -0.25\r\n"
           "-127 254 -32767 65534 -2147483647 4294967294 3e0 -5E-1\n"
           "3 0 1 2 2 0.5 -0.5\n\n3 1 2 3 2 inf -nan\n \n \n";
}

// The first `points` points of the synthetic character's cloud, as the file stores them.
std::optional<std::string> syntheticCloud(std::size_t points) {
    const auto file = fuzz::readFile(fuzz::syntheticCharacterDirectory() / "model" / "point_cloud.ply");
    const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    const auto end = text.find("end_header\n");
    const auto count = text.find("element vertex ");
    if (end == std::string_view::npos || count == std::string_view::npos) return std::nullopt;
    std::size_t properties = 0;
    for (auto at = text.find("\nproperty float ", 0); at != std::string_view::npos && at < end;
         at = text.find("\nproperty float ", at + 1))
        ++properties;
    std::string header(text.substr(0, end + 11));
    const auto line = header.find('\n', count);
    header.replace(count, line - count, "element vertex " + std::to_string(points));
    return header + std::string(text.substr(end + 11, points * properties * 4));
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    if (auto cloud = syntheticCloud(6)) {
        seeds.push_back(fuzz::bytesOf(*cloud));
        // The same points in the other two formats, through the reader and the writer.
        const auto path = fuzz::writeInput("seed.ply", *cloud);
        Checking read;
        read.keepRows = true;
        PLYReader(path).read(read);
        if (read.finished && read.keepRows) {
            std::vector<ply_writer::Property> layout;
            for (const auto& p : read.parsedHeader->elements[0].properties) layout.push_back({p.name});
            ply_writer::VertexTable table(layout);
            for (std::size_t at = 0; at < read.values.size(); at += layout.size())
                table.addPoint(std::span<const float>(read.values).subspan(at, layout.size()));
            seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table, ply_writer::Format::ascii)));
            seeds.push_back(fuzz::bytesOf(ply_writer::encodePLY(table, ply_writer::Format::binaryBigEndian)));
            // A header that runs past the reader's first 8 KiB read.
            std::string padded = ply_writer::encodePLY(table, ply_writer::Format::ascii);
            padded.insert(padded.find('\n') + 1, "comment " + std::string(8200, 'p') + "\n");
            seeds.push_back(fuzz::bytesOf(padded));
        }
    }
    // A body of several reads, which the reader compacts as it goes.
    if (auto cloud = syntheticCloud(340)) seeds.push_back(fuzz::bytesOf(*cloud));
    seeds.push_back(fuzz::bytesOf(everyTypeASCII()));
    seeds.push_back(fuzz::bytesOf(everyTypeBinary(false)));
    seeds.push_back(fuzz::bytesOf(everyTypeBinary(true)));
    seeds.push_back(fuzz::bytesOf("ply\r\nformat ascii 1.0\r\nelement v 1\r\nproperty float x\r\nend_header\n7\n"));
    seeds.push_back(fuzz::bytesOf("ply\nformat binary_little_endian 1.0\nelement vertex 4294967295\nend_header\n"));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto path = fuzz::writeInput("input.ply", data, size);
    Checking read;
    read.keepRows = true;
    std::string binaryBody;
    read.reencoded = &binaryBody;
    fuzz::endsWithOnly<>("PLYReader::read", [&] { PLYReader(path).read(read); });
    if (read.ends() != 1) fuzz::fail("ply: the read did not end with exactly one terminal report");
    if (!read.started()) return 0;

    // The header reads back from its own text.
    const auto& header = *read.parsedHeader;
    std::optional<PLYHeader> again;
    fuzz::endsWithOnly<>("parsePLYHeader", [&] {
        try {
            again = parsePLYHeader(headerText(header));
        } catch (const PLYReaderError& e) {
            fuzz::fail(std::string("ply: a header's own text does not parse: ") + e.what());
        }
    });
    if (!(*again == header)) fuzz::fail("ply: a header's own text parses to another header");

    // Slice by slice, the body decodes as the read loop decoded it.
    const auto body = bodyOf({data, size});
    if (!body) fuzz::fail("ply: the read started without a header end");
    const std::size_t slice = 1 + (size % 7) * (size % 5);
    const Outcome sliced = decodeInSlices(header, *body, slice);
    const bool bodyError = read.code && *read.code != PLYReaderErrorCode::unexpectedEndOfFile;
    const bool matches = sliced.digest.value == read.digest.value && sliced.instances == read.instances &&
                         sliced.stopped == read.stopped && sliced.complete == read.finished &&
                         (bodyError ? sliced.code == read.code : !sliced.code);
    if (!matches) fuzz::fail("ply: decoding in slices differs from the read loop");

    if (read.finished) roundTripInBinary(header, binaryBody, read.reencodeBigEndian, read);

    // One format per input keeps the runs short; the corpus covers all three.
    if (read.finished && read.keepRows && read.values.size() <= kRoundTripLimit) {
        constexpr ply_writer::Format formats[] = {ply_writer::Format::ascii, ply_writer::Format::binaryLittleEndian,
                                                  ply_writer::Format::binaryBigEndian};
        roundTripThroughWriter(header, read.values, formats[size % 3]);
    }
    return 0;
}
