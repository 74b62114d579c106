#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "scoped_env.h"

namespace {

using watchtest::ScopedEnv;

TEST(Paths, FixedPathsKeepTheSystemsFoldersAndNames) {
    ScopedEnv a("QD_TOKEN_LIBRARY", nullptr), b("QD_PKCS11_MODULE", nullptr), c("QD_CARROW_LIBRARY", nullptr),
        d("QD_BUNDLE_DIR", nullptr), e("QD_MANAGER_EXECUTABLE", nullptr);
    EXPECT_EQ(platform::tokenLibraryPath(), "/usr/local/lib/libUSBQdvKey_20244.so");
    EXPECT_EQ(platform::pkcs11ModulePath(), "/usr/local/lib/qdpkcs11-darwin.so");
    EXPECT_EQ(platform::carrowLibraryPath(), "/usr/local/lib/libCarrow_20244.so");
    EXPECT_EQ(platform::bundleDir(), "/opt/Vostrel");
    EXPECT_EQ(platform::bundleResource("QDChangepinSure.gif"), "/opt/Vostrel/share/QDChangepinSure.gif");
    EXPECT_EQ(platform::managerExecutable(), "/opt/Vostrel/bin/kelvane");
}

TEST(Paths, EnvironmentOverridesAndEmptyCountsAsUnset) {
    ScopedEnv a("QD_TOKEN_LIBRARY", "/tmp/x.so"), b("QD_BUNDLE_DIR", "/tmp/bundle"),
        c("QD_MANAGER_EXECUTABLE", nullptr), d("QD_CARROW_LIBRARY", "");
    EXPECT_EQ(platform::tokenLibraryPath(), "/tmp/x.so");
    // The executable follows a moved bundle unless named on its own.
    EXPECT_EQ(platform::managerExecutable(), "/tmp/bundle/bin/kelvane");
    EXPECT_EQ(platform::bundleResource("a.png"), "/tmp/bundle/share/a.png");
    EXPECT_EQ(platform::carrowLibraryPath(), "/usr/local/lib/libCarrow_20244.so");
    ScopedEnv e("QD_MANAGER_EXECUTABLE", "/bin/true");
    EXPECT_EQ(platform::managerExecutable(), "/bin/true");
}

TEST(Paths, RuntimeFoldersFallBackToRuntimeDirThenTmp) {
    ScopedEnv a("KEYSIM_DIR", nullptr), b("XDG_RUNTIME_DIR", "/run/user/7"),
        c("QD_MANAGER_LOCK_DIR", nullptr);
    EXPECT_EQ(platform::simStateDir(), "/run/user/7/keysim");
    EXPECT_EQ(platform::managerLockDir(), "/run/user/7/vostrel");
    {
        ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
        const std::string uid = std::to_string(getuid());
        EXPECT_EQ(platform::simStateDir(), "/tmp/keysim-" + uid);
        EXPECT_EQ(platform::managerLockDir(), "/tmp/vostrel-" + uid);
    }
    ScopedEnv d("KEYSIM_DIR", "/tmp/k"), e("QD_MANAGER_LOCK_DIR", "/tmp/locks");
    EXPECT_EQ(platform::simStateDir(), "/tmp/k");
    EXPECT_EQ(platform::managerLockDir(), "/tmp/locks");
}

TEST(Paths, PrivateFolderMadeWithParentsAndRefusedOverAFile) {
    char pattern[] = "/tmp/paths-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string base = pattern;
    std::string error;
    ASSERT_TRUE(platform::makePrivateFolder(base + "/a/b", &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat((base + "/a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(platform::makePrivateFolder(base + "/a/b", &error)) << "an existing folder is fine";

    FILE* f = std::fopen((base + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(platform::makePrivateFolder(base + "/file", &error));
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
    EXPECT_FALSE(platform::makePrivateFolder(base + "/file/sub", &error));
    // The mkdir that failed, with its reason, not the check after it.
    EXPECT_EQ(error, "mkdir " + base + "/file/sub failed: Not a directory");
    std::filesystem::remove_all(base);
}

}  // namespace
