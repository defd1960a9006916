// Generates the synthetic FLAME-format assets at build time:
//   flame_assets <resource directory> <character directory>

#include "tools/flame_assets/asset_files.hpp"

#include <cstdio>
#include <exception>

using namespace MivoKit;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <resource directory> <character directory>\n", argv[0]);
        return 2;
    }
    try {
        const auto head = synthetic::makeHead();
        synthetic::writeModelResources(head, argv[1]);
        synthetic::writeCharacter(head, argv[1], argv[2]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "flame_assets: %s\n", error.what());
        return 1;
    }
    return 0;
}
