#pragma once
// A picture of lip sync over one time axis, in seconds from the start of the reply's speech: the
// speech's loudness (grey bars, the RMS level of each 40 ms in per cent of full scale, left scale)
// and the jaw opening of the frames shown (red line, a dot per frame drawn at the audio clock it
// was shown at, in degrees, right scale), with a legend. Both scales end just above their own
// maximum and share their grid lines, so a jaw that follows the speech traces the bars' outline.

#include "tools/demo/image_files.hpp"

#include <cstdint>
#include <utility>
#include <vector>

using namespace MivoKit;

namespace demo {

// `samples` are 16-bit mono PCM at `sampleRate`; `jaw` holds (seconds, jaw opening in radians)
// pairs in the order they were shown.
RGBAImage plotEnvelopeAndJaw(const std::vector<std::int16_t>& samples, int sampleRate,
                             const std::vector<std::pair<double, float>>& jaw, std::uint32_t width = 1000,
                             std::uint32_t height = 420);

} // namespace demo
