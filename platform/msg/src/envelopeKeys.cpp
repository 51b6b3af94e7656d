// GOST content cipher and key transport on OpenSSL with the GOST engine. The cipher is the engine's
// "gost89" (CFB with CryptoPro key meshing), set up from the Gost28147-89-Parameters exactly as the
// engine's own CMS code does; the key transport is the engine's EVP_PKEY_encrypt/decrypt, whose
// output and input are the DER of a GostR3410-KeyTransport.
#include "envelopeKeys.h"

#include "containerStore.h"
#include "cryptState.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

namespace vsk::msg {

namespace {

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

struct AsnTypeFree {
    void operator()(ASN1_TYPE* t) const { ASN1_TYPE_free(t); }
};

bool IsGostKeyOid(const std::string& oid) {
    return oid == szOID_CP_GOST_R3410 || oid == szOID_CP_GOST_R3410_12_256 ||
           oid == szOID_CP_GOST_R3410_12_512;
}

}  // namespace

ContentKey::ContentKey() {
    OPENSSL_cleanse(m_key, sizeof m_key);
}

ContentKey::~ContentKey() {
    OPENSSL_cleanse(m_key, sizeof m_key);
}

void CipherCtxFree::operator()(evp_cipher_ctx_st* ctx) const {
    EVP_CIPHER_CTX_free(ctx);
}

DWORD ContentCipher::start(const ContentKey& key, const Bytes& params, bool encrypt) {
    m_ctx.reset();
    LoadGostEngine();
    const EVP_CIPHER* cipher = EVP_get_cipherbyname("gost89");
    if (!cipher) return NTE_BAD_ALGID;
    const unsigned char* p = params.data();
    std::unique_ptr<ASN1_TYPE, AsnTypeFree> type(
        d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(params.size())));
    if (!type || p != params.data() + params.size() || type->type != V_ASN1_SEQUENCE)
        return CRYPT_E_ASN1_BADTAG;
    std::unique_ptr<evp_cipher_ctx_st, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    const int enc = encrypt ? 1 : 0;
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, enc) != 1) return NTE_FAIL;
    // The IV and the parameter set (S-boxes and meshing) come from the parameters.
    if (EVP_CIPHER_asn1_to_param(ctx.get(), type.get()) <= 0) return CRYPT_E_UNKNOWN_ALGO;
    if (EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nullptr, enc) != 1) return NTE_FAIL;
    m_ctx = std::move(ctx);
    return 0;
}

DWORD ContentCipher::update(const BYTE* in, size_t size, BYTE* out) {
    while (size) {
        const int piece = static_cast<int>(std::min<size_t>(size, 1u << 30));
        int written = 0;
        if (EVP_CipherUpdate(m_ctx.get(), out, &written, in, piece) != 1 || written != piece) return NTE_FAIL;
        in += piece;
        out += piece;
        size -= static_cast<size_t>(piece);
    }
    return 0;
}

DWORD NewContentParams(const std::string& paramSetOid, Bytes& params) {
    BYTE iv[GostIvBytes];
    if (RAND_bytes(iv, sizeof iv) != 1) return NTE_FAIL;
    Bytes contents;
    cert::PutTlv(contents, cert::TagOctetString, iv, sizeof iv);
    const Bytes oid = DerOid(paramSetOid);
    contents.insert(contents.end(), oid.begin(), oid.end());
    params = cert::MakeTlv(cert::TagSequence, contents);
    return 0;
}

DWORD NewContentKey(ContentKey& key) {
    return RAND_priv_bytes(key.data(), GostKeyBytes) == 1 ? 0 : NTE_FAIL;
}

DWORD MakeKeyTransport(const CERT_PUBLIC_KEY_INFO& recipient, const ContentKey& key, Bytes& transport) {
    if (!recipient.Algorithm.pszObjId || !IsGostKeyOid(recipient.Algorithm.pszObjId))
        return NTE_BAD_PUBLIC_KEY;
    LoadGostEngine();
    const Bytes spki = SpkiDer(recipient);
    const unsigned char* p = spki.data();
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> pub(
        d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())), EVP_PKEY_free);
    if (!pub) return NTE_BAD_PUBLIC_KEY;
    PkeyCtx ctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &size, key.data(), GostKeyBytes) != 1)
        return NTE_BAD_PUBLIC_KEY;
    transport.resize(size);
    if (EVP_PKEY_encrypt(ctx.get(), transport.data(), &size, key.data(), GostKeyBytes) != 1) return NTE_FAIL;
    transport.resize(size);
    return 0;
}

DWORD UnwrapKeyTransport(HCRYPTPROV prov, DWORD keySpec, const Bytes& transport, ContentKey& key) {
    auto ctx = crypt::FindContext(prov);
    if (!ctx) return GetLastError();
    if (ctx->container.empty()) return NTE_NO_KEY;
    DWORD error = 0;
    crypt::Pkey pair = crypt::UnlockKey(*ctx, keySpec, error);
    if (!pair) return error;
    const int id = EVP_PKEY_get_base_id(pair.get());
    if (id != NID_id_GostR3410_2001 && id != NID_id_GostR3410_2012_256 && id != NID_id_GostR3410_2012_512)
        return NTE_BAD_KEY;
    // The transport must be one DER element before the engine reads it.
    cert::Tlv whole;
    if (!cert::ReadSingle(transport.data(), transport.size(), whole) || whole.tag != cert::TagSequence)
        return CRYPT_E_ASN1_BADTAG;
    PkeyCtx pctx(EVP_PKEY_CTX_new(pair.get(), nullptr));
    if (!pctx || EVP_PKEY_decrypt_init(pctx.get()) != 1) return NTE_FAIL;
    BYTE out[64];
    size_t size = sizeof out;
    const int ok = EVP_PKEY_decrypt(pctx.get(), out, &size, transport.data(), transport.size());
    DWORD result = 0;
    if (ok != 1 || size != GostKeyBytes)
        result = NTE_BAD_DATA;  // another key's transport (its MAC does not check), or damaged
    else
        std::memcpy(key.data(), out, GostKeyBytes);
    OPENSSL_cleanse(out, sizeof out);
    return result;
}

}  // namespace vsk::msg
