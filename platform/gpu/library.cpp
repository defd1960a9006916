#include "platform/gpu/library.hpp"

namespace MivoKit {

namespace platform::gpu {

Function::Function(std::string name, Entry entry, std::size_t varyingCount,
                   std::map<std::string, std::shared_ptr<const FusedDraw>> fusedDraws)
    : name_(std::move(name)), entry_(entry), varyingCount_(varyingCount), fusedDraws_(std::move(fusedDraws)) {}

VertexFunction Function::vertexFunction() const {
    const auto* f = std::get_if<VertexFunction>(&entry_);
    return f ? *f : nullptr;
}
FragmentFunction Function::fragmentFunction() const {
    const auto* f = std::get_if<FragmentFunction>(&entry_);
    return f ? *f : nullptr;
}
KernelFunction Function::kernelFunction() const {
    const auto* f = std::get_if<KernelFunction>(&entry_);
    return f ? *f : nullptr;
}

std::shared_ptr<const FusedDraw> Function::fusedDraw(const std::string& fragmentName) const {
    auto it = fusedDraws_.find(fragmentName);
    return it == fusedDraws_.end() ? nullptr : it->second;
}

Library::Library(LibrarySource source) : source_(std::move(source)) {}

std::shared_ptr<Function> Library::makeFunction(const std::string& name) const {
    for (const auto& entry : source_.functions) {
        if (entry.name != name) continue;
        std::map<std::string, std::shared_ptr<const FusedDraw>> fused;
        for (const auto& pair : source_.fusedDraws)
            if (pair.vertexName == name) fused[pair.fragmentName] = pair.draw;
        return std::make_shared<Function>(entry.name, entry.function, entry.varyingCount, std::move(fused));
    }
    return nullptr;
}

std::vector<std::string> Library::functionNames() const {
    std::vector<std::string> names;
    for (const auto& entry : source_.functions) names.push_back(entry.name);
    return names;
}

} // namespace platform::gpu

} // namespace MivoKit
