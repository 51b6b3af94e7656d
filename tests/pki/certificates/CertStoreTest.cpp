// The store object over the platform's system and serialized stores: the standard stores of both
// scopes, the read-only retry, adding with each disposition, finding, deleting, persistence across
// processes, the user's ROOT view of the computer's roots, the ROOT confirmation, CRLs, and ".store"
// save and load (with malformed inputs).
#include "storeFixtures.h"
#include "testSupport.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CCryptError;
using Vsk::PKI::CStore;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD CU = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD LM = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD Existing = CERT_STORE_OPEN_EXISTING_FLAG;
constexpr DWORD ReadOnly = CERT_STORE_READONLY_FLAG;

// The step code of the CCryptError the action raised (0: none); `code` receives its error code.
DWORD stepOf(const std::function<void()>& action, int32_t* code = nullptr) {
    const auto error = VskTest::MaybeThrown(action);
    if (error && code) *code = error->getCode();
    return error ? error->getErrorNumber() : 0;
}

CCertificate certificate(const CDataBlob& der) {
    CCertificate cert(true);
    cert.LoadFromBlob(der);
    return cert;
}

// Sets KESTROVAN_ADMIN for one scope.
class AdminAs : VskTest::EnvGuard {
public:
    explicit AdminAs(bool admin) : EnvGuard("KESTROVAN_ADMIN", admin ? "1" : "0") {}
};

size_t countOf(CStore& store) {
    CArray<CCertificate> all;
    store.GetCertificates(&all);
    return all.getCount();
}

class CertStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StoreFixtures::get().ok) << StoreFixtures::readFile("cmd.log"); }
    const StoreFixtures::Set& fx = StoreFixtures::get();
};

