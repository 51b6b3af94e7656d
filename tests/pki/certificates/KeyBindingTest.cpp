// The main road of the program on the provider stand-in's real containers: a GOST R 34.10-2012 256
// container holding its certificate (issued by openssl for the container's key) is listed, read,
// installed into "MY" bound to its key and used to sign; a certificate imported without key
// information finds its container again. openssl with the GOST engine is the oracle for the
// certificate and the signature.
#include "certificates/certificateFixtures.h"
#include "certificates/containerFixtures.h"
#include "certificates/derFixtures.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/Password.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using CertFixture::quote;
using CertFixture::run;

namespace {

std::string bytesOf(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

using namespace ContainerFixture;

size_t countIn(CStore& store) {
    CArray<CCertificate> all;
    store.GetCertificates(&all);
    return all.getCount();
}

class KeyBinding : public ::testing::Test {
protected:
    void SetUp() override { setenv("KESTROVAN_ADMIN", "1", 1); }
    void TearDown() override { unsetenv("KESTROVAN_ADMIN"); }
};

}  // namespace

// A certificate openssl issued for the container's key: the certificate's key blob, made by the
// provider from the certificate, is the container's own export byte for byte.
TEST_F(KeyBinding, CertificateKeyBlobIsTheContainersExport) {
    const CMadeContainer made = makeContainer(u"blob-check", false);
    const CCertificate certificate = load(issue(made.publicPem, "blob-check"));
    const BYTE header[] = {0x06, 0x20, 0x00, 0x00, 0x46, 0xAA, 0x00, 0x00,
                           0x4D, 0x41, 0x47, 0x31, 0x00, 0x02, 0x00, 0x00};
    ASSERT_GT(made.exported.getSize(), sizeof header);
    EXPECT_EQ(CertFixture::upperHex(made.exported.getData(), sizeof header),
              CertFixture::upperHex(header, sizeof header));
    EXPECT_EQ(CertFixture::upperHex(certificate.get_PublicKeyWrap()), CertFixture::upperHex(made.exported));
}

// The whole road for the user's and the computer's containers.
TEST_F(KeyBinding, ContainerCertificateIsInstalledBoundAndSigns) {
    for (const bool machine : {false, true}) {
        SCOPED_TRACE(machine ? "computer" : "user");
        const std::u16string name = machine ? u"road-computer" : u"road-user";
        const CMadeContainer made = makeContainer(name, machine);
        const CDataBlob der = issue(made.publicPem, std::string(name.begin(), name.end()));
        storeInContainer(name, machine, der);

        // Listed by the provider and read.
        CRefPtr<CSPInfo> provider = gostProvider();
        ASSERT_TRUE(provider);
        CCsp csp(true);
        csp.putCSPInfo(provider.get());
        CArray<CKeyContainer> list;
        csp.GetContainerList(list, machine, nullptr);
        const CKeyContainer* listed = findListed(list, name);
        ASSERT_NE(listed, nullptr);
        CKeyContainer container = *listed;
        EXPECT_EQ(container.get_UniqueName(),
                  CWString(made.uniqueName.c_str(), static_cast<size_t>(-1), 1251));
        EXPECT_EQ(container.get_KeySpec(), static_cast<DWORD>(AT_KEYEXCHANGE));
        EXPECT_EQ(container.get_KeyLength(), 512u);
        const CCertificate* held = container.getCertificate();
        ASSERT_NE(held, nullptr);
        const CCertificate certificate = load(der);
        EXPECT_TRUE(held->equal(certificate));

        // Installed into MY twice: the second replaces the copy, which names the container by its
        // unique name.
        const DWORD location = machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
        CStore my;
        my.Open(u"MY", location);
        const size_t before = countIn(my);
        container.installCertificate(held->get_CertContext());
        container.installCertificate(held->get_CertContext());
        my.Open(u"MY", location);
        EXPECT_EQ(countIn(my), before + 1);
        const CCertificate stored = my.FindCertificate(certificate);
        ASSERT_FALSE(stored.isNull());
        EXPECT_EQ(stored.get_ContainerName().toU16(), container.get_UniqueName().toU16());
        EXPECT_EQ(stored.get_ProviderType(), GostType);
        EXPECT_TRUE(stored.get_HasPrivateKey(false));
        EXPECT_TRUE(stored.get_HasPrivateKey(true));

        // A certificate for another key: refused, MY untouched.
        const CMadeContainer other = makeContainer(name + u"-other", machine);
        const CCertificate foreign =
            load(issue(other.publicPem, std::string(name.begin(), name.end()) + "-other"));
        try {
            container.installCertificate(foreign.get_CertContext());
            ADD_FAILURE() << "a certificate for another key was installed";
        } catch (const CCryptError& error) {
            EXPECT_EQ(error.getErrorNumber(), 200303u);
        }
        my.Open(u"MY", location);
        EXPECT_EQ(countIn(my), before + 1);
        EXPECT_TRUE(my.FindCertificate(foreign).isNull());
    }
}

// A certificate without key information finds its container: by the provider's search, and by the
// library's own container search when the certificate comes through a store install with binding.
TEST_F(KeyBinding, BindingFindsTheContainerAndTheKeySigns) {
    const std::u16string name = u"bind-me";
    const CMadeContainer made = makeContainer(name, false);
    const CDataBlob der = issue(made.publicPem, "bind-me");

    CCertificate certificate = load(der);
    EXPECT_FALSE(certificate.get_HasPrivateKey(false));
    try {
        certificate.AcquirePrivateKey(nullptr, CRYPT_ACQUIRE_SILENT_FLAG, false);
        ADD_FAILURE() << "a key was acquired without a link";
    } catch (const CCryptError& error) {
        EXPECT_EQ(error.getErrorNumber(), 101605u);
    }
    ASSERT_TRUE(certificate.BindWithKeyContainer(CPassword(), false, false, true));
    EXPECT_EQ(certificate.get_ContainerName().toU16(), name);
    EXPECT_TRUE(certificate.get_HasPrivateKey(true));

    // Sign a digest with the bound key; openssl verifies the reversed signature.
    DWORD keySpec = 0;
    const CHoldCSP hold = certificate.AcquirePrivateKey(&keySpec, CRYPT_ACQUIRE_SILENT_FLAG, false);
    ASSERT_TRUE(hold.isAcquired());
    EXPECT_EQ(keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(hold.get_hCryptProv(), CALG_GR3411_2012_256, 0, 0, &hash));
    const std::string data = "the main road";
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), data.size(), 0));
    DWORD digestSize = 32;
    std::string digest(32, '\0');
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(digest.data()), &digestSize, 0));
    DWORD signatureSize = 0;
    ASSERT_TRUE(CryptSignHashW(hash, keySpec, nullptr, 0, nullptr, &signatureSize));
    std::string signature(signatureSize, '\0');
    ASSERT_TRUE(
        CryptSignHashW(hash, keySpec, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &signatureSize));
    CryptDestroyHash(hash);
    std::reverse(signature.begin(), signature.end());
    const std::filesystem::path dir = CertFixture::folder();
    writeFile(dir / "road.digest", digest);
    writeFile(dir / "road.sig", signature);
    bool ok = false;
    const std::string said =
        run("openssl pkeyutl -engine gost -verify -pubin -inkey " + quote(made.publicPem.string()) + " -in " +
                quote((dir / "road.digest").string()) + " -sigfile " + quote((dir / "road.sig").string()) +
                " 2>&1",
            &ok);
    EXPECT_TRUE(ok) << said;

    // Automatic binding on acquisition: a fresh object over the same certificate.
    CCertificate again = load(der);
    EXPECT_TRUE(again.AcquirePrivateKey(nullptr, CRYPT_ACQUIRE_SILENT_FLAG, true).isAcquired());

    // A store install with binding writes the link on the store's copy.
    CStore my;
    my.Open(u"MY", CERT_SYSTEM_STORE_CURRENT_USER);
    EXPECT_TRUE(my.InstallCertificate(load(der), CERT_STORE_ADD_REPLACE_EXISTING, true));
    my.Open(u"MY", CERT_SYSTEM_STORE_CURRENT_USER);
    const CCertificate stored = my.FindCertificate(load(der));
    ASSERT_FALSE(stored.isNull());
    EXPECT_NE(stored.get_ContainerName().getLength(), 0u);
    EXPECT_TRUE(stored.get_HasPrivateKey(true));
}

