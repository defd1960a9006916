#pragma once
// The Mivo namespace: constants, the error record and the state enumerations the kit reports.

#include <optional>
#include <string>
#include <string_view>

namespace MivoKit {

namespace Mivo {

inline constexpr double defaultAudioSampleRate = 16000.0;
inline constexpr float videoFPS = 25.0f;
inline constexpr double audioSampleRateServer = 24000.0;

// A failure reported to the application. Never thrown: it travels in delegate calls.
class Error {
public:
    // The code of a type is 1001 plus its position.
    enum class ErrorType : int {
        sdkNotVerified = 1001,
        characterIdWrong,
        characterAssetsMissing,
        characterCameraSettingsWrong,
        serviceError,
        activeAudioSessionFailed,
        startAudioEngineFailed,
        sendDataWrong,
        requestTimeout,
    };

    // An error of `type` with the reason text that always goes with it.
    explicit Error(ErrorType type);

    // The case name of the type, e.g. "requestTimeout".
    std::string id() const;

    ErrorType type() const { return type_; }
    const std::string& reason() const { return reason_; }

private:
    ErrorType type_;
    std::string reason_;
};

int rawValue(Error::ErrorType type);
// The type of code `raw` (1001 to 1009); nullopt for any other number.
std::optional<Error::ErrorType> errorTypeFromRawValue(int raw);
std::string_view caseName(Error::ErrorType type);
std::string_view reasonText(Error::ErrorType type);

enum class PlayerError { activeAudioSessionFailed, startAudioEngineFailed };
enum class ConnectionState { disconnected, connecting, connected, failed };
enum class ConversationState { idle, starting, active, closing };
enum class PlayerState { idle, playing };
enum class DriveServiceType { none, audiovisual, animation };

} // namespace Mivo

} // namespace MivoKit
