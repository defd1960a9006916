#include "kit/model/path_join.hpp"

namespace MivoKit {

std::filesystem::path appendRelative(const std::filesystem::path& root, std::string_view relative) {
    std::filesystem::path out = root;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        std::string_view part = relative.substr(start, end - start);
        if (!part.empty() && part != ".") out /= std::filesystem::path(std::string(part));
        start = end + 1;
    }
    return out;
}

} // namespace MivoKit
