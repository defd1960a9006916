#pragma once
// What the service peer has seen and done, kept for tests: upgrade requests, every received
// message decoded, what each reply sent, and HTTP requests. The server thread adds to it; any
// thread may read copies or wait for a condition. Thread-safe.

#include "tools/service_peer/wire_protocol.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using namespace MivoKit;

namespace service_peer {

struct UpgradeRecord {
    std::string target;                         // path and query as sent
    std::map<std::string, std::string> headers; // as sent
    WireProtocol protocol = WireProtocol::realtime;
    bool accepted = false;
    int status = 0; // 101 when accepted, else the refusal's HTTP status
};

struct ReceivedMessage {
    WireProtocol protocol = WireProtocol::realtime;
    bool decoded = false; // false: the bytes were no envelope of the protocol
    int type = 0;         // the envelope's type number
    std::string reqId;
    std::size_t audioBytes = 0;
};

// One keyframe sent: its time in the reply audio (the user's audio in the animation drive) and its
// jaw opening.
struct SentKeyframe {
    double offset = 0; // seconds
    float jaw = 0;     // jaw_pose[0], radians
};

// One message of a reply as it went out.
struct SentMessage {
    int type = 0;
    std::size_t audioBytes = 0;
    std::size_t keyframes = 0;
    double due = 0;    // seconds after the reply began, as planned (pace and mode applied)
    double sentAt = 0; // seconds after the reply began, when its write completed
};

struct ReplyRecord {
    WireProtocol protocol = WireProtocol::realtime;
    std::string reqId;
    std::vector<SentMessage> messages;
    std::vector<SentKeyframe> keyframes;
    bool finished = false; // every planned message was sent
    bool dropped = false;  // the peer dropped the connection partway, as the drop mode does

    std::size_t audioBytes() const;
    std::vector<int> types() const;
};

struct HttpRecord {
    std::string method;
    std::string target;
    int status = 0;
    std::size_t bodyBytes = 0;
};

// Everything recorded, in arrival order.
struct PeerHistory {
    std::vector<UpgradeRecord> upgrades;
    std::vector<ReceivedMessage> received;
    std::vector<ReplyRecord> replies;
    std::vector<HttpRecord> httpRequests;

    // The latest reply to that request, if one began.
    const ReplyRecord* reply(const std::string& reqId) const;
};

class PeerRecord {
public:
    using ReplyId = std::size_t;

    void addUpgrade(UpgradeRecord upgrade);
    void addReceived(ReceivedMessage message);
    ReplyId beginReply(WireProtocol protocol, std::string reqId);
    void addSent(ReplyId reply, SentMessage message, const std::vector<SentKeyframe>& keyframes);
    void endReply(ReplyId reply, bool dropped);
    void addHttp(HttpRecord request);

    PeerHistory history() const;
    std::vector<UpgradeRecord> upgrades() const;
    std::vector<ReceivedMessage> received() const;
    std::vector<ReplyRecord> replies() const;
    std::optional<ReplyRecord> reply(const std::string& reqId) const;
    std::vector<HttpRecord> httpRequests() const;

    // Blocks until `done` holds for the history (checked under the record's lock at each change,
    // so it must not call back into the record) or the timeout passes; returns whether it held.
    bool waitUntil(const std::function<bool(const PeerHistory&)>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    template <class Change>
    void change(Change&& apply);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    PeerHistory history_;
};

} // namespace service_peer
