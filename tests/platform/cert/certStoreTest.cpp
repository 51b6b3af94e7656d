// Memory stores: add dispositions, find types, enumeration and deletion, and the CRL counterparts.
#include <gtest/gtest.h>
#include <vsk/platform/kernel.h>

#include <functional>
#include <thread>

#include "coreFixtures.h"

using namespace CoreFixtures;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void setFriendlyName(PCCERT_CONTEXT cert, const char16_t* name) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((std::char_traits<char16_t>::length(name) + 1) * 2),
                         reinterpret_cast<BYTE*>(const_cast<char16_t*>(name))};
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
}

std::u16string friendlyName(PCCERT_CONTEXT cert) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size))
        return u"<none>";
    std::u16string out(size / 2, u'\0');
    CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, out.data(), &size);
    out.resize(out.size() - 1);
    return out;
}

std::u16string joinedNames(HCERTSTORE store) {
    std::u16string out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c))) out += friendlyName(c) + u";";
    return out;
}

struct DispositionRow {
    const char* name;
    DWORD disposition;
    BOOL ok;
    DWORD error;
    const char16_t* names;  // friendly names in the store afterwards
};

// The store holds the leaf named "old" (with a key-provider link); the same leaf named "new" is added.
const DispositionRow kDispositions[] = {
    {"new", CERT_STORE_ADD_NEW, FALSE, CRYPT_E_EXISTS, u"old;"},
    {"use existing", CERT_STORE_ADD_USE_EXISTING, TRUE, 0, u"old;"},
    {"replace", CERT_STORE_ADD_REPLACE_EXISTING, TRUE, 0, u"new;"},
    {"always", CERT_STORE_ADD_ALWAYS, TRUE, 0, u"old;new;"},
    {"replace inheriting", CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, TRUE, 0, u"new;"},
    {"newer (same validity)", CERT_STORE_ADD_NEWER, FALSE, CRYPT_E_EXISTS, u"old;"},
};

