// The main function of every test program: GoogleTest and GoogleMock, and the check that each test
// ends idle.
#include "tests/support/ends_idle.hpp"

#include <gmock/gmock.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new testsupport::EndsIdle());
    return RUN_ALL_TESTS();
}
