#pragma once
// What the loader reports while it loads a character: the notices of a load, the failures they
// carry and the progress of the archive downloads.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace MivoKit {

namespace character_loader {

enum class LoadError { fetchCharacterMetaFailed, downloadAssetsFailed, extractAssetsFailed };

// The text shown for a failure ("获取数字人信息失败", ...).
std::string_view reason(LoadError error);

struct DownloadProgress {
    std::int64_t downloadedBytes = 0; // of the archives completed so far
    std::int64_t totalBytes = 0;      // of all archives of the download
    float progress = 0;               // downloadedBytes / totalBytes; 0 when totalBytes < 1
    std::string resourceType;         // the archive just completed: "animation" or "model"
    std::string characterId;

    // progress × 100, truncated toward zero (0.999 gives 99).
    int percentage() const;
};

// One notice of a load. The alternatives keep the order of the cases.
class LoadState {
public:
    struct Downloading {
        DownloadProgress progress;
    };
    struct Failed {
        LoadError error;
    };
    struct Preparing {};
    struct VersionIncompatibility {};
    struct Extracting {};
    struct Completed {};

    using Value = std::variant<Downloading, Failed, Preparing, VersionIncompatibility, Extracting, Completed>;

    static LoadState downloading(DownloadProgress progress) { return LoadState(Downloading{std::move(progress)}); }
    static LoadState failed(LoadError error) { return LoadState(Failed{error}); }
    static LoadState preparing() { return LoadState(Preparing{}); }
    static LoadState versionIncompatibility() { return LoadState(VersionIncompatibility{}); }
    static LoadState extracting() { return LoadState(Extracting{}); }
    static LoadState completed() { return LoadState(Completed{}); }

    const Value& value() const { return value_; }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(value_);
    }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&value_);
    }

private:
    explicit LoadState(Value value) : value_(std::move(value)) {}
    Value value_;
};

// Receives the notices of a load, on the loader's background threads, in the order of the road.
// An empty handler hears nothing.
using StateHandler = std::function<void(const LoadState&)>;

// Calls the handler when there is one.
inline void notify(const StateHandler& handler, const LoadState& state) {
    if (handler) handler(state);
}

} // namespace character_loader

} // namespace MivoKit