// A certificate and a container that do not belong together: the text names both.
TEST_F(KeyBinding, CertificateAgainstAnotherContainer) {
    const CMadeContainer first = makeContainer(u"pair-one", false);
    const CMadeContainer second = makeContainer(u"pair-two", false);
    const CDataBlob firstDer = issue(first.publicPem, "pair-one");
    const CCertificate secondCertificate = load(issue(second.publicPem, "pair-two"));
    storeInContainer(u"pair-one", false, firstDer);

    CCsp csp(true);
    csp.putCSPInfo(gostProvider().get());
    CArray<CKeyContainer> list;
    csp.GetContainerList(list, false, nullptr);
    const CKeyContainer* one = findListed(list, u"pair-one");
    const CKeyContainer* two = findListed(list, u"pair-two");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_NO_THROW(checkCertMatchesContainer(secondCertificate, *two));
    try {
        checkCertMatchesContainer(secondCertificate, *one);
        ADD_FAILURE() << "a foreign container was accepted";
    } catch (const CError& error) {
        const std::u16string text = error.getText().toU16();
        EXPECT_EQ(
            text.rfind(
                u"Сертификат (" + secondCertificate.getText().toU16() +
                    u") не соответствует ключевому контейнеру \"pair-one\", в котором находится сертификат: ",
                0),
            0u)
            << CAString(error.getText(), 65001).toStd();
        EXPECT_EQ(text.back(), u'.');
    }
}

