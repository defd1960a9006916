#pragma once
// The declared inputs and outputs of an ONNX model (names and shapes), read straight
// from the file's protocol-buffer encoding. OpenCV does not say which inputs a network has or
// what shape it expects, and the model checks its callers' arrays against the declaration.
// Used by MLModel only.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

namespace platform::ml {

struct OnnxTensorSignature {
    std::string name;
    std::vector<std::int64_t> shape; // -1 for a named or unknown dimension
};

struct OnnxSignature {
    std::vector<OnnxTensorSignature> inputs; // graph inputs that are not initializers
    std::vector<OnnxTensorSignature> outputs;
};

// Throws MLError when the bytes are not a well-formed model with a graph.
OnnxSignature parseOnnxSignature(std::string_view bytes);
OnnxSignature readOnnxSignature(const std::filesystem::path& url);

} // namespace platform::ml

} // namespace MivoKit
