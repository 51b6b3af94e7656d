// CRL contexts: decoding into CRL_INFO, reference counts, and looking a certificate up in a CRL.
#include "certImpl.h"

#include <vsk/platform/kernel.h>

#include <cstring>
#include <memory>

namespace VskCert {

namespace {

// Large CRLs exist (hundreds of thousands of entries), but not beyond this.
constexpr size_t kMaxCrlSize = 256 * 1024 * 1024;

bool decodeAlgorithm(DerReader& reader, std::deque<std::string>& oids, CRYPT_ALGORITHM_IDENTIFIER& alg,
                     DWORD& error) {
    DerReader::Tlv seq, oid, params;
    if (!reader.read(seq, 0x30)) return error = reader.error, false;
    DerReader inner = seq.reader();
    if (!inner.read(oid, 0x06)) return error = inner.error, false;
    std::string dotted;
    if (!DecodeOid(oid.body, oid.bodySize, dotted)) return error = CRYPT_E_ASN1_CORRUPT, false;
    oids.push_back(std::move(dotted));
    alg.pszObjId = oids.back().data();
    alg.Parameters = {};
    if (!inner.atEnd()) {
        if (!inner.read(params)) return error = inner.error, false;
        alg.Parameters = {static_cast<DWORD>(params.wholeSize), const_cast<BYTE*>(params.whole)};
    }
    if (!inner.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
    return true;
}

bool isTime(BYTE tag) {
    return tag == 0x17 || tag == 0x18;
}

}  // namespace

CrlCtx* DecodeCrl(const BYTE* der, size_t size, DWORD& error) {
    if (!der || size == 0) {
        error = CRYPT_E_ASN1_EOD;
        return nullptr;
    }
    if (size > kMaxCrlSize) {
        error = CRYPT_E_ASN1_LARGE;
        return nullptr;
    }
    auto crl = std::make_unique<CrlCtx>();
    crl->state.der.assign(der, der + size);
    CRL_INFO& info = crl->info;
    error = 0;

    DerReader top(crl->state.der.data(), size);
    DerReader::Tlv whole, tbs, tlv;
    if (!top.read(whole, 0x30)) return error = top.error, nullptr;
    if (!top.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    DerReader outer = whole.reader();
    if (!outer.read(tbs, 0x30)) return error = outer.error, nullptr;
    DerReader r = tbs.reader();

    info.dwVersion = CRL_V1;
    if (r.readOptional(tlv, 0x02)) {
        if (tlv.bodySize != 1 || tlv.body[0] > CRL_V2) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
        info.dwVersion = tlv.body[0];
    }
    if (!decodeAlgorithm(r, crl->oids, info.SignatureAlgorithm, error)) return nullptr;
    if (!r.read(tlv, 0x30)) return error = r.error, nullptr;
    info.Issuer = {static_cast<DWORD>(tlv.wholeSize), const_cast<BYTE*>(tlv.whole)};
    if (!r.read(tlv) || !DecodeTime(tlv, info.ThisUpdate))
        return error = r.error ? r.error : CRYPT_E_ASN1_CORRUPT, nullptr;
    if (isTime(r.peekTag())) {
        if (!r.read(tlv) || !DecodeTime(tlv, info.NextUpdate)) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    }
    if (r.readOptional(tlv, 0x30)) {
        DerReader list = tlv.reader();
        while (!list.atEnd()) {
            DerReader::Tlv entry, serial, date;
            if (!list.read(entry, 0x30)) return error = list.error, nullptr;
            DerReader fields = entry.reader();
            if (!fields.read(serial, 0x02) || serial.bodySize == 0 || !fields.read(date) ||
                !DecodeTime(date, crl->entries.emplace_back().RevocationDate))
                return error = fields.error ? fields.error : CRYPT_E_ASN1_CORRUPT, nullptr;
            Bytes& le = crl->serials.emplace_back(std::reverse_iterator(serial.body + serial.bodySize),
                                                  std::reverse_iterator(serial.body));
            CRL_ENTRY& e = crl->entries.back();
            e.SerialNumber = {static_cast<DWORD>(le.size()), le.data()};
            auto& extensions = crl->entryExtensions.emplace_back();
            if (!fields.atEnd()) {
                if (!DecodeExtensions(fields, crl->oids, extensions, error)) return nullptr;
                if (!fields.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
            }
        }
    }
    if (r.readOptional(tlv, 0xA0)) {
        DerReader er = tlv.reader();
        if (!DecodeExtensions(er, crl->oids, crl->extensions, error)) return nullptr;
        if (!er.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    }
    if (r.failed()) return error = r.error, nullptr;
    if (!r.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;

    CRYPT_ALGORITHM_IDENTIFIER sigAlg{};
    std::deque<std::string> scratch;
    if (!decodeAlgorithm(outer, scratch, sigAlg, error)) return nullptr;
    if (!outer.read(tlv, 0x03) || !outer.atEnd())
        return error = outer.error ? outer.error : CRYPT_E_ASN1_CORRUPT, nullptr;

    for (size_t i = 0; i < crl->entries.size(); ++i) {
        auto& extensions = crl->entryExtensions[i];
        crl->entries[i].cExtension = static_cast<DWORD>(extensions.size());
        crl->entries[i].rgExtension = extensions.empty() ? nullptr : extensions.data();
    }
    info.cCRLEntry = static_cast<DWORD>(crl->entries.size());
    info.rgCRLEntry = crl->entries.empty() ? nullptr : crl->entries.data();
    info.cExtension = static_cast<DWORD>(crl->extensions.size());
    info.rgExtension = crl->extensions.empty() ? nullptr : crl->extensions.data();
    for (const CERT_EXTENSION& e : crl->extensions)
        if (std::strcmp(e.pszObjId, szOID_DELTA_CRL_INDICATOR) == 0) crl->isDelta = true;

    crl->pub.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    crl->pub.pbCrlEncoded = crl->state.der.data();
    crl->pub.cbCrlEncoded = static_cast<DWORD>(size);
    crl->pub.pCrlInfo = &crl->info;
    return crl.release();
}

CrlCtx* AsCrl(PCCRL_CONTEXT crl) {
    if (!crl) return nullptr;
    auto* ctx = reinterpret_cast<CrlCtx*>(const_cast<CRL_CONTEXT*>(crl));
    return ctx->magic == kCrlMagic ? ctx : nullptr;
}

}  // namespace VskCert

using namespace VskCert;

PCCRL_CONTEXT CertCreateCRLContext(DWORD, const BYTE* encoded, DWORD encodedLen) {
    DWORD error = 0;
    CrlCtx* crl = DecodeCrl(encoded, encodedLen, error);
    if (!crl) {
        SetLastError(error);
        return nullptr;
    }
    std::lock_guard guard(Lock());
    Store* own = NewStore(StoreKind::Memory);
    Attach(own, crl, false);
    Reference(crl->state);
    return &crl->pub;
}

PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT crl) {
    CrlCtx* ctx = AsCrl(crl);
    if (!ctx) return nullptr;
    std::lock_guard guard(Lock());
    Reference(ctx->state);
    return crl;
}

BOOL CertFreeCRLContext(PCCRL_CONTEXT crl) {
    CrlCtx* ctx = AsCrl(crl);
    if (!ctx) return TRUE;
    std::lock_guard guard(Lock());
    Unreference(ctx);
    return TRUE;
}

BOOL CertFindCertificateInCRL(PCCERT_CONTEXT cert, PCCRL_CONTEXT crl, DWORD, void*, PCRL_ENTRY* entry) {
    CertCtx* c = AsCert(cert);
    CrlCtx* l = AsCrl(crl);
    if (!c || !l || !entry) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    *entry = nullptr;
    // A serial number is unique only per issuer: another issuer's CRL says nothing about this
    // certificate.
    if (!SameBlobs(c->info.Issuer, l->info.Issuer)) return TRUE;
    for (CRL_ENTRY& e : l->entries) {
        if (SameIntegers(e.SerialNumber, c->info.SerialNumber)) {
            *entry = &e;
            break;
        }
    }
    return TRUE;
}
