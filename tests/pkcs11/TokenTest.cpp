// Tokens on SoftHSM2: descriptions, login and the remembered PIN, objects and attributes, the key-pair
// search, random bytes; and the records and handles that need no module.
#include "pkcs11Impl.h"
#include "softHsm.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/utils/error.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <set>

using namespace Vsk::PKCS11;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;
using VskTest::MaybeThrown;
using VskTest::SoftHsm;
using VskTest::Utf16;
using VskTest::Utf8;

namespace {

// The test token of a freshly loaded SoftHSM library.
class TokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        VSK_REQUIRE_SOFTHSM();
        ASSERT_TRUE(m_library.init(CWString(Utf16(SoftHsm::Module).c_str())));
        m_token = VskTest::FindToken(m_library, Utf16(SoftHsm::Label));
        ASSERT_FALSE(m_token.isEmpty());
    }
    void TearDown() override {
        m_token = CToken();
        m_library = CPKCS11(false);
        CPKCS11::clearAll();
    }

    CPKCS11 m_library{true};
    CToken m_token;
};

std::u16string messageOf(const std::optional<Vsk::Utils::CError>& error) {
    return error ? error->getMessage().toU16() : u"(nothing raised)";
}

bool allZero(const WCHAR* text, size_t n) {
    return std::all_of(text, text + n, [](WCHAR c) { return c == 0; });
}

}  // namespace

TEST(TokenRecords, NameFromSlotDescriptionOrTokenManufacturer) {
    TokenSlot slot;
    EXPECT_TRUE(slot.getName().toU16().empty());
    slot.hasTokenInfo = true;
    slot.tokenInfo.manufacturerID = u"Maker";
    slot.tokenInfo.model = u"M1";
    slot.tokenInfo.serialNumber = u"0042";
    slot.slotInfo.manufacturerID = u"Reader maker";
    EXPECT_EQ(slot.getName().toU16(), u"Maker - M1 - 0042");
    slot.hasSlotInfo = true;
    EXPECT_EQ(slot.getName().toU16(), u"Maker - M1 - 0042");
    slot.slotInfo.slotDescription = u"Reader 0";
    EXPECT_EQ(slot.getName().toU16(), u"Reader 0 - M1 - 0042");
    EXPECT_EQ(versionToString(CK_VERSION{2, 40}).toU16(), u"2.40");
    EXPECT_EQ(versionToNumber(CK_VERSION{2, 40}), 0x228u);
}

TEST(TokenRecords, EmptyHandlesRaiseNotCreatedNamingTheClass) {
    CToken empty;
    const auto error = MaybeThrown([&] { empty.getSlotInfo(); });
    EXPECT_NE(messageOf(error).find(u"Vsk::PKCS11::CToken::CImpl"), std::u16string::npos)
        << Utf8(messageOf(error));
    EXPECT_TRUE(empty.getLibraryName().toU16().empty());
    CPKCS11 none(false);
    EXPECT_NE(messageOf(MaybeThrown([&] { none.getTokenCount(); })).find(u"Vsk::PKCS11::CPKCS11::CImpl"),
              std::u16string::npos);
    // A token of an empty library handle cannot be made.
    EXPECT_TRUE(MaybeThrown([&] { CToken(&none, 0); }));
    CTokenKeyPair pair(&empty);
    EXPECT_TRUE(pair.isEmpty());
}

TEST_F(TokenTest, DescribesSlotsAndTokensInTheModulesCodePage) {
    const TokenInfo& info = m_token.getTokenInfo();
    EXPECT_EQ(info.label.toU16(), Utf16(SoftHsm::Label));
    EXPECT_EQ(info.manufacturerID.toU16(), u"SoftHSM project");
    EXPECT_EQ(info.model.toU16(), u"SoftHSM v2");
    EXPECT_FALSE(info.serialNumber.toU16().empty());
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(info.minPinLen, 4u);
    const SlotInfo& slot = m_token.getSlotInfo();
    EXPECT_EQ(slot.manufacturerID.toU16(), u"SoftHSM project");
    ASSERT_FALSE(slot.slotDescription.toU16().empty());
    // Trimmed: the records' blank padding is gone.
    EXPECT_NE(slot.slotDescription.toU16().back(), u' ');
    EXPECT_EQ(m_token.getName().toU16(),
              slot.slotDescription.toU16() + u" - SoftHSM v2 - " + info.serialNumber.toU16());
    EXPECT_EQ(m_token.getInfo().getName().toU16(), m_token.getName().toU16());

    // Cryptoki 2.40 speaks UTF-8.
    EXPECT_EQ(m_token.getImpl()->getCodePage(), CP_UTF8);
    CToken cyrillic =
        VskTest::FindToken(m_library, Utf16(reinterpret_cast<const char*>(SoftHsm::CyrillicLabel)));
    EXPECT_FALSE(cyrillic.isEmpty());

    const std::u16string library = m_token.getLibraryName().toU16();
    EXPECT_NE(library.find(u" /usr/lib/"), std::u16string::npos) << Utf8(library);
    EXPECT_NE(library.find(u"libsofthsm2.so"), std::u16string::npos);

    // Mechanisms with their flags; RSA signing is among them.
    bool rsaSign = false;
    for (const MechanismInfo& m : m_token.getAlgs()) {
        EXPECT_NE(m.info.flags, 0u);
        if (m.type == CKM_RSA_PKCS) rsaSign = (m.info.flags & CKF_SIGN) != 0;
    }
    EXPECT_TRUE(rsaSign);
    for (const MechanismInfo& m : m_token.getImpl()->getAlgs(CKF_DIGEST))
        EXPECT_EQ(m.info.flags & CKF_DIGEST, CKF_DIGEST) << std::hex << m.type;
}

