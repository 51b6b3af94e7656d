// GOST session keys, agreement keys and key blobs of the provider stand-in, checked against the
// openssl command and the GOST engine: CFB with key meshing, the key transport of openssl's CMS
// messages unwrapped through the SIMPLEBLOB and PUBLICKEYBLOB chain, ephemeral agreements.
#include <vsk/platform/crypt.h>
#include <vsk/platform/gostCipher.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include "containerStore.h"
#include "cryptState.h"
#include "gostTransport.h"
#include "keyMaterial.h"
#include "testSupport.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using vsk::crypt::Gost89Cfb;

std::string Dir() {
    return VskTest::TempDir();
}

void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(Dir() + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::string& name) {
    std::ifstream in(Dir() + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool Shell(const std::string& command) {
    return std::system(("cd '" + Dir() + "' && (" + command + ") >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

std::string Hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (BYTE c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

Bytes Pattern(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<BYTE>(i * 31 + 7);
    return b;
}

// Our CFB over `data` in pieces of the given sizes (cycled), or in one call when empty.
Bytes Cfb(bool encrypt, const Bytes& key, const Bytes& iv, const char* paramSet, const Bytes& data,
          const std::vector<size_t>& pieces) {
    Gost89Cfb cfb;
    DWORD error = 0;
    EXPECT_TRUE(cfb.init(encrypt, key.data(), key.size(), iv.data(), iv.size(), paramSet, error)) << error;
    Bytes out(data.size());
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        const size_t n = pieces.empty() ? data.size() : std::min(pieces[i % pieces.size()], data.size() - at);
        EXPECT_TRUE(cfb.update(data.data() + at, n, out.data() + at, error));
        at += n;
    }
    EXPECT_TRUE(cfb.final(error));
    return out;
}

// One DER element: tag, content and the whole element.
struct Der {
    BYTE tag = 0;
    const BYTE* content = nullptr;
    size_t size = 0;
    const BYTE* start = nullptr;
    size_t total = 0;
};

bool Next(const BYTE*& p, const BYTE* end, Der& e) {
    if (end - p < 2) return false;
    e.start = p;
    e.tag = p[0];
    size_t len = p[1];
    const BYTE* q = p + 2;
    if (len & 0x80) {
        const size_t n = len & 0x7F;
        if (n == 0 || n > 3 || static_cast<size_t>(end - q) < n) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < len) return false;
    e.content = q;
    e.size = len;
    p = q + len;
    e.total = static_cast<size_t>(p - e.start);
    return true;
}

// The parts of a DER EnvelopedData with one key-transport recipient, as openssl cms writes it.
struct Envelope {
    Bytes transport;  // encryptedKey: the GostR3410-KeyTransport DER
    Bytes iv;
    std::string paramSet;
    Bytes ciphertext;
};

std::string OidText(const Der& e) {
    const unsigned char* p = e.start;
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(e.total));
    char buf[100] = {};
    if (obj) OBJ_obj2txt(buf, sizeof buf, obj, 1);
    ASN1_OBJECT_free(obj);
    return buf;
}

bool ParseEnvelope(const Bytes& der, Envelope& env) {
    const BYTE* p = der.data();
    Der ci, ct, explicit0, ed, version, recipients, ktri, encInfo;
    if (!Next(p, der.data() + der.size(), ci)) return false;
    p = ci.content;
    const BYTE* end = ci.content + ci.size;
    if (!Next(p, end, ct) || !Next(p, end, explicit0)) return false;
    p = explicit0.content;
    if (!Next(p, explicit0.content + explicit0.size, ed)) return false;
    p = ed.content;
    end = ed.content + ed.size;
    if (!Next(p, end, version) || !Next(p, end, recipients) || !Next(p, end, encInfo)) return false;
    const BYTE* r = recipients.content;
    if (!Next(r, recipients.content + recipients.size, ktri)) return false;
    r = ktri.content;
    Der v, rid, alg, key;
    if (!Next(r, ktri.content + ktri.size, v) || !Next(r, ktri.content + ktri.size, rid) ||
        !Next(r, ktri.content + ktri.size, alg) || !Next(r, ktri.content + ktri.size, key) || key.tag != 0x04)
        return false;
    env.transport.assign(key.content, key.content + key.size);
    const BYTE* e = encInfo.content;
    const BYTE* eEnd = encInfo.content + encInfo.size;
    Der type, calg, content;
    if (!Next(e, eEnd, type) || !Next(e, eEnd, calg) || !Next(e, eEnd, content) || content.tag != 0x80)
        return false;
    env.ciphertext.assign(content.content, content.content + content.size);
    const BYTE* a = calg.content;
    Der oid, params, iv, set;
    if (!Next(a, calg.content + calg.size, oid) || !Next(a, calg.content + calg.size, params)) return false;
    const BYTE* q = params.content;
    if (!Next(q, params.content + params.size, iv) || !Next(q, params.content + params.size, set)) return false;
    env.iv.assign(iv.content, iv.content + iv.size);
    env.paramSet = OidText(set);
    return true;
}

Bytes ExportBlob(HCRYPTKEY key, HCRYPTKEY with, DWORD type) {
    DWORD size = 0;
    if (!CryptExportKey(key, with, type, 0, nullptr, &size)) return {};
    Bytes out(size);
    if (!CryptExportKey(key, with, type, 0, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

Bytes Param(HCRYPTKEY key, DWORD param) {
    DWORD size = 0;
    if (!CryptGetKeyParam(key, param, nullptr, &size, 0)) return {};
    Bytes out(size);
    if (!CryptGetKeyParam(key, param, out.data(), &size, 0)) return {};
    out.resize(size);
    return out;
}

// Decrypts in place in pieces of `piece` bytes (non-final calls, then a final one).
Bytes DecryptInPieces(HCRYPTKEY key, Bytes data, size_t piece) {
    for (size_t at = 0; at < data.size(); at += piece) {
        DWORD n = static_cast<DWORD>(std::min(piece, data.size() - at));
        const BOOL last = at + n == data.size();
        EXPECT_TRUE(CryptDecrypt(key, 0, last, 0, data.data() + at, &n)) << std::hex << GetLastError();
    }
    return data;
}

// ---- CFB with key meshing against the engine's "gost89" ------------------------------------------

TEST(GostCipher, CfbMatchesOpensslGost89AcrossMeshing) {
    // 3000 bytes cross two key meshings (every 1024 bytes); piece sizes that straddle blocks and the
    // 1024-byte boundary must give the same bytes as one call. The engine's "gost89" takes TC26 Z, or
    // the set its CRYPT_PARAMS names.
    WriteFile("gost-a.cnf", [] {
        const std::string conf =
            "openssl_conf = def\n[def]\nengines = engines\n[engines]\ngost = gost\n[gost]\n"
            "engine_id = gost\ndefault_algorithms = ALL\nCRYPT_PARAMS = id-Gost28147-89-CryptoPro-A-ParamSet\n";
        return Bytes(conf.begin(), conf.end());
    }());
    struct Case {
        const char* paramSet;
        const char* openssl;
    };
    const Bytes key = Pattern(32);
    const Bytes iv = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes plain = Pattern(3000);
    WriteFile("cfb.plain", plain);
    for (const Case& c : {Case{vsk::crypt::GOST89_PARAMSET_TC26_Z, "openssl enc -engine gost"},
                          Case{vsk::crypt::GOST89_PARAMSET_CRYPTOPRO_A, "OPENSSL_CONF=gost-a.cnf openssl enc"}}) {
        SCOPED_TRACE(c.paramSet);
        ASSERT_TRUE(Shell(std::string(c.openssl) + " -gost89 -K " + Hex(key) + " -iv " + Hex(iv) +
                          " -in cfb.plain -out cfb.enc"));
        const Bytes expected = ReadFile("cfb.enc");
        ASSERT_EQ(expected.size(), plain.size());
        for (const std::vector<size_t>& pieces :
             {std::vector<size_t>{}, {1}, {3, 1021, 8}, {1024}, {1000, 1}}) {
            EXPECT_EQ(Cfb(true, key, iv, c.paramSet, plain, pieces), expected) << pieces.size();
            EXPECT_EQ(Cfb(false, key, iv, c.paramSet, expected, pieces), plain) << pieces.size();
        }
    }
}

TEST(GostCipher, Refusals) {
    Gost89Cfb cfb;
    DWORD error = 0;
    BYTE buf[8] = {};
    EXPECT_FALSE(cfb.update(buf, 8, buf, error));
    EXPECT_EQ(error, NTE_BAD_KEY_STATE);
    const Bytes key(32, 1), iv(8, 2);
    EXPECT_FALSE(cfb.init(true, key.data(), 31, iv.data(), 8, nullptr, error));
    EXPECT_EQ(error, NTE_BAD_KEY);
    EXPECT_FALSE(cfb.init(true, key.data(), 32, iv.data(), 7, nullptr, error));
    EXPECT_EQ(error, NTE_BAD_DATA);
    EXPECT_FALSE(cfb.init(true, key.data(), 32, iv.data(), 8, "1.2.643.2.2.31.7", error));
    EXPECT_EQ(error, NTE_BAD_ALGID);
}

// ---- Key transport of openssl's CMS through the key blobs ----------------------------------------

struct TransportCase {
    const char* name;
    DWORD provType;
    DWORD wrongKeyError;  // the signature key: another curve (256) or the same one (512)
};

class KeyTransportTest : public testing::TestWithParam<TransportCase> {};

// openssl cms -encrypt -gost89 to a recipient whose key is in our container: the transport unwraps
// to the engine's content key, and through CryptImportKey(PUBLICKEYBLOB, user key) +
// CALG_PRO_EXPORT + CryptImportKey(SIMPLEBLOB) to a session key that decrypts the content.
TEST_P(KeyTransportTest, OpensslMessageUnwrapsThroughTheBlobs) {
    const TransportCase& c = GetParam();
    const std::string base = std::string("kt-") + c.name;
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, VskTest::Utf16(base).c_str(), nullptr, c.provType,
                                     CRYPT_NEWKEYSET | CRYPT_SILENT))
        << std::hex << GetLastError();
    HCRYPTKEY userKey = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &userKey));
    // KP_DHOID of the recipient's key: its parameter set.
    const Bytes dhOid = Param(userKey, KP_DHOID);
    EXPECT_TRUE(dhOid.size() > 8 && dhOid.back() == 0);
    DWORD error = 0;
    auto ctx = vsk::crypt::FindContext(prov);
    vsk::crypt::Pkey priv = vsk::crypt::UnlockKey(*ctx, AT_KEYEXCHANGE, error);
    ASSERT_TRUE(priv) << error;
    const Bytes spki = vsk::crypt::PublicKeyInfoDer(priv.get());
    WriteFile(base + ".spki", spki);
    const Bytes plain = Pattern(2500);
    WriteFile(base + ".plain", plain);
    ASSERT_TRUE(Shell("test -f kt-issuer.key || openssl genpkey -algorithm RSA -out kt-issuer.key"));
    ASSERT_TRUE(Shell("openssl pkey -engine gost -pubin -inform DER -in " + base + ".spki -out " + base +
                      ".pub && openssl x509 -engine gost -new -subj /CN=r -key kt-issuer.key -force_pubkey " +
                      base + ".pub -out " + base + ".cer && openssl cms -encrypt -engine gost -binary -gost89 " +
                      "-outform DER -in " + base + ".plain -out " + base + ".p7m " + base + ".cer"));
    Envelope env;
    ASSERT_TRUE(ParseEnvelope(ReadFile(base + ".p7m"), env));

    // The engine's content key.
    BYTE engineCek[64] = {};
    size_t cekSize = sizeof engineCek;
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(priv.get(), nullptr);
    ASSERT_TRUE(pctx && EVP_PKEY_decrypt_init(pctx) == 1 &&
                EVP_PKEY_decrypt(pctx, engineCek, &cekSize, env.transport.data(), env.transport.size()) == 1);
    EVP_PKEY_CTX_free(pctx);
    ASSERT_EQ(cekSize, 32u);

    BYTE cek[32] = {};
    ASSERT_TRUE(vsk::crypt::UnwrapGostKeyTransport(prov, AT_KEYEXCHANGE, env.transport.data(),
                                                   env.transport.size(), cek, error))
        << std::hex << error;
    EXPECT_EQ(Bytes(cek, cek + 32), Bytes(engineCek, engineCek + 32));
    EXPECT_EQ(Cfb(false, Bytes(cek, cek + 32), env.iv, env.paramSet.c_str(), env.ciphertext, {}), plain);

    // The blobs a caller builds from the transport's parts.
    vsk::crypt::GostKeyTransport t;
    ASSERT_TRUE(vsk::crypt::ParseGostKeyTransport(env.transport.data(), env.transport.size(), t));
    vsk::crypt::PublicKeyInfoParts eph;
    ASSERT_TRUE(vsk::crypt::SplitPublicKeyInfo(t.ephemeralSpki.data(), t.ephemeralSpki.size(), eph));
    ASSERT_GT(eph.keyBits.size(), 2u);
    const size_t head = eph.keyBits[1] & 0x80 ? 3 : 2;  // the OCTET STRING around X||Y
    const Bytes pubBlob =
        vsk::crypt::MakeGostPublicKeyBlob(CertOIDToAlgId(eph.algorithmOid.c_str()), eph.parameters.data(),
                                          eph.parameters.size(), eph.keyBits.data() + head,
                                          eph.keyBits.size() - head);
    vsk::crypt::SimpleBlobField tooLong{};
    const Bytes simpleBlob = vsk::crypt::MakeGostSimpleBlob(t.encryptedKey, 32, t.ukm, 8, t.mac, 4,
                                                            t.paramSet.c_str(), tooLong, error);
    ASSERT_FALSE(simpleBlob.empty());

    HCRYPTKEY agreement = 0, session = 0;
    ASSERT_TRUE(CryptImportKey(prov, pubBlob.data(), static_cast<DWORD>(pubBlob.size()), userKey, 0, &agreement))
        << std::hex << GetLastError();
    // Under the agreement key's default wrap (no diversification) the MAC does not match.
    EXPECT_FALSE(CryptImportKey(prov, simpleBlob.data(), static_cast<DWORD>(simpleBlob.size()), agreement,
                                CRYPT_EXPORTABLE, &session));
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    const ALG_ID proExport = CALG_PRO_EXPORT;
    ASSERT_TRUE(CryptSetKeyParam(agreement, KP_ALGID, reinterpret_cast<const BYTE*>(&proExport), 0));
    ASSERT_TRUE(CryptImportKey(prov, simpleBlob.data(), static_cast<DWORD>(simpleBlob.size()), agreement,
                               CRYPT_EXPORTABLE, &session))
        << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetKeyParam(session, KP_IV, env.iv.data(), 0));
    const std::string oid = env.paramSet;
    ASSERT_TRUE(CryptSetKeyParam(session, KP_CIPHEROID, reinterpret_cast<const BYTE*>(oid.c_str()), 0));
    for (size_t piece : {env.ciphertext.size(), size_t{1}, size_t{1000}})
        EXPECT_EQ(DecryptInPieces(session, env.ciphertext, piece), plain) << piece;

    // A wrong user key fails (the MAC check on the same curve) instead of giving another key.
    HCRYPTKEY signKey = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &signKey));
    BYTE wrong[32];
    EXPECT_FALSE(vsk::crypt::UnwrapGostKeyTransport(prov, AT_SIGNATURE, env.transport.data(),
                                                    env.transport.size(), wrong, error));
    EXPECT_EQ(error, c.wrongKeyError);

    for (HCRYPTKEY k : {session, agreement, userKey, signKey}) EXPECT_TRUE(CryptDestroyKey(k));
    CryptReleaseContext(prov, 0);
}

