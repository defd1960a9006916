// The kit's process-wide objects are used from background threads, which may still run while the
// process exits; they must stay usable after static objects have been destroyed.

#include "kit/loader/mv_character_loader.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "kit/zip/zip.hpp"
#include "platform/files/directories.hpp"
#include "platform/net/trust_store.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace MivoKit;

namespace {

// Runs last at exit (it is registered before any of the objects exist) and exits with 3 unless
// every object still answers as it did before exit.
void useEverySharedObject() {
    const bool usable = MivoSDK::shared().domainsMap().at(MivoSDK::Environment::develop) == "kept.through.exit" &&
                        Zip::isValidFileExtension("kept-through-exit") &&
                        platform::net::trustedCertificates().size() == 1 &&
                        platform::files::documentsDirectory() == "/kept/through/exit" &&
                        !MvCharacterLoader::shared().cache().load().has_value(); // no index there
    std::_Exit(usable ? 0 : 3);
}

TEST(SharedObjectsAtExit, StayUsableWhileStaticObjectsAreDestroyed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit(useEverySharedObject);
            MivoSDK::shared().set("kept.through.exit", MivoSDK::Environment::develop);
            Zip::addCustomFileExtension("kept-through-exit");
            platform::net::addTrustedCertificate("-----BEGIN CERTIFICATE-----");
            platform::files::setDocumentsDirectory("/kept/through/exit");
            (void)MvCharacterLoader::shared();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