TEST_F(TokenTest, LoginWithWrongMissingAndRememberedPins) {
    // No PIN and none remembered: raised before the token is asked.
    CWString empty;
    auto error = MaybeThrown([&] { m_token.login(empty); });
    EXPECT_EQ(messageOf(error).rfind(u"Не задан ПИН код токена \"" + m_token.getName().toU16() + u"\"!", 0),
              0u)
        << Utf8(messageOf(error));
    EXPECT_EQ(static_cast<DWORD>(error->getCode()), 0x8010006Fu);
    EXPECT_EQ(m_token.getImpl()->m_hSession, 0u);

    // A wrong PIN: the table text and the token's code; the caller's PIN stays, nothing is kept.
    CWString wrong(u"0000");
    error = MaybeThrown([&] { m_token.login(wrong); });
    EXPECT_EQ(messageOf(error),
              u"Функции передан ПИН-код, который не соответствует тому, который сохранен на Устройстве.");
    EXPECT_EQ(error->getErrorNumber(), CKR_PIN_INCORRECT);
    EXPECT_EQ(wrong.toU16(), u"0000");
    EXPECT_FALSE(m_token.isLoggedIn());
    EXPECT_TRUE(m_token.getImpl()->m_pin.isEmpty());
    // The 8-bit PIN is wiped at once, also when the login fails.
    CAString wrongAnsi("9999");
    EXPECT_TRUE(MaybeThrown([&] { m_token.loginAnsi(wrongAnsi); }));
    EXPECT_EQ(std::string(wrongAnsi.c_str(), 4), std::string(4, '\0'));

    // The right PIN: logged in, the caller's copy wiped (with every string sharing it), the PIN kept
    // encrypted.
    CWString pin(Utf16(SoftHsm::UserPin).c_str());
    const CWString sharing = pin;
    m_token.login(pin);
    EXPECT_TRUE(m_token.isLoggedIn());
    EXPECT_TRUE(allZero(sharing.c_str(), 4));
    const CRememberedPin& kept = m_token.getImpl()->m_pin;
    EXPECT_FALSE(kept.isEmpty());
    EXPECT_EQ(kept.get().toU16(), Utf16(SoftHsm::UserPin));

    // A second login logs out first; an empty PIN takes the remembered one.
    CWString again;
    m_token.login(again);
    EXPECT_TRUE(m_token.isLoggedIn());
    EXPECT_TRUE(allZero(again.c_str(), again.getLength()));

    // A security-officer login does not replace the user's PIN.
    CWString so(Utf16(SoftHsm::SoPin).c_str());
    m_token.login(so, true);
    EXPECT_TRUE(m_token.isLoggedIn());
    EXPECT_EQ(kept.get().toU16(), Utf16(SoftHsm::UserPin));
    m_token.logout();
    EXPECT_FALSE(m_token.isLoggedIn());
    CAString ansi(SoftHsm::UserPin);
    m_token.loginAnsi(ansi);
    EXPECT_TRUE(m_token.isLoggedIn());
    EXPECT_EQ(std::string(ansi.c_str(), 4), std::string(4, '\0'));

    // The token reporting that the user is already logged in counts as success.
    CToken second = VskTest::FindToken(m_library, Utf16(SoftHsm::Label));
    ASSERT_FALSE(second.isSame(m_token));
    CWString secondPin(Utf16(SoftHsm::UserPin).c_str());
    second.login(secondPin);
    EXPECT_TRUE(second.isLoggedIn());
}

