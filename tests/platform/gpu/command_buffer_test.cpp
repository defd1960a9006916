// Command queues and buffers: execution order, completion, resource lifetime and the record.

#include "gpu_test_shaders.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

using namespace MivoKit;

using namespace gputest;

namespace {

TEST(CommandBuffers, ExecuteInCommitOrderOnOneGPUThreadWithTheirHandlers) {
    auto device = std::make_shared<SoftwareDevice>();
    auto first = device->makeCommandQueue(), second = device->makeCommandQueue();
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::vector<std::shared_ptr<CommandBuffer>> buffers;
    for (int i = 0; i < 20; ++i) {
        auto cb = (i % 2 ? first : second)->makeCommandBuffer();
        cb->addCompletedHandler([&, i](CommandBuffer& done) {
            std::lock_guard lock(mutex);
            EXPECT_EQ(done.label(), "frame " + std::to_string(i));
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
        cb->setLabel("frame " + std::to_string(i));
        buffers.push_back(cb);
    }
    for (auto& cb : buffers) cb->commit();
    for (auto& cb : buffers) cb->waitUntilCompleted();
    std::vector<int> expected(20);
    for (int i = 0; i < 20; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
    for (auto id : threads) EXPECT_EQ(id, threads[0]);
    EXPECT_NE(threads[0], std::this_thread::get_id());
    EXPECT_EQ(buffers[0]->status(), CommandBuffer::Status::completed);
}

TEST(CommandBuffers, ResourcesStayInUseAndAliveUntilCompletion) {
    auto device = std::make_shared<SoftwareDevice>();
    auto queue = device->makeCommandQueue();
    auto buffer = device->makeBuffer(64);
    std::weak_ptr<Buffer> watch = buffer;
    auto cb = queue->makeCommandBuffer();
    auto encoder = cb->makeComputeCommandEncoder();
    encoder->setBuffer(buffer, 0, 0);
    encoder->endEncoding();
    EXPECT_TRUE(buffer->isInUseByGPU()); // encoded, not yet committed
    bool inUseInHandler = true;
    cb->addCompletedHandler([&](CommandBuffer&) {
        if (auto alive = watch.lock()) inUseInHandler = alive->isInUseByGPU();
    });
    buffer.reset();
    EXPECT_FALSE(watch.expired()); // the command buffer keeps it
    cb->commit();
    cb->waitUntilCompleted();
    EXPECT_FALSE(inUseInHandler);

    // A command buffer dropped without commit releases what it used.
    auto other = device->makeBuffer(16);
    {
        auto dropped = queue->makeCommandBuffer();
        auto e = dropped->makeComputeCommandEncoder();
        e->setBuffer(other, 0, 0);
        e->endEncoding();
        EXPECT_TRUE(other->isInUseByGPU());
    }
    EXPECT_FALSE(other->isInUseByGPU());
}

TEST(CommandBuffers, EncoderRulesAndMisuse) {
    auto device = std::make_shared<SoftwareDevice>();
    auto queue = device->makeCommandQueue();
    TextureDescriptor d;
    d.width = 8;
    d.height = 8;
    auto small = device->makeTexture(d);
    d.width = 9;
    auto wider = device->makeTexture(d);

    auto cb = queue->makeCommandBuffer();
    EXPECT_FALSE(cb->makeRenderCommandEncoder(RenderPassDescriptor{})); // no attachment
    RenderPassDescriptor mismatched;
    mismatched.colorAttachments[0].texture = small;
    mismatched.colorAttachments[1].texture = wider;
    EXPECT_FALSE(cb->makeRenderCommandEncoder(mismatched));

    RenderPassDescriptor pass;
    pass.colorAttachments[0].texture = small;
    auto open = cb->makeRenderCommandEncoder(pass);
    ASSERT_TRUE(open);
    EXPECT_FALSE(cb->makeComputeCommandEncoder()); // one open encoder at a time
    EXPECT_THROW(cb->commit(), std::logic_error);
    open->endEncoding();
    EXPECT_THROW(open->popDebugGroup(), std::logic_error);
    cb->commit();
    EXPECT_THROW(cb->commit(), std::logic_error);
    EXPECT_THROW(cb->addCompletedHandler([](CommandBuffer&) {}), std::logic_error);
    EXPECT_FALSE(cb->makeRenderCommandEncoder(pass));
    cb->waitUntilCompleted();
}

TEST(CommandBuffers, TheRecordKeepsWhatWasEncoded) {
    auto device = std::make_shared<SoftwareDevice>();
    auto cb = device->makeCommandQueue()->makeCommandBuffer();
    auto pipeline = device->makeComputePipelineState({"fill pipeline", testLibrary(*device)->makeFunction("fill")});
    auto e = cb->makeComputeCommandEncoder();
    e->setLabel("compute");
    e->pushDebugGroup("group");
    e->setComputePipelineState(pipeline);
    float bytes[2] = {1.5f, 2.5f};
    e->setBytes(bytes, sizeof bytes, 3);
    bytes[0] = 9; // copied when encoded
    e->dispatchThreadgroups({2, 3, 1}, {32, 32, 1});
    e->popDebugGroup();
    e->endEncoding();

    const EncoderRecord& r = *cb->encoders().at(0);
    EXPECT_EQ(r.kind, EncoderRecord::Kind::compute);
    EXPECT_EQ(r.label, "compute");
    EXPECT_EQ(std::get<command::PushDebugGroup>(r.commands[0]).name, "group");
    EXPECT_EQ(std::get<command::SetComputePipelineState>(r.commands[1]).state->label(), "fill pipeline");
    const auto& set = std::get<command::SetBytes>(r.commands[2]);
    EXPECT_EQ(set.index, 3u);
    float stored[2];
    std::memcpy(stored, set.bytes.data(), sizeof stored);
    EXPECT_EQ(stored[0], 1.5f);
    const auto& dispatch = std::get<command::DispatchThreadgroups>(r.commands[3]);
    EXPECT_EQ(dispatch.threadgroupsPerGrid, (Size3{2, 3, 1}));
    EXPECT_EQ(dispatch.threadsPerThreadgroup, (Size3{32, 32, 1}));
    EXPECT_EQ(pipeline->threadExecutionWidth(), 32u);
    EXPECT_EQ(pipeline->maxTotalThreadsPerThreadgroup(), 1024u);
}

TEST(CommandBuffers, ADeviceReleasedFromItsOwnCompletionHandlerShutsDownCleanly) {
    std::atomic<bool> ran{false};
    std::weak_ptr<Device> released;
    {
        auto device = std::make_shared<SoftwareDevice>();
        released = device;
        auto cb = device->makeCommandQueue()->makeCommandBuffer();
        cb->addCompletedHandler([&](CommandBuffer&) { ran = true; });
        cb->commit();
        // The command buffer now holds the last reference to the device.
    }
    for (int i = 0; i < 1000 && !released.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(released.expired());
}

} // namespace
