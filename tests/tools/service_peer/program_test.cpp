// The program as the demo runs it: it prints where it listens, writes its certificate, serves the
// kit with both, prints a line per request and ends on SIGTERM.

#include "kit/service/mv_character_animation_service.hpp"
#include "platform/net/trust_store.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tools/service_peer/peer_session.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>

using namespace MivoKit;

using namespace peertest;

namespace {

class ProgramTest : public PeerTest {
protected:
    // Starts the program with its standard output on a pipe.
    void run(std::vector<std::string> args) {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        args.insert(args.begin(), MIVO_SERVICE_PEER_PROGRAM);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        output_ = ::fdopen(ends[0], "r");
    }
    // The next line printed, without its newline; none at the end of the output.
    std::optional<std::string> line() {
        char text[4096];
        if (!std::fgets(text, sizeof text, output_)) return std::nullopt;
        std::string s(text);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    int terminate() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(std::exchange(pid_, 0), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void TearDown() override {
        if (pid_ > 0) terminate();
        if (output_) std::fclose(output_);
        PeerTest::TearDown();
    }

    pid_t pid_ = 0;
    std::FILE* output_ = nullptr;
};

TEST_F(ProgramTest, PrintsWhereItListensWritesItsCertificateAndServesTheKit) {
    testsupport::TempDir temp;
    const auto certificate = temp / "peer.pem";
    run({"--certificate-out", certificate.string(), "--session-key", "program-key", "--character-id", "demo",
         "--pace", "0", "--verbose"});
    std::map<std::string, std::string> printed;
    for (auto text = line(); text && *text != "ready"; text = line())
        if (const auto equals = text->find('='); equals != std::string::npos)
            printed[text->substr(0, equals)] = text->substr(equals + 1);
    ASSERT_TRUE(printed.contains("port"));
    const std::string domain = "localhost:" + printed["port"];
    EXPECT_EQ(printed["domain"], domain);
    EXPECT_EQ(printed["origin"], "https://" + domain);
    EXPECT_EQ(printed["audiovisual_url"], "wss://" + domain + "/v1/realtime/websocket");
    EXPECT_EQ(printed["certificate"], certificate.string());

    // The kit trusts the written certificate and drives the printed URL.
    platform::net::addTrustedCertificate(testsupport::readFile(certificate));
    auto service = open<MvCharacterAnimationService>(printed["animation_url"] + "?id=demo", "program-key");
    send(*service, "p-1", toneBytes({0.5}, 0.4));
    ASSERT_TRUE(pumpUntil([&] { return delegate_->frames().size() == 10; }));
    EXPECT_EQ(line(), "upgrade /v1/driveningress/websocket?id=demo (api.driven_ingress.v1) -> 101");
    EXPECT_EQ(line(), "api.driven_ingress.v1 MESSAGE_CLIENT_AUDIO_INPUT req_id=p-1 audio=12800 bytes -> 2 messages");
    EXPECT_EQ(terminate(), 0);
}

} // namespace
