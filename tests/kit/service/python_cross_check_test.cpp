// The kit against a service written apart from it (tests/kit/service/wire_peer.py, over Python's
// protobuf and websockets packages): what the kit encodes must decode there, and what that peer
// encodes must decode here into the right events.

#include "kit/model/mivo_sdk.hpp"
#include "kit/service/base64.hpp"
#include "kit/service/mv_character_animation_service.hpp"
#include "kit/service/mv_character_audiovisual_service.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/net/trust_store.hpp"
#include "tests/kit/service/recorders.hpp"
#include "tests/support/temp_dir.hpp"
#include "tools/local_tls/local_certificate.hpp"

#include "tests/support/ends_idle.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace MivoKit;

using nlohmann::json;
using Event = MvCharacterServiceEvent;

namespace {

// The Python peer as a child process whose report lines are read one at a time.
class PythonPeer {
public:
    PythonPeer(const std::string& schema, const testsupport::TempDir& dir) {
        const auto& certificate = local_tls::localhostCertificate();
        testsupport::writeFile(dir / "cert.pem", certificate.certificatePem);
        testsupport::writeFile(dir / "key.pem", certificate.privateKeyPem);
        std::vector<std::string> arguments{"/usr/bin/python3", MIVO_WIRE_PEER_SCRIPT,
                                           "--cert", (dir / "cert.pem").string(),
                                           "--key", (dir / "key.pem").string(),
                                           "--modules", MIVO_WIRE_PEER_MODULES,
                                           "--session-key", "token",
                                           "--schema", schema};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);

        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        const bool spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (!spawned) {
            close(fds[0]);
            return;
        }
        output_ = fdopen(fds[0], "r");
        port = nextLine().value("port", 0);
    }
    ~PythonPeer() {
        if (pid_ > 0) exitStatus();
    }