TEST(MemoryStoreTest, AddDispositions) {
    for (const DispositionRow& row : kDispositions) {
        SCOPED_TRACE(row.name);
        Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        Cert old(Get().leaf);
        setFriendlyName(old.p, u"old");
        CRYPT_KEY_PROV_INFO info{nullptr, nullptr, 1, 0, 0, nullptr, AT_KEYEXCHANGE};
        ASSERT_TRUE(CertSetCertificateContextProperty(old.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        ASSERT_TRUE(CertAddCertificateContextToStore(store.h, old.p, CERT_STORE_ADD_NEW, nullptr));

        Cert fresh(Get().leaf);
        setFriendlyName(fresh.p, u"new");
        PCCERT_CONTEXT added = nullptr;
        SetLastError(0);
        EXPECT_EQ(CertAddCertificateContextToStore(store.h, fresh.p, row.disposition, &added), row.ok);
        if (!row.ok) {
            EXPECT_EQ(GetLastError(), row.error);
            EXPECT_EQ(added, nullptr);
        } else {
            ASSERT_NE(added, nullptr);
            EXPECT_EQ(added->hCertStore, store.h);
            DWORD size = 0;
            const bool hasLink =
                CertGetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) != 0;
            EXPECT_EQ(hasLink, row.disposition == CERT_STORE_ADD_USE_EXISTING ||
                                   row.disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES);
            CertFreeCertificateContext(added);
        }
        EXPECT_EQ(joinedNames(store.h), row.names);
    }
}

TEST(MemoryStoreTest, AddEncodedAndBadArguments) {
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    const Bytes& der = Get().gost512;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(
        store.h, kEncoding, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_FALSE(
        CertAddEncodedCertificateToStore(store.h, kEncoding, der.data(), 10, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_EOD);
    Cert cert(der);
    EXPECT_FALSE(CertAddCertificateContextToStore(store.h, cert.p, 99, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(CountCertificates(store.h), 1);
}

// The store holds, in order: ca, leaf, leafOther, gost256, gost512.
struct FindRow {
    const char* name;
    DWORD type;
    std::function<const void*(PCCERT_CONTEXT ref[])> para;
    std::vector<int> expected;  // indices found in order, continuing the search after each
};

TEST(MemoryStoreTest, FindTypes) {
    const Set& s = Get();
    const Bytes* ders[] = {&s.ca, &s.leaf, &s.leafOther, &s.gost256, &s.gost512};
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    PCCERT_CONTEXT ref[5];
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store.h, kEncoding, ders[i]->data(),
                                                     static_cast<DWORD>(ders[i]->size()), CERT_STORE_ADD_NEW,
                                                     &ref[i]));
    }
    static Bytes hash, md5, keyId;
    static CRYPT_HASH_BLOB blob;
    static CERT_ID id;
    auto hashOf = [](PCCERT_CONTEXT c, DWORD prop) {
        DWORD size = 0;
        CertGetCertificateContextProperty(c, prop, nullptr, &size);
        Bytes b(size);
        CertGetCertificateContextProperty(c, prop, b.data(), &size);
        return b;
    };
    const std::vector<FindRow> rows = {
        {"any", CERT_FIND_ANY, [](PCCERT_CONTEXT*) { return nullptr; }, {0, 1, 2, 3, 4}},
        {"sha1",
         CERT_FIND_SHA1_HASH,
         [&](PCCERT_CONTEXT* r) {
             hash = hashOf(r[3], CERT_SHA1_HASH_PROP_ID);
             blob = {20, hash.data()};
             return &blob;
         },
         {3}},
        {"md5",
         CERT_FIND_MD5_HASH,
         [&](PCCERT_CONTEXT* r) {
             md5 = hashOf(r[1], CERT_MD5_HASH_PROP_ID);
             blob = {16, md5.data()};
             return &blob;
         },
         {1}},
        {"subject name",
         CERT_FIND_SUBJECT_NAME,
         [](PCCERT_CONTEXT* r) { return &r[1]->pCertInfo->Subject; },
         {1, 2}},
        {"issuer name",
         CERT_FIND_ISSUER_NAME,
         [](PCCERT_CONTEXT* r) { return &r[0]->pCertInfo->Subject; },
         {0, 1}},
        {"public key",
         CERT_FIND_PUBLIC_KEY,
         [](PCCERT_CONTEXT* r) { return &r[2]->pCertInfo->SubjectPublicKeyInfo; },
         {1, 2}},
        {"existing", CERT_FIND_EXISTING, [](PCCERT_CONTEXT* r) { return r[4]; }, {4}},
        {"cert id issuer and serial",
         CERT_FIND_CERT_ID,
         [](PCCERT_CONTEXT* r) {
             id = {};
             id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
             id.IssuerSerialNumber.Issuer = r[2]->pCertInfo->Issuer;
             id.IssuerSerialNumber.SerialNumber = r[2]->pCertInfo->SerialNumber;
             return &id;
         },
         {2}},
        {"cert id key identifier",
         CERT_FIND_CERT_ID,
         [&](PCCERT_CONTEXT* r) {
             keyId = hashOf(r[3], CERT_KEY_IDENTIFIER_PROP_ID);
             id = {};
             id.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
             id.KeyId = {static_cast<DWORD>(keyId.size()), keyId.data()};
             return &id;
         },
         {3}},
        {"cert id sha1",
         CERT_FIND_CERT_ID,
         [&](PCCERT_CONTEXT* r) {
             hash = hashOf(r[0], CERT_SHA1_HASH_PROP_ID);
             id = {};
             id.dwIdChoice = CERT_ID_SHA1_HASH;
             id.HashId = {20, hash.data()};
             return &id;
         },
         {0}},
        {"key identifier",
         CERT_FIND_KEY_IDENTIFIER,
         [&](PCCERT_CONTEXT* r) {
             keyId = hashOf(r[4], CERT_KEY_IDENTIFIER_PROP_ID);
             blob = {static_cast<DWORD>(keyId.size()), keyId.data()};
             return &blob;
         },
         {4}},
        {"nothing",
         CERT_FIND_SUBJECT_NAME,
         [](PCCERT_CONTEXT*) {
             static BYTE empty[] = {0x30, 0x00};
             static CERT_NAME_BLOB name{2, empty};
             return &name;
         },
         {}},
    };
    for (const FindRow& row : rows) {
        SCOPED_TRACE(row.name);
        const void* para = row.para(ref);
        std::vector<int> found;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertFindCertificateInStore(store.h, kEncoding, 0, row.type, para, c))) {
            for (int i = 0; i < 5; ++i)
                if (c == ref[i]) found.push_back(i);
        }
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
        EXPECT_EQ(found, row.expected);
    }
    EXPECT_EQ(CertFindCertificateInStore(store.h, kEncoding, 0, 0x00070000, &blob, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));

    CERT_INFO wanted{};
    wanted.Issuer = ref[0]->pCertInfo->Subject;
    wanted.SerialNumber = ref[1]->pCertInfo->SerialNumber;
    PCCERT_CONTEXT subject = CertGetSubjectCertificateFromStore(store.h, kEncoding, &wanted);
    EXPECT_EQ(subject, ref[1]);
    CertFreeCertificateContext(subject);
    for (PCCERT_CONTEXT c : ref) CertFreeCertificateContext(c);
}

// Deleting the current element of an enumeration does not lose the place.
TEST(MemoryStoreTest, DeleteWhileEnumerating) {
    const Set& s = Get();
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    for (const Bytes* der : {&s.ca, &s.leaf, &s.gost256, &s.gost512})
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store.h, kEncoding, der->data(),
                                                     static_cast<DWORD>(der->size()), CERT_STORE_ADD_ALWAYS,
                                                     nullptr));
    int seen = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store.h, c))) {
        ++seen;
        if (seen % 2 == 0) {
            ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
        }
    }
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(seen, 4);
    EXPECT_EQ(CountCertificates(store.h), 2);
}

