#pragma once
// A library of named shader functions. Its source is a list of C++ functions registered by name,
// with the fused draws of vertex and fragment pairs.

#include "platform/gpu/shader.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace MivoKit {

namespace platform::gpu {

enum class FunctionType { vertex, fragment, kernel };

class Function {
public:
    using Entry = std::variant<VertexFunction, FragmentFunction, KernelFunction>;

    Function(std::string name, Entry entry, std::size_t varyingCount,
             std::map<std::string, std::shared_ptr<const FusedDraw>> fusedDraws);

    const std::string& name() const { return name_; }
    FunctionType functionType() const { return static_cast<FunctionType>(entry_.index()); }
    VertexFunction vertexFunction() const;
    FragmentFunction fragmentFunction() const;
    KernelFunction kernelFunction() const;
    // Vertex functions: how many varyings the fragment stage reads.
    std::size_t varyingCount() const { return varyingCount_; }
    // Vertex functions: the fused draw of this function with the fragment function `fragmentName`.
    std::shared_ptr<const FusedDraw> fusedDraw(const std::string& fragmentName) const;

private:
    std::string name_;
    Entry entry_;
    std::size_t varyingCount_;
    std::map<std::string, std::shared_ptr<const FusedDraw>> fusedDraws_;
};

struct LibrarySource {
    struct Entry {
        std::string name;
        Function::Entry function;
        std::size_t varyingCount = 0;
    };
    struct FusedPair {
        std::string vertexName;
        std::string fragmentName;
        std::shared_ptr<const FusedDraw> draw;
    };
    std::vector<Entry> functions;
    std::vector<FusedPair> fusedDraws;
};

class Library {
public:
    explicit Library(LibrarySource source);

    // The function called `name`, or none.
    std::shared_ptr<Function> makeFunction(const std::string& name) const;
    std::vector<std::string> functionNames() const;

private:
    LibrarySource source_;
};

} // namespace platform::gpu

} // namespace MivoKit
