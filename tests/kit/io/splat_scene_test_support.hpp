#pragma once
// A scene-reader delegate that records every report, for the splat reader tests.

#include "kit/model/splat_scene_reader.hpp"

#include <string>
#include <vector>

using namespace MivoKit;

namespace splattest {

class RecordingSceneDelegate : public SplatSceneReaderDelegate {
public:
    void didStartReading(std::optional<std::uint32_t> count) override {
        events.push_back("start " + (count ? std::to_string(*count) : std::string("none")));
    }
    void didRead(std::span<const SplatScenePoint> batch) override {
        events.push_back("points " + std::to_string(batch.size()));
        points.insert(points.end(), batch.begin(), batch.end());
    }
    void didFinishReading() override { events.push_back("finish"); }
    void didFailReading(std::exception_ptr e) override {
        error = e;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            events.push_back(std::string("fail: ") + ex.what());
        }
    }
    int terminalReports() const {
        int n = 0;
        for (const auto& e : events) n += e == "finish" || e.rfind("fail", 0) == 0;
        return n;
    }

    std::vector<std::string> events;
    std::vector<SplatScenePoint> points;
    std::exception_ptr error;
};

} // namespace splattest