PCCRL_CONTEXT crlOf(const Bytes& der) {
    return CertCreateCRLContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
}

struct CrlRow {
    const char* name;
    const Bytes Set::*first;
    const Bytes Set::*second;
    DWORD disposition;
    BOOL ok;
    int count;
    int thisUpdateMonth;  // of the base CRL kept
};

const CrlRow kCrlRows[] = {
    {"newer replaces", &Set::crl1, &Set::crl2, CERT_STORE_ADD_NEWER, TRUE, 1, 2},
    {"older refused", &Set::crl2, &Set::crl1, CERT_STORE_ADD_NEWER, FALSE, 1, 2},
    {"same refused", &Set::crl1, &Set::crl1, CERT_STORE_ADD_NEWER, FALSE, 1, 1},
    {"delta beside base", &Set::crl1, &Set::delta, CERT_STORE_ADD_NEWER, TRUE, 2, 1},
    {"new refused", &Set::crl1, &Set::crl2, CERT_STORE_ADD_NEW, FALSE, 1, 1},
    {"replace", &Set::crl2, &Set::crl1, CERT_STORE_ADD_REPLACE_EXISTING, TRUE, 1, 1},
    {"always", &Set::crl1, &Set::crl2, CERT_STORE_ADD_ALWAYS, TRUE, 2, 1},
};

TEST(MemoryStoreTest, CrlDispositions) {
    for (const CrlRow& row : kCrlRows) {
        SCOPED_TRACE(row.name);
        Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        PCCRL_CONTEXT first = crlOf(Get().*row.first);
        PCCRL_CONTEXT second = crlOf(Get().*row.second);
        ASSERT_TRUE(CertAddCRLContextToStore(store.h, first, CERT_STORE_ADD_NEW, nullptr));
        SetLastError(0);
        EXPECT_EQ(CertAddCRLContextToStore(store.h, second, row.disposition, nullptr), row.ok);
        if (!row.ok) {
            EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
        }
        int count = 0;
        int month = 0;
        PCCRL_CONTEXT c = nullptr;
        while ((c = CertEnumCRLsInStore(store.h, c))) {
            ++count;
            SYSTEMTIME t{};
            FileTimeToSystemTime(&c->pCrlInfo->ThisUpdate, &t);
            if (!month) month = t.wMonth;
        }
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
        EXPECT_EQ(count, row.count);
        EXPECT_EQ(month, row.thisUpdateMonth);
        CertFreeCRLContext(first);
        CertFreeCRLContext(second);
    }
}

TEST(MemoryStoreTest, FindAndDeleteCrl) {
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    PCCRL_CONTEXT crl = crlOf(Get().crl1);
    PCCRL_CONTEXT delta = crlOf(Get().delta);
    ASSERT_TRUE(CertAddCRLContextToStore(store.h, crl, CERT_STORE_ADD_ALWAYS, nullptr));
    ASSERT_TRUE(CertAddCRLContextToStore(store.h, delta, CERT_STORE_ADD_ALWAYS, nullptr));
    PCCRL_CONTEXT found = CertFindCRLInStore(store.h, kEncoding, 0, CRL_FIND_EXISTING, delta, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_NE(found, delta);
    EXPECT_EQ(found->hCertStore, store.h);
    Cert ca(Get().ca);
    PCCRL_CONTEXT byIssuer = CertFindCRLInStore(store.h, kEncoding, 0, CRL_FIND_ISSUED_BY, ca.p, nullptr);
    ASSERT_NE(byIssuer, nullptr);
    CertFreeCRLContext(byIssuer);
    ASSERT_TRUE(CertDeleteCRLFromStore(found));
    EXPECT_EQ(CertFindCRLInStore(store.h, kEncoding, 0, CRL_FIND_EXISTING, delta, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    CertFreeCRLContext(crl);
    CertFreeCRLContext(delta);
}

// Certificate objects are shared with worker threads: enumerating, duplicating, releasing and
// changing properties from several threads at once keeps every count right.
TEST(MemoryStoreTest, ThreadsShareStoresAndContexts) {
    const Set& s = Get();
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    for (const Bytes* der : {&s.ca, &s.leaf, &s.gost256, &s.gost512})
        ASSERT_TRUE(CertAddEncodedCertificateToStore(
            store, kEncoding, der->data(), static_cast<DWORD>(der->size()), CERT_STORE_ADD_ALWAYS, nullptr));
    std::vector<std::thread> threads;
    std::vector<int> counts(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                PCCERT_CONTEXT c = nullptr;
                while ((c = CertEnumCertificatesInStore(store, c))) {
                    PCCERT_CONTEXT held = CertDuplicateCertificateContext(c);
                    char16_t name[] = u"thread";
                    CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
                    CertSetCertificateContextProperty(held, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
                    if (Thumbprint(held).size() == 20) ++counts[t];
                    CertFreeCertificateContext(held);
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int n : counts) EXPECT_EQ(n, 800);
    EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
}

}  // namespace
