#include "platform/audio/pcm_buffer.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace MivoKit;

using namespace platform::audio;

TEST(AudioFormat, ValidityAndStandardLayout) {
    EXPECT_TRUE(AudioFormat::standard(48000, 2).isValid());
    EXPECT_TRUE(AudioFormat::standard(48000, 2).isStandard());
    EXPECT_FALSE(AudioFormat(CommonFormat::pcmFormatFloat32, 48000, 2, true).isStandard());
    EXPECT_FALSE(AudioFormat::standard(48000, 0).isValid());
    EXPECT_FALSE(AudioFormat::standard(0, 1).isValid());
    EXPECT_FALSE(AudioFormat::standard(NAN, 1).isValid());
    EXPECT_FALSE(AudioFormat(CommonFormat::otherFormat, 48000, 1, false).isValid());
    EXPECT_EQ(AudioFormat::standard(16000, 1), AudioFormat(CommonFormat::pcmFormatFloat32, 16000, 1, false));
}

TEST(PCMBuffer, StartsSilentAndKeepsItsLengthWithinCapacity) {
    EXPECT_EQ(PCMBuffer::make(AudioFormat::standard(16000, 0), 10), nullptr);
    auto buffer = PCMBuffer::make(AudioFormat::standard(16000, 2), 5);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameCapacity(), 5u);
    EXPECT_EQ(buffer->frameLength(), 0u);
    EXPECT_TRUE(buffer->setFrameLength(5));
    EXPECT_FALSE(buffer->setFrameLength(6));
    EXPECT_EQ(buffer->frameLength(), 5u);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(buffer->floatChannelData(c)[i], 0.0f);
    // Channels are separate blocks.
    buffer->floatChannelData(0)[4] = 1;
    EXPECT_EQ(buffer->floatChannelData(1)[0], 0.0f);
    EXPECT_EQ(buffer->floatChannelData(2), nullptr);
    EXPECT_EQ(buffer->stride(), 1u);
    ASSERT_TRUE(PCMBuffer::make(AudioFormat::standard(16000, 1), 0));
}

TEST(PCMBuffer, ChannelDataMatchesTheSampleTypeAndLayout) {
    auto interleaved = PCMBuffer::make(AudioFormat(CommonFormat::pcmFormatInt16, 8000, 3, true), 4);
    ASSERT_TRUE(interleaved);
    EXPECT_EQ(interleaved->floatChannelData(0), nullptr);
    ASSERT_NE(interleaved->int16ChannelData(0), nullptr);
    EXPECT_EQ(interleaved->int16ChannelData(1), nullptr); // one block holds every channel
    EXPECT_EQ(interleaved->stride(), 3u);
    interleaved->int16ChannelData(0)[11] = 7; // last sample of the last frame
    EXPECT_EQ(interleaved->int16ChannelData(0)[11], 7);

    auto doubles = PCMBuffer::make(AudioFormat(CommonFormat::pcmFormatFloat64, 8000, 2, false), 3);
    ASSERT_NE(doubles->doubleChannelData(1), nullptr);
    EXPECT_EQ(doubles->int32ChannelData(0), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(doubles->doubleChannelData(1)) % alignof(double), 0u);
}
