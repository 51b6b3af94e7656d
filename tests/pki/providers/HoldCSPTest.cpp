#include "testSupport.h"

#include <vsk/platform/crypt.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/utils/error.h>

#include <functional>
#include <optional>
#include <utility>

using namespace Vsk::Utils;
using namespace Vsk::PKI;

namespace {

HCRYPTPROV acquireVerify(DWORD type) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT)) << GetLastError();
    return prov;
}

// Whether the handle is still open in the provider stand-in.
bool isOpen(HCRYPTPROV prov) {
    DWORD type = 0, length = sizeof type;
    return CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &length, 0) != FALSE;
}

std::u16string raised(const std::function<void()>& call) {
    return VskTest::Thrown(call).getMessage().toU16();
}

}  // namespace

TEST(HoldCSPTest, EmptyHolder) {
    CHoldCSP empty(0, true, nullptr);
    EXPECT_FALSE(empty.isAcquired());
    EXPECT_EQ(empty.get_hCryptProv(), 0u);
    EXPECT_EQ(raised([&] { empty.get_CSPInfo(); }), u"Объект class Vsk::PKI::CSPInfo не был создан!");

    CHoldCSP moved(std::move(empty));
    EXPECT_EQ(raised([&] { empty.isAcquired(); }), u"Объект class Vsk::PKI::CHoldCSP::CImpl не был создан!");
}

TEST(HoldCSPTest, ReleaseFollowsTheFlagAndTheLastCopy) {
    const HCRYPTPROV kept = acquireVerify(PROV_RSA_FULL);
    { CHoldCSP borrowed(kept, false, nullptr); }
    EXPECT_TRUE(isOpen(kept));
    EXPECT_TRUE(CryptReleaseContext(kept, 0));

    const HCRYPTPROV owned = acquireVerify(PROV_RSA_FULL);
    std::optional<CHoldCSP> first(std::in_place, owned, true, nullptr);
    std::optional<CHoldCSP> second(*first);
    first.reset();
    EXPECT_TRUE(isOpen(owned));
    EXPECT_EQ(second->get_hCryptProv(), owned);
    second.reset();
    EXPECT_FALSE(isOpen(owned));
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
}

// acquire gives the handle a fresh holder: copies made before keep the old context.
TEST(HoldCSPTest, AcquireLeavesEarlierCopiesAlone) {
    CHoldCSP holder;
    ASSERT_TRUE(
        holder.acquire(nullptr, KESTROVAN_GOST_2012_256_PROV, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    const HCRYPTPROV old = holder.get_hCryptProv();
    CHoldCSP copy(holder);
    ASSERT_TRUE(holder.acquire(nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_NE(holder.get_hCryptProv(), old);
    EXPECT_EQ(copy.get_hCryptProv(), old);
    EXPECT_TRUE(isOpen(old));

    // The description is looked up from the context.
    EXPECT_EQ(copy.get_CSPInfo()->m_name.toU16(), std::u16string(KESTROVAN_GOST_2012_256_PROV));
    EXPECT_EQ(holder.get_CSPInfo()->m_type, PROV_RSA_FULL);
    EXPECT_EQ(holder.get_CSPInfo(), holder.get_CSPInfo());

    // A failed acquisition holds nothing and says why through the last error.
    EXPECT_FALSE(holder.acquire(nullptr, u"No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_FALSE(holder.isAcquired());
    EXPECT_EQ(GetLastError(), NTE_KEYSET_NOT_DEF);
}

TEST(HoldCSPTest, GivenDescriptionIsKept) {
    CRefPtr<CSPInfo> rsa = FindCSPInfo(PROV_RSA_FULL, CWString(KESTROVAN_RSA_PROV));
    ASSERT_TRUE(rsa);
    CHoldCSP holder = rsa->acquireContext(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(holder.isAcquired());
    EXPECT_EQ(holder.get_CSPInfo(), rsa.get());
}
