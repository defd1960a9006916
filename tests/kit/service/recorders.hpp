#pragma once
// Delegates that record what the service tells them, in order (main queue only).

#include "kit/model/mivo_sdk.hpp"
#include "kit/service/mv_character_service.hpp"

#include <string>
#include <variant>
#include <vector>

using namespace MivoKit;

struct RecordingServiceDelegate : MvCharacterServiceDelegate {
    // A connection notice (bool) or an event, in the order they came.
    std::vector<std::variant<bool, MvCharacterServiceEvent>> log;

    void serviceConnectionChanged(bool connected) override { log.emplace_back(connected); }
    void handleServiceEvent(const MvCharacterServiceEvent& event) override { log.emplace_back(event); }

    std::vector<bool> connectionChanges() const {
        std::vector<bool> changes;
        for (const auto& entry : log) {
            if (const auto* change = std::get_if<bool>(&entry)) changes.push_back(*change);
        }
        return changes;
    }
    std::vector<MvCharacterServiceEvent> events() const {
        std::vector<MvCharacterServiceEvent> all;
        for (const auto& entry : log) {
            if (const auto* event = std::get_if<MvCharacterServiceEvent>(&entry)) all.push_back(*event);
        }
        return all;
    }
    template <class Case>
    std::vector<Case> eventsOf() const {
        std::vector<Case> matching;
        for (const auto& event : events()) {
            if (const auto* found = std::get_if<Case>(&event)) matching.push_back(*found);
        }
        return matching;
    }
    std::vector<std::string> errors() const {
        std::vector<std::string> texts;
        for (const auto& error : eventsOf<MvCharacterServiceEvent::Error>()) texts.push_back(error.message);
        return texts;
    }
};

struct RecordingSDKDelegate : MivoSDKDelegate {
    int started = 0;
    int failedToStart = 0;
    void avatarSDKDidStarted() override { ++started; }
    void avatarSDKFailedToStart() override { ++failedToStart; }
};
