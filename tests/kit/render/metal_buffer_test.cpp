// The typed GPU array: exact sizes, errors, the allocation log line and in-flight safety.

#include "render_fixture.hpp"

#include "kit/render/metal_buffer.hpp"
#include "platform/log/log.hpp"

#include <gtest/gtest.h>

using namespace MivoKit;

using namespace rendertest;

namespace {

std::vector<std::string> allocationLines(const platform::log::Capture& capture) {
    std::vector<std::string> lines;
    for (const auto& e : capture.entries())
        if (e.subsystem == "MetalBuffer" && e.category == "MetalBuffer" && e.level == platform::log::Level::info)
            lines.push_back(e.message);
    return lines;
}

// A device that refuses every buffer once told to.
class RefusingDevice : public SoftwareDevice {
public:
    bool refuse = false;
    std::shared_ptr<Buffer> makeBuffer(std::size_t length) override {
        return refuse ? nullptr : SoftwareDevice::makeBuffer(length);
    }
};

TEST(MetalBuffer, SizesAreExactAndKeepTheirFirstElements) {
    auto device = makeDevice();
    platform::log::Capture capture;
    MetalBuffer<std::uint32_t> buffer(device, 0);
    EXPECT_EQ(buffer.capacity(), 1u);
    EXPECT_EQ(buffer.buffer()->length(), 4u);

    buffer.ensureCapacity(5);
    for (std::uint32_t i = 0; i < 3; ++i) buffer.values()[i] = 10 + i;
    buffer.count = 3;
    buffer.ensureCapacity(5); // same size: nothing allocated, nothing logged
    ASSERT_EQ(allocationLines(capture), (std::vector<std::string>{"Allocating a new buffer of size 4 * 5 = 0.000019mb"}));

    buffer.ensureCapacity(0);
    EXPECT_EQ(buffer.capacity(), 1u);
    EXPECT_EQ(buffer.count, 1u);
    EXPECT_EQ(buffer.values()[0], 10u);

    MetalBuffer<Splat> splats(device, 1);
    splats.ensureCapacity(1000);
    EXPECT_EQ(allocationLines(capture).back(), "Allocating a new buffer of size 52 * 1000 = 0.049591mb");
    EXPECT_EQ(splats.buffer()->length(), 52000u);
}

TEST(MetalBuffer, RequestsAboveTheDeviceLimitOrRefusedAllocationsLeaveTheBufferAsItWas) {
    SoftwareDeviceDescriptor d;
    d.maxBufferLength = 52 * 100 + 51;
    auto device = std::make_shared<SoftwareDevice>(d);
    try {
        MetalBuffer<Splat> tooBig(device, 101);
        FAIL() << "no error";
    } catch (const MetalBufferError& e) {
        EXPECT_EQ(e.code(), MetalBufferErrorCode::capacityGreatedThanMaxCapacity);
        EXPECT_EQ(e.requested(), 101u);
        EXPECT_EQ(e.max(), 100u);
        EXPECT_EQ(e.description(), "Requested metal buffer size (101) exceeds device maximum (100)");
    }
    MetalBuffer<Splat> buffer(device, 100);
    buffer.count = 7;
    EXPECT_THROW(buffer.ensureCapacity(250), MetalBufferError);
    EXPECT_EQ(buffer.capacity(), 100u);
    EXPECT_EQ(buffer.count, 7u);

    auto refusing = std::make_shared<RefusingDevice>();
    MetalBuffer<Splat> kept(refusing, 4);
    const auto before = kept.buffer();
    refusing->refuse = true;
    try {
        kept.ensureCapacity(8);
        FAIL() << "no error";
    } catch (const MetalBufferError& e) {
        EXPECT_EQ(e.code(), MetalBufferErrorCode::bufferCreationFailed);
        EXPECT_EQ(e.description(), "Failed to create metal buffer");
    }
    EXPECT_EQ(kept.buffer(), before);
    EXPECT_EQ(kept.capacity(), 4u);
}

TEST(MetalBuffer, WritingWhileACommandBufferStillReadsMovesToFreshStorage) {
    auto device = makeDevice();
    MetalBuffer<std::uint32_t> buffer(device, 4);
    buffer.values()[0] = 42;
    buffer.count = 1;
    buffer.prepareForCPUWrite(); // not in use: the storage stays
    const auto first = buffer.buffer();
    EXPECT_EQ(buffer.buffer(), first);

    auto queue = device->makeCommandQueue();
    auto commandBuffer = queue->makeCommandBuffer();
    auto encoder = commandBuffer->makeComputeCommandEncoder();
    encoder->setBuffer(first, 0, 0);
    encoder->endEncoding();
    buffer.prepareForCPUWrite();
    EXPECT_NE(buffer.buffer(), first);
    EXPECT_EQ(buffer.capacity(), 4u);
    EXPECT_EQ(buffer.values()[0], 42u);
    buffer.values()[0] = 7;
    EXPECT_EQ(reinterpret_cast<std::uint32_t*>(first->contents())[0], 42u); // what the GPU reads is intact
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    EXPECT_FALSE(first->isInUseByGPU());
}

} // namespace
