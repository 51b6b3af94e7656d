// The option objects of signing, encryption, decryption, signature verification and time stamps, on
// certificates made by openssl (GOST engine), containers of the provider stand-in and the fake
// provider backend where a test needs a catalogue of its own.
#include "certificates/certificateFixtures.h"
#include "certificates/containerFixtures.h"
#include "certificates/derFixtures.h"
#include "providers/catalogueTestSupport.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/utils/error.h>

#include <cstring>
#include <functional>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using catalogue_test::U16;
using CertFixture::Key;
using ContainerFixture::load;

namespace {

const char* const Gost94 = "1.2.643.2.2.9";
const char* const Gost2012_256 = "1.2.643.7.1.1.2.2";
const char* const Sha1 = "1.3.14.3.2.26";

CCertificate fixtureCertificate(const std::string& name, Key key, const std::string& subject) {
    return load(CertFixture::make(name, key, subject).derBytes());
}

CCertificate gost256(const std::string& name = "settings-gost256") {
    return fixtureCertificate(name, Key::Gost256, "/CN=" + name);
}

CCertificate rsa(const std::string& name = "settings-rsa") {
    return fixtureCertificate(name, Key::Rsa2048, "/CN=" + name);
}

// A GOST R 34.10-2001 certificate (the key kind the fixtures do not make).
CCertificate gost2001() {
    const std::filesystem::path der = CertFixture::folder() / "settings-gost2001.der";
    if (!std::filesystem::exists(der)) {
        bool ok = false;
        CertFixture::run(
            "openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes "
            "-keyout /dev/null -subj /CN=gost2001 -days 30 -outform DER -out " +
                CertFixture::quote(der.string()) + " 2>&1",
            &ok);
        EXPECT_TRUE(ok);
    }
    return load(CertFixture::readFile(der));
}

// A certificate whose public key has the given algorithm OID, built by hand (its signature is not
// meant to verify): for key algorithms that only a fake provider offers.
CCertificate handMade(const char* keyOid) {
    using DerFixture::der;
    using DerFixture::oidDer;
    const std::string algorithm = der(0x30, oidDer("1.2.643.7.1.1.3.2"));
    const std::string name = der(0x30, der(0x31, der(0x30, oidDer("2.5.4.3") + der(0x0C, "hand made"))));
    const std::string validity = der(0x30, der(0x17, "250101000000Z") + der(0x17, "491231000000Z"));
    const std::string key = der(0x03, std::string(1, '\0') + der(0x04, std::string(64, '\x11')));
    const std::string spki = der(0x30, der(0x30, oidDer(keyOid)) + key);
    const std::string tbs = der(
        0x30, der(0xA0, der(0x02, "\x02")) + der(0x02, "\x05") + algorithm + name + validity + name + spki);
    const std::string certificate = der(0x30, tbs + algorithm + der(0x03, std::string(65, '\0')));
    return load(CDataBlob(certificate.data(), certificate.size(), true));
}

std::u16string text(const CWString& value) {
    return value.toU16();
}

std::u16string wide(const char* ascii) {
    return std::u16string(ascii, ascii + std::strlen(ascii));
}

class MessageSettings : public catalogue_test::CatalogueFixture {};

// ---- Signing ----------------------------------------------------------------------------------------------

TEST_F(MessageSettings, FreshSigningObjectAndItsText) {
    CSignSettings settings;
    EXPECT_TRUE(settings.get_Detached());
    EXPECT_TRUE(settings.get_IncludeDateTime());
    EXPECT_TRUE(settings.get_IncludeSignerCert());
    EXPECT_FALSE(settings.get_IncludeTimestamp());
    EXPECT_FALSE(settings.get_AutoBindWithKeyContainer());
    EXPECT_FALSE(settings.get_HSMToCSPOptimization());
    EXPECT_FALSE(settings.get_ClearSignature());
    EXPECT_EQ(settings.get_SignerCert(), nullptr);
    EXPECT_EQ(settings.get_KeyContainer(), nullptr);
    EXPECT_EQ(settings.get_SigningTime(), nullptr);
    EXPECT_EQ(settings.get_HashAlgorithm(false).getLength(), 0u);
    EXPECT_EQ(text(settings.getText()),
              u"Detached=true, IncludeDateTime=true, IncludeSignerCert=true, IncludeTimestamp=false, "
              u"SignerCert=null, KeysetPassword absent, HashAlgorithm , AutoBindWithKeyContainer false");

    // Each setter moves its own bit only, and a copy is the same object. IncludeTimestamp keeps its
    // setter: refusing it is the signing layer's business.
    struct Flag {
        const char* name;
        std::function<bool(const CSignSettings&)> get;
        std::function<void(CSignSettings&, bool)> put;
    };
    const Flag flags[] = {
        {"Detached", &CSignSettings::get_Detached, &CSignSettings::put_Detached},
        {"IncludeDateTime", &CSignSettings::get_IncludeDateTime, &CSignSettings::put_IncludeDateTime},
        {"IncludeSignerCert", &CSignSettings::get_IncludeSignerCert, &CSignSettings::put_IncludeSignerCert},
        {"IncludeTimestamp", &CSignSettings::get_IncludeTimestamp, &CSignSettings::put_IncludeTimestamp},
    };
    for (const Flag& flag : flags) {
        SCOPED_TRACE(flag.name);
        CSignSettings copy(&settings);
        const DWORD before = settings.getImpl()->m_flags;
        const bool was = flag.get(settings);
        flag.put(copy, !was);
        EXPECT_EQ(flag.get(settings), !was);
        EXPECT_EQ(__builtin_popcount(before ^ settings.getImpl()->m_flags), 1);
        EXPECT_NE(text(settings.getText()).find(wide(flag.name) + u"=" + (was ? u"false" : u"true")),
                  std::u16string::npos);
        flag.put(copy, was);
        EXPECT_EQ(settings.getImpl()->m_flags, before);
    }
}

TEST_F(MessageSettings, EmptyHandlesRaiseNotCreated) {
    const CSignSettings sign(static_cast<const CSignSettings*>(nullptr));
    const CEncryptSettings encrypt(static_cast<const CEncryptSettings*>(nullptr));
    const CDecryptSettings decrypt(static_cast<const CDecryptSettings*>(nullptr));
    const CSignatureVerifySettings verify(static_cast<const CSignatureVerifySettings*>(nullptr));
    const CStampVerifySettings stamp(static_cast<const CStampVerifySettings*>(nullptr));
    struct Row {
        const char16_t* className;
        std::function<void()> call;
    };
    const Row rows[] = {
        {u"Vsk::PKI::CSignSettings::CImpl", [&] { sign.get_Detached(); }},
        {u"Vsk::PKI::CSignSettings::CImpl", [&] { sign.getText(); }},
        {u"Vsk::PKI::CSignSettings::CImpl", [&] { sign.ApplyKeysetPassword(0, AT_SIGNATURE); }},
        {u"Vsk::PKI::CEncryptSettings::CImpl", [&] { encrypt.get_RecipientCertificates(); }},
        {u"Vsk::PKI::CEncryptSettings::CImpl",
         [&] { CEncryptSettings(encrypt).putRecipientCertificates(CArray<CCertificate>()); }},
        {u"Vsk::PKI::CDecryptSettings::CImpl", [&] { decrypt.get_AutoFindRecipient(); }},
        {u"Vsk::PKI::CSignatureVerifySettings::CImpl", [&] { verify.get_CertVerifyMode(); }},
        {u"Vsk::PKI::CStampVerifySettings::CImpl", [&] { stamp.get_StampCert(); }},
    };
    for (const Row& row : rows) {
        try {
            row.call();
            ADD_FAILURE() << "no error for " << CAString(CWString(row.className), 65001).toStd();
        } catch (const CError& error) {
            EXPECT_EQ(text(error.getMessage()),
                      u"Объект class " + std::u16string(row.className) + u" не был создан!");
        }
    }
    // The keyset-password getters answer null instead.
    EXPECT_EQ(sign.get_KeysetPassword(), nullptr);
    EXPECT_EQ(decrypt.get_KeysetPassword(), nullptr);
}

// The hash follows the signer: kept while it still fits, else GOST R 34.11-94 when the key allows it,
// else the first that fits; a signer without a context leaves the hash as it was.
TEST_F(MessageSettings, HashChoiceFollowsTheSigner) {
    // The built-in providers have no GOST R 34.11-94: a GOST R 34.10-2001 provider beside them.
    useFake(R"(
[provider]
type = 1
name = RSA Provider
[provider]
type = 75
name = GOST 2001 Provider
algorithms = none
alg = 0x801E 256 GR3411
alg = 0x2E23 512 GR3410EL
alg = 0x661E 256 G28147
[provider]
type = 80
name = GOST 2012 Provider
)");
    CSignSettings settings;
    const struct {
        const char* name;
        CCertificate certificate;
        const char* hash;
    } steps[] = {
        {"GOST R 34.10-2012 256", gost256(), Gost2012_256},
        {"GOST R 34.10-2001", gost2001(), Gost94},
        {"RSA", rsa(), Sha1},
        {"another RSA certificate keeps the hash", rsa("settings-rsa-b"), Sha1},
        {"an object without a certificate", CCertificate(true), Sha1},
        {"none", CCertificate(), Sha1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        settings.put_SignerCert(step.certificate.isNull() ? nullptr : &step.certificate);
        EXPECT_EQ(text(settings.get_HashAlgorithm(false)), wide(step.hash));
    }
    EXPECT_EQ(settings.get_SignerCert(), nullptr);
    EXPECT_TRUE(settings.getImpl()->m_possibleHashAlgorithms.isEmpty());

    const CCertificate signer = gost2001();
    settings.put_SignerCert(&signer);
    EXPECT_EQ(settings.get_SignerCert()->getImpl(), signer.getImpl());
    EXPECT_NE(text(settings.get_HashAlgorithm(true)), wide(Gost94));
    EXPECT_NE(text(settings.getText()).find(u"SignerCert=" + text(signer.getText()) + u", "),
              std::u16string::npos);
    EXPECT_NE(text(settings.getText()).find(u", HashAlgorithm 1.2.643.2.2.9, "), std::u16string::npos);
}

// Where the catalogue offers the key several hashes, GOST R 34.11-94 wins even when another comes
// first; without it the first one is taken.
TEST_F(MessageSettings, Gost94PreferredWhereverOffered) {
    useFake(R"(
[provider]
type = 75
name = GOST Mixed Hashes
algorithms = none
alg = 0x8004 160 SHA-1
alg = 0x801E 256 GR3411
alg = 0x661E 256 G28147
[provider]
type = 24
name = RSA Hashes
algorithms = none
alg = 0x8004 160 SHA-1
alg = 0x800C 256 SHA-256
alg = 0x6610 256 AES-256
)");
    const struct {
        const char* keyOid;
        const char* hash;
    } rows[] = {
        {"1.2.643.2.2.21", Gost94},
        {"2.16.840.1.101.3.4.1.42", Sha1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keyOid);
        const CCertificate certificate = handMade(row.keyOid);
        CArray<CAString> offered;
        certificate.getPossibleHashAlgorithms(offered);
        ASSERT_GE(offered.getCount(), 2u);
        EXPECT_EQ(offered[0].toStd(), Sha1);
        CSignSettings settings;
        settings.put_SignerCert(&certificate);
        EXPECT_EQ(text(settings.get_HashAlgorithm(false)), wide(row.hash));
    }
}

// The same certificate again replaces the held one only when it reaches a private key that the held
// one does not.
TEST_F(MessageSettings, SameSignerReplacedOnlyByOneWithPrivateKey) {
    const CDataBlob der =
        CertFixture::make("settings-gost256", Key::Gost256, "/CN=settings-gost256").derBytes();
    const CCertificate withoutKey = load(der);
    CCertificate withKey = load(der);
    ASSERT_TRUE(
        withKey.setKeyProvInfo(80, u"Some Provider", u"some-container", AT_KEYEXCHANGE, false, true, false));
    ASSERT_TRUE(withKey.get_HasPrivateKey(false));
    const CCertificate anotherWithoutKey = load(der);

    CSignSettings settings;
    settings.put_SignerCert(&withoutKey);
    settings.put_SignerCert(&anotherWithoutKey);
    EXPECT_EQ(settings.get_SignerCert()->getImpl(), withoutKey.getImpl());
    settings.put_SignerCert(&withKey);
    EXPECT_EQ(settings.get_SignerCert()->getImpl(), withKey.getImpl());
    settings.put_SignerCert(&withoutKey);
    EXPECT_EQ(settings.get_SignerCert()->getImpl(), withKey.getImpl());
    EXPECT_EQ(text(settings.get_HashAlgorithm(false)), wide(Gost2012_256));
}

// A container holding a certificate: signing and decryption take its certificate, pass on their
// Silent and password, and the signing hash is the one the container's provider offers. A
// certificate of another key is refused and changes nothing.
TEST_F(MessageSettings, KeyContainerBindsTheCertificate) {
    using namespace ContainerFixture;
    const CMadeContainer made = makeContainer(u"settings-container", false);
    const CDataBlob der = issue(made.publicPem, "settings-container");
    storeInContainer(u"settings-container", false, der);
    CCsp csp(true);
    csp.putCSPInfo(gostProvider().get());
    CArray<CKeyContainer> list;
    csp.GetContainerList(list, false, nullptr);
    const CKeyContainer* container = findListed(list, u"settings-container");
    ASSERT_NE(container, nullptr);
    const CCertificate foreign = gost256("settings-foreign");

    CSignSettings sign;
    sign.get_CommonSettings().put_Silent(true);
    CWString password(u"container secret");
    sign.get_KeysetPassword()->putPassword(password);
    sign.put_KeyContainer(container);
    ASSERT_NE(sign.get_SignerCert(), nullptr);
    EXPECT_TRUE(sign.get_SignerCert()->equal(load(der)));
    EXPECT_EQ(sign.get_KeyContainer()->getImpl(), container->getImpl());
    EXPECT_EQ(text(sign.get_HashAlgorithm(false)), wide(Gost2012_256));
    EXPECT_TRUE(container->get_CommonSettings().get_Silent());
    ASSERT_NE(container->get_KeysetPassword(), nullptr);
    EXPECT_EQ(container->get_KeysetPassword()->getPassword().toStd(), "container secret");
    try {
        sign.put_SignerCert(&foreign);
        ADD_FAILURE() << "a certificate of another key became the signer";
    } catch (const CError& error) {
        EXPECT_EQ(text(error.getMessage()).rfind(u"Сертификат (" + text(foreign.getText()), 0), 0u);
    }
    EXPECT_TRUE(sign.get_SignerCert()->equal(load(der)));

    // A signer that does not fit a container given later: refused, nothing taken over.
    CSignSettings other;
    other.put_SignerCert(&foreign);
    EXPECT_THROW(other.put_KeyContainer(container), CError);
    EXPECT_EQ(other.get_KeyContainer(), nullptr);
    EXPECT_EQ(other.get_SignerCert()->getImpl(), foreign.getImpl());

    CDecryptSettings decrypt;
    decrypt.put_KeyContainer(container);
    ASSERT_NE(decrypt.get_Certificate(), nullptr);
    EXPECT_TRUE(decrypt.get_Certificate()->equal(load(der)));
    EXPECT_THROW(decrypt.put_Certificate(&foreign), CError);
    EXPECT_TRUE(decrypt.get_Certificate()->equal(load(der)));
    decrypt.put_KeyContainer(nullptr);
    decrypt.put_Certificate(&foreign);
    EXPECT_EQ(decrypt.get_Certificate()->getImpl(), foreign.getImpl());
    decrypt.put_Certificate(nullptr);
    EXPECT_EQ(decrypt.get_Certificate(), nullptr);
}

// A password the provider refuses is raised only when the object is Silent; without a password
// nothing is raised either way.
TEST_F(MessageSettings, RefusedKeysetPasswordRaisedOnlyWhenSilent) {
    // A handle the provider layer does not know: every PIN is refused at once.
    const HCRYPTPROV prov = 0;
    const struct {
        const char* name;
        bool password;
        bool silent;
        bool raised;
    } rows[] = {
        {"password, not silent", true, false, false},
        {"password, silent", true, true, true},
        {"no password, silent", false, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CSignSettings sign;
        CDecryptSettings decrypt;
        sign.get_CommonSettings().put_Silent(row.silent);
        decrypt.get_CommonSettings().put_Silent(row.silent);
        if (row.password) {
            CWString first(u"secret"), second(u"secret");
            sign.get_KeysetPassword()->putPassword(first);
            decrypt.get_KeysetPassword()->putPassword(second);
        }
        for (const std::function<void()>& apply :
             {std::function<void()>([&] { sign.ApplyKeysetPassword(prov, AT_SIGNATURE); }),
              std::function<void()>([&] { decrypt.ApplyKeysetPassword(prov, AT_KEYEXCHANGE); })}) {
            if (row.raised) {
                try {
                    apply();
                    ADD_FAILURE() << "the refusal was dropped";
                } catch (const CError& error) {
                    EXPECT_NE(text(error.getText()).find(u"Применение пароля на ключевой контейнер"),
                              std::u16string::npos);
                    EXPECT_EQ(text(error.getText()).find(u"secret"), std::u16string::npos);
                }
            } else {
                EXPECT_NO_THROW(apply());
            }
        }
    }
}

// ---- Encryption and decryption ----------------------------------------------------------------------------

TEST_F(MessageSettings, FreshEncryptionAndDecryptionObjects) {
    const CEncryptSettings encrypt;
    EXPECT_TRUE(encrypt.get_RecipientCertificates().isEmpty());
    EXPECT_EQ(encrypt.get_EncryptAlgorithm(false).getLength(), 0u);
    EXPECT_EQ(encrypt.get_ProviderType(), 0);
    EXPECT_EQ(encrypt.get_ProviderName(), nullptr);
    EXPECT_EQ(encrypt.get_Provider(), nullptr);
    EXPECT_FALSE(encrypt.get_UseSessionKey());
    EXPECT_EQ(encrypt.get_KeysetPassword().getLength(), 0u);

    const CDecryptSettings decrypt;
    EXPECT_TRUE(decrypt.get_AutoFindRecipient());
    EXPECT_FALSE(decrypt.get_AutoBindWithKeyContainer());
    EXPECT_FALSE(decrypt.get_HSMToCSPOptimization());
    EXPECT_FALSE(decrypt.get_UseSessionKey());
    EXPECT_EQ(decrypt.get_Certificate(), nullptr);
    EXPECT_EQ(decrypt.get_KeyContainer(), nullptr);
}

// Recipients are cleaned of certificates without a context and of duplicates; the algorithm is the
// first one every recipient can use. A provider that does not offer it moves the algorithm to the
// last possible one, and the same recipients given again keep that choice.
TEST_F(MessageSettings, RecipientsAlgorithmAndProvider) {
    const CCertificate a = rsa();
    const CCertificate b = rsa("settings-rsa-b");
    const CCertificate aAgain = load(a.get_Encoded());
    CEncryptSettings settings;
    {
        VskTest::LogCapture log(2);
        CArray<CCertificate> recipients;
        for (const CCertificate& certificate : {a, CCertificate(true), aAgain, b})
            recipients.add(certificate);
        settings.putRecipientCertificates(recipients);
        EXPECT_EQ(
            log.count(u"PKI::CEncryptSettings::CImpl::putRecipientCertificates removed null PCCERT_CONTEXT"),
            1u);
        EXPECT_EQ(log.count(u"PKI::CEncryptSettings::CImpl::putRecipientCertificates removed duplicate " +
                            text(aAgain.getText())),
                  1u);
    }
    const CArray<CCertificate>& held = settings.get_RecipientCertificates();
    ASSERT_EQ(held.getCount(), 2u);
    EXPECT_EQ(held[0].getImpl(), a.getImpl());
    EXPECT_EQ(held[1].getImpl(), b.getImpl());

    const CAlgorithmArray possible = settings.getImpl()->m_possibleAlgorithms;
    ASSERT_GE(possible.getCount(), 2u);
    const std::u16string first = text(CWString(possible[0]->m_oid, 1251));
    const std::u16string last = text(CWString(possible[possible.getCount() - 1]->m_oid, 1251));
    EXPECT_EQ(text(settings.get_EncryptAlgorithm(false)), first);
    EXPECT_EQ(settings.get_ProviderType(), 1);

    // A GOST provider offers none of them: the last possible algorithm, the provider's type and name.
    const CRefPtr<CSPInfo> gost = ContainerFixture::gostProvider();
    ASSERT_TRUE(gost);
    settings.putProvider(gost.get());
    EXPECT_EQ(text(settings.get_EncryptAlgorithm(false)), last);
    EXPECT_EQ(settings.get_ProviderType(), 80);
    EXPECT_EQ(std::u16string(settings.get_ProviderName()), text(gost->m_name));
    EXPECT_EQ(settings.get_Provider(), gost.get());

    // Equal certificates in a new array: nothing changes.
    CArray<CCertificate> again;
    again.add(load(a.get_Encoded()));
    again.add(load(b.get_Encoded()));
    settings.putRecipientCertificates(again);
    EXPECT_EQ(text(settings.get_EncryptAlgorithm(false)), last);
    EXPECT_EQ(settings.get_ProviderType(), 80);
    EXPECT_EQ(settings.get_RecipientCertificates()[0].getImpl(), a.getImpl());

    // Other recipients while the provider type offers nothing for them: the first algorithm and the
    // type of its first provider.
    CArray<CCertificate> onlyA;
    onlyA.add(a);
    settings.putRecipientCertificates(onlyA);
    EXPECT_EQ(text(settings.get_EncryptAlgorithm(false)),
              text(CWString(settings.getImpl()->m_possibleAlgorithms[0]->m_oid, 1251)));
    EXPECT_EQ(settings.get_ProviderType(), 1);

    // No recipients: the algorithm list goes, and a provider then leaves no algorithm.
    settings.putRecipientCertificates(CArray<CCertificate>());
    EXPECT_TRUE(settings.get_RecipientCertificates().isEmpty());
    EXPECT_TRUE(settings.getImpl()->m_possibleAlgorithms.isEmpty());
    settings.putProvider(nullptr);
    EXPECT_EQ(settings.get_EncryptAlgorithm(false).getLength(), 0u);
    EXPECT_EQ(settings.get_ProviderName(), nullptr);
}

// Recipients no installed provider can encrypt for together: the catalogue's explanation as a
// CCryptError, and the object left without recipients, algorithm or provider type.
TEST_F(MessageSettings, NoProviderEncryptsForAllRecipients) {
    const CCertificate a = gost256();
    const CCertificate b = rsa();
    CEncryptSettings settings;
    CArray<CCertificate> one;
    one.add(a);
    settings.putRecipientCertificates(one);
    ASSERT_NE(settings.get_ProviderType(), 0);
    CArray<CCertificate> both;
    both.add(a);
    both.add(b);
    try {
        settings.putRecipientCertificates(both);
        ADD_FAILURE() << "recipients of two provider families were accepted";
    } catch (const CCryptError& error) {
        const std::u16string message = text(error.getMessage());
        EXPECT_EQ(
            message.rfind(u"Ни один установленный криптопровайдер не может шифровать сразу для всех данных "
                          u"сертификатов:",
                          0),
            0u);
        EXPECT_NE(message.find(text(a.get_SubjectName())), std::u16string::npos);
        EXPECT_NE(message.find(text(b.get_SubjectName())), std::u16string::npos);
    }
    EXPECT_TRUE(settings.get_RecipientCertificates().isEmpty());
    EXPECT_EQ(settings.get_ProviderType(), 0);
    EXPECT_EQ(settings.get_EncryptAlgorithm(false).getLength(), 0u);
}

// ---- Verification and time stamps -------------------------------------------------------------------------

TEST_F(MessageSettings, SignatureVerificationSharesTheCertificateSettings) {
    CSignatureVerifySettings settings;
    EXPECT_EQ(settings.get_CertVerifyMode(), 1);
    EXPECT_EQ(settings.get_CertVerifySettings(), nullptr);
    EXPECT_EQ(settings.get_SignerCert(), nullptr);
    EXPECT_FALSE(settings.get_RequireTimestamp());
    EXPECT_EQ(settings.get_StampVerifySettings(), nullptr);

    CCertVerifySettings mine;
    settings.put_CertVerifySettings(&mine);
    mine.put_RevocationMode(1);
    ASSERT_NE(settings.get_CertVerifySettings(), nullptr);
    EXPECT_EQ(settings.get_CertVerifySettings()->get_RevocationMode(), 1);
    settings.put_CertVerifySettings(settings.get_CertVerifySettings());
    EXPECT_EQ(settings.get_CertVerifySettings()->getImpl(), mine.getImpl());
    const CCertVerifySettings empty(static_cast<const CCertVerifySettings*>(nullptr));
    EXPECT_THROW(settings.put_CertVerifySettings(&empty), CError);
    EXPECT_EQ(settings.get_CertVerifySettings()->getImpl(), mine.getImpl());
    settings.put_CertVerifySettings(nullptr);
    EXPECT_EQ(settings.get_CertVerifySettings(), nullptr);

    const CStampVerifySettings stamp;
    EXPECT_EQ(stamp.get_StampCert(), nullptr);
    EXPECT_EQ(stamp.get_CertVerifySettings(), nullptr);
}

// The time-stamp options take the catalogue's default hash; a catalogue without a hash algorithm
// makes the algorithm's not-created error, one without any provider the catalogue's error.
TEST_F(MessageSettings, TimeStampSettingsTakeTheDefaultHash) {
    // The built-in providers offer no GOST R 34.11-94: the 2012 256-bit hash comes next.
    const CTimeStampSettings settings;
    EXPECT_EQ(settings.getImpl()->m_hashAlgorithm.toStd(), Gost2012_256);
    EXPECT_EQ(settings.getImpl()->m_proxySettings.get_Mode(),
              static_cast<DWORD>(CProxySettings::ModeAutomatic));

    useFake("[provider]\ntype = 80\nname = No Hashes\nalgorithms = none\nalg = 0x661E 256 G28147\n");
    try {
        CTimeStampSettings none;
        ADD_FAILURE() << "made without a hash algorithm";
    } catch (const CError& error) {
        EXPECT_EQ(text(error.getMessage()), u"Объект class Vsk::PKI::CAlgorithm не был создан!");
    }
    useFake("");
    EXPECT_THROW(CTimeStampSettings(), CCryptError);
}

}  // namespace
