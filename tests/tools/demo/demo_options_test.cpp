#include "tools/demo/demo_options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

demo::Options parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "mivo_demo");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    return demo::parseOptions(int(argv.size()), argv.data());
}

// Without a request timer nothing notices a peer that goes quiet, and the downgrade plan never shows.
TEST(DemoOptions, APeerThatGoesQuietGetsARequestTimeoutUnlessOneIsGiven) {
    for (const std::string mode : {"silent", "stall"}) {
        EXPECT_EQ(parse({"--peer-mode", mode}).requestTimeout, 3.0) << mode;
        EXPECT_EQ(parse({"--peer-mode", mode, "--request-timeout", "7"}).requestTimeout, 7.0) << mode;
    }
}

} // namespace
