#include "kit/io/obj_parser.hpp"

#include "kit/io/file_input_stream.hpp"
#include "kit/model/number_text.hpp"
#include "kit/io/utf8.hpp"
#include "platform/log/log.hpp"

#include <limits>
#include <optional>
#include <string>

namespace MivoKit {

namespace {

// Splits at `separator`; runs of separators count as one and produce no empty pieces. Stops after
// `limit` pieces (the rest of the line is not needed).
template <std::size_t N>
std::size_t split(std::string_view text, char separator, std::array<std::string_view, N>& pieces,
                  std::size_t limit = N) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < text.size() && count < limit) {
        while (i < text.size() && text[i] == separator) ++i;
        if (i == text.size()) break;
        std::size_t start = i;
        while (i < text.size() && text[i] != separator) ++i;
        pieces[count++] = text.substr(start, i - start);
    }
    return count;
}

// A 1-based index as written, made 0-based; none when it does not convert.
std::optional<std::ptrdiff_t> zeroBasedIndex(std::string_view token) {
    auto value = number_text::parseInteger<std::ptrdiff_t>(token);
    if (!value || *value == std::numeric_limits<std::ptrdiff_t>::min()) return std::nullopt;
    return *value - 1;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& url, std::string& failure) {
    auto stream = FileInputStream::make(url);
    if (!stream) {
        failure = "invalid file path \"" + url.string() + "\"";
        return std::nullopt;
    }
    stream->open();
    std::string contents;
    char chunk[65536];
    for (;;) {
        ssize_t n = stream->read(chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            failure = "cannot read \"" + url.string() + "\": " + stream->failureDescription();
            return std::nullopt;
        }
        contents.append(chunk, static_cast<std::size_t>(n));
    }
    if (!utf8::isValid(contents)) {
        failure = "\"" + url.string() + "\" is not UTF-8 text";
        return std::nullopt;
    }
    return contents;
}

} // namespace

void OBJParser::parseOBJFile(const std::filesystem::path& url) {
    std::string failure;
    auto text = readWholeFile(url, failure);
    if (!text) {
        platform::log::print("读取文件错误: " + failure);
        return;
    }
    std::string_view rest = *text;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty()) parseLine(line);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}

void OBJParser::parseLine(std::string_view line) {
    // At most a keyword and three values or corners are used; further tokens are ignored.
    std::array<std::string_view, 4> tokens;
    std::size_t count = split(line, ' ', tokens);
    if (count == 0) return;
    std::string_view keyword = tokens[0];

    if (keyword == "v") {
        if (count < 4) return;
        auto x = number_text::parseFloat(tokens[1]);
        auto y = number_text::parseFloat(tokens[2]);
        auto z = number_text::parseFloat(tokens[3]);
        if (x && y && z) vertices.push_back({*x, *y, *z});
    } else if (keyword == "vt") {
        if (count < 3) return;
        auto u = number_text::parseFloat(tokens[1]);
        auto v = number_text::parseFloat(tokens[2]);
        if (u && v) vt.push_back({*u, *v});
    } else if (keyword == "f") {
        // Every corner must hold a vertex and a texture index, not only the three that are kept.
        std::array<std::ptrdiff_t, 3> vertexIndices{};
        std::array<std::ptrdiff_t, 3> textureIndices{};
        std::size_t corners = 0;
        std::string_view rest = line.substr(static_cast<std::size_t>(keyword.data() - line.data()) + 1);
        std::array<std::string_view, 1> corner;
        while (split(rest, ' ', corner) == 1) {
            std::array<std::string_view, 2> parts;
            if (split(corner[0], '/', parts) < 2) return;
            auto vertex = zeroBasedIndex(parts[0]);
            auto texture = zeroBasedIndex(parts[1]);
            if (!vertex || !texture) return;
            if (corners < 3) {
                vertexIndices[corners] = *vertex;
                textureIndices[corners] = *texture;
            }
            ++corners;
            rest = rest.substr(static_cast<std::size_t>(corner[0].data() + corner[0].size() - rest.data()));
        }
        if (corners < 3) return;
        faces.push_back(vertexIndices);
        vtIdx.push_back(textureIndices);
    }
}

} // namespace MivoKit
