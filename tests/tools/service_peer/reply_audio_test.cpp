// The peer's reply speech on its own: the generated voice and a given WAV file.

#include "platform/audio/wav_file.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tools/service_peer/peer_session.hpp"
#include "tools/service_peer/reply_voice.hpp"
#include "tools/service_peer/reply_wav.hpp"

#include <gmock/gmock.h>

#include <algorithm>

using namespace MivoKit;

using namespace peertest;
using namespace service_peer;

namespace {

// The pitch in Hz of 40 ms from `first`: the shortest lag within 80..300 Hz whose autocorrelation
// is a local peak near the best (longer lags are multiples of the period).
double pitchAt(const PcmAudio& audio, std::size_t first) {
    std::vector<double> byLag(std::size_t(kRate / 80) + 2, 0.0); // the last stays 0, ending the search
    for (std::size_t lag = kRate / 300; lag + 1 < byLag.size(); ++lag)
        for (std::size_t i = first; i < first + kRate / 25; ++i) byLag[lag] += double(audio.samples[i]) * audio.samples[i + lag];
    const double best = *std::max_element(byLag.begin(), byLag.end());
    std::size_t lag = kRate / 300;
    while (byLag[lag] < 0.8 * best || byLag[lag + 1] > byLag[lag]) ++lag;
    return double(kRate) / double(lag);
}

TEST(ReplyVoiceTest, IsAPitchedVoiceInSyllablesWhoseLoudnessRisesAndFalls) {
    const PcmAudio voice = makeReplyVoice(kRate);
    EXPECT_GE(voice.seconds(), 2.0);
    EXPECT_LE(voice.seconds(), 3.0);
    const auto levels = keyframeLevels(voice.bytes(0, voice.samples.size()));
    const double loudest = *std::max_element(levels.begin(), levels.end());
    // Syllables: rises above a quarter of the loudest level after a near-silent pause.
    int syllables = 0;
    bool inPause = true;
    std::vector<double> pitches;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        if (inPause && levels[k] > 0.25 * loudest) ++syllables, inPause = false;
        if (levels[k] < 0.05 * loudest) inPause = true;
        if (levels[k] > 0.3 * loudest && k + 2 < levels.size()) pitches.push_back(pitchAt(voice, k * kRate / 25));
    }
    EXPECT_GE(syllables / voice.seconds(), 3.0);
    EXPECT_LE(syllables / voice.seconds(), 5.0);
    const auto [lowest, highest] = std::minmax_element(pitches.begin(), pitches.end());
    EXPECT_GE(*lowest, 110.0);
    EXPECT_LE(*highest, 230.0);
    EXPECT_GT(*highest - *lowest, 20.0) << "the pitch moves";
}

TEST(ReplyWavTest, IsResampledToTheSessionRateByLinearInterpolation) {
    EXPECT_EQ(resample(PcmAudio{kRate / 2, {0, 1000, -2000, 3000, 32767, -32768}}, kRate).samples,
              (std::vector<std::int16_t>{0, 500, 1000, -500, -2000, 500, 3000, 17884, 32767, -1, -32768}));

    testsupport::TempDir temp;
    const auto speech = toneBytes({0.2, 0.7}, 0.3);
    platform::audio::writePCM16MonoWavFile(temp / "same.wav", speech, kRate);
    EXPECT_EQ(readReplyWav(temp / "same.wav", kRate).bytes(0, speech.size()), speech);
    platform::audio::writePCM16MonoWavFile(temp / "half.wav", speech, kRate / 2);
    EXPECT_EQ(readReplyWav(temp / "half.wav", kRate).samples.size(), speech.size() - 1) << "2 n - 1 samples from n";

    // The peer speaks a given file, and refuses to start with a missing one.
    auto options = peerOptions();
    options.replyWav = temp / "same.wav";
    EXPECT_EQ(ServicePeer(options).replyAudio().bytes(0, speech.size()), speech);
    options.replyWav = temp / "missing.wav";
    EXPECT_THROW(ServicePeer{options}, std::runtime_error);
}

} // namespace
