#include "kit/model/mivo_sdk.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace MivoKit;

namespace {

class RecordingDelegate : public MivoSDKDelegate {
public:
    void avatarSDKDidStarted() override { events.push_back("started"); }
    void avatarSDKFailedToStart() override { events.push_back("failed"); }
    std::vector<std::string> events;
};

class MivoSDKTest : public ::testing::Test {
protected:
    void SetUp() override { MivoSDK::shared().resetToInitialValues(); }
    void TearDown() override { MivoSDK::shared().resetToInitialValues(); }
};

TEST_F(MivoSDKTest, StartsWithItsDefaults) {
    auto& sdk = MivoSDK::shared();
    EXPECT_EQ(&sdk, &MivoSDK::shared());
    auto c = sdk.configuration();
    EXPECT_EQ(c.downgradePlan, MivoSDK::DowngradePlan::none);
    EXPECT_FALSE(c.requestTimeout);
    EXPECT_EQ(c.audiovisualServiceUrl, "");
    EXPECT_EQ(sdk.currentEnvironment(), MivoSDK::Environment::release);
    EXPECT_EQ(sdk.domainsMap().size(), 2u);
    EXPECT_FALSE(sdk.isVerified());
    EXPECT_EQ(sdk.sessionToken(), "");
    EXPECT_FALSE(sdk.headers());
    EXPECT_FALSE(sdk.delegate());
    EXPECT_EQ(sdk.sdkVersion(), "1.0.0");
}

TEST_F(MivoSDKTest, SetupReplacesEverythingAndHoldsTheDelegateWeakly) {
    auto& sdk = MivoSDK::shared();
    auto first = std::make_shared<RecordingDelegate>();
    sdk.setup("t1", MivoSDK::Configuration(MivoSDK::DowngradePlan::playAudioWithIdleAnimation, 5.0, "wss://a"),
              MivoSDK::Headers{{"a", "1"}}, first);
    auto second = std::make_shared<RecordingDelegate>();
    sdk.setup("t2", MivoSDK::Configuration(MivoSDK::DowngradePlan::none, std::nullopt, "wss://b"), std::nullopt,
              second);
    EXPECT_EQ(sdk.sessionToken(), "t2");
    EXPECT_EQ(sdk.configuration().audiovisualServiceUrl, "wss://b");
    EXPECT_FALSE(sdk.configuration().requestTimeout);
    EXPECT_FALSE(sdk.headers());
    EXPECT_EQ(sdk.delegate(), second);
    second.reset();
    EXPECT_FALSE(sdk.delegate());

    sdk.update(MivoSDK::Configuration(MivoSDK::DowngradePlan::none, 2.5, ""));
    EXPECT_EQ(sdk.configuration().requestTimeout, 2.5);
    sdk.updateHeaders(MivoSDK::Headers{{"x", "y"}});
    EXPECT_EQ(sdk.headers()->at("x"), "y");
}

TEST_F(MivoSDKTest, DomainsPerEnvironment) {
    auto& sdk = MivoSDK::shared();
    const auto builtIn = sdk.domainsMap();
    sdk.set("dev.example:8443", MivoSDK::Environment::develop);
    EXPECT_EQ(sdk.domainsMap().at(MivoSDK::Environment::develop), "dev.example:8443");
    EXPECT_EQ(sdk.domainsMap().at(MivoSDK::Environment::release), builtIn.at(MivoSDK::Environment::release));
    EXPECT_EQ(sdk.currentDomain(), builtIn.at(MivoSDK::Environment::release));
    sdk.setUpEnvironment(MivoSDK::Environment::develop);
    EXPECT_EQ(sdk.currentDomain(), "dev.example:8443");
    sdk.resetDomains();
    EXPECT_EQ(sdk.domainsMap(), builtIn);
    EXPECT_EQ(sdk.currentEnvironment(), MivoSDK::Environment::develop);
}

TEST_F(MivoSDKTest, EnvironmentRawValuesAreExact) {
    EXPECT_EQ(fromRaw<MivoSDK::Environment>("release"), MivoSDK::Environment::release);
    EXPECT_EQ(fromRaw<MivoSDK::Environment>("develop"), MivoSDK::Environment::develop);
    EXPECT_FALSE(fromRaw<MivoSDK::Environment>("Release"));
    EXPECT_FALSE(fromRaw<MivoSDK::Environment>(""));
    EXPECT_EQ(std::hash<MivoSDK::Environment>{}(MivoSDK::Environment::develop),
              std::hash<std::string_view>{}("develop"));
}

TEST_F(MivoSDKTest, ConcurrentReadersSeeWholeValues) {
    auto& sdk = MivoSDK::shared();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            auto domain = sdk.currentDomain();
            if (domain != MivoSDK::releaseDomain && domain != "other.example") ++torn;
            (void)sdk.isVerified();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        sdk.set(i % 2 ? "other.example" : MivoSDK::releaseDomain, MivoSDK::Environment::release);
        sdk.setIsVerified(i % 2 == 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
