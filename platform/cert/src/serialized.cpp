// The serialized-store format (".store" blobs and the system stores' element files), byte-compatible
// with the Windows one: the header 00 00 00 00 "CERT", then elements {u32 id, u32 encoding type,
// u32 length, value}, each certificate or CRL preceded by its properties, and a 12-byte zero end
// marker. The input is untrusted: every length is checked against what is left, and hash properties
// are never read from it.
#include "certImpl.h"

#include <vsk/platform/kernel.h>

#include <cstring>

namespace vsk::cert {

namespace {

// Far above any real store file, low enough that a forged size cannot exhaust memory.
constexpr size_t kMaxSerializedStoreSize = 64 * 1024 * 1024;
constexpr size_t kElementHeaderSize = 12;
constexpr size_t kKeyProvInfoFixedSize = 28;
constexpr size_t kKeyProvParamSize = 16;

DWORD readU32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void putU32(Bytes& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

void setU32(Bytes& out, size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(v >> (8 * i));
}

// The length in bytes of a NUL-terminated UTF-16LE text starting at `offset`, NUL included; 0 when
// there is no NUL before the end.
size_t textLength(const Bytes& value, size_t offset) {
    for (size_t i = offset; i + 1 < value.size(); i += 2)
        if (value[i] == 0 && value[i + 1] == 0) return i + 2 - offset;
    return 0;
}

size_t align(size_t v, size_t a) {
    return (v + a - 1) / a * a;
}

}  // namespace

bool KeyProvInfoValid(const Bytes& value) {
    const size_t size = value.size();
    if (size < kKeyProvInfoFixedSize || size > 0xFFFFFFFFu) return false;
    const BYTE* p = value.data();
    const DWORD offContainer = readU32(p), offProv = readU32(p + 4), count = readU32(p + 16),
                offParams = readU32(p + 20);
    for (DWORD off : {offContainer, offProv}) {
        if (off == 0) continue;
        if (off < kKeyProvInfoFixedSize || off >= size || textLength(value, off) == 0) return false;
    }
    if (count == 0) return true;
    if (count > size / kKeyProvParamSize || offParams < kKeyProvInfoFixedSize ||
        static_cast<uint64_t>(offParams) + uint64_t{count} * kKeyProvParamSize > size)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        const BYTE* r = p + offParams + i * kKeyProvParamSize;
        const DWORD offData = readU32(r + 4), cbData = readU32(r + 8);
        if (cbData == 0) continue;
        if (offData < kKeyProvInfoFixedSize || static_cast<uint64_t>(offData) + cbData > size) return false;
    }
    return true;
}

Bytes KeyProvInfoToFile(const CRYPT_KEY_PROV_INFO& info) {
    Bytes out(kKeyProvInfoFixedSize, 0);
    setU32(out, 8, info.dwProvType);
    setU32(out, 12, info.dwFlags);
    setU32(out, 24, info.dwKeySpec);
    const DWORD count = info.rgProvParam ? info.cProvParam : 0;
    setU32(out, 16, count);
    if (count) {
        setU32(out, 20, static_cast<DWORD>(out.size()));
        const size_t records = out.size();
        out.resize(records + count * kKeyProvParamSize, 0);
        for (DWORD i = 0; i < count; ++i) {
            const CRYPT_KEY_PROV_PARAM& param = info.rgProvParam[i];
            const size_t at = records + i * kKeyProvParamSize;
            const DWORD cb = param.pbData ? param.cbData : 0;
            setU32(out, at, param.dwParam);
            setU32(out, at + 4, cb ? static_cast<DWORD>(out.size()) : 0);
            setU32(out, at + 8, cb);
            setU32(out, at + 12, param.dwFlags);
            if (cb) out.insert(out.end(), param.pbData, param.pbData + cb);
        }
    }
    auto text = [&](LPCWSTR s, size_t at) {
        if (!s) return;
        setU32(out, at, static_cast<DWORD>(out.size()));
        for (; *s; ++s) {
            out.push_back(static_cast<BYTE>(*s));
            out.push_back(static_cast<BYTE>(*s >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    };
    // The texts start on an even offset, as UTF-16 wants.
    if (out.size() % 2) out.push_back(0);
    text(info.pwszContainerName, 0);
    text(info.pwszProvName, 4);
    return out;
}

DWORD KeyProvInfoFromFile(const Bytes& value, BYTE* buffer) {
    const BYTE* p = value.data();
    const DWORD offContainer = readU32(p), offProv = readU32(p + 4), count = readU32(p + 16),
                offParams = readU32(p + 20);
    size_t size = align(sizeof(CRYPT_KEY_PROV_INFO), 8);
    const size_t paramsAt = size;
    size += count * sizeof(CRYPT_KEY_PROV_PARAM);
    std::vector<size_t> dataAt(count);
    for (DWORD i = 0; i < count; ++i) {
        dataAt[i] = size;
        size += align(readU32(p + offParams + i * kKeyProvParamSize + 8), 8);
    }
    const size_t containerAt = size;
    const size_t containerLen = offContainer ? textLength(value, offContainer) : 0;
    size += containerLen;
    const size_t provAt = size;
    const size_t provLen = offProv ? textLength(value, offProv) : 0;
    size += provLen;
    if (!buffer) return static_cast<DWORD>(size);

    std::memset(buffer, 0, size);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer);
    info->dwProvType = readU32(p + 8);
    info->dwFlags = readU32(p + 12);
    info->dwKeySpec = readU32(p + 24);
    info->cProvParam = count;
    if (count) {
        info->rgProvParam = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(buffer + paramsAt);
        for (DWORD i = 0; i < count; ++i) {
            const BYTE* r = p + offParams + i * kKeyProvParamSize;
            CRYPT_KEY_PROV_PARAM& param = info->rgProvParam[i];
            param.dwParam = readU32(r);
            param.cbData = readU32(r + 8);
            param.dwFlags = readU32(r + 12);
            if (param.cbData) {
                param.pbData = buffer + dataAt[i];
                std::memcpy(param.pbData, p + readU32(r + 4), param.cbData);
            }
        }
    }
    if (containerLen) {
        std::memcpy(buffer + containerAt, p + offContainer, containerLen);
        info->pwszContainerName = reinterpret_cast<LPWSTR>(buffer + containerAt);
    }
    if (provLen) {
        std::memcpy(buffer + provAt, p + offProv, provLen);
        info->pwszProvName = reinterpret_cast<LPWSTR>(buffer + provAt);
    }
    return static_cast<DWORD>(size);
}

bool ParseElements(const BYTE* data, size_t size, bool allowEnd, std::vector<ParsedElement>& out) {
    std::map<DWORD, Bytes> pending;
    bool pendingAny = false;
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < kElementHeaderSize) return false;
        const DWORD id = readU32(data + pos), encoding = readU32(data + pos + 4),
                    len = readU32(data + pos + 8);
        pos += kElementHeaderSize;
        if (id == 0) {
            // The end marker: nothing may be pending or follow it.
            return allowEnd && encoding == 0 && len == 0 && !pendingAny && pos == size;
        }
        if (len > size - pos) return false;
        const BYTE* value = data + pos;
        pos += len;
        if (id == kCertElementId || id == kCrlElementId) {
            if (len == 0 || (encoding & X509_ASN_ENCODING) == 0) return false;
            ParsedElement element;
            element.id = id;
            element.der = value;
            element.derSize = len;
            element.props = std::move(pending);
            out.push_back(std::move(element));
            pending.clear();
            pendingAny = false;
        } else if (id == kCtlElementId) {
            // Certificate trust lists are not kept; their properties go with them.
            pending.clear();
            pendingAny = false;
        } else if (id > CERT_LAST_USER_PROP_ID) {
            return false;
        } else {
            pendingAny = true;
            if (IsComputedProperty(id)) continue;
            Bytes bytes(value, value + len);
            if (id == CERT_KEY_PROV_INFO_PROP_ID && !KeyProvInfoValid(bytes)) return false;
            pending[id] = std::move(bytes);
        }
    }
    return !pendingAny;
}

bool ParseSerializedStore(const BYTE* data, size_t size, std::vector<ParsedElement>& out) {
    static const BYTE header[8] = {0, 0, 0, 0, 0x43, 0x45, 0x52, 0x54};
    if (size < sizeof header || size > kMaxSerializedStoreSize ||
        std::memcmp(data, header, sizeof header) != 0)
        return false;
    return ParseElements(data + sizeof header, size - sizeof header, true, out);
}

void AppendElement(Bytes& out, DWORD elementId, const ElementState& state) {
    for (const auto& [id, value] : state.props) {
        if (IsComputedProperty(id)) continue;
        putU32(out, id);
        putU32(out, X509_ASN_ENCODING);
        putU32(out, static_cast<DWORD>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    }
    putU32(out, elementId);
    putU32(out, X509_ASN_ENCODING);
    putU32(out, static_cast<DWORD>(state.der.size()));
    out.insert(out.end(), state.der.begin(), state.der.end());
}

bool LoadElements(Store* store, const std::vector<ParsedElement>& elements, DWORD& error) {
    for (const ParsedElement& e : elements) {
        if (e.id == kCertElementId) {
            CertCtx* cert = DecodeCertificate(e.der, e.derSize, error);
            if (!cert) return false;
            cert->state.props = e.props;
            Attach(store, cert, false);
        } else {
            CrlCtx* crl = DecodeCrl(e.der, e.derSize, error);
            if (!crl) return false;
            crl->state.props = e.props;
            Attach(store, crl, false);
        }
    }
    return true;
}

}  // namespace vsk::cert
