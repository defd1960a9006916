#pragma once
// Parses the text of a PLY header, from the "ply" line through "end_header".

#include "kit/io/ply_header.hpp"

#include <string_view>

namespace MivoKit {

// The header the text describes. Throws PLYReaderError at the first offending line; parsing never
// continues past a failure and never yields a partial header.
PLYHeader parsePLYHeader(std::string_view text);

} // namespace MivoKit
