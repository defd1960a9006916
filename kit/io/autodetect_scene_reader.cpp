#include "kit/io/autodetect_scene_reader.hpp"

#include "kit/io/dot_splat_scene_reader.hpp"
#include "kit/io/splat_ply_scene_reader.hpp"

#include <algorithm>
#include <string>

namespace MivoKit {

namespace {

// The text after the last dot of the last path component, lower-cased (ASCII); empty when none.
std::string lowercasePathExtension(const std::filesystem::path& url) {
    std::string name = url.filename().string();
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return extension;
}

} // namespace

AutodetectSceneReader::AutodetectSceneReader(const std::filesystem::path& url) {
    std::string extension = lowercasePathExtension(url);
    if (extension == "ply") reader_ = std::make_shared<SplatPLYSceneReader>(url);
    else if (extension == "splat") reader_ = std::make_shared<DotSplatSceneReader>(url);
    else throw Error(ErrorCode::unknownPathExtension, "AutodetectSceneReader.Error.unknownPathExtension");
}

void AutodetectSceneReader::read(SplatSceneReaderDelegate& delegate) { reader_->read(delegate); }

} // namespace MivoKit
