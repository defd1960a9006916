#pragma once
// A picture of lip sync: the speech's loudness (grey bars, one per 40 ms) and the jaw opening of the
// frames shown (red line, at the audio clock they were shown at) on one time axis, with a line a
// second. Both are scaled to their own maximum, so a jaw that follows the speech traces its bars.

#include "tools/demo/image_files.hpp"

#include <cstdint>
#include <utility>
#include <vector>

using namespace MivoKit;

namespace demo {

// `samples` are 16-bit mono PCM at `sampleRate`; `jaw` holds (seconds, jaw opening) pairs.
RGBAImage plotEnvelopeAndJaw(const std::vector<std::int16_t>& samples, int sampleRate,
                             const std::vector<std::pair<double, float>>& jaw, std::uint32_t width = 900,
                             std::uint32_t height = 300);

} // namespace demo
