// The PKI helper functions: the signature-algorithm table, provider parameters, the verification
// settings' texts and the error-code classes.
#include <vsk/pki/PkiHelpers.h>

#include <gtest/gtest.h>

#include <string>

#include "catalogueTestSupport.h"

using namespace Vsk::PKI;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using namespace catalogue_test;

namespace {

// Program texts are compared as UTF-16 converted from code page 1251.
std::u16string Text(const CAString& text) {
    return CWString(text, 1251).toU16();
}

TEST(SignatureAlgorithmTable, SearchesTheSignatureColumnOnly) {
    struct Row {
        const char* oid;
        const char* hash;  // null: no row
    };
    const Row rows[] = {
        {"1.2.643.2.2.3", "1.2.643.2.2.9"},
        {"1.2.643.7.1.1.3.2", "1.2.643.7.1.1.2.2"},
        {"1.2.643.7.1.1.3.3", "1.2.643.7.1.1.2.3"},
        {"1.2.840.113549.1.1.5", "1.3.14.3.2.26"},
        {"1.2.840.113549.1.1.13", "2.16.840.1.101.3.4.2.3"},
        {"1.2.643.2.2.19", nullptr},
        {"1.2.643.7.1.1.3.2 ", nullptr},
        {"", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.oid);
        const CSignatureAlgorithm* found = FindSignatureAlgorithm(CAString(row.oid));
        if (!row.hash) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->hashOid, row.hash);
    }
    EXPECT_STREQ(FindSignatureAlgorithm(CAString("1.2.840.113549.1.1.12"))->publicKeyOid,
                 "1.2.840.113549.1.1.1");
}

TEST(VerificationSettingTexts, EveryValueAndTheRest) {
    struct Row {
        CAString (*function)(int);
        int value;
        std::u16string text;
    };
    const Row rows[] = {
        {RevocationFlagToStr, 1, u"только пользовательский сертификат"},
        {RevocationFlagToStr, 2, u"все сертификаты цепочки за исключением корневого сертификата"},
        {RevocationFlagToStr, 3, u"все сертификаты цепочки"},
        {RevocationFlagToStr, 0, u""},
        {RevocationFlagToStr, 4, u""},
        {RevocationModeToStr, 1, u"не проверять сертификаты на отозванность"},
        {RevocationModeToStr, 2,
         u"по локальному СОС, если локальный СОС просрочен, то загружать СОС по сети"},
        {RevocationModeToStr, 3, u"только по локальному СОС"},
        {RevocationModeToStr, -1, u""},
        {VerifyFlagToStr, 0, u"Не включены флаги, относящиеся к проверке"},
        {VerifyFlagToStr, 1, u"Не проверять срок действия сертификата"},
        {VerifyFlagToStr, 2, u"Не проверять сроки действия на вложенность"},
        {VerifyFlagToStr, 4,
         u"Не учитывать, что цепочку нельзя проверить из-за неизвестного центра сертификации (ЦС)"},
        {VerifyFlagToStr, 8,
         u"Не учитывать, что отзыв конечного сертификата (сертификата пользователя) неизвестен"},
        {VerifyFlagToStr, 16, u"Не учитывать, что отзыв центра сертификации неизвестен"},
        {VerifyFlagToStr, 32, u"Не учитывать, что корневой отзыв неизвестен"},
        {VerifyFlagToStr, 63, u"Включены все флаги, относящиеся к проверке"},
        {VerifyFlagToStr, 3, u""},
        {VerifyFlagToStr, 64, u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(Text(row.function(row.value)), row.text);
    }
}

TEST(ErrorClasses, CancelAndPinCodes) {
    struct Row {
        DWORD code;
        bool cancelled, pin;
    };
    const Row rows[] = {
        {1223, true, false},       {0x8010006E, true, false}, {0x800704C7, false, false},
        {0x80090022, false, true}, {0x8010002A, false, true}, {0x8010006B, false, true},
        {0x8010006C, false, true}, {0x8010006F, false, true}, {0x8009000D, false, false},
        {0, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(isCancelledError(row.code), row.cancelled);
        EXPECT_EQ(isPinError(row.code), row.pin);
    }
}

using GetCSPParamsTest = CatalogueFixture;

TEST_F(GetCSPParamsTest, ReadsWhatIsAskedAndStopsAtTheFirstFailure) {
    // Nothing asked: nothing read, even of a null handle.
    EXPECT_TRUE(GetCSPParams(0, nullptr, nullptr, nullptr, nullptr));

    HCRYPTPROV handle = 0;
    ASSERT_TRUE(CryptAcquireContextW(&handle, nullptr, KESTROVAN_GOST_2012_256_PROV, PROV_GOST_2012_256,
                                     CRYPT_VERIFYCONTEXT));
    DWORD type = 0;
    CWString name, container;
    CError error(Vsk::Utils::NoErrorCode);
    EXPECT_TRUE(GetCSPParams(handle, &type, &name, nullptr, &error));
    EXPECT_EQ(type, PROV_GOST_2012_256);
    EXPECT_EQ(U16(name), KESTROVAN_GOST_2012_256_PROV);
    EXPECT_TRUE(error.isEmpty());

    // A verification context has no container: the type and name read before it stay.
    type = 0;
    EXPECT_FALSE(GetCSPParams(handle, &type, &name, &container, &error));
    EXPECT_EQ(type, PROV_GOST_2012_256);
    EXPECT_EQ(container.getLength(), 0u);
    EXPECT_EQ(U16(error.getMessage()).rfind(u"Получение наименования ключевого контейнера", 0), 0u);
    EXPECT_EQ(static_cast<DWORD>(error.getCode()), NTE_BAD_KEYSET);
    CryptReleaseContext(handle, 0);

    // A released handle fails at the first step.
    type = 7;
    EXPECT_FALSE(GetCSPParams(handle, &type, &name, nullptr, &error));
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(U16(error.getMessage()).rfind(u"Получение типа криптопровайдера", 0), 0u);
    EXPECT_FALSE(GetCSPParams(handle, nullptr, &name, nullptr, nullptr));
}

}  // namespace
