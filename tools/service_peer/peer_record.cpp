#include "tools/service_peer/peer_record.hpp"

using namespace MivoKit;

namespace service_peer {

std::size_t ReplyRecord::audioBytes() const {
    std::size_t total = 0;
    for (const auto& message : messages) total += message.audioBytes;
    return total;
}

std::vector<int> ReplyRecord::types() const {
    std::vector<int> out;
    for (const auto& message : messages) out.push_back(message.type);
    return out;
}

const ReplyRecord* PeerHistory::reply(const std::string& reqId) const {
    for (auto it = replies.rbegin(); it != replies.rend(); ++it)
        if (it->reqId == reqId) return &*it;
    return nullptr;
}

template <class Change>
void PeerRecord::change(Change&& apply) {
    {
        std::lock_guard lock(mutex_);
        apply(history_);
    }
    changed_.notify_all();
}

void PeerRecord::addUpgrade(UpgradeRecord upgrade) {
    change([&](PeerHistory& h) { h.upgrades.push_back(std::move(upgrade)); });
}

void PeerRecord::addReceived(ReceivedMessage message) {
    change([&](PeerHistory& h) { h.received.push_back(std::move(message)); });
}

PeerRecord::ReplyId PeerRecord::beginReply(WireProtocol protocol, std::string reqId) {
    ReplyId id = 0;
    change([&](PeerHistory& h) {
        id = h.replies.size();
        h.replies.push_back(ReplyRecord{protocol, std::move(reqId), {}, {}, false, false});
    });
    return id;
}

void PeerRecord::addSent(ReplyId reply, SentMessage message, const std::vector<SentKeyframe>& keyframes) {
    change([&](PeerHistory& h) {
        auto& record = h.replies.at(reply);
        record.messages.push_back(message);
        record.keyframes.insert(record.keyframes.end(), keyframes.begin(), keyframes.end());
    });
}

void PeerRecord::endReply(ReplyId reply, bool dropped) {
    change([&](PeerHistory& h) {
        auto& record = h.replies.at(reply);
        record.dropped = dropped;
        record.finished = !dropped;
    });
}

void PeerRecord::addHttp(HttpRecord request) {
    change([&](PeerHistory& h) { h.httpRequests.push_back(std::move(request)); });
}

PeerHistory PeerRecord::history() const {
    std::lock_guard lock(mutex_);
    return history_;
}

std::vector<UpgradeRecord> PeerRecord::upgrades() const {
    std::lock_guard lock(mutex_);
    return history_.upgrades;
}

std::vector<ReceivedMessage> PeerRecord::received() const {
    std::lock_guard lock(mutex_);
    return history_.received;
}

std::vector<ReplyRecord> PeerRecord::replies() const {
    std::lock_guard lock(mutex_);
    return history_.replies;
}

std::optional<ReplyRecord> PeerRecord::reply(const std::string& reqId) const {
    std::lock_guard lock(mutex_);
    const ReplyRecord* found = history_.reply(reqId);
    return found ? std::optional<ReplyRecord>(*found) : std::nullopt;
}

std::vector<HttpRecord> PeerRecord::httpRequests() const {
    std::lock_guard lock(mutex_);
    return history_.httpRequests;
}

bool PeerRecord::waitUntil(const std::function<bool(const PeerHistory&)>& done,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(history_); });
}

} // namespace service_peer
