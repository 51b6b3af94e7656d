// GOST 28147-89 content encryption and GOST R 34.10-2012 key transport for the message layer, and
// the GostR3410-KeyTransport reader shared with the key functions.
#include <vsk/platform/gostCipher.h>

#include "containerStore.h"
#include "cryptState.h"
#include "gost89.h"
#include "gostTransport.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>

namespace vsk::crypt {

namespace {

// One DER element at `p` with a definite length of up to three length octets.
bool ReadDer(const BYTE*& p, const BYTE* end, BYTE& tag, const BYTE*& content, size_t& size) {
    if (end - p < 2) return false;
    tag = p[0];
    size_t len = p[1];
    const BYTE* q = p + 2;
    if (len & 0x80) {
        const size_t n = len & 0x7F;
        if (n == 0 || n > 3 || static_cast<size_t>(end - q) < n) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < len) return false;
    content = q;
    size = len;
    p = q + len;
    return true;
}

std::string OidTextOf(const BYTE* der, size_t size) {
    const unsigned char* d = der;
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &d, static_cast<long>(size));
    if (!obj) return {};
    char buf[128];
    const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    ASN1_OBJECT_free(obj);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) return {};
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

bool ParseGostKeyTransport(const BYTE* der, size_t size, GostKeyTransport& out) {
    // GostR3410-KeyTransport ::= SEQUENCE {
    //   sessionEncryptedKey SEQUENCE { encryptedKey OCTET STRING (32), maskKey [0] OPTIONAL,
    //                                  macKey OCTET STRING (4) },
    //   transportParameters [0] IMPLICIT SEQUENCE { encryptionParamSet OID,
    //                                  ephemeralPublicKey [0] IMPLICIT SubjectPublicKeyInfo OPTIONAL,
    //                                  ukm OCTET STRING (8) } }
    if (!der) return false;
    const BYTE* p = der;
    const BYTE* end = der + size;
    BYTE tag = 0;
    const BYTE* c = nullptr;
    size_t n = 0;
    if (!ReadDer(p, end, tag, c, n) || tag != 0x30 || p != end) return false;
    const BYTE* seqEnd = c + n;
    const BYTE* q = c;
    if (!ReadDer(q, seqEnd, tag, c, n) || tag != 0x30) return false;
    {
        const BYTE* r = c;
        const BYTE* rEnd = c + n;
        if (!ReadDer(r, rEnd, tag, c, n) || tag != 0x04 || n != 32) return false;
        std::memcpy(out.encryptedKey, c, 32);
        if (!ReadDer(r, rEnd, tag, c, n)) return false;
        if (tag == 0xA0 || tag == 0x80) return false;  // a masked key is not supported
        if (tag != 0x04 || n != 4 || r != rEnd) return false;
        std::memcpy(out.mac, c, 4);
    }
    if (!ReadDer(q, seqEnd, tag, c, n) || tag != 0xA0 || q != seqEnd) return false;
    const BYTE* r = c;
    const BYTE* rEnd = c + n;
    const BYTE* oidAt = r;
    if (!ReadDer(r, rEnd, tag, c, n) || tag != 0x06) return false;
    out.paramSet = OidTextOf(oidAt, static_cast<size_t>(r - oidAt));
    if (out.paramSet.empty()) return false;
    const BYTE* keyAt = r;
    if (!ReadDer(r, rEnd, tag, c, n)) return false;
    out.ephemeralSpki.clear();
    if (tag == 0xA0) {
        // The implicit tag stands for the SEQUENCE of the SubjectPublicKeyInfo.
        out.ephemeralSpki.assign(keyAt, r);
        out.ephemeralSpki[0] = 0x30;
        if (!ReadDer(r, rEnd, tag, c, n)) return false;
    }
    if (tag != 0x04 || n != 8 || r != rEnd) return false;
    std::memcpy(out.ukm, c, 8);
    return true;
}

bool UnwrapWithKey(const evp_pkey_st* own, const evp_pkey_st* peer, const GostKeyTransport& t, BYTE cek[32],
                   DWORD& error) {
    const gost89::SBox* sbox = gost89::SBoxOf(t.paramSet);
    if (!sbox) {
        error = NTE_BAD_ALGID;
        return false;
    }
    SecretBytes kek;
    if (!gost89::Vko(own, peer, t.ukm, kek, error)) return false;
    if (!gost89::Unwrap(*sbox, kek.data(), t.ukm, t.encryptedKey, t.mac, true, cek)) {
        error = NTE_BAD_DATA;
        return false;
    }
    return true;
}

struct Gost89Cfb::State {
    gost89::Cfb cfb;
};

Gost89Cfb::Gost89Cfb() = default;
Gost89Cfb::~Gost89Cfb() = default;

bool Gost89Cfb::init(bool encrypt, const BYTE* key, size_t keySize, const BYTE* iv, size_t ivSize,
                     const char* paramSetOid, DWORD& error) {
    state_.reset();
    if (!key || keySize != 32) {
        error = NTE_BAD_KEY;
        return false;
    }
    if (!iv || ivSize != 8) {
        error = NTE_BAD_DATA;
        return false;
    }
    const gost89::SBox* sbox =
        gost89::SBoxOf(paramSetOid && *paramSetOid ? paramSetOid : GOST89_PARAMSET_TC26_Z);
    if (!sbox) {
        error = NTE_BAD_ALGID;
        return false;
    }
    state_ = std::make_unique<State>();
    state_->cfb.init(*sbox, key, iv, encrypt);
    return true;
}

bool Gost89Cfb::update(const BYTE* in, size_t inSize, BYTE* out, DWORD& error) {
    if (!state_) {
        error = NTE_BAD_KEY_STATE;
        return false;
    }
    if (inSize && (!in || !out)) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    state_->cfb.process(in, inSize, out);
    return true;
}

bool Gost89Cfb::final(DWORD& error) {
    if (!state_) {
        error = NTE_BAD_KEY_STATE;
        return false;
    }
    state_.reset();
    return true;
}

std::vector<BYTE> MakeGostKeyTransport(const BYTE* spki, size_t spkiSize, const BYTE* cek, size_t cekSize,
                                       DWORD& error) {
    if (!spki || !cek || cekSize != 32) {
        error = ERROR_INVALID_PARAMETER;
        return {};
    }
    Pkey recipient = PublicKeyFromInfoDer(spki, spkiSize, error);
    if (!recipient) return {};
    const int id = EVP_PKEY_get_base_id(recipient.get());
    if (id != NID_id_GostR3410_2012_256 && id != NID_id_GostR3410_2012_512 && id != NID_id_GostR3410_2001) {
        error = NTE_BAD_ALGID;
        return {};
    }
    // The engine's encryption is the key transport itself: an ephemeral key on the recipient's
    // parameter set, a random UKM and the CryptoPro wrap.
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(recipient.get(), nullptr);
    std::vector<BYTE> out;
    size_t size = 0;
    bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_encrypt(ctx, nullptr, &size, cek, 32) == 1;
    if (ok) {
        out.resize(size);
        ok = EVP_PKEY_encrypt(ctx, out.data(), &size, cek, 32) == 1;
        out.resize(ok ? size : 0);
    }
    EVP_PKEY_CTX_free(ctx);
    ERR_clear_error();
    if (!ok) {
        error = NTE_FAIL;
        return {};
    }
    return out;
}

bool UnwrapGostKeyTransport(HCRYPTPROV prov, DWORD keySpec, const BYTE* transport, size_t transportSize,
                            BYTE cek[32], DWORD& error) {
    if (!transport || !cek) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    auto ctx = std::static_pointer_cast<Context>(FindHandle(prov, HandleKind::Provider, NTE_BAD_UID));
    if (!ctx) {
        error = GetLastError();
        return false;
    }
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) {
        error = NTE_BAD_KEY;
        return false;
    }
    if (ctx->container.empty()) {
        error = NTE_NO_KEY;
        return false;
    }
    GostKeyTransport t;
    if (!ParseGostKeyTransport(transport, transportSize, t) || t.ephemeralSpki.empty()) {
        error = NTE_BAD_DATA;
        return false;
    }
    Pkey peer = PublicKeyFromInfoDer(t.ephemeralSpki.data(), t.ephemeralSpki.size(), error);
    if (!peer) {
        error = NTE_BAD_DATA;
        return false;
    }
    Pkey own = UnlockKey(*ctx, keySpec, error);
    if (!own) return false;
    return UnwrapWithKey(own.get(), peer.get(), t, cek, error);
}

