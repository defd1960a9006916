#include "platform/files/directories.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

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

// Run as a child of the next test: prints this process's temporary directory.
bool printTemporaryDirectoryForTheParent() {
    if (!std::getenv("MIVO_PRINT_TEMPORARY_DIRECTORY")) return false;
    std::printf("temporary:%s\n", files::temporaryDirectory().c_str());
    return true;
}

TEST(Temporary, EachProcessHasItsOwnAndItGoesWithTheProcess) {
    if (printTemporaryDirectoryForTheParent()) return;
    const fs::path own = files::temporaryDirectory();
    std::vector<fs::path> children;
    for (int i = 0; i < 2; ++i) {
        const std::string command = "MIVO_PRINT_TEMPORARY_DIRECTORY=1 /proc/" + std::to_string(::getpid()) +
                                    "/exe --gtest_filter=Temporary.EachProcessHasItsOwnAndItGoesWithTheProcess";
        std::FILE* child = ::popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        char line[4096];
        while (std::fgets(line, sizeof line, child))
            if (std::string_view(line).starts_with("temporary:")) children.emplace_back(std::string(line + 10, std::strlen(line + 10) - 1));
        ASSERT_EQ(::pclose(child), 0);
    }
    ASSERT_EQ(children.size(), 2u);
    EXPECT_NE(children[0], children[1]);
    for (const auto& dir : children) {
        EXPECT_NE(dir, own);
        EXPECT_EQ(dir.parent_path(), own.parent_path()) << "inside the user's private directory";
        EXPECT_FALSE(fs::exists(dir)) << "removed when its process ended";
    }
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