TEST_F(CertStore, StandardStoresOfBothScopesAndMissingStores) {
    AdminAs admin(true);
    for (const char16_t* name :
         {u"MY", u"AddressBook", u"CA", u"ROOT", u"REQUEST", u"TRUST", u"Disallowed"}) {
        CStore store;
        EXPECT_EQ(stepOf([&] { store.Open(name, CU | Existing); }), 0u);
        EXPECT_TRUE(store.isOpened());
        EXPECT_EQ(store.get_Name().toU16(), std::u16string(name));
        EXPECT_EQ(store.get_Flags(), CU | Existing);
    }
    for (const char16_t* name : {u"MY", u"CA", u"ROOT", u"REQUEST", u"TRUST", u"Disallowed"}) {
        CStore store;
        EXPECT_EQ(stepOf([&] { store.Open(name, LM | Existing); }), 0u);
    }
    struct Row {
        const char16_t* name;
        DWORD flags;
    };
    for (const Row& row : {Row{u"AddressBook", LM | Existing}, Row{u"NoSuchStore", CU | Existing}}) {
        CStore store;
        int32_t code = 0;
        EXPECT_EQ(stepOf([&] { store.Open(row.name, row.flags); }, &code), 150102u);
        EXPECT_EQ(code, static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(store.isOpened());
        EXPECT_EQ(store.get_Flags(), 0u);
    }
}

TEST_F(CertStore, ComputerStoreOpensReadOnlyForNonAdministrator) {
    {
        AdminAs admin(true);
        CStore store;
        store.Open(u"MY", LM | Existing);
        EXPECT_EQ(store.get_Flags(), LM | Existing);
    }
    AdminAs user(false);
    CStore store;
    store.Open(u"MY", LM | Existing);
    EXPECT_EQ(store.get_Flags(), LM | Existing | ReadOnly);
    int32_t code = 0;
    EXPECT_EQ(stepOf([&] { store.InstallCertificate(certificate(fx.rsaUser), CERT_STORE_ADD_NEW); }, &code),
              0u);
    EXPECT_EQ(code, static_cast<int32_t>(ERROR_ACCESS_DENIED));
    // Asked read-only: no retry, the flags stay as given.
    CStore asked;
    asked.Open(u"MY", LM | Existing | ReadOnly);
    EXPECT_EQ(asked.get_Flags(), LM | Existing | ReadOnly);
}

TEST_F(CertStore, AddWithEachDispositionFindAndDelete) {
    CStore store;
    store.Open(u"KestrovanAdd", CU);
    EXPECT_TRUE(store.isEmpty());
    const CCertificate cert = certificate(fx.gost256User);

    EXPECT_TRUE(store.InstallCertificate(cert, CERT_STORE_ADD_NEW));
    int32_t code = 0;
    EXPECT_EQ(stepOf([&] { store.InstallCertificate(cert, CERT_STORE_ADD_NEW); }, &code), 0u);
    EXPECT_EQ(code, static_cast<int32_t>(CRYPT_E_EXISTS));
    EXPECT_TRUE(store.InstallCertificate(cert, CERT_STORE_ADD_ALWAYS));
    EXPECT_TRUE(store.InstallCertificate(cert, CERT_STORE_ADD_REPLACE_EXISTING));
    EXPECT_EQ(countOf(store), 1u);
    EXPECT_FALSE(store.isEmpty());

    const CCertificate found = store.FindCertificate(cert);
    ASSERT_FALSE(found.isNull());
    EXPECT_TRUE(found.equal(cert));
    EXPECT_NE(found.get_CertContext(), cert.get_CertContext());
    EXPECT_TRUE(store.canDeleteCertificate(found.get_CertContext()));

    // Thumbprint search: blanks between the bytes, continuation, no match, bad text.
    std::string spaced;
    const std::string thumb = cert.get_Thumbprint().toStd();
    for (size_t i = 0; i < thumb.size(); i += 2) spaced += thumb.substr(i, 2) + " ";
    const CCertificate byThumb = store.FindCertificate(spaced.c_str());
    ASSERT_FALSE(byThumb.isNull());
    EXPECT_TRUE(byThumb.equal(cert));
    EXPECT_TRUE(store.FindCertificate(thumb.c_str(), &byThumb).isNull());
    EXPECT_NE(byThumb.get_CertContext(), nullptr);
    EXPECT_TRUE(store.FindCertificate(std::string(40, '0').c_str()).isNull());
    const auto e = VskTest::Thrown([&] { store.FindCertificate("12 3G"); });
    EXPECT_EQ(e.getCode(), 87);  // E_INVALIDARG
    EXPECT_EQ(e.getText().toU16().rfind(u"Неверный формат отпечатка сертификата: ", 0), 0u);
    EXPECT_EQ(stepOf([&] { store.FindCertificate(""); }), 150702u);
    EXPECT_EQ(stepOf([&] { store.FindCertificate(CCertificate(true)); }), 150702u);

    store.DeleteCertificate(cert);
    EXPECT_TRUE(store.FindCertificate(cert).isNull());
    EXPECT_EQ(stepOf([&] { store.DeleteCertificate(cert); }), 150704u);
    EXPECT_EQ(stepOf([&] { store.DeleteCertificate(CCertificate(true)); }), 150702u);
    EXPECT_TRUE(store.isEmpty());
}

TEST_F(CertStore, ClosedStoreAndEmptyHandle) {
    CStore store;
    CArray<CCertificate> certs;
    CArray<CCrl> crls;
    const CCertificate cert = certificate(fx.rsaUser);
    const struct {
        std::function<void()> action;
        DWORD step;
    } rows[] = {
        {[&] { store.isEmpty(); }, 150201},
        {[&] { store.GetCertificates(&certs); }, 150301},
        {[&] { store.GetCrls(&crls); }, 150401},
        {[&] { store.DeleteCertificate(cert); }, 150701},
        {[&] { store.FindCertificate(cert); }, 150801},
        {[&] { store.InstallCertificate(cert, CERT_STORE_ADD_NEW); }, 150801},
        {[&] { store.Save(); }, 150801},
    };
    for (const auto& row : rows) EXPECT_EQ(stepOf(row.action), row.step);
    store.Open(u"KestrovanClosed", CU);
    EXPECT_EQ(stepOf([&] { store.GetCertificates(nullptr); }), 150301u);
    store.Close();
    EXPECT_FALSE(store.isOpened());
    EXPECT_EQ(store.get_Name().getLength(), 0u);
    EXPECT_EQ(store.get_Flags(), 0u);

    CStore none(false);
    const auto e = VskTest::Thrown([&] { none.Open(u"MY", CU); });
    EXPECT_EQ(e.getText().toU16(), u"Объект class Vsk::PKI::CStore::CImpl не был создан!");
}

TEST_F(CertStore, OpenWithTheHeldNameBufferKeepsTheStore) {
    CStore store;
    store.Open(u"KestrovanReopen", CU);
    const HCERTSTORE first = store.get_Handle();
    const CWString name = store.get_Name();
    store.Open(name.c_str(), CU);
    EXPECT_EQ(store.get_Handle(), first);
    const std::u16string copy = name.toU16();
    store.Open(copy.c_str(), CU);
    EXPECT_TRUE(store.isOpened());
    EXPECT_EQ(store.get_Name().toU16(), copy);
}

TEST_F(CertStore, EveryFindTypeOfThePlatform) {
    CStore store;
    store.Open(u"KestrovanFind", CU);
    const CCertificate cert = certificate(fx.gost512User);
    store.InstallCertificate(cert, CERT_STORE_ADD_NEW);
    store.InstallCertificate(certificate(fx.rsaUser), CERT_STORE_ADD_NEW);
    PCCERT_CONTEXT ctx = cert.get_CertContext();
    BYTE sha1[20];
    DWORD size = sizeof sha1;
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, sha1, &size));
    CRYPT_HASH_BLOB hash{size, sha1};
    CERT_ID byIssuer{};
    byIssuer.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    byIssuer.IssuerSerialNumber.Issuer = ctx->pCertInfo->Issuer;
    byIssuer.IssuerSerialNumber.SerialNumber = ctx->pCertInfo->SerialNumber;
    CERT_ID byHash{};
    byHash.dwIdChoice = CERT_ID_SHA1_HASH;
    byHash.HashId = hash;
    const struct {
        DWORD type;
        const void* para;
    } rows[] = {
        {CERT_FIND_SHA1_HASH, &hash},
        {CERT_FIND_EXISTING, ctx},
        {CERT_FIND_CERT_ID, &byIssuer},
        {CERT_FIND_CERT_ID, &byHash},
        {CERT_FIND_SUBJECT_NAME, &ctx->pCertInfo->Subject},
        {CERT_FIND_PUBLIC_KEY, &ctx->pCertInfo->SubjectPublicKeyInfo},
    };
    for (const auto& row : rows) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(
            store.get_Handle(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, row.type, row.para, nullptr);
        ASSERT_NE(found, nullptr) << std::hex << row.type;
        EXPECT_EQ(found->cbCertEncoded, ctx->cbCertEncoded);
        EXPECT_EQ(std::memcmp(found->pbCertEncoded, ctx->pbCertEncoded, ctx->cbCertEncoded), 0);
        // Continuing after the only match finds nothing more.
        SetLastError(0);
        EXPECT_EQ(CertFindCertificateInStore(store.get_Handle(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                             row.type, row.para, found),
                  nullptr);
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    }
}