INSTANTIATE_TEST_SUITE_P(Recipients, KeyTransportTest,
                         testing::Values(TransportCase{"gost256", PROV_GOST_2012_256, NTE_BAD_KEY},
                                         TransportCase{"gost512", PROV_GOST_2012_512, NTE_BAD_DATA}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Ephemeral agreement between two providers, SIMPLEBLOB round trip ----------------------------

struct Side {
    HCRYPTPROV prov = 0;
    HCRYPTKEY eph = 0;
    HCRYPTKEY agreement = 0;
};

TEST(SessionKeys, EphemeralAgreementMovesASessionKey) {
    for (DWORD type : {PROV_GOST_2012_256, PROV_GOST_2012_512}) {
        SCOPED_TRACE(type);
        const ALG_ID ephAlg = type == PROV_GOST_2012_256 ? CALG_DH_GR3410_12_256_EPHEM : CALG_DH_GR3410_12_512_EPHEM;
        Side from, to;
        ASSERT_TRUE(CryptAcquireContextW(&from.prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT));
        ASSERT_TRUE(CryptAcquireContextW(&to.prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT));
        ASSERT_TRUE(CryptGenKey(from.prov, ephAlg, CRYPT_EXPORTABLE, &from.eph)) << std::hex << GetLastError();
        const Bytes dhOid = Param(from.eph, KP_DHOID);
        ASSERT_FALSE(dhOid.empty());
        ASSERT_TRUE(CryptGenKey(to.prov, ephAlg, CRYPT_EXPORTABLE | CRYPT_PREGEN, &to.eph));
        EXPECT_TRUE(Param(to.eph, KP_DHOID).empty());
        EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
        EXPECT_TRUE(ExportBlob(to.eph, 0, PUBLICKEYBLOB).empty());
        ASSERT_TRUE(CryptSetKeyParam(to.eph, KP_DHOID, dhOid.data(), 0));
        ASSERT_TRUE(CryptSetKeyParam(to.eph, KP_X, nullptr, 0)) << std::hex << GetLastError();
        EXPECT_EQ(Param(to.eph, KP_DHOID), dhOid);
        EXPECT_FALSE(CryptSetKeyParam(to.eph, KP_X, nullptr, 0));  // made once
        const Bytes fromPub = ExportBlob(from.eph, 0, PUBLICKEYBLOB);
        const Bytes toPub = ExportBlob(to.eph, 0, PUBLICKEYBLOB);
        ASSERT_TRUE(CryptImportKey(from.prov, toPub.data(), static_cast<DWORD>(toPub.size()), from.eph, 0,
                                   &from.agreement));
        ASSERT_TRUE(CryptImportKey(to.prov, fromPub.data(), static_cast<DWORD>(fromPub.size()), to.eph, 0,
                                   &to.agreement));
        const ALG_ID proExport = CALG_PRO_EXPORT;
        for (HCRYPTKEY a : {from.agreement, to.agreement})
            ASSERT_TRUE(CryptSetKeyParam(a, KP_ALGID, reinterpret_cast<const BYTE*>(&proExport), 0));

        HCRYPTKEY session = 0, moved = 0;
        ASSERT_TRUE(CryptGenKey(from.prov, CALG_G28147, CRYPT_EXPORTABLE, &session));
        DWORD mode = 0, size = sizeof mode;
        ASSERT_TRUE(CryptGetKeyParam(session, KP_MODE, reinterpret_cast<BYTE*>(&mode), &size, 0));
        EXPECT_EQ(mode, CRYPT_MODE_CFB);
        const Bytes iv = Param(session, KP_IV);
        ASSERT_EQ(iv.size(), 8u);
        const Bytes plain = Pattern(2100);
        Bytes data = plain;
        // Size query, a short buffer, then encryption in two non-final pieces and a final one.
        DWORD n = static_cast<DWORD>(data.size());
        ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, nullptr, &n, 0));
        EXPECT_EQ(n, data.size());
        n = 100;
        EXPECT_FALSE(CryptEncrypt(session, 0, FALSE, 0, data.data(), &n, 99));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        for (auto [at, len, last] : {std::tuple{0, 1030, FALSE}, {1030, 5, FALSE}, {1035, 1065, TRUE}}) {
            n = static_cast<DWORD>(len);
            ASSERT_TRUE(CryptEncrypt(session, 0, last, 0, data.data() + at, &n, n));
        }
        Bytes oneShot = plain;
        n = static_cast<DWORD>(oneShot.size());
        ASSERT_TRUE(CryptEncrypt(session, 0, TRUE, 0, oneShot.data(), &n, n));
        EXPECT_EQ(oneShot, data);
        EXPECT_NE(data, plain);

        const Bytes wrapped = ExportBlob(session, from.agreement, SIMPLEBLOB);
        ASSERT_EQ(wrapped.size(), 73u);  // SEQUENCE { OID TC26 Z }
        EXPECT_EQ(wrapped[0], SIMPLEBLOB);
        ASSERT_TRUE(CryptImportKey(to.prov, wrapped.data(), static_cast<DWORD>(wrapped.size()), to.agreement,
                                   CRYPT_EXPORTABLE, &moved))
            << std::hex << GetLastError();
        ASSERT_TRUE(CryptSetKeyParam(moved, KP_IV, iv.data(), 0));
        EXPECT_EQ(DecryptInPieces(moved, data, 700), plain);

        // A damaged MAC, encrypted key or UKM is refused; so is the blob under another wrap.
        for (size_t at : {size_t{16}, size_t{30}, size_t{57}}) {
            Bytes bad = wrapped;
            bad[at] ^= 0x01;
            HCRYPTKEY none = 0;
            EXPECT_FALSE(CryptImportKey(to.prov, bad.data(), static_cast<DWORD>(bad.size()), to.agreement, 0, &none));
            EXPECT_EQ(GetLastError(), NTE_BAD_DATA) << at;
        }
        const ALG_ID simpleExport = CALG_SIMPLE_EXPORT;
        ASSERT_TRUE(CryptSetKeyParam(to.agreement, KP_ALGID, reinterpret_cast<const BYTE*>(&simpleExport), 0));
        HCRYPTKEY none = 0;
        EXPECT_FALSE(
            CryptImportKey(to.prov, wrapped.data(), static_cast<DWORD>(wrapped.size()), to.agreement, 0, &none));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);

        for (HCRYPTKEY k : {session, moved, from.agreement, to.agreement, from.eph, to.eph})
            EXPECT_TRUE(CryptDestroyKey(k));
        CryptReleaseContext(from.prov, 0);
        CryptReleaseContext(to.prov, 0);
    }
}

