#pragma once
// What a drive service reports to its delegate: one server message or one failure.

#include "kit/model/flame_frame_data.hpp"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace MivoKit {

namespace mv_character_service_event_cases {

// The answer to request `reqId` begins.
struct ResponseStart {
    std::string reqId;
};
// The answer to request `reqId` is complete.
struct ResponseEnd {
    std::string reqId;
};
// A piece of the answer's speech: 16-bit mono PCM bytes.
struct AudioData {
    std::vector<std::uint8_t> data;
    std::string reqId;
};
// Keyframes of the answer, in order.
struct AnimationFrames {
    std::vector<FlameFrameData> frames;
    std::string reqId;
};
// The URL was refused, the connection failed or the server reported an error.
struct Error {
    std::string message;
};
// No message arrived within the configured request timeout after a send.
struct RequestTimeout {};

} // namespace mv_character_service_event_cases

// The cases in this order: responseStart, responseEnd, audioData, animationFrames, error, requestTimeout.
struct MvCharacterServiceEvent
    : std::variant<mv_character_service_event_cases::ResponseStart, mv_character_service_event_cases::ResponseEnd,
                   mv_character_service_event_cases::AudioData, mv_character_service_event_cases::AnimationFrames,
                   mv_character_service_event_cases::Error, mv_character_service_event_cases::RequestTimeout> {
    using ResponseStart = mv_character_service_event_cases::ResponseStart;
    using ResponseEnd = mv_character_service_event_cases::ResponseEnd;
    using AudioData = mv_character_service_event_cases::AudioData;
    using AnimationFrames = mv_character_service_event_cases::AnimationFrames;
    using Error = mv_character_service_event_cases::Error;
    using RequestTimeout = mv_character_service_event_cases::RequestTimeout;
    using variant::variant;
};

} // namespace MivoKit
