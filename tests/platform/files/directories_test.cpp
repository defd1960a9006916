#include "platform/files/directories.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

using namespace MivoKit;

namespace files = platform::files;
namespace fs = std::filesystem;

namespace {

// Sets (or unsets) an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Documents, OverrideXdgAndHomeInThatOrder) {
    testsupport::TempDir home;
    ScopedEnv homeEnv("HOME", home.path().c_str());
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv xdg("XDG_DOCUMENTS_DIR", nullptr);
    EXPECT_EQ(files::documentsDirectory(), home.path() / "Documents");

    testsupport::writeFile(home / ".config/user-dirs.dirs", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(files::documentsDirectory(), home.path() / "Dokumente");

    {
        ScopedEnv direct("XDG_DOCUMENTS_DIR", "/srv/docs");
        EXPECT_EQ(files::documentsDirectory(), "/srv/docs");
    }

    files::setDocumentsDirectory(home.path() / "override");
    EXPECT_EQ(files::documentsDirectory(), home.path() / "override");
    files::setDocumentsDirectory(std::nullopt);
    EXPECT_EQ(files::documentsDirectory(), home.path() / "Dokumente");
}

TEST(Documents, AlwaysYieldsAPathWithoutHome) {
    ScopedEnv homeEnv("HOME", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv xdg("XDG_DOCUMENTS_DIR", nullptr);
    fs::path docs = files::documentsDirectory();
    EXPECT_FALSE(docs.empty());
    EXPECT_EQ(docs.filename(), "Documents");
}

TEST(Temporary, IsAPrivateDirectoryOfThisUser) {
    fs::path dir = files::temporaryDirectory();
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(st.st_mode & 0077, 0u);

    testsupport::TempDir other;
    files::setTemporaryDirectory(other.path());
    EXPECT_EQ(files::temporaryDirectory(), other.path());
    files::setTemporaryDirectory(std::nullopt);
    EXPECT_EQ(files::temporaryDirectory(), dir);
}

TEST(Resources, LookedUpByNameAndType) {
    testsupport::TempDir res;
    files::setResourceDirectory(res.path());
    testsupport::writeFile(res / "flame_model.pb", "x");
    EXPECT_EQ(files::resourcePath("flame_model", "pb"), res.path() / "flame_model.pb");
    EXPECT_FALSE(files::resourcePath("flame_model", "json"));
    EXPECT_FALSE(files::resourcePath("missing", "pb"));
    files::setResourceDirectory(std::nullopt);
    EXPECT_NE(files::resourceDirectory(), res.path());
}

// An installed kit's resources come before the build's, and the application's own choice before both.
TEST(Resources, TheInstalledDirectoryServesUnlessTheApplicationChoseOne) {
    testsupport::TempDir installed, chosen;
    testsupport::writeFile(installed / "flame_model.pb", "x");
    const auto build = files::resourceDirectory();

    files::setInstalledResourceDirectory(installed.path());
    EXPECT_EQ(files::resourceDirectory(), installed.path());
    EXPECT_EQ(files::resourcePath("flame_model", "pb"), installed.path() / "flame_model.pb");

    files::setResourceDirectory(chosen.path());
    EXPECT_EQ(files::resourceDirectory(), chosen.path());
    EXPECT_FALSE(files::resourcePath("flame_model", "pb"));

    files::setResourceDirectory(std::nullopt);
    files::setInstalledResourceDirectory(std::nullopt);
    EXPECT_EQ(files::resourceDirectory(), build);
}

} // namespace