TEST_F(TokenTest, ObjectsAreCreatedFoundReadAndDestroyed) {
    CToken::CImpl* impl = m_token.getImpl();
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL no = CK_FALSE;
    const char label[] = "Kestrovan data";
    const unsigned char value[] = {0x01, 0x02, 0xFF};
    CK_ATTRIBUTE data[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                           {CKA_TOKEN, &no, sizeof no},
                           {CKA_PRIVATE, &no, sizeof no},
                           {CKA_LABEL, const_cast<char*>(label), sizeof label - 1},
                           {CKA_VALUE, const_cast<unsigned char*>(value), sizeof value}};
    CK_OBJECT_HANDLE object = impl->createObject(data, 5);
    ASSERT_NE(object, 0u);

    const CArray<CK_OBJECT_HANDLE> found = m_token.findObjects(CKO_DATA);
    EXPECT_NE(std::find(found.begin(), found.end(), object), found.end());
    EXPECT_EQ(m_token.attributeToString(m_token.getAttributeValue(object, CKA_LABEL)).toU16(),
              u"Kestrovan data");
    // Bytes that are no text read as hexadecimal; Cyrillic in the module's UTF-8 reads as text.
    EXPECT_EQ(m_token.attributeToString(m_token.getAttributeValue(object, CKA_VALUE)).toU16(), u"0102FF");
    const char8_t cyrillic[] = u8"Ключ\tА";
    EXPECT_EQ(m_token.attributeToString(CDataBlob(cyrillic, sizeof cyrillic - 1, true)).toU16(), u"Ключ\tА");
    EXPECT_TRUE(m_token.attributeToString(CDataBlob()).toU16().empty());
    // An attribute the object lacks reads as empty; an unknown object raises.
    EXPECT_EQ(m_token.getAttributeValue(object, CKA_MODULUS).getSize(), 0u);
    const auto invalid = MaybeThrown([&] { m_token.getAttributeValue(0x7FFFFFF0, CKA_LABEL); });
    EXPECT_EQ(messageOf(invalid).rfind(u"Функции передан некорректный дескриптор объекта.", 0), 0u);
    EXPECT_EQ(messageOf(MaybeThrown([&] { impl->getKeyType(object); })), u"Тип ключа не ULONG: ");

    // Certificates are found by their bytes; of two equal ones the first, with a log line.
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    const unsigned char der[] = {0x30, 0x03, 0x02, 0x01, 0x07};
    const unsigned char subject[] = {0x30, 0x00};
    CK_ATTRIBUTE certificate[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                                  {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                                  {CKA_TOKEN, &no, sizeof no},
                                  {CKA_SUBJECT, const_cast<unsigned char*>(subject), sizeof subject},
                                  {CKA_VALUE, const_cast<unsigned char*>(der), sizeof der}};
    const CDataBlob derBlob(der, sizeof der, true);
    EXPECT_EQ(m_token.findCertificate(derBlob), 0u);
    CK_OBJECT_HANDLE firstCert = impl->createObject(certificate, 5);
    EXPECT_EQ(m_token.findCertificate(derBlob), firstCert);
    CK_OBJECT_HANDLE secondCert = impl->createObject(certificate, 5);
    VskTest::LogCapture log(2);
    const CK_OBJECT_HANDLE foundCert = m_token.findCertificate(derBlob);
    EXPECT_TRUE(foundCert == firstCert || foundCert == secondCert);
    EXPECT_EQ(log.count(u"На токене более одного сертификата со значением: 3003020107"), 1u);
    impl->destroyObject(firstCert);
    impl->destroyObject(secondCert);

    CK_OBJECT_HANDLE destroyed = object;
    impl->destroyObject(destroyed);
    EXPECT_EQ(destroyed, 0u);
    const CArray<CK_OBJECT_HANDLE> after = m_token.findObjects(CKO_DATA);
    EXPECT_EQ(std::find(after.begin(), after.end(), object), after.end());
    // A handle of 0 does nothing.
    impl->destroyObject(destroyed);
}

// The module's view of the key pairs that pkcs11-tool made agrees with the tool's own listing, and
// each public key finds its private key by a trial signature.
TEST_F(TokenTest, KeyPairsAgreeWithPkcs11ToolAndFindTheirPrivateKeys) {
    if (!SoftHsm::get().hasPkcs11Tool()) GTEST_SKIP() << "pkcs11-tool (OpenSC) is not installed";
    const std::string listing = SoftHsm::get().tool("--list-objects --type pubkey");
    std::multiset<std::string> toolLabels;
    const std::regex labelLine(R"(label:\s+(\S+))");
    for (std::sregex_iterator it(listing.begin(), listing.end(), labelLine), end; it != end; ++it)
        toolLabels.insert((*it)[1]);
    ASSERT_EQ(toolLabels, (std::multiset<std::string>{"pairA", "pairB"})) << listing;

    const CArray<CK_OBJECT_HANDLE> publicKeys = m_token.findObjects(CKO_PUBLIC_KEY);
    std::multiset<std::string> ourLabels;
    for (CK_OBJECT_HANDLE key : publicKeys)
        ourLabels.insert(Utf8(m_token.attributeToString(m_token.getAttributeValue(key, CKA_LABEL))));
    EXPECT_EQ(ourLabels, toolLabels);

    CToken::CImpl* impl = m_token.getImpl();
    CK_OBJECT_HANDLE pubA = 0, pubB = 0;
    for (CK_OBJECT_HANDLE key : publicKeys)
        (Utf8(m_token.attributeToString(m_token.getAttributeValue(key, CKA_LABEL))) == "pairA" ? pubA
                                                                                               : pubB) = key;
    EXPECT_EQ(impl->getKeyType(pubA), CKK_RSA);
    // Private keys are hidden before the login.
    EXPECT_TRUE(m_token.findObjects(CKO_PRIVATE_KEY).isEmpty());
    const auto hidden = MaybeThrown([&] { m_token.findPrivByPubKey(pubA); });
    EXPECT_EQ(messageOf(hidden).rfind(u"Не авторизовались на токене!", 0), 0u);
    EXPECT_EQ(static_cast<DWORD>(hidden->getCode()), 0x8010006Bu);

    CWString pin(Utf16(SoftHsm::UserPin).c_str());
    m_token.login(pin);
    const CArray<CK_OBJECT_HANDLE> privateKeys = m_token.findObjects(CKO_PRIVATE_KEY);
    ASSERT_EQ(privateKeys.getCount(), 2u);
    EXPECT_EQ(Utf8(m_token.attributeToString(m_token.getAttributeValue(pubB, CKA_ID))), "0B");

    // Each public key finds the private key with its identifier, and only that one signs for it.
    std::set<CK_OBJECT_HANDLE> matched;
    for (CK_OBJECT_HANDLE key : publicKeys) {
        const CK_OBJECT_HANDLE priv = m_token.findPrivByPubKey(key);
        ASSERT_NE(priv, 0u);
        EXPECT_EQ(m_token.getAttributeValue(priv, CKA_ID), m_token.getAttributeValue(key, CKA_ID));
        matched.insert(priv);
    }
    EXPECT_EQ(matched.size(), 2u);
    EXPECT_FALSE(impl->isPubKeyCorrespondPrivKey(pubA, m_token.findPrivByPubKey(pubB)));

    // A private key that carries the other pair's identifier fails the trial signature and is
    // passed over; the search over all private keys of the type finds the right one.
    const CK_OBJECT_HANDLE privB = m_token.findPrivByPubKey(pubB);
    const CDataBlob idA = m_token.getAttributeValue(pubA, CKA_ID);
    CK_ATTRIBUTE newId{CKA_ID, idA.getData(), idA.getSize()};
    ASSERT_EQ(impl->functions()->C_SetAttributeValue(impl->m_hSession, privB, &newId, 1), CKR_OK);
    VskTest::LogCapture log(2);
    const CK_OBJECT_HANDLE privA = m_token.findPrivByPubKey(pubA);
    EXPECT_NE(privA, privB);
    EXPECT_TRUE(impl->isPubKeyCorrespondPrivKey(pubA, privA));
    EXPECT_EQ(log.count(u"На токене 2 закрытых ключей с CKA_ID=0A"), 1u);
    EXPECT_EQ(m_token.findPrivByPubKey(pubB), privB);
    EXPECT_EQ(log.count(u"На токене отсутствует закрытый ключ с CKA_ID=0B"), 1u);

    // What the token finds agrees with a public key found by its value: RSA keys have no CKA_VALUE.
    EXPECT_EQ(m_token.findPubKey(CDataBlob("\x01\x02", 2, true)), 0u);
}

TEST_F(TokenTest, RandomBytesFillTheBlobAndAnEmptyOneAsksNothing) {
    CDataBlob none;
    EXPECT_EQ(m_token.generateRandom(none), 0);
    EXPECT_EQ(m_token.getImpl()->m_hSession, 0u);
    CDataBlob first(64), second(64);
    std::memset(first.getData(), 0, 64);
    std::memset(second.getData(), 0, 64);
    m_token.generateRandom(first);
    m_token.generateRandom(second);
    EXPECT_NE(first, second);
    EXPECT_NE(first, CDataBlob(std::string(64, '\0').data(), 64, true));
    EXPECT_NE(m_token.getImpl()->m_hSession, 0u);
}
