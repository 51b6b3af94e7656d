// The one DER reader and writer of the certificate area: elements, OBJECT IDENTIFIERs and times, for
// certificate and CRL contexts, names and the structures of CryptDecodeObjectEx. The rules are
// written here once (derTest.cpp holds a row for each):
//  - an element has a definite length of at most four length octets (indefinite lengths are BER);
//    a high tag number takes at most four octets and keeps 0x1F in `tag`, so it never equals a low
//    tag;
//  - an OBJECT IDENTIFIER has at least one subidentifier, none padded with a leading 0x80, the last
//    one ended; every arc must fit in 64 bits (the first subidentifier too, which holds 2.x arcs);
//  - a time is UTCTime (YYMMDDHHMM[SS]Z, years 1950-2049) or GeneralizedTime
//    (YYYYMMDDHHMM[SS[.f]]Z, up to seven fraction digits, years from 1601): always in UTC ("Z"), as
//    RFC 5280 wants of certificates and CRLs; a local time or an offset such as "+0300" is refused.
#pragma once

#include <vsk/platform/cert.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vsk::cert {

using Bytes = std::vector<BYTE>;

// Universal tags used here.
enum : BYTE {
    TagBoolean = 0x01,
    TagInteger = 0x02,
    TagBitString = 0x03,
    TagOctetString = 0x04,
    TagNull = 0x05,
    TagOid = 0x06,
    TagUtf8String = 0x0C,
    TagNumericString = 0x12,
    TagPrintableString = 0x13,
    TagT61String = 0x14,
    TagVideotexString = 0x15,
    TagIa5String = 0x16,
    TagUtcTime = 0x17,
    TagGeneralizedTime = 0x18,
    TagGraphicString = 0x19,
    TagVisibleString = 0x1A,
    TagGeneralString = 0x1B,
    TagUniversalString = 0x1C,
    TagBmpString = 0x1E,
    TagSequence = 0x30,
    TagSet = 0x31,
};

// One element: `tag` is the first identifier octet; `whole` spans identifier, length and contents.
struct Tlv {
    BYTE tag = 0;
    const BYTE* contents = nullptr;
    size_t length = 0;
    const BYTE* whole = nullptr;
    size_t wholeLength = 0;
    bool constructed() const { return tag & 0x20; }
};

// Reads the elements of a bounded range one after the other. A failure sets error() and makes every
// later read fail.
class DerReader {
public:
    DerReader(const BYTE* data, size_t size) : m_pos(data), m_end(data + size) {}
    explicit DerReader(const Tlv& constructed) : DerReader(constructed.contents, constructed.length) {}
    bool atEnd() const { return m_pos == m_end; }
    // The next identifier octet; 0 at the end.
    BYTE peekTag() const { return m_pos < m_end ? *m_pos : 0; }
    // Any element; false at the end (no failure) or on malformed data (failed()).
    bool next(Tlv& out);
    // The next element must be there and carry `tag`.
    bool expect(BYTE tag, Tlv& out);
    // The element when the next tag is `tag`; false without failure when it is not.
    bool optional(BYTE tag, Tlv& out);
    bool failed() const { return m_code != 0; }
    // What went wrong: CRYPT_E_ASN1_EOD (the data ends inside an element, or an expected element is
    // missing), CRYPT_E_ASN1_BADTAG (another element than the one expected) or CRYPT_E_ASN1_CORRUPT;
    // CRYPT_E_ASN1_EOD when nothing failed.
    DWORD error() const { return m_code ? m_code : CRYPT_E_ASN1_EOD; }
    // Fails the reader with `code` (a check of the caller's); false.
    bool fail(DWORD code);

private:
    const BYTE* m_pos;
    const BYTE* m_end;
    DWORD m_code = 0;
};

// Exactly one element covering the whole input.
bool ReadSingle(const BYTE* data, size_t size, Tlv& out);

void PutLength(Bytes& out, size_t length);
void PutTlv(Bytes& out, BYTE tag, const BYTE* contents, size_t length);
inline void PutTlv(Bytes& out, BYTE tag, const Bytes& contents) {
    PutTlv(out, tag, contents.data(), contents.size());
}
Bytes MakeTlv(BYTE tag, const Bytes& contents);

// Dotted text <-> contents octets of an OBJECT IDENTIFIER. False for a malformed OID.
bool OidToDer(const std::string& dotted, Bytes& out);
bool OidFromDer(const BYTE* data, size_t size, std::string& out);
// A dotted OID text: digits and single dots, at least two arcs, neither end a dot.
bool LooksLikeOid(const std::u16string& text);

// A UTCTime or GeneralizedTime element (the tag tells which) to FILETIME. False for any other tag or
// malformed text.
bool TimeFromDer(BYTE tag, const BYTE* data, size_t size, FILETIME& out);
inline bool TimeFromDer(const Tlv& time, FILETIME& out) {
    return TimeFromDer(time.tag, time.contents, time.length, out);
}
// UTCTime for the years 1950-2049, GeneralizedTime otherwise (whole seconds). False when the
// FILETIME is out of range.
bool TimeToDer(const FILETIME& time, Bytes& out);

}  // namespace vsk::cert
