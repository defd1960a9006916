#include "kit/loader/load_state.hpp"

namespace MivoKit {

namespace character_loader {

std::string_view reason(LoadError error) {
    switch (error) {
    case LoadError::fetchCharacterMetaFailed: return "获取数字人信息失败";
    case LoadError::downloadAssetsFailed: return "下载数字人资源失败";
    case LoadError::extractAssetsFailed: return "解压数字人资源失败";
    }
    return {};
}

int DownloadProgress::percentage() const { return static_cast<int>(progress * 100.0f); }

} // namespace character_loader

} // namespace MivoKit