// Without a container for the key: no link, 101605 without automatic binding, "not found" (1168)
// with the certificate's text from a binding; an object without a certificate says so.
TEST_F(KeyBinding, CertificateWithoutAContainer) {
    const std::filesystem::path der = CertFixture::folder() / "lonely.der";
    bool made = false;
    run("openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout /dev/null "
        "-subj /CN=lonely -days 30 -outform DER -out " +
            quote(der.string()) + " 2>&1",
        &made);
    ASSERT_TRUE(made);
    const CCertificate certificate = load(CertFixture::readFile(der));
    CCertificate copy = certificate;
    EXPECT_FALSE(copy.get_HasPrivateKey(false));
    EXPECT_FALSE(copy.get_HasPrivateKey(true));
    try {
        copy.AcquirePrivateKey(nullptr, CRYPT_ACQUIRE_SILENT_FLAG, false);
        ADD_FAILURE() << "a key was acquired without a link";
    } catch (const CCryptError& error) {
        EXPECT_EQ(error.getErrorNumber(), 101605u);
    }
    try {
        copy.BindWithKeyContainer(CPassword(), false, false, true);
        ADD_FAILURE() << "a certificate without a container was bound";
    } catch (const CCryptError& error) {
        EXPECT_EQ(error.getCode(), 1168);
        const std::u16string text = error.getText().toU16();
        EXPECT_NE(text.find(u"Закрытый ключ сертификата не найден"), std::u16string::npos);
        EXPECT_NE(text.find(u", " + certificate.getText().toU16()), std::u16string::npos);
    }
    EXPECT_EQ(copy.get_ContainerName().getLength(), 0u);

    CCertificate empty(true);
    for (const auto& call :
         {std::function<void()>([&] { empty.BindWithKeyContainer(CPassword(), false, false, true); }),
          std::function<void()>([&] { empty.AcquirePrivateKey(nullptr, 0, true); })}) {
        try {
            call();
            ADD_FAILURE() << "an object without a certificate was used";
        } catch (const CCryptError& error) {
            EXPECT_NE(error.getText().toU16().find(u"Сертификат не задан"), std::u16string::npos);
        }
    }
    EXPECT_FALSE(empty.get_HasPrivateKey(true));
    EXPECT_THROW(CCertificate(false).BindWithKeyContainer(CPassword(), false, false, true), CError);
}
