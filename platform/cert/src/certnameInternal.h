// Shared inside the names, encoding and OID-registration sources: the in-memory form of an X.501 Name, value
// texts, the X.500 key table and the builder of the one-block structures that CryptDecodeObjectEx hands out.
#pragma once

#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>

#include "der.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vsk::cert {

// ---- Texts ------------------------------------------------------------------------------------------

// UTF-8 <-> UTF-16: the kernel's codec (vsk/platform/utf8.h).
using vsk::kernel::Utf16ToUtf8;
using vsk::kernel::Utf8ToUtf16;
// Bytes as ISO 8859-1 characters.
std::u16string Latin1ToUtf16(const BYTE* data, size_t size);

// ---- Names ------------------------------------------------------------------------------------------

// One AttributeTypeAndValue. For the string types `value` holds the string's contents octets as
// encoded; for CERT_RDN_ENCODED_BLOB the value's whole DER element.
struct NameAttr {
    std::string oid;
    DWORD type = CERT_RDN_ENCODED_BLOB;
    Bytes value;
};
// One RelativeDistinguishedName: every AttributeTypeAndValue of the SET, in encoded order.
using NameRdn = std::vector<NameAttr>;
using Name = std::vector<NameRdn>;

// 0 or a CRYPT_E_ASN1_* code. Each RDN must be a non-empty SET of two-element SEQUENCEs led by an OID.
DWORD DecodeName(const BYTE* data, size_t size, Name& out);
// The values of an RDN stay in the order given (no DER sorting), so a Name read and written again
// keeps its bytes.
Bytes EncodeName(const Name& name);

DWORD RdnTypeFromTag(BYTE tag);
BYTE TagFromRdnType(DWORD type);  // 0 for types that have no string tag
bool IsStringRdnType(DWORD type);

// The value as text; false when it is not a character string (octet string, other ASN.1 types,
// BMP or universal strings of a broken length). T61 is read as UTF-8 when it is valid UTF-8, else
// as ISO 8859-1.
bool ValueText(const NameAttr& attr, std::u16string& out);

// Character sets of the restricted string types.
bool FitsNumeric(const std::u16string& text);
bool FitsPrintable(const std::u16string& text);
bool FitsIa5(const std::u16string& text);
// The contents octets of `text` as a string of `type`; false when the text does not fit the type.
bool EncodeTextValue(const std::u16string& text, DWORD type, Bytes& out);

// The value types the OID information allows for an RDN attribute (the ExtraInfo DWORD list of group
// 5, up to its 0); empty when there is no list.
std::vector<DWORD> AllowedValueTypes(const std::string& oid);
// The type StrToName-style encoding picks for `text`: the first allowed type the text fits; without a
// list PrintableString when it fits, else UTF8String. 0 when the text fits none of the allowed types.
DWORD ChooseValueType(const std::string& oid, const std::u16string& text);

// The X.500 keys of CertNameToStrW and CertStrToNameW: `key` is the name written, aliases are only
// read. A null oid ends the table.
struct X500Key {
    const char16_t* key;
    const char* oid;
    bool primary;  // the name written for the OID
};
const X500Key* X500Keys();
// The key written for an OID: the table's, else the RDN-group OID information's name; null for none.
const char16_t* KeyForOid(const std::string& oid);
// The OID of a key read: the table (case-insensitive), "OID."-prefixed or plain dotted OIDs, and
// registered RDN names. Empty when unknown.
std::string OidForKey(const std::u16string& key);

// ---- OID information ------------------------------------------------------------------------------

// Loads the machine's OID registrations (and the X.500 key entries) into the OID information table
// once per process. Cheap after the first call.
void EnsureOidInfoLoaded();

// ---- One-block results ---------------------------------------------------------------------------

// Lays out a structure and everything it points to in one block. Run a builder twice: first with a
// measuring arena (allocations come from scratch memory and only the size counts), then with the
// real block, which the same allocation sequence fills exactly.
class Arena {
public:
    Arena() = default;  // measuring
    Arena(BYTE* block, size_t size) : m_block(block), m_size(size) {}
    void* alloc(size_t bytes, size_t align = alignof(std::max_align_t));
    template <class T>
    T* array(size_t count) {
        return static_cast<T*>(alloc(sizeof(T) * (count ? count : 1), alignof(T)));
    }
    LPSTR str(const std::string& s);
    LPWSTR wstr(const std::u16string& s);
    BYTE* bytes(const Bytes& b);
    size_t used() const { return m_used; }

private:
    BYTE* m_block = nullptr;
    size_t m_size = 0;
    size_t m_used = 0;
    std::vector<std::unique_ptr<BYTE[]>> m_scratch;
};

// Hands the built structure to the caller with the decoding conventions: CRYPT_DECODE_ALLOC_FLAG
// (LocalAlloc, or the para's allocator; *out receives the pointer), the size query with a null
// `out`, ERROR_MORE_DATA for a small buffer. `build` fills an arena, its first allocation being the
// structure itself.
template <class Build>
BOOL DeliverBlock(Build&& build, DWORD flags, const CRYPT_DECODE_PARA* para, void* out, DWORD* outLen) {
    if (!outLen) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Arena measure;
    build(measure);
    const size_t size = measure.used();
    if (size > 0xFFFFFFFFu) {
        SetLastError(CRYPT_E_ASN1_LARGE);
        return FALSE;
    }
    BYTE* block = nullptr;
    if (flags & CRYPT_DECODE_ALLOC_FLAG) {
        if (!out) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        block = static_cast<BYTE*>(para && para->pfnAlloc ? para->pfnAlloc(size)
                                                          : LocalAlloc(LMEM_ZEROINIT, size));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        std::memset(block, 0, size);
        *static_cast<void**>(out) = block;
    } else {
        if (!out) {
            *outLen = static_cast<DWORD>(size);
            return TRUE;
        }
        if (*outLen < size) {
            *outLen = static_cast<DWORD>(size);
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        block = static_cast<BYTE*>(out);
        std::memset(block, 0, size);
    }
    Arena fill(block, size);
    build(fill);
    *outLen = static_cast<DWORD>(size);
    return TRUE;
}

}  // namespace vsk::cert
