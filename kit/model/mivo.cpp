#include "kit/model/mivo.hpp"

#include <array>

namespace MivoKit {

namespace Mivo {
namespace {

struct ErrorRow {
    std::string_view name;
    std::string_view reason;
};

constexpr std::array<ErrorRow, 9> kErrorRows{{
    {"sdkNotVerified", "SDK未鉴权成功"},
    {"characterIdWrong", "数字人ID有问题"},
    {"characterAssetsMissing", "数字人资源有缺失"},
    {"characterCameraSettingsWrong", "数字人相机设置有问题"},
    {"serviceError", "服务器遇到错误"},
    {"activeAudioSessionFailed", "激活AudioSession失败"},
    {"startAudioEngineFailed", "启动AudioEngine失败"},
    {"sendDataWrong", "发送的数据有问题"},
    {"requestTimeout", "请求超时"},
}};

const ErrorRow& row(Error::ErrorType type) { return kErrorRows[static_cast<int>(type) - 1001]; }

} // namespace

Error::Error(ErrorType type) : type_(type), reason_(reasonText(type)) {}

std::string Error::id() const { return std::string(caseName(type_)); }

int rawValue(Error::ErrorType type) { return static_cast<int>(type); }

std::optional<Error::ErrorType> errorTypeFromRawValue(int raw) {
    if (raw < 1001 || raw > 1009) return std::nullopt;
    return static_cast<Error::ErrorType>(raw);
}

std::string_view caseName(Error::ErrorType type) { return row(type).name; }
std::string_view reasonText(Error::ErrorType type) { return row(type).reason; }

} // namespace Mivo

} // namespace MivoKit