// ---- Persistence across processes -------------------------------------------------------------------

std::string selfPath() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Runs CertStoreChild.DISABLED_Act in a new process of this executable, on this process's user state folder.
int runChild(const std::string& action) {
    const std::string command =
        "VSK_STORE_CHILD=" + action + " VSK_STORE_CHILD_USER_DIR='" + std::getenv("KESTROVAN_USER_DIR") +
        "' VSK_STORE_CHILD_CERT='" + StoreFixtures::folder() + "/rsauser.der' '" + selfPath() +
        "' --gtest_also_run_disabled_tests --gtest_filter=CertStoreChild.DISABLED_Act >/dev/null 2>&1";
    return std::system(command.c_str());
}

// The other process's side: adds or deletes the RSA user certificate in the user's AddressBook.
// Disabled: only the persistence test runs it, in a process of its own.
TEST(CertStoreChild, DISABLED_Act) {
    const char* action = std::getenv("VSK_STORE_CHILD");
    ASSERT_NE(action, nullptr);
    setenv("KESTROVAN_USER_DIR", std::getenv("VSK_STORE_CHILD_USER_DIR"), 1);
    std::ifstream in(std::getenv("VSK_STORE_CHILD_CERT"), std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CStore store;
    store.Open(u"AddressBook", CU | Existing);
    const CCertificate cert = certificate(StoreFixtures::blobOf(der));
    if (std::string(action) == "add")
        ASSERT_TRUE(store.InstallCertificate(cert, CERT_STORE_ADD_NEW));
    else
        store.DeleteCertificate(cert);
}

TEST_F(CertStore, ChangesPersistAcrossProcesses) {
    const CCertificate cert = certificate(fx.rsaUser);
    ASSERT_EQ(runChild("add"), 0);
    CStore store;
    store.Open(u"AddressBook", CU | Existing);
    EXPECT_FALSE(store.FindCertificate(cert).isNull());
    ASSERT_EQ(runChild("delete"), 0);
    store.Close();
    store.Open(u"AddressBook", CU | Existing);
    EXPECT_TRUE(store.FindCertificate(cert).isNull());
}

// ---- ROOT ---------------------------------------------------------------------------------------------

TEST_F(CertStore, UserRootShowsTheComputerRootWithItsAccessState) {
    const CCertificate root = certificate(fx.gostRoot);
    {
        AdminAs admin(true);
        CStore machine;
        machine.Open(u"ROOT", LM | Existing);
        ASSERT_TRUE(machine.InstallCertificate(root, CERT_STORE_ADD_NEW));
    }
    {
        AdminAs user(false);
        CStore view;
        view.Open(u"ROOT", CU | Existing);
        const CCertificate seen = view.FindCertificate(root);
        ASSERT_FALSE(seen.isNull());
        DWORD state = 0, size = sizeof state;
        ASSERT_TRUE(CertGetCertificateContextProperty(seen.get_CertContext(), CERT_ACCESS_STATE_PROP_ID,
                                                      &state, &size));
        EXPECT_EQ(state & (CERT_ACCESS_STATE_SYSTEM_STORE_FLAG | CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG),
                  CERT_ACCESS_STATE_SYSTEM_STORE_FLAG | CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG);
        EXPECT_FALSE(view.canDeleteCertificate(seen.get_CertContext()));
        CArray<CCertificate> all;
        view.GetCertificates(&all);
        bool listed = false;
        for (const CCertificate& c : all) listed = listed || c.equal(root);
        EXPECT_TRUE(listed);
        int32_t code = 0;
        EXPECT_EQ(stepOf([&] { view.DeleteCertificate(root); }, &code), 150703u);
        EXPECT_EQ(code, static_cast<int32_t>(ERROR_ACCESS_DENIED));
    }
    AdminAs admin(true);
    CStore machine;
    machine.Open(u"ROOT", LM | Existing);
    machine.DeleteCertificate(root);
}

struct RootHook {
    static inline BOOL answer = TRUE;
    static inline int asked = 0;
    static BOOL confirm(PCCERT_CONTEXT, BOOL, void*) {
        ++asked;
        return answer;
    }
};

TEST_F(CertStore, RefusedRootChangesAreCancelled) {
    SetRootStoreConfirmHook(&RootHook::confirm, nullptr);
    const CCertificate root = certificate(fx.rsaRoot);
    CStore store;
    store.Open(u"ROOT", CU | Existing);

    RootHook::answer = FALSE;
    EXPECT_FALSE(store.InstallCertificate(root, CERT_STORE_ADD_NEW));
    EXPECT_TRUE(store.FindCertificate(root).isNull());
    RootHook::answer = TRUE;
    EXPECT_TRUE(store.InstallCertificate(root, CERT_STORE_ADD_NEW));
    RootHook::answer = FALSE;
    int32_t code = 0;
    EXPECT_EQ(stepOf([&] { store.DeleteCertificate(root); }, &code), 150703u);
    EXPECT_EQ(code, static_cast<int32_t>(ERROR_CANCELLED));
    RootHook::answer = TRUE;
    store.DeleteCertificate(root);
    EXPECT_TRUE(store.FindCertificate(root).isNull());
    EXPECT_GE(RootHook::asked, 4);
    SetRootStoreConfirmHook(nullptr, nullptr);
}

// ---- Binding ------------------------------------------------------------------------------------------

// A binding install into "My" binds the store's copy; a certificate whose key no container holds
// leaves the copy added and raises the binding's "not found" error with the certificate's text.
TEST_F(CertStore, InstallWithBindingOnlyIntoThePersonalStore) {
    const CCertificate cert = certificate(fx.gost256User);
    CStore root;
    root.Open(u"ROOT", CU | Existing);
    EXPECT_THROW(root.InstallCertificate(cert, CERT_STORE_ADD_ALWAYS, true), CCryptError);
    EXPECT_TRUE(root.FindCertificate(cert).isNull());

    CStore my;
    my.Open(u"my", CU | Existing);
    try {
        my.InstallCertificate(cert, CERT_STORE_ADD_ALWAYS, true);
        ADD_FAILURE() << "a binding install without a key container succeeded";
    } catch (const CCryptError& error) {
        EXPECT_EQ(error.getCode(), 1168);
        const std::u16string text = error.getText().toU16();
        EXPECT_NE(text.find(u"Закрытый ключ сертификата не найден"), std::u16string::npos);
        EXPECT_NE(text.find(cert.getText().toU16()), std::u16string::npos);
    }
    const CCertificate stored = my.FindCertificate(cert);
    ASSERT_FALSE(stored.isNull());
    EXPECT_EQ(stored.get_ContainerName().getLength(), 0u);
}

// ---- Listing with progress -----------------------------------------------------------------------------

TEST_F(CertStore, ListingDoublesTheProgressRangeAndStopsOnCancel) {
    const std::vector<CDataBlob> many = StoreFixtures::many(25);
    ASSERT_EQ(many.size(), 25u);
    CStore store;
    store.Open(u"KestrovanMany", CU);
    for (const CDataBlob& der : many) store.InstallCertificate(certificate(der), CERT_STORE_ADD_NEW);

    CArray<CCertificate> all;
    VskTest::RecordingProgress progress;
    store.GetCertificates(&all, &progress);
    EXPECT_EQ(all.getCount(), 25u);
    EXPECT_EQ(progress.ranges, (std::vector<uint32_t>{10, 20, 40}));

    VskTest::RecordingProgress cancelling;
    cancelling.cancelAt = 3;
    store.GetCertificates(&all, &cancelling);
    EXPECT_EQ(all.getCount(), 3u);
}

// ---- CRLs ----------------------------------------------------------------------------------------------

TEST_F(CertStore, CrlsAddNewerListAndDelete) {
    CStore store;
    store.Open(u"KestrovanCrl", CU);
    CCrl crl, later;
    crl.LoadFromBlob(fx.crl);
    later.LoadFromBlob(fx.crlLater);

    EXPECT_TRUE(store.AddCrl(crl, CERT_STORE_ADD_NEWER));
    int32_t code = 0;
    EXPECT_EQ(stepOf([&] { store.AddCrl(crl, CERT_STORE_ADD_NEWER); }, &code), 0u);
    EXPECT_EQ(code, static_cast<int32_t>(CRYPT_E_EXISTS));
    EXPECT_TRUE(store.AddCrl(later, CERT_STORE_ADD_NEWER));
    EXPECT_EQ(stepOf([&] { store.AddCrl(CCrl(), CERT_STORE_ADD_NEWER); }), 150802u);

    CArray<CCrl> crls;
    store.GetCrls(&crls);
    ASSERT_EQ(crls.getCount(), 1u);
    EXPECT_EQ(crls[0].get_ThisUpdate(), later.get_ThisUpdate());
    EXPECT_EQ(crls[0].get_IssuerName().toU16(), later.get_IssuerName().toU16());

    store.DeleteCRL(crls[0].get_CrlContext());
    store.GetCrls(&crls);
    EXPECT_EQ(crls.getCount(), 0u);
    try {
        store.DeleteCRL(later.get_CrlContext());
        FAIL() << "no error";
    } catch (const CCryptError& e) {
        EXPECT_EQ(e.getErrorNumber(), 150804u);
        EXPECT_NE(e.getText().toU16().find(u"Удаляемый СRL не найден в хранилище"), std::u16string::npos);
    }
    EXPECT_EQ(stepOf([&] { store.DeleteCRL(nullptr); }), 150802u);
}

// ---- ".store" files -------------------------------------------------------------------------------------

std::vector<BYTE> keyProvInfo(const CCertificate& cert) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert.get_CertContext(), CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                           &size))
        return {};
    std::vector<BYTE> buffer(size);
    if (!CertGetCertificateContextProperty(cert.get_CertContext(), CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                           &size))
        return {};
    return buffer;
}

