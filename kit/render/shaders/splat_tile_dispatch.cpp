// Chooses the tile kernel once per process: MIVO_SPLAT_KERNELS when it names a variant this CPU
// can run, else the fastest it can.

#include "kit/render/shaders/splat_tile_kernels.hpp"

#include "platform/log/log.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace MivoKit {

namespace shaders {
namespace {

const SplatTileKernels& choose() {
    const SplatTileKernels* variants[4];
    const int count = availableSplatTileKernels(variants, 4);
    if (const char* forced = std::getenv("MIVO_SPLAT_KERNELS"); forced && *forced) {
        for (int i = 0; i < count; ++i)
            if (std::strcmp(variants[i]->name, forced) == 0) return *variants[i];
        platform::log::Logger(std::string(platform::log::kitBundleIdentifier), "SplatTileKernels")
            .error(std::string("MIVO_SPLAT_KERNELS=") + forced + " is not a variant this CPU runs; using " +
                   variants[0]->name);
    }
    return *variants[0];
}

std::atomic<const SplatTileKernels*>& active() {
    static std::atomic<const SplatTileKernels*> kernels{&choose()};
    return kernels;
}

} // namespace

int availableSplatTileKernels(const SplatTileKernels* out[], int capacity) {
    int count = 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (count < capacity && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        out[count++] = &avx2SplatTileKernels();
#endif
    if (count < capacity) out[count++] = &portableSplatTileKernels();
    return count;
}

const SplatTileKernels& activeSplatTileKernels() { return *active().load(std::memory_order_relaxed); }

void setActiveSplatTileKernels(const SplatTileKernels& kernels) {
    active().store(&kernels, std::memory_order_relaxed);
}

} // namespace shaders

} // namespace MivoKit
