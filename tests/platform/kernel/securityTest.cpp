#include "kernelTestRoot.h"

#include <vsk/platform/guid.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/security.h>

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(Security, UserNameBySizeQuery) {
    DWORD size = 0;
    EXPECT_FALSE(GetUserNameW(nullptr, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(size, 1u);
    std::u16string name(size, u'\0');
    DWORD given = size;
    ASSERT_TRUE(GetUserNameW(name.data(), &given));
    EXPECT_EQ(given, size);
    EXPECT_EQ(name[size - 1], 0);
}

TEST(Security, AdministratorsMembershipFollowsTheAdministratorTest) {
    KernelTestRoot root;
    PSID admins = nullptr, world = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    ASSERT_TRUE(AllocateAndInitializeSid(&SECURITY_WORLD_SID_AUTHORITY, 1, 0, 0, 0, 0, 0, 0, 0, 0, &world));
    VskTest::EnvGuard admin("KESTROVAN_ADMIN", nullptr);
    for (const char* value : {"1", "0"}) {
        SCOPED_TRACE(value);
        setenv("KESTROVAN_ADMIN", value, 1);
        BOOL member = 2;
        ASSERT_TRUE(CheckTokenMembership(nullptr, admins, &member));
        EXPECT_EQ(member, value[0] == '1' ? TRUE : FALSE);
        ASSERT_TRUE(CheckTokenMembership(nullptr, world, &member));
        EXPECT_EQ(member, TRUE);
    }
    FreeSid(admins);
    FreeSid(world);
}

TEST(Security, GuidsAreRandomVersion4InBracedUpperCase) {
    GUID a{}, b{};
    ASSERT_EQ(CoCreateGuid(&a), S_OK);
    ASSERT_EQ(CoCreateGuid(&b), S_OK);
    EXPECT_FALSE(a == b);
    WCHAR text[64];
    ASSERT_EQ(StringFromGUID2(a, text, 64), 39);
    const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    EXPECT_TRUE(std::regex_match(Utf8(text), form)) << Utf8(text);
    EXPECT_EQ(StringFromGUID2(a, text, 38), 0);
}

}  // namespace