TEST(SessionKeys, Refusals) {
    HCRYPTPROV prov = 0, rsa = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptAcquireContextW(&rsa, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY key = 0, eph = 0;
    struct GenCase {
        HCRYPTPROV prov;
        ALG_ID alg;
        DWORD flags;
        DWORD error;
    };
    for (const GenCase& g : {GenCase{prov, CALG_DH_GR3410_12_512_EPHEM, 0, NTE_BAD_ALGID},
                             GenCase{rsa, CALG_G28147, 0, NTE_BAD_ALGID},
                             GenCase{prov, CALG_G28147, CRYPT_PREGEN, NTE_BAD_FLAGS}}) {
        EXPECT_FALSE(CryptGenKey(g.prov, g.alg, g.flags, &key));
        EXPECT_EQ(GetLastError(), g.error) << std::hex << g.alg;
    }
    ASSERT_TRUE(CryptGenKey(prov, CALG_G28147, 0, &key));
    ASSERT_TRUE(CryptGenKey(prov, CALG_DH_GR3410_12_256_EPHEM, 0, &eph));
    const DWORD ecb = CRYPT_MODE_ECB;
    EXPECT_FALSE(CryptSetKeyParam(key, KP_MODE, reinterpret_cast<const BYTE*>(&ecb), 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    EXPECT_FALSE(CryptSetKeyParam(key, KP_CIPHEROID, reinterpret_cast<const BYTE*>("1.2.643.2.2.31.9"), 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    // A session key exports only when exportable and only under an agreement key; a pair encrypts
    // nothing.
    HCRYPTKEY exportable = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_G28147, CRYPT_EXPORTABLE, &exportable));
    DWORD size = 0;
    EXPECT_FALSE(CryptExportKey(exportable, eph, SIMPLEBLOB, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_BAD_PUBLIC_KEY);
    EXPECT_FALSE(CryptExportKey(key, eph, SIMPLEBLOB, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
    BYTE data[8] = {};
    size = sizeof data;
    EXPECT_FALSE(CryptEncrypt(eph, 0, TRUE, 0, data, &size, size));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
    // An agreement with a key of another curve.
    HCRYPTPROV strong = 0;
    HCRYPTKEY eph512 = 0, agreement = 0;
    ASSERT_TRUE(CryptAcquireContextW(&strong, nullptr, nullptr, PROV_GOST_2012_512, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptGenKey(strong, CALG_DH_GR3410_12_512_EPHEM, 0, &eph512));
    const Bytes pub512 = ExportBlob(eph512, 0, PUBLICKEYBLOB);
    EXPECT_FALSE(CryptImportKey(prov, pub512.data(), static_cast<DWORD>(pub512.size()), eph, 0, &agreement));
    EXPECT_EQ(GetLastError(), NTE_BAD_PUBLIC_KEY);
    for (HCRYPTKEY k : {key, exportable, eph, eph512}) CryptDestroyKey(k);
    for (HCRYPTPROV p : {prov, rsa, strong}) CryptReleaseContext(p, 0);
}

// ---- Blob building ------------------------------------------------------------------------------

TEST(SessionKeys, SimpleBlobLayoutAndSizeLimits) {
    const Bytes big(40, 0xAB);
    struct Case {
        size_t ukm, key, mac;
        vsk::crypt::SimpleBlobField field;
    };
    using F = vsk::crypt::SimpleBlobField;
    for (const Case& c : {Case{9, 32, 4, F::Ukm}, Case{8, 33, 4, F::EncryptedKey}, Case{8, 32, 5, F::Mac},
                          Case{7, 32, 4, F::None}, Case{8, 31, 3, F::None}}) {
        F tooLong{};
        DWORD error = 0;
        const Bytes blob = vsk::crypt::MakeGostSimpleBlob(big.data(), c.key, big.data(), c.ukm, big.data(), c.mac,
                                                          vsk::crypt::GOST89_PARAMSET_TC26_Z, tooLong, error);
        EXPECT_EQ(tooLong, c.field);
        if (c.field != F::None) {
            EXPECT_TRUE(blob.empty());
            EXPECT_EQ(error, NTE_BAD_LEN);
            continue;
        }
        ASSERT_EQ(blob.size(), 73u);
        const Bytes head = {0x01, 0x20, 0, 0, 0x1E, 0x66, 0, 0, 0xFD, 0x51, 0x4A, 0x37, 0x1E, 0x66, 0, 0};
        EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 16), head);
        // Shorter values are padded with zero bytes in their fields.
        EXPECT_EQ(blob[16 + c.ukm - 1], 0xAB);
        if (c.ukm < 8) EXPECT_EQ(blob[16 + c.ukm], 0);
        if (c.key < 32) EXPECT_EQ(blob[24 + c.key], 0);
        if (c.mac < 4) EXPECT_EQ(blob[56 + c.mac], 0);
        const Bytes tail = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x05, 0x01, 0x01};
        EXPECT_EQ(Bytes(blob.begin() + 60, blob.end()), tail);
    }
}

}  // namespace
