#pragma once
// What a command buffer holds: one record per encoder, each with its label, its pass descriptor
// and the commands in encoding order. The GPU executes these records; tests read them.

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/pipeline.hpp"
#include "platform/gpu/render_pass_descriptor.hpp"
#include "platform/gpu/texture.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace MivoKit {

namespace platform::gpu {

enum class ShaderStage { vertex, fragment, compute };

namespace command {

struct PushDebugGroup {
    std::string name;
};
struct PopDebugGroup {};
struct SetRenderPipelineState {
    std::shared_ptr<RenderPipelineState> state;
};
struct SetDepthStencilState {
    std::shared_ptr<DepthStencilState> state;
};
struct SetBuffer {
    ShaderStage stage;
    std::size_t index;
    std::shared_ptr<Buffer> buffer;
    std::size_t offset;
};
// Bytes copied at encoding time.
struct SetBytes {
    ShaderStage stage;
    std::size_t index;
    std::vector<std::byte> bytes;
};
struct SetTexture {
    ShaderStage stage;
    std::size_t index;
    std::shared_ptr<Texture> texture;
};
struct SetViewports {
    std::vector<Viewport> viewports;
};
struct SetVertexAmplification {
    std::uint32_t count;
    std::vector<VertexAmplificationViewMapping> mappings;
};
struct DrawPrimitives {
    PrimitiveType primitiveType;
    std::uint32_t vertexStart;
    std::uint32_t vertexCount;
    std::uint32_t instanceCount;
};
struct SetComputePipelineState {
    std::shared_ptr<ComputePipelineState> state;
};
struct DispatchThreadgroups {
    Size3 threadgroupsPerGrid;
    Size3 threadsPerThreadgroup;
};

} // namespace command

using Command = std::variant<command::PushDebugGroup, command::PopDebugGroup, command::SetRenderPipelineState,
                             command::SetDepthStencilState, command::SetBuffer, command::SetBytes,
                             command::SetTexture, command::SetViewports, command::SetVertexAmplification,
                             command::DrawPrimitives, command::SetComputePipelineState,
                             command::DispatchThreadgroups>;

struct EncoderRecord {
    enum class Kind { render, compute };
    Kind kind = Kind::render;
    std::string label;
    std::optional<RenderPassDescriptor> renderPass; // render encoders
    std::vector<Command> commands;
    bool ended = false;

    // The commands of type T, in order (for readers of the record).
    template <class T>
    std::vector<const T*> commandsOf() const {
        std::vector<const T*> found;
        for (const Command& c : commands)
            if (const T* t = std::get_if<T>(&c)) found.push_back(t);
        return found;
    }
};

} // namespace platform::gpu

} // namespace MivoKit
