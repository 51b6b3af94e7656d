// ".store" blobs: the serialized-store format written by CertSaveStore and read by
// CERT_STORE_PROV_SERIALIZED, round trips, the exact layout, and malformed input.
#include <gtest/gtest.h>
#include <vsk/platform/kernel.h>

#include <cstring>
#include <functional>

#include "coreFixtures.h"

using namespace CoreFixtures;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes save(HCERTSTORE store) {
    CRYPT_DATA_BLOB blob{0, nullptr};
    EXPECT_TRUE(CertSaveStore(store, 0, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    Bytes out(blob.cbData);
    blob.pbData = out.data();
    EXPECT_TRUE(CertSaveStore(store, 0, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    out.resize(blob.cbData);
    return out;
}

HCERTSTORE load(const Bytes& bytes) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
    return CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &blob);
}

void putU32(Bytes& b, DWORD v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}

void element(Bytes& b, DWORD id, const Bytes& value, DWORD encoding = 1) {
    putU32(b, id);
    putU32(b, encoding);
    putU32(b, static_cast<DWORD>(value.size()));
    b.insert(b.end(), value.begin(), value.end());
}

const Bytes kHeader = {0, 0, 0, 0, 0x43, 0x45, 0x52, 0x54};
const Bytes kEnd(12, 0);

Bytes storeOf(std::initializer_list<std::function<void(Bytes&)>> parts, bool end = true) {
    Bytes b = kHeader;
    for (const auto& part : parts) part(b);
    if (end) b.insert(b.end(), kEnd.begin(), kEnd.end());
    return b;
}

TEST(SerializedStoreTest, EmptyStoreAndExactLayout) {
    Store empty(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    Bytes expected = kHeader;
    expected.insert(expected.end(), kEnd.begin(), kEnd.end());
    EXPECT_EQ(save(empty.h), expected);
    EXPECT_EQ(expected.size(), 20u);

    Store one(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    const Bytes& der = Get().leaf;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(one.h, kEncoding, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_ALWAYS, nullptr));
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(one.h, nullptr);
    char16_t name[] = u"Ключ";
    CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    CertFreeCertificateContext(c);
    expected = kHeader;
    element(expected, CERT_FRIENDLY_NAME_PROP_ID, Bytes(blob.pbData, blob.pbData + blob.cbData));
    element(expected, 0x20, der);
    expected.insert(expected.end(), kEnd.begin(), kEnd.end());
    EXPECT_EQ(save(one.h), expected);

    // The size protocol: a short buffer is refused with the size.
    Bytes small(10);
    CRYPT_DATA_BLOB shortBlob{static_cast<DWORD>(small.size()), small.data()};
    EXPECT_FALSE(CertSaveStore(one.h, 0, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &shortBlob, 0));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(shortBlob.cbData, expected.size());
}

// The key-provider link's layout: 28 fixed bytes with offsets from the value's start, the parameter
// records, their data, then the UTF-16LE texts.
TEST(SerializedStoreTest, KeyProvInfoFileLayout) {
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    const Bytes& der = Get().gost256;
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store.h, kEncoding, der.data(),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, &c));
    BYTE data[] = {9, 8, 7};
    CRYPT_KEY_PROV_PARAM param{5, data, 3, 1};
    char16_t container[] = u"ab";
    char16_t provider[] = u"P";
    CRYPT_KEY_PROV_INFO info{container, provider, 80, 0x20, 1, &param, 2};
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(c);
    Bytes value;
    for (DWORD v : {48u, 54u, 80u, 0x20u, 1u, 28u, 2u, 5u, 44u, 3u, 1u}) putU32(value, v);
    value.insert(value.end(), {9, 8, 7, 0, 'a', 0, 'b', 0, 0, 0, 'P', 0, 0, 0});
    Bytes expected = kHeader;
    element(expected, CERT_KEY_PROV_INFO_PROP_ID, value);
    element(expected, 0x20, der);
    expected.insert(expected.end(), kEnd.begin(), kEnd.end());
    EXPECT_EQ(save(store.h), expected);
}

TEST(SerializedStoreTest, RoundTripKeepsOrderPropertiesAndCrls) {
    const Set& s = Get();
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    std::vector<Bytes> thumbprints;
    for (const Bytes* der : {&s.gost512, &s.leaf, &s.ca}) {
        PCCERT_CONTEXT c = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(
            store.h, kEncoding, der->data(), static_cast<DWORD>(der->size()), CERT_STORE_ADD_ALWAYS, &c));
        thumbprints.push_back(Thumbprint(c));
        if (der == &s.leaf) {
            char16_t container[] = u"\\\\.\\DISK\\Контейнер";
            char16_t provider[] = u"Kestrovan RSA Cryptographic Provider";
            CRYPT_KEY_PROV_INFO info{container, provider, 1, 0, 0, nullptr, AT_KEYEXCHANGE};
            ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
            char16_t name[] = u"Мой сертификат";
            CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
            ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
            // Kept only in memory.
            CERT_KEY_CONTEXT key{sizeof(CERT_KEY_CONTEXT), 0, AT_KEYEXCHANGE};
            ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, 0, &key));
        }
        CertFreeCertificateContext(c);
    }
    ASSERT_TRUE(CertAddEncodedCRLToStore(store.h, kEncoding, s.crl1.data(), static_cast<DWORD>(s.crl1.size()),
                                         CERT_STORE_ADD_ALWAYS, nullptr));
    const Bytes saved = save(store.h);

    Store loaded(load(saved));
    ASSERT_NE(loaded.h, nullptr) << std::hex << GetLastError();
    std::vector<Bytes> order;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(loaded.h, c))) {
        order.push_back(Thumbprint(c));
        DWORD size = 0;
        const bool linked = CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
        EXPECT_EQ(linked, order.size() == 2);
        EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, nullptr, &size));
        if (!linked) continue;
        std::vector<BYTE> buffer(size);
        ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        EXPECT_EQ(std::u16string(info->pwszContainerName), u"\\\\.\\DISK\\Контейнер");
        EXPECT_EQ(std::u16string(info->pwszProvName), u"Kestrovan RSA Cryptographic Provider");
        EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
        ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
        std::u16string name(size / 2, u'\0');
        CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &size);
        EXPECT_EQ(name, std::u16string(u"Мой сертификат") + u'\0');
    }
    EXPECT_EQ(order, thumbprints);
    PCCRL_CONTEXT crl = CertEnumCRLsInStore(loaded.h, nullptr);
    ASSERT_NE(crl, nullptr);
    EXPECT_EQ(Bytes(crl->pbCrlEncoded, crl->pbCrlEncoded + crl->cbCrlEncoded), s.crl1);
    CertFreeCRLContext(crl);
    // Writing the loaded store gives the same bytes.
    EXPECT_EQ(save(loaded.h), saved);
}