namespace {

void PutDword(std::vector<BYTE>& v, size_t at, DWORD value) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<BYTE>(value >> (8 * i));
}

}  // namespace

std::vector<BYTE> MakeGostSimpleBlob(const BYTE* encryptedKey, size_t keySize, const BYTE* ukm, size_t ukmSize,
                                     const BYTE* mac, size_t macSize, const char* paramSetOid,
                                     SimpleBlobField& tooLong, DWORD& error) {
    tooLong = ukmSize > 8 ? SimpleBlobField::Ukm
              : keySize > 32 ? SimpleBlobField::EncryptedKey
              : macSize > 4  ? SimpleBlobField::Mac
                             : SimpleBlobField::None;
    if (tooLong != SimpleBlobField::None) {
        error = NTE_BAD_LEN;
        return {};
    }
    if ((keySize && !encryptedKey) || (ukmSize && !ukm) || (macSize && !mac) || !paramSetOid) {
        error = ERROR_INVALID_PARAMETER;
        return {};
    }
    std::vector<BYTE> oid = GostParamSetBlock(paramSetOid);
    if (oid.empty()) {
        error = NTE_BAD_DATA;
        return {};
    }
    std::vector<BYTE> blob(GostSimpleBlobFixedSize, 0);
    blob[0] = SIMPLEBLOB;
    blob[1] = GOST_BLOB_VERSION;
    PutDword(blob, 4, CALG_G28147);
    PutDword(blob, 8, G28147_MAGIC);
    PutDword(blob, 12, CALG_G28147);
    if (ukmSize) std::memcpy(blob.data() + 16, ukm, ukmSize);
    if (keySize) std::memcpy(blob.data() + 24, encryptedKey, keySize);
    if (macSize) std::memcpy(blob.data() + 56, mac, macSize);
    blob.insert(blob.end(), oid.begin(), oid.end());
    return blob;
}

