// CRL contexts: decoding into CRL_INFO, reference counts, and looking a certificate up in a CRL.
#include "certImpl.h"

#include <vsk/platform/kernel.h>

#include <cstring>
#include <memory>

namespace vsk::cert {

namespace {

// Large CRLs exist (hundreds of thousands of entries), but not beyond this.
constexpr size_t kMaxCrlSize = 256 * 1024 * 1024;

bool isTime(BYTE tag) {
    return tag == TagUtcTime || tag == TagGeneralizedTime;
}

}  // namespace

CrlCtx* DecodeCrl(const BYTE* der, size_t size, DWORD& error) {
    auto crl = std::make_unique<CrlCtx>();
    Tlv tbs, tlv;
    if (!ReadSigned(der, size, kMaxCrlSize, crl->state, tbs, crl->ownOids, error)) return nullptr;
    const DecodeFailure failed{error};
    CRL_INFO& info = crl->info;
    DerReader r(tbs);

    info.dwVersion = CRL_V1;
    if (r.optional(TagInteger, tlv)) {
        if (tlv.length != 1 || tlv.contents[0] > CRL_V2) return failed.corrupt();
        info.dwVersion = tlv.contents[0];
    }
    if (!DecodeAlgorithm(r, info.SignatureAlgorithm, crl->ownOids, error)) return nullptr;
    if (!r.expect(TagSequence, tlv)) return failed(r);
    info.Issuer = {static_cast<DWORD>(tlv.wholeLength), const_cast<BYTE*>(tlv.whole)};
    if (!r.next(tlv)) return r.failed() ? failed(r) : failed.corrupt();
    if (!TimeFromDer(tlv, info.ThisUpdate)) return failed.corrupt();
    if (isTime(r.peekTag()) && (!r.next(tlv) || !TimeFromDer(tlv, info.NextUpdate))) return failed.corrupt();

    // Entry serial numbers and extensions are gathered in one buffer each; the entries point into
    // them once every entry is read.
    struct EntryPlace {
        size_t serialAt, serialSize, extensionsAt, extensionCount;
    };
    std::vector<EntryPlace> places;
    if (r.optional(TagSequence, tlv)) {
        DerReader list(tlv);
        Tlv entry;
        while (list.next(entry)) {
            Tlv serial, date;
            if (entry.tag != TagSequence) return error = CRYPT_E_ASN1_BADTAG, nullptr;
            DerReader fields(entry);
            CRL_ENTRY& e = crl->entries.emplace_back();
            if (!fields.expect(TagInteger, serial) || serial.length == 0 || !fields.next(date) ||
                !TimeFromDer(date, e.RevocationDate))
                return fields.failed() ? failed(fields) : failed.corrupt();
            EntryPlace place{crl->serials.size(), serial.length, crl->entryExtensions.size(), 0};
            crl->serials.insert(crl->serials.end(), std::reverse_iterator(serial.contents + serial.length),
                                std::reverse_iterator(serial.contents));
            if (!fields.atEnd()) {
                if (!DecodeExtensions(fields, crl->entryExtensions, crl->ownOids, error)) return nullptr;
                if (!fields.atEnd()) return failed.corrupt();
            }
            place.extensionCount = crl->entryExtensions.size() - place.extensionsAt;
            places.push_back(place);
        }
        if (list.failed()) return failed(list);
    }
    if (r.optional(0xA0, tlv)) {
        DerReader er(tlv);
        if (!DecodeExtensions(er, crl->extensions, crl->ownOids, error)) return nullptr;
        if (!er.atEnd()) return failed.corrupt();
    }
    if (r.failed()) return failed(r);
    if (!r.atEnd()) return failed.corrupt();

    for (size_t i = 0; i < crl->entries.size(); ++i) {
        CRL_ENTRY& e = crl->entries[i];
        const EntryPlace& place = places[i];
        e.SerialNumber = {static_cast<DWORD>(place.serialSize), crl->serials.data() + place.serialAt};
        e.cExtension = static_cast<DWORD>(place.extensionCount);
        e.rgExtension = place.extensionCount ? crl->entryExtensions.data() + place.extensionsAt : nullptr;
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

}  // namespace vsk::cert

using namespace vsk::cert;

PCCRL_CONTEXT CertCreateCRLContext(DWORD, const BYTE* encoded, DWORD encodedLen) {
    DWORD error = 0;
    CrlCtx* ctx = DecodeCrl(encoded, encodedLen, error);
    return NewContext(ctx, error);
}

PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT crl) {
    return DuplicateContext(AsCrl(crl)) ? crl : nullptr;
}

BOOL CertFreeCRLContext(PCCRL_CONTEXT crl) {
    FreeContext(AsCrl(crl));
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