struct MalformedRow {
    const char* name;
    std::function<Bytes()> make;
};

Bytes keyProvInfo(DWORD offContainer, DWORD count, DWORD offParams, size_t size) {
    Bytes v;
    for (DWORD x : {offContainer, 0u, 1u, 0u, count, offParams, 1u}) putU32(v, x);
    v.resize(size, 0x41);
    return v;
}

TEST(SerializedStoreTest, MalformedInputIsRejected) {
    const Bytes leaf = Get().leaf;
    auto cert = [&](Bytes& b) { element(b, 0x20, leaf); };
    const std::vector<MalformedRow> rows = {
        {"empty", [] { return Bytes(); }},
        {"header only half", [] { return Bytes(kHeader.begin(), kHeader.begin() + 5); }},
        {"wrong magic",
         [&] {
             Bytes b = storeOf({cert});
             b[4] = 'X';
             return b;
         }},
        {"version not zero",
         [&] {
             Bytes b = storeOf({cert});
             b[0] = 1;
             return b;
         }},
        {"truncated element header",
         [&] {
             Bytes b = storeOf({cert}, false);
             b.insert(b.end(), {0x20, 0, 0});
             return b;
         }},
        {"truncated certificate",
         [&] {
             Bytes b = storeOf({cert}, false);
             b.resize(b.size() - 10);
             return b;
         }},
        {"length past the end",
         [&] {
             Bytes b = kHeader;
             putU32(b, 0x20);
             putU32(b, 1);
             putU32(b, static_cast<DWORD>(leaf.size() + 1));
             b.insert(b.end(), leaf.begin(), leaf.end());
             return b;
         }},
        {"absurd length",
         [&] {
             Bytes b = kHeader;
             putU32(b, 11);
             putU32(b, 1);
             putU32(b, 0xFFFFFFF0u);
             b.insert(b.end(), 16, 0);
             return b;
         }},
        {"bad DER",
         [&] { return storeOf({[&](Bytes& b) {
                   element(b, 0x20, Bytes{0x30, 0x03, 0x02, 0x01, 0x01});
               }}); }},
        {"CRL bytes as a certificate",
         [&] { return storeOf({[&](Bytes& b) { element(b, 0x20, Get().crl1); }}); }},
        {"empty certificate element", [&] { return storeOf({[&](Bytes& b) { element(b, 0x20, {}); }}); }},
        {"certificate without X.509 encoding",
         [&] { return storeOf({[&](Bytes& b) { element(b, 0x20, leaf, 0); }}); }},
        {"property without element",
         [&] {
             return storeOf({cert, [](Bytes& b) { element(b, 11, {'a', 0}); }});
         }},
        {"property id out of range",
         [&] {
             return storeOf({[](Bytes& b) { element(b, 0x10000, {1}); }, cert});
         }},
        {"end marker with a length",
         [&] {
             Bytes b = storeOf({cert}, false);
             putU32(b, 0);
             putU32(b, 0);
             putU32(b, 4);
             b.insert(b.end(), 4, 0);
             return b;
         }},
        {"data after the end marker",
         [&] {
             Bytes b = storeOf({cert});
             b.push_back(0);
             return b;
         }},
        {"key-provider offset past the end",
         [&] {
             return storeOf({[](Bytes& b) { element(b, 2, keyProvInfo(200, 0, 0, 40)); }, cert});
         }},
        {"key-provider text without NUL",
         [&] {
             return storeOf({[](Bytes& b) { element(b, 2, keyProvInfo(28, 0, 0, 40)); }, cert});
         }},
        {"key-provider offset into the header",
         [&] {
             return storeOf({[](Bytes& b) { element(b, 2, keyProvInfo(4, 0, 0, 40)); }, cert});
         }},
        {"key-provider parameter count too large",
         [&] {
             return storeOf({[](Bytes& b) { element(b, 2, keyProvInfo(0, 1000000, 28, 44)); }, cert});
         }},
        {"key-provider too short",
         [&] {
             return storeOf({[](Bytes& b) { element(b, 2, Bytes(20, 0)); }, cert});
         }},
        {"over the size cap",
         [] {
             Bytes b = kHeader;
             b.resize(64 * 1024 * 1024 + 1, 0);
             return b;
         }},
    };
    for (const MalformedRow& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes bytes = row.make();
        SetLastError(0);
        HCERTSTORE store = load(bytes);
        EXPECT_EQ(store, nullptr);
        EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
        CertCloseStore(store, 0);
    }
}