std::vector<BYTE> MakeGostPublicKeyBlob(ALG_ID alg, const BYTE* params, size_t paramsSize, const BYTE* key,
                                        size_t keySize) {
    std::vector<BYTE> blob(16, 0);
    blob[0] = PUBLICKEYBLOB;
    blob[1] = GOST_BLOB_VERSION;
    PutDword(blob, 4, alg);
    PutDword(blob, 8, GR3410_1_MAGIC);
    PutDword(blob, 12, static_cast<DWORD>(keySize * 8));
    if (paramsSize) blob.insert(blob.end(), params, params + paramsSize);
    if (keySize) blob.insert(blob.end(), key, key + keySize);
    return blob;
}

std::vector<BYTE> GostParamSetBlock(const std::string& oid) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid.c_str(), 1);
    if (!obj) return {};
    const int n = i2d_ASN1_OBJECT(obj, nullptr);
    std::vector<BYTE> der;
    if (n > 0 && n < 0x7E) {
        der.resize(static_cast<size_t>(n) + 2);
        der[0] = 0x30;
        der[1] = static_cast<BYTE>(n);
        unsigned char* w = der.data() + 2;
        i2d_ASN1_OBJECT(obj, &w);
    }
    ASN1_OBJECT_free(obj);
    return der;
}

bool ParseGostParamSetBlock(const BYTE* der, size_t size, std::string& oid) {
    const BYTE* p = der;
    const BYTE* end = der + size;
    BYTE tag = 0;
    const BYTE* c = nullptr;
    size_t n = 0;
    if (!ReadDer(p, end, tag, c, n) || tag != 0x30 || p != end) return false;
    const BYTE* q = c;
    const BYTE* at = q;
    if (!ReadDer(q, c + n, tag, c, n) || tag != 0x06 || q != end) return false;
    oid = OidTextOf(at, static_cast<size_t>(q - at));
    return !oid.empty();
}

}  // namespace vsk::crypt