    // The next report line; a JSON null when the peer has exited.
    json nextLine() {
        char* line = nullptr;
        std::size_t capacity = 0;
        const bool read = output_ && getline(&line, &capacity, output_) > 0;
        json entry = read ? json::parse(line) : json();
        free(line);
        return entry;
    }
    // Waits for the peer to exit; its exit status.
    int exitStatus() {
        if (output_) fclose(output_);
        output_ = nullptr;
        int status = 0;
        const bool waited = pid_ > 0 && waitpid(pid_, &status, 0) == pid_;
        pid_ = 0;
        return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int port = 0;

private:
    pid_t pid_ = 0;
    FILE* output_ = nullptr;
};

std::vector<float> floats(const json& object, const char* key) {
    return object.contains(key) ? object[key].get<std::vector<float>>() : std::vector<float>{};
}

std::vector<std::uint8_t> bytesOf(const json& object, const char* key) {
    return object.contains(key) ? decodeBase64(object[key].get<std::string>()).value() : std::vector<std::uint8_t>{};
}

std::string text(const json& object, const char* key) { return object.value(key, std::string()); }

// The peer's answer envelope (protobuf JSON) and the event the kit made of it must agree.
void expectEventOf(const json& envelope, const Event& event) {
    const std::string type = envelope.at("type");
    SCOPED_TRACE(type);
    if (type == "MESSAGE_ERROR") {
        EXPECT_EQ(std::get<Event::Error>(event).message, text(envelope.at("error"), "reason"));
    } else if (type == "MESSAGE_SERVER_RESPONSE_START") {
        EXPECT_EQ(std::get<Event::ResponseStart>(event).reqId, text(envelope.at("server_response_start"), "req_id"));
    } else if (type == "MESSAGE_SERVER_RESPONSE_END") {
        EXPECT_EQ(std::get<Event::ResponseEnd>(event).reqId, text(envelope.at("server_response_end"), "req_id"));
    } else if (type == "MESSAGE_SERVER_RESPONSE_AUDIO") {
        const auto& audio = envelope.at("server_response_audio");
        EXPECT_EQ(std::get<Event::AudioData>(event).reqId, text(audio, "req_id"));
        EXPECT_EQ(std::get<Event::AudioData>(event).data, bytesOf(audio, "audio"));
    } else if (type == "MESSAGE_SERVER_RESPONSE_ANIMATION") {
        const auto& answer = envelope.at("server_response_animation");
        const auto& frames = std::get<Event::AnimationFrames>(event);
        EXPECT_EQ(frames.reqId, text(answer, "req_id"));
        const auto& keyframes = answer.at("animation").at("keyframes");
        ASSERT_EQ(frames.frames.size(), keyframes.size());
        for (std::size_t i = 0; i < keyframes.size(); ++i) {
            const auto& keyframe = keyframes[i];
            const auto& frame = frames.frames[i];
            auto translation = floats(keyframe, "translation");
            translation.resize(3, 0.0f);
            EXPECT_EQ(frame.translation.x, translation[0]);
            EXPECT_EQ(frame.translation.y, translation[1]);
            EXPECT_EQ(frame.translation.z, translation[2]);
            EXPECT_EQ(frame.rotation, floats(keyframe, "rotation"));
            EXPECT_EQ(frame.neck_pose, floats(keyframe, "neck_pose"));
            EXPECT_EQ(frame.jaw_pose, floats(keyframe, "jaw_pose"));
            EXPECT_EQ(frame.eyes_pose, floats(keyframe, "eye_pose"));
            EXPECT_EQ(frame.eyelid, floats(keyframe, "eye_lid"));
            EXPECT_EQ(frame.expr, floats(keyframe, "expression"));
        }
    } else {
        ADD_FAILURE() << "the kit reported an envelope it should ignore";
    }
}

bool producesEvent(const json& envelope) {
    const std::string type = envelope.at("type");
    return type != "MESSAGE_SERVER_RESPONSE_TEXT" && type != "MESSAGE_PROGRESS";
}

class PythonCrossCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        MivoSDK::shared().resetToInitialValues();
        MivoSDK::shared().setup("token", MivoSDK::Configuration(MivoSDK::DowngradePlan::none, std::nullopt, ""),
                                std::nullopt, sdkDelegate);
        platform::net::addTrustedCertificate(local_tls::localhostCertificate().certificatePem);
    }
    void TearDown() override {
        platform::net::clearTrustedCertificates();
        MivoSDK::shared().resetToInitialValues();
    }

    // Refused, then accepted; one utterance out, the peer's answers back; then a normal close.
    void converse(MvCharacterService& service, const std::string& schema, const std::string& path) {
        auto delegate = std::make_shared<RecordingServiceDelegate>();
        service.delegate = delegate;
        PythonPeer peer(schema, dir);
        ASSERT_NE(peer.port, 0) << "the Python peer did not start";
        const std::string url = "wss://localhost:" + std::to_string(peer.port) + path;

        service.connect(url, "not the token", std::nullopt);
        ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return sdkDelegate->failedToStart == 1; }));
        EXPECT_EQ(peer.nextLine(), (json{{"refused", path}}));
        EXPECT_EQ(delegate->errors().size(), 1u);
        delegate->log.clear();

        service.connect(url, MivoSDK::shared().sessionToken(), std::nullopt);
        ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return service.isConnected(); }));
        const std::vector<std::uint8_t> audio{0x00, 0x01, 0xFF, 0x7F, 0x80};
        std::optional<bool> sent;
        service.sendAudio("utterance-1", audio, [&](bool result) { sent = result; });

        const json received = peer.nextLine();
        EXPECT_EQ(received.value("path", ""), path);
        const json& envelope = received.at("received");
        if (schema == "animation") {
            EXPECT_EQ(envelope.at("type"), "MESSAGE_CLIENT_AUDIO_INPUT");
            const auto& input = envelope.at("client_audio_input");
            EXPECT_EQ(text(input, "req_id"), "utterance-1");
            EXPECT_EQ(bytesOf(input, "audio"), audio);
            EXPECT_EQ(input.value("end", false), true);
        } else {
            EXPECT_EQ(envelope.at("type"), "MESSAGE_CLIENT_USER_SPEECH_END");
            const auto& speech = envelope.at("client_speech_end");
            EXPECT_EQ(text(speech, "req_id"), "utterance-1");
            EXPECT_EQ(bytesOf(speech, "audio"), audio);
        }
        EXPECT_EQ(envelope.size(), 2u) << "the type and one payload member";

        const json answers = peer.nextLine().at("sent");
        std::vector<json> expected;
        for (const auto& answer : answers) {
            if (producesEvent(answer.at("envelope"))) expected.push_back(answer.at("envelope"));
        }
        ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return delegate->events().size() >= expected.size(); }));
        const auto events = delegate->events();
        ASSERT_EQ(events.size(), expected.size());
        for (std::size_t i = 0; i < events.size(); ++i) expectEventOf(expected[i], events[i]);
        EXPECT_EQ(sent, std::optional<bool>(true));

        service.disconnect();
        ASSERT_TRUE(platform::dispatch::pumpMainUntil([&] { return !service.isConnected(); }));
        EXPECT_EQ(peer.nextLine(), (json{{"closed", 1000}}));
        EXPECT_EQ(peer.exitStatus(), 0);
        EXPECT_EQ(delegate->connectionChanges(), (std::vector<bool>{true, false}));
        // The peer's error envelope is the only error: the close was the kit's own.
        EXPECT_EQ(delegate->errors().size(), 1u);
        EXPECT_TRUE(testsupport::finishWork());
    }

    testsupport::TempDir dir;
    std::shared_ptr<RecordingSDKDelegate> sdkDelegate = std::make_shared<RecordingSDKDelegate>();
};

TEST_F(PythonCrossCheckTest, AnimationServiceEnvelopes) {
    auto service = std::make_shared<MvCharacterAnimationService>();
    converse(*service, "animation", "/v1/driveningress/websocket?id=character-1");
}

TEST_F(PythonCrossCheckTest, AudiovisualServiceEnvelopes) {
    auto service = std::make_shared<MvCharacterAudiovisualService>();
    converse(*service, "audiovisual", "/v1/realtime/websocket?id=character-1");
}

} // namespace
