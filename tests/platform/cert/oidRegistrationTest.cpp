// OID registration: kept in the machine hive, seen by CryptFindOIDInfo and by the name functions,
// refused without an administrator.
#include "certnameTestUtil.h"

#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/registryTesting.h>

#include <gtest/gtest.h>

#include "certTesting.h"

#include <cstdlib>
#include <cstring>
#include <string>

using namespace certname_test;

namespace {

const char* const Inn = "1.2.643.3.131.1.1";
const char* const Ogrn = "1.2.643.100.1";
const char* const LegalEntity = "1.2.643.6.3.1.2.1";
const DWORD NumericOnly[] = {CERT_RDN_NUMERIC_STRING, 0};

CRYPT_OID_INFO Row(const char* oid, const char16_t* name, DWORD group, bool numeric) {
    CRYPT_OID_INFO info{};
    info.cbStruct = sizeof info;
    info.pszOID = oid;
    info.pwszName = name;
    info.dwGroupId = group;
    if (numeric) {
        info.ExtraInfo.cbData = sizeof NumericOnly;
        info.ExtraInfo.pbData = reinterpret_cast<BYTE*>(const_cast<DWORD*>(NumericOnly));
    }
    return info;
}

PCCRYPT_OID_INFO Find(const char* oid, DWORD group) {
    return CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), group);
}

// As another process would see the machine hive: closed, reopened and read again.
void Reopen() {
    RegistryResetForTests();
    ReloadRegisteredOIDInfo();
    LoadRegisteredOIDInfo();
}

class OidRegistration : public ::testing::Test {
protected:
    void SetUp() override { setenv("KESTROVAN_ADMIN", "1", 1); }
    void TearDown() override {
        setenv("KESTROVAN_ADMIN", "1", 1);
        for (const auto& [oid, group] : {std::pair{Inn, 5u}, {Ogrn, 5u}, {LegalEntity, 7u}}) {
            CRYPT_OID_INFO info = Row(oid, nullptr, group, false);
            CryptUnregisterOIDInfo(&info);
        }
        unsetenv("KESTROVAN_ADMIN");
    }
};

