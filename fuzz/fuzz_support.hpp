#pragma once
// What every fuzz target shares: the seed list it provides, the oracle that only documented
// errors escape a reader, and small helpers to split one input into several.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

using FuzzBytes = std::vector<std::uint8_t>;

// Defined by each target: the inputs its corpus starts from.
std::vector<FuzzBytes> fuzzSeeds();

namespace fuzz {

// The folder of the generated resources (the synthetic FLAME files and the synthetic character).
std::filesystem::path resourceDirectory();
// The synthetic character's directory (character.json, animation/, model/), made at build time.
std::filesystem::path syntheticCharacterDirectory();

FuzzBytes readFile(const std::filesystem::path& path);
// The first `points` points of the synthetic character's binary point cloud, as the file stores them.
std::string syntheticCloud(std::size_t points);
FuzzBytes bytesOf(std::string_view text);
// Standard Base64 with padding, for seeds of peers that send binary as text.
std::string base64(std::span<const std::uint8_t> bytes);

// Stops the run with a report: libFuzzer records the input as a crash.
[[noreturn]] void fail(const std::string& what);

// Runs `read`; a documented error type (one of Allowed) is the reader's normal answer to bad
// input. Any other exception fails the run. Returns whether `read` finished without an error.
template <class... Allowed, class Read>
bool endsWithOnly(const char* reader, Read&& read);

// A scratch folder of its own per process, emptied on each call.
std::filesystem::path scratchDirectory();

// Silences the kit's log for the whole run: the readers log every refusal.
void quietLog();

} // namespace fuzz

#include "fuzz/fuzz_support_impl.hpp"
