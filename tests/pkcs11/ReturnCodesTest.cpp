// The return-code checks and texts, and the mechanism tables.
#include <vsk/pkcs11/Mechanisms.h>
#include <vsk/pkcs11/ReturnCodes.h>
#include <vsk/utils/error.h>

#include "testSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace Vsk::PKCS11;
using VskTest::MaybeThrown;
using VskTest::Utf8;

TEST(ReturnCodes, CheckRetValRaisesTheCodesTextWithItsNumbers) {
    struct Row {
        CK_RV rv;
        bool allowTooSmall;
        const char16_t* message;  // null: returns
        DWORD code;
    };
    const Row rows[] = {
        {CKR_OK, false, nullptr, 0},
        {CKR_BUFFER_TOO_SMALL, true, nullptr, 0},
        {CKR_BUFFER_TOO_SMALL, false,
         u"Размер заданного буфера является недостаточным для сохранения результатов функции.", 0},
        {CKR_ATTRIBUTE_VALUE_INVALID, false, u"ATTRIBUTE_VALUE_INVALID", 0},
        {CKR_PIN_INCORRECT, true,
         u"Функции передан ПИН-код, который не соответствует тому, который сохранен на Устройстве.", 0},
        // The first letter of "С_Finalize" is the Cyrillic Es.
        {CKR_CRYPTOKI_ALREADY_INITIALIZED, false,
         u"Повторная попытка инициализировать модуль сопряжения без предварительного выполнения функции "
         u"\u0421_Finalize.",
         0},
        {0x1B, false, u"Токен вернул ошибку с кодом 0x1b", 0},
        {0x80000123, false, u"Токен вернул ошибку с кодом 0x80000123", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rv);
        const auto error = MaybeThrown([&] { checkRetVal(r.rv, "C_Test(x)", r.allowTooSmall); });
        ASSERT_EQ(error.has_value(), r.message != nullptr);
        if (!error) continue;
        EXPECT_EQ(error->getMessage().toU16(), r.message);
        EXPECT_EQ(static_cast<DWORD>(error->getCode()), r.code);
        EXPECT_EQ(error->getErrorNumber(), static_cast<DWORD>(r.rv));
    }

    // A token that wants the user's login: the smart-card code, whose system text follows.
    const auto notLoggedIn = MaybeThrown([] { checkRetVal(CKR_USER_NOT_LOGGED_IN, "C_Sign"); });
    ASSERT_TRUE(notLoggedIn);
    EXPECT_EQ(static_cast<DWORD>(notLoggedIn->getCode()), 0x8010006Fu);
    EXPECT_EQ(notLoggedIn->getErrorNumber(), 0x101u);
    EXPECT_EQ(notLoggedIn->getMessage().toU16().rfind(u"Требуется авторизация в режиме пользователя.", 0),
              0u);
}

TEST(ReturnCodes, TextsOfCodesAndCalls) {
    EXPECT_EQ(rvToString(0x3), "0x3: Неправильный идентификатор слота.");
    EXPECT_EQ(rvToString(0x1B), "0x1b");
    EXPECT_EQ(rvText(0x1B), nullptr);
    EXPECT_EQ(rvCallText(0xA4, "C_Login"),
              "C_Login вернула ошибку 0xa4: Авторизация по данному ПИН-коду невозможна (превышен допустимый "
              "предел последовательного ввода неправильных значений ПИН-кода).");
    // Latin C in "C_InitPIN" and guillemets, in code page 1251.
    EXPECT_STREQ(rvText(0x102),
                 "Начальное значение ПИН-кода не установлено. Используйте функцию C_InitPIN (см. «Функция "
                 "C_InitPIN»).");
    EXPECT_EQ(static_cast<unsigned char>(rvText(0x191)[std::string(rvText(0x191)).find("_Finalize") - 1]),
              0xD1u);
}

TEST(MechanismTables, GostMechanismsMapToAlgIdsAndOids) {
    struct Row {
        CK_MECHANISM_TYPE mechanism;
        ALG_ID algId;
        const char* oid;
        const char* name;
    };
    const Row rows[] = {
        {0x1201, 0x2E23, "1.2.643.2.2.19", "GOSTR3410"},
        {0x1202, 0x2E23, "1.2.643.2.2.19", "GOSTR3410_WITH_GOSTR3411"},
        {0x1210, 0x801E, "1.2.643.2.2.9", "GOSTR3411"},
        {0x1222, 0x661E, "1.2.643.2.2.21", "GOST28147"},
        {0x1224, 0x661E, "1.2.643.2.2.21", "GOST28147_KEY_WRAP"},
        {0xD4321006, 0x2E3D, "1.2.643.7.1.1.1.2", "GOSTR3410_512"},
        {0xD4321009, 0x2E3D, "1.2.643.7.1.1.1.2", "GOSTR3410_WITH_GOSTR3411_12_512"},
        {0xD4321008, 0x2E49, "1.2.643.7.1.1.1.1", "GOSTR3410_WITH_GOSTR3411_12_256"},
        {0xD4321012, 0x8021, "1.2.643.7.1.1.2.2", "GOSTR3411_12_256"},
        {0xD4321013, 0x8022, "1.2.643.7.1.1.2.3", "GOSTR3411_12_512"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(PKCS11AlgToWinCryptAlg(r.mechanism), r.algId);
        EXPECT_EQ(PKCS11AlgToOID(r.mechanism).toStd(), r.oid);
        EXPECT_EQ(mechanismName(r.mechanism).toStd(), r.name);
    }
    for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOST28147_ECB}) {
        EXPECT_EQ(PKCS11AlgToWinCryptAlg(m), 0u);
        const auto error = MaybeThrown([&] { PKCS11AlgToOID(m); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->getMessage().toU16(), u"Не реализовано, не было необходимости. global:203.");
    }
}

TEST(MechanismTables, NamesCoverTheStandardAndTheGostVendorRange) {
    struct Row {
        CK_MECHANISM_TYPE mechanism;
        const char* name;
    };
    const Row rows[] = {
        {0x0, "RSA_PKCS_KEY_PAIR_GEN"},
        {0x1040, "ECDSA_KEY_PAIR_GEN"},  // the v2.30 name of an aliased code
        {0x1220, "GOST28147_KEY_GEN"},
        {0x1221, "GOST28147_ECB"},
        {0x2000, "DSA_PARAMETER_GEN"},
        {0x80000000, "VENDOR_DEFINED"},
        {0xD4321007, "GOSTR3410_12_DERIVE"},
        {0xF, "unknown 0xf"},
        {0x13, "unknown 0x13"},  // added to the standard after v2.30
        {0xD4321025, "unknown 0xd4321025"},
        {0xD4321014, "unknown 0xd4321014"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(mechanismName(r.mechanism).toStd(), r.name) << std::hex << r.mechanism;

    // The generated table holds exactly the 259 standard codes below 0x80000000.
    int known = 0;
    for (CK_MECHANISM_TYPE m = 0; m < 0x3000; ++m)
        if (mechanismName(m).toStd().rfind("unknown", 0) != 0) ++known;
    EXPECT_EQ(known, 259);
}