TEST_F(OidRegistration, RegisteredAttributesNameAndTypeRdnValues) {
    const Bytes name =
        Name({Rdn({Atv("2.5.4.3", Utf8Tag, Utf8(u8"ООО Ромашка"))}),
              Rdn({Atv(Inn, Numeric, Text("7701234567")), Atv(Ogrn, Numeric, Text("1027700132195"))})});
    EXPECT_EQ(NameToStr(name, CERT_X500_NAME_STR),
              u"CN=ООО Ромашка, OID.1.2.643.3.131.1.1=7701234567 + OID.1.2.643.100.1=1027700132195");
    // Unregistered, a number is PrintableString.
    EXPECT_EQ(StrToName(u"OID.1.2.643.100.1=1027700132195", CERT_X500_NAME_STR),
              Name({Rdn({Atv(Ogrn, Printable, Text("1027700132195"))})}));

    CRYPT_OID_INFO inn = Row(Inn, u"ИНН", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    CRYPT_OID_INFO ogrn = Row(Ogrn, u"ОГРН", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    ASSERT_TRUE(CryptRegisterOIDInfo(&inn, 0)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptRegisterOIDInfo(&ogrn, 0));

    EXPECT_EQ(NameToStr(name, CERT_X500_NAME_STR), u"CN=ООО Ромашка, ИНН=7701234567 + ОГРН=1027700132195");
    const Bytes numeric =
        Name({Rdn({Atv(Inn, Numeric, Text("7701234567")), Atv(Ogrn, Numeric, Text("1027700132195"))})});
    EXPECT_EQ(StrToName(u"ИНН=7701234567+огрн=1027700132195", CERT_X500_NAME_STR), numeric);
    EXPECT_EQ(
        StrToName(u"OID.1.2.643.3.131.1.1=7701234567 + 1.2.643.100.1=1027700132195", CERT_X500_NAME_STR),
        numeric);
    DWORD error = 0;
    long at = 0;
    EXPECT_TRUE(StrToName(u"CN=x, ИНН=77A1", CERT_X500_NAME_STR, &error, &at).empty());
    EXPECT_EQ(error, CRYPT_E_INVALID_X500_STRING);
    EXPECT_EQ(at, 10);
}

TEST_F(OidRegistration, PersistsAcrossReopenAndOverwrites) {
    CRYPT_OID_INFO purpose = Row(LegalEntity, u"Старое имя", CRYPT_ENHKEY_USAGE_OID_GROUP_ID, false);
    ASSERT_TRUE(CryptRegisterOIDInfo(&purpose, 0));
    purpose.pwszName = u"Юридическое лицо";
    ASSERT_TRUE(CryptRegisterOIDInfo(&purpose, 0));  // the same OID and group: replaced
    CRYPT_OID_INFO inn = Row(Inn, u"ИНН", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    ASSERT_TRUE(CryptRegisterOIDInfo(&inn, 0));

    Reopen();
    PCCRYPT_OID_INFO found = Find(LegalEntity, CRYPT_ENHKEY_USAGE_OID_GROUP_ID);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::u16string(found->pwszName), u"Юридическое лицо");
    EXPECT_EQ(found->ExtraInfo.cbData, 0u);
    EXPECT_EQ(Find(LegalEntity, 0), found);
    EXPECT_EQ(Find(LegalEntity, CRYPT_RDN_ATTR_OID_GROUP_ID), nullptr);
    EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(u"Юридическое лицо"), 0),
              found);

    found = Find(Inn, CRYPT_RDN_ATTR_OID_GROUP_ID);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::u16string(found->pwszName), u"ИНН");
    ASSERT_EQ(found->ExtraInfo.cbData, sizeof NumericOnly);
    EXPECT_EQ(std::memcmp(found->ExtraInfo.pbData, NumericOnly, sizeof NumericOnly), 0);

    // Unregistering with the found record removes it here and in the hive.
    ASSERT_TRUE(CryptUnregisterOIDInfo(Find(LegalEntity, CRYPT_ENHKEY_USAGE_OID_GROUP_ID)));
    EXPECT_EQ(Find(LegalEntity, 0), nullptr);
    Reopen();
    EXPECT_EQ(Find(LegalEntity, 0), nullptr);
    EXPECT_NE(Find(Inn, CRYPT_RDN_ATTR_OID_GROUP_ID), nullptr);

    SetLastError(0);
    EXPECT_FALSE(CryptUnregisterOIDInfo(&purpose));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(OidRegistration, NeedsAnAdministrator) {
    CRYPT_OID_INFO inn = Row(Inn, u"ИНН", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    ASSERT_TRUE(CryptRegisterOIDInfo(&inn, 0));

    setenv("KESTROVAN_ADMIN", "0", 1);
    CRYPT_OID_INFO ogrn = Row(Ogrn, u"ОГРН", CRYPT_RDN_ATTR_OID_GROUP_ID, true);
    SetLastError(0);
    EXPECT_FALSE(CryptRegisterOIDInfo(&ogrn, 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Find(Ogrn, 0), nullptr);
    SetLastError(0);
    EXPECT_FALSE(CryptUnregisterOIDInfo(Find(Inn, CRYPT_RDN_ATTR_OID_GROUP_ID)));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Reopen();  // a non-administrator still reads the registrations
    EXPECT_NE(Find(Inn, CRYPT_RDN_ATTR_OID_GROUP_ID), nullptr);
    EXPECT_EQ(Find(Ogrn, 0), nullptr);

    EXPECT_FALSE(CryptRegisterOIDInfo(nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(OidRegistration, ReplacingAnX500KeyAndRemovingItRestoresTheKey) {
    CRYPT_OID_INFO cn = Row("2.5.4.3", u"Общее имя", CRYPT_RDN_ATTR_OID_GROUP_ID, false);
    ASSERT_TRUE(CryptRegisterOIDInfo(&cn, 0));
    ASSERT_TRUE(CryptUnregisterOIDInfo(&cn));
    PCCRYPT_OID_INFO found = Find("2.5.4.3", CRYPT_RDN_ATTR_OID_GROUP_ID);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::u16string(found->pwszName), u"CN");
    EXPECT_EQ(NameToStr(Name({Rdn({Atv("2.5.4.3", Printable, Text("x"))})}), CERT_X500_NAME_STR), u"CN=x");
}

}  // namespace