// Hash properties in a file are never believed: a forged thumbprint is ignored and the real one
// computed. A missing end marker, a certificate trust list and unknown properties are accepted.
TEST(SerializedStoreTest, AcceptedOddities) {
    const Bytes leaf = Get().leaf;
    Cert real(leaf);
    const Bytes forged(20, 0xAB);
    const Bytes opaque = {1, 2, 3};
    const Bytes bytes =
        storeOf({[&](Bytes& b) { element(b, CERT_SHA1_HASH_PROP_ID, forged); },
                 [&](Bytes& b) { element(b, CERT_MD5_HASH_PROP_ID, Bytes(16, 1)); },
                 [&](Bytes& b) {
                     element(b, CERT_ACCESS_STATE_PROP_ID, {7, 0, 0, 0});
                 },
                 [&](Bytes& b) { element(b, 0x8001, opaque); }, [&](Bytes& b) { element(b, 0x20, leaf); },
                 [&](Bytes& b) {
                     element(b, 11, {'x', 0});
                 },
                 [&](Bytes& b) {
                     element(b, 0x22, {0x30, 0x00});
                 }},
                false);
    Store store(load(bytes));
    ASSERT_NE(store.h, nullptr) << std::hex << GetLastError();
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.h, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Thumbprint(c), Thumbprint(real.p));
    CRYPT_HASH_BLOB hash{20, const_cast<BYTE*>(forged.data())};
    EXPECT_EQ(CertFindCertificateInStore(store.h, kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr),
              nullptr);
    DWORD state = 1, size = sizeof state;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_ACCESS_STATE_PROP_ID, &state, &size));
    EXPECT_EQ(state, 0u);
    Bytes got(3);
    size = 3;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, 0x8001, got.data(), &size));
    EXPECT_EQ(got, opaque);
    CertFreeCertificateContext(c);
    EXPECT_EQ(CountCertificates(store.h), 1);
    // The unknown property is written back unchanged; the hashes are not written.
    const Bytes saved = save(store.h);
    Bytes expected = kHeader;
    element(expected, 0x8001, opaque);
    element(expected, 0x20, leaf);
    expected.insert(expected.end(), kEnd.begin(), kEnd.end());
    EXPECT_EQ(saved, expected);
}

}  // namespace
