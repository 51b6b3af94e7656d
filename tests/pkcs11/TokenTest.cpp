// The mechanism tables and the token handles of a build that loads no vendor library.
#include <vsk/pkcs11/Mechanisms.h>
#include <vsk/pkcs11/Token.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/utils/error.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace Vsk::PKCS11;

namespace {

std::u16string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Vsk::Utils::CError& e) {
        return e.getMessage().toU16();
    }
    return u"(no error)";
}

}  // namespace

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
}

TEST(MechanismTables, OtherMechanismsHaveNoCounterpartButAName) {
    for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_SHA256, CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOST28147_ECB}) {
        EXPECT_EQ(PKCS11AlgToWinCryptAlg(m), 0u);
        EXPECT_EQ(ErrorOf([&] { PKCS11AlgToOID(m); }), u"Не реализовано, не было необходимости.");
    }
    EXPECT_EQ(mechanismName(CKM_RSA_PKCS).toStd(), "RSA_PKCS");
    EXPECT_EQ(mechanismName(CKM_SHA256_RSA_PKCS).toStd(), "SHA256_RSA_PKCS");
    EXPECT_EQ(mechanismName(0x7654321).toStd(), "unknown 0x7654321");
}

TEST(TokenHandles, EmptyHandlesRaiseNotCreatedNamingTheClass) {
    CToken empty;
    EXPECT_TRUE(empty.isEmpty());
    const std::u16string tokenError = ErrorOf([&] { empty.getSlotInfo(); });
    EXPECT_NE(tokenError.find(u"Vsk::PKCS11::CToken::CImpl"), std::u16string::npos)
        << std::string(tokenError.begin(), tokenError.end());
    EXPECT_NE(tokenError.find(u"не был создан"), std::u16string::npos);
    EXPECT_EQ(ErrorOf([&] { empty.findObjects(CKO_PUBLIC_KEY); }), tokenError);

    CTokenKeyPair pair(&empty);
    EXPECT_TRUE(pair.isEmpty());
    EXPECT_EQ(pair.getToken(), nullptr);
    EXPECT_NE(ErrorOf([&] { pair.getPubKeyHandle(); }).find(u"Vsk::PKCS11::CTokenKeyPair::CImpl"),
              std::u16string::npos);

    CPKCS11 none(false);
    EXPECT_NE(ErrorOf([&] { none.getTokenCount(); }).find(u"Vsk::PKCS11::CPKCS11::CImpl"),
              std::u16string::npos);
}

TEST(TokenHandles, LibraryIsNotLoadedAndHoldsNoToken) {
    CPKCS11 library(true);
    EXPECT_FALSE(library.init(u"/nonexistent/libpkcs11.so"));
    EXPECT_EQ(library.getTokenCount(), 0u);
    // A token of a library that is not loaded is an empty handle.
    EXPECT_TRUE(CToken(&library, 0).isEmpty());
    EXPECT_FALSE(CPKCS11::getLibraries().isEmpty());
}

TEST(TokenSlotRecord, NameFromSlotOrManufacturerWithModelAndSerial) {
    TokenSlot slot;
    EXPECT_TRUE(slot.getName().toU16().empty());
    slot.hasTokenInfo = true;
    slot.slotInfo.manufacturerID = u"Maker";
    slot.tokenInfo.model = u"M1";
    slot.tokenInfo.serialNumber = u"0042";
    EXPECT_EQ(slot.getName().toU16(), u"Maker - M1 - 0042");
    slot.slotInfo.slotDescription = u"Reader 0";
    EXPECT_EQ(slot.getName().toU16(), u"Reader 0 - M1 - 0042");
}