std::u16string friendlyName(const CCertificate& cert) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert.get_CertContext(), CERT_FRIENDLY_NAME_PROP_ID, nullptr,
                                           &size))
        return {};
    std::u16string text(size / 2, u'\0');
    CertGetCertificateContextProperty(cert.get_CertContext(), CERT_FRIENDLY_NAME_PROP_ID, text.data(), &size);
    return std::u16string(text.c_str());
}

TEST_F(CertStore, SaveAndLoadKeepCertificatesCrlsAndProperties) {
    CStore store;
    store.Open(u"KestrovanSave", CU);
    store.InstallCertificate(certificate(fx.gost256User), CERT_STORE_ADD_NEW);
    store.InstallCertificate(certificate(fx.rsaUser), CERT_STORE_ADD_NEW);
    CCrl crl;
    crl.LoadFromBlob(fx.crl);
    store.AddCrl(crl, CERT_STORE_ADD_NEWER);

    const CCertificate mine = store.FindCertificate(certificate(fx.gost256User));
    std::u16string container = u"\\\\.\\HDIMAGE\\test-container", provider = u"Crypto-Pro GOST R 34.10-2012";
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = 80;
    info.dwFlags = 0;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(
        CertSetCertificateContextProperty(mine.get_CertContext(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    std::u16string friendly = u"Мой сертификат";
    CRYPT_DATA_BLOB nameBlob{static_cast<DWORD>((friendly.size() + 1) * 2),
                             reinterpret_cast<BYTE*>(friendly.data())};
    ASSERT_TRUE(
        CertSetCertificateContextProperty(mine.get_CertContext(), CERT_FRIENDLY_NAME_PROP_ID, 0, &nameBlob));

    const CDataBlob saved = store.Save();
    ASSERT_GE(saved.getSize(), 20u);
    EXPECT_EQ(std::memcmp(saved.getData(), "\0\0\0\0CERT", 8), 0);

    CStore loaded;
    loaded.Load(saved);
    EXPECT_TRUE(loaded.isOpened());
    EXPECT_EQ(loaded.get_Name().getLength(), 0u);
    EXPECT_EQ(loaded.get_Flags(), 0u);
    CArray<CCertificate> certs;
    loaded.GetCertificates(&certs);
    ASSERT_EQ(certs.getCount(), 2u);
    const CCertificate back = loaded.FindCertificate(mine);
    ASSERT_FALSE(back.isNull());
    const std::vector<BYTE> infoBack = keyProvInfo(back);
    ASSERT_GE(infoBack.size(), sizeof(CRYPT_KEY_PROV_INFO));
    const auto* p = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBack.data());
    EXPECT_EQ(std::u16string(p->pwszContainerName), container);
    EXPECT_EQ(std::u16string(p->pwszProvName), provider);
    EXPECT_EQ(p->dwProvType, 80u);
    EXPECT_EQ(p->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(friendlyName(back), friendly);
    CArray<CCrl> crls;
    loaded.GetCrls(&crls);
    ASSERT_EQ(crls.getCount(), 1u);
    EXPECT_EQ(crls[0].get_ThisUpdate(), crl.get_ThisUpdate());
    // Saving what was loaded gives the same bytes.
    EXPECT_TRUE(loaded.Save() == saved);
}

// Serialized-store pieces: the header, one element, the end marker.
std::string u32(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}
std::string element(uint32_t id, const std::string& value, uint32_t length) {
    return u32(id) + u32(1) + u32(length) + value;
}
std::string element(uint32_t id, const std::string& value) {
    return element(id, value, static_cast<uint32_t>(value.size()));
}
const std::string Header = std::string("\0\0\0\0CERT", 8);
const std::string End(12, '\0');

TEST_F(CertStore, MalformedStoreFilesAreRejected) {
    const std::string der(reinterpret_cast<const char*>(fx.rsaUser.getData()), fx.rsaUser.getSize());
    const std::string good = Header + element(0x20, der) + End;
    {
        CStore store;
        store.Load(CDataBlob(good.data(), good.size(), true));
        EXPECT_EQ(countOf(store), 1u);
    }
    std::string badDer = der;
    badDer[1] = static_cast<char>(0x7F);
    const std::vector<std::string> rows = {
        {},                                                     // nothing
        std::string("\0\0\0\0CERX", 8) + End,                   // wrong magic
        Header.substr(0, 6),                                    // truncated header
        Header + u32(0x20) + u32(1),                            // truncated element header
        Header + element(0x20, der, 0xFFFFFFF0u) + End,         // length beyond the data
        Header + element(0x20, der.substr(0, der.size() / 2)),  // element cut short
        Header + element(0x20, badDer) + End,                   // DER that does not decode
        Header + element(0x20, "") + End,                       // empty certificate
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        CStore store;
        EXPECT_EQ(stepOf([&] { store.Load(CDataBlob(rows[i].data(), rows[i].size(), true)); }), 130302u) << i;
        EXPECT_FALSE(store.isOpened()) << i;
    }

    // A thumbprint property in the file is never believed: the load fails, or the thumbprint is the
    // certificate's own.
    const std::string forged = Header + element(3, std::string(20, '\xAA')) + element(0x20, der) + End;
    CStore store;
    if (stepOf([&] { store.Load(CDataBlob(forged.data(), forged.size(), true)); }) == 0) {
        CArray<CCertificate> certs;
        store.GetCertificates(&certs);
        ASSERT_EQ(certs.getCount(), 1u);
        EXPECT_EQ(certs[0].get_Thumbprint().toStd(), certificate(fx.rsaUser).get_Thumbprint().toStd());
        EXPECT_NE(certs[0].get_Thumbprint().toStd(), std::string(40, 'A'));
    }
}

}  // namespace
