#include <vsk/platform/identity.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

using VskTest::EnvGuard;

TEST(Identity, AdministratorFollowsEffectiveUidUnlessOverridden) {
    struct Row {
        const char* env;
        BOOL expected;
    };
    const BOOL byUid = geteuid() == 0 ? TRUE : FALSE;
    const Row rows[] = {{nullptr, byUid}, {"0", FALSE},   {"1", TRUE},
                        {"", byUid},      {"yes", byUid}, {"10", byUid}};
    for (const Row& row : rows) {
        EnvGuard admin("KESTROVAN_ADMIN", row.env);
        EXPECT_EQ(IsProcessAdministrator(), row.expected) << (row.env ? row.env : "(unset)");
    }
}

TEST(Identity, StateRootsFollowTheEnvironment) {
    struct Row {
        const char* userDir;
        const char* dataHome;
        const char* home;
        const char* expected;
    };
    const Row rows[] = {
        {"/k/user", "/xdg", "/home/u", "/k/user"},
        {"/k/user/", nullptr, "/home/u", "/k/user"},
        {nullptr, "/xdg", "/home/u", "/xdg/kestrovan"},
        {nullptr, "/xdg/", "/", "/xdg/kestrovan"},
        {nullptr, nullptr, "/", "/.local/share/kestrovan"},
        {"", "", "/home/u", "/home/u/.local/share/kestrovan"},
        {"relative", "relative", "/home/u", "/home/u/.local/share/kestrovan"},
    };
    for (const Row& row : rows) {
        EnvGuard user("KESTROVAN_USER_DIR", row.userDir);
        EnvGuard data("XDG_DATA_HOME", row.dataHome);
        EnvGuard home("HOME", row.home);
        EXPECT_EQ(UserStateRoot(false), row.expected);
    }
    {
        EnvGuard machine("KESTROVAN_MACHINE_DIR", nullptr);
        EXPECT_EQ(MachineStateRoot(false), "/var/lib/kestrovan");
    }
    EnvGuard machine("KESTROVAN_MACHINE_DIR", "/k/machine");
    EXPECT_EQ(MachineStateRoot(false), "/k/machine");
}

TEST(Identity, CreatedRootsGetTheirModes) {
    const VskTest::TempFolder folder("vsk-identity-");
    const fs::path& tmp = folder.path();
    mode_t oldMask = umask(077);  // the machine folder stays readable by everyone all the same
    EnvGuard user("KESTROVAN_USER_DIR", (tmp / "a/b/user").c_str());
    EnvGuard machine("KESTROVAN_MACHINE_DIR", (tmp / "c/machine").c_str());
    EXPECT_EQ(UserStateRoot(true), (tmp / "a/b/user").string());
    EXPECT_EQ(MachineStateRoot(true), (tmp / "c/machine").string());
    EXPECT_EQ(UserStateRoot(true), (tmp / "a/b/user").string());  // existing: fine
    umask(oldMask);
    auto mode = [](const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(stat(p.c_str(), &st), 0);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(tmp / "a/b/user"), 0700u);
    EXPECT_EQ(mode(tmp / "c/machine"), 0755u);

    // A file in the way is a failure, not a folder.
    EnvGuard blocked("KESTROVAN_USER_DIR", (tmp / "c/machine/file/user").c_str());
    {
        FILE* f = fopen((tmp / "c/machine/file").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    EXPECT_EQ(UserStateRoot(true), "");
}

}  // namespace
