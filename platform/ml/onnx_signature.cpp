#include "platform/ml/onnx_signature.hpp"

#include "platform/ml/ml_error.hpp"

#include <fstream>
#include <iterator>
#include <optional>
#include <set>

namespace MivoKit {

namespace platform::ml {

namespace {

// Field numbers of onnx.proto that lead to the graph's inputs and outputs.
constexpr std::uint32_t kModelGraph = 7;
constexpr std::uint32_t kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12;
constexpr std::uint32_t kTensorName = 8;
constexpr std::uint32_t kValueInfoName = 1, kValueInfoType = 2;
constexpr std::uint32_t kTypeTensor = 1;
constexpr std::uint32_t kTensorTypeShape = 2;
constexpr std::uint32_t kShapeDimension = 1;
constexpr std::uint32_t kDimensionValue = 1;

enum WireType : std::uint32_t { varint = 0, fixed64 = 1, lengthDelimited = 2, fixed32 = 5 };

[[noreturn]] void malformed() { throw MLError("The ONNX model is malformed"); }

// One field of a message: its number and either its integer value or its bytes.
struct Field {
    std::uint32_t number = 0;
    WireType type = varint;
    std::uint64_t value = 0;
    std::string_view bytes;
};

class MessageReader {
public:
    explicit MessageReader(std::string_view bytes) : rest_(bytes) {}

    std::optional<Field> next() {
        if (rest_.empty()) return std::nullopt;
        const std::uint64_t key = readVarint();
        Field field;
        field.number = static_cast<std::uint32_t>(key >> 3);
        field.type = static_cast<WireType>(key & 7);
        switch (field.type) {
        case varint: field.value = readVarint(); break;
        case fixed64: field.bytes = take(8); break;
        case fixed32: field.bytes = take(4); break;
        case lengthDelimited: field.bytes = take(readVarint()); break;
        default: malformed(); // groups are not used by onnx.proto
        }
        return field;
    }

private:
    std::uint64_t readVarint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (rest_.empty()) malformed();
            const auto byte = static_cast<std::uint8_t>(rest_.front());
            rest_.remove_prefix(1);
            value |= std::uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return value;
        }
        malformed();
    }

    std::string_view take(std::uint64_t length) {
        if (length > rest_.size()) malformed();
        const std::string_view bytes = rest_.substr(0, length);
        rest_.remove_prefix(length);
        return bytes;
    }

    std::string_view rest_;
};

std::vector<std::int64_t> readShape(std::string_view shapeBytes) {
    std::vector<std::int64_t> shape;
    MessageReader shapeReader(shapeBytes);
    while (auto dim = shapeReader.next()) {
        if (dim->number != kShapeDimension || dim->type != lengthDelimited) continue;
        std::int64_t size = -1; // a dim_param or nothing: not fixed
        MessageReader dimReader(dim->bytes);
        while (auto f = dimReader.next())
            if (f->number == kDimensionValue && f->type == varint) size = static_cast<std::int64_t>(f->value);
        shape.push_back(size);
    }
    return shape;
}

OnnxTensorSignature readValueInfo(std::string_view bytes) {
    OnnxTensorSignature signature;
    MessageReader info(bytes);
    while (auto f = info.next()) {
        if (f->type != lengthDelimited) continue;
        if (f->number == kValueInfoName) signature.name = f->bytes;
        if (f->number != kValueInfoType) continue;
        MessageReader type(f->bytes);
        while (auto t = type.next()) {
            if (t->number != kTypeTensor || t->type != lengthDelimited) continue;
            MessageReader tensor(t->bytes);
            while (auto e = tensor.next())
                if (e->number == kTensorTypeShape && e->type == lengthDelimited) signature.shape = readShape(e->bytes);
        }
    }
    return signature;
}

std::string initializerName(std::string_view tensorBytes) {
    MessageReader tensor(tensorBytes);
    std::string name;
    while (auto f = tensor.next())
        if (f->number == kTensorName && f->type == lengthDelimited) name = f->bytes;
    return name;
}

} // namespace

OnnxSignature parseOnnxSignature(std::string_view bytes) {
    std::optional<std::string_view> graph;
    MessageReader model(bytes);
    while (auto f = model.next())
        if (f->number == kModelGraph && f->type == lengthDelimited) graph = f->bytes;
    if (!graph) malformed();

    OnnxSignature signature;
    std::set<std::string> initializers;
    MessageReader reader(*graph);
    while (auto f = reader.next()) {
        if (f->type != lengthDelimited) continue;
        if (f->number == kGraphInput) signature.inputs.push_back(readValueInfo(f->bytes));
        if (f->number == kGraphOutput) signature.outputs.push_back(readValueInfo(f->bytes));
        if (f->number == kGraphInitializer) initializers.insert(initializerName(f->bytes));
    }
    // Older exporters list the weights among the inputs too; they are not fed by callers.
    std::erase_if(signature.inputs, [&](const OnnxTensorSignature& s) { return initializers.contains(s.name); });
    return signature;
}

OnnxSignature readOnnxSignature(const std::filesystem::path& url) {
    std::ifstream in(url, std::ios::binary);
    if (!in) throw MLError("Cannot read " + url.string());
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseOnnxSignature(bytes);
}

} // namespace platform::ml

} // namespace MivoKit
