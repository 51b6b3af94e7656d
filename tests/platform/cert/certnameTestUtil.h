// DER builders for the name and encoding tests, written independently of the code under test.
#pragma once

#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace certname_test {

using Bytes = std::vector<BYTE>;

inline Bytes Der(BYTE tag, const Bytes& contents) {
    Bytes out{tag};
    const size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<BYTE>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<BYTE>(n >> 8));
        out.push_back(static_cast<BYTE>(n));
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Oid(const std::string& dotted) {
    std::vector<unsigned long long> arcs;
    for (size_t start = 0;;) {
        const size_t dot = dotted.find('.', start);
        arcs.push_back(std::strtoull(dotted.substr(start, dot - start).c_str(), nullptr, 10));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    Bytes body;
    auto put = [&body](unsigned long long v) {
        Bytes groups;
        do {
            groups.insert(groups.begin(), static_cast<BYTE>((v & 0x7F) | (groups.empty() ? 0 : 0x80)));
            v >>= 7;
        } while (v);
        body.insert(body.end(), groups.begin(), groups.end());
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return Der(0x06, body);
}

inline Bytes Text(const char* ascii) {
    return Bytes(ascii, ascii + std::char_traits<char>::length(ascii));
}
inline Bytes Utf8(const char8_t* text) {
    return Bytes(text, text + std::char_traits<char8_t>::length(text));
}
inline Bytes BmpBE(const char16_t* text) {
    Bytes out;
    for (; *text; ++text) {
        out.push_back(static_cast<BYTE>(*text >> 8));
        out.push_back(static_cast<BYTE>(*text));
    }
    return out;
}

// AttributeTypeAndValue with a value of `tag` (contents given).
inline Bytes Atv(const char* oid, BYTE tag, const Bytes& value) {
    return Der(0x30, Cat({Oid(oid), Der(tag, value)}));
}
// AttributeTypeAndValue whose value is already DER.
inline Bytes AtvRaw(const char* oid, const Bytes& valueDer) {
    return Der(0x30, Cat({Oid(oid), valueDer}));
}
inline Bytes Rdn(std::initializer_list<Bytes> atvs) {
    return Der(0x31, Cat(atvs));
}
inline Bytes Name(std::initializer_list<Bytes> rdns) {
    return Der(0x30, Cat(rdns));
}

constexpr BYTE Utf8Tag = 0x0C, Numeric = 0x12, Printable = 0x13, T61 = 0x14, Ia5 = 0x16, Bmp = 0x1E;

// CertNameToStrW with the two-call protocol.
inline std::u16string NameToStr(const Bytes& der, DWORD strType) {
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, &blob, strType, nullptr, 0);
    if (!size) return u"<error>";
    std::u16string out(size, u'\0');
    if (CertNameToStrW(X509_ASN_ENCODING, &blob, strType, out.data(), size) != size) return u"<size changed>";
    out.resize(size - 1);
    return out;
}

// CertStrToNameW with the two-call protocol; empty and `error` set on failure.
inline Bytes StrToName(const char16_t* text, DWORD strType, DWORD* error = nullptr, long* errorAt = nullptr) {
    DWORD size = 0;
    LPCWSTR bad = nullptr;
    if (error) *error = 0;
    if (!CertStrToNameW(X509_ASN_ENCODING, text, strType, nullptr, nullptr, &size, &bad)) {
        if (error) *error = GetLastError();
        if (errorAt) *errorAt = bad ? bad - text : -1;
        return {};
    }
    Bytes out(size);
    if (!CertStrToNameW(X509_ASN_ENCODING, text, strType, nullptr, out.data(), &size, &bad)) {
        if (error) *error = GetLastError();
        return {};
    }
    out.resize(size);
    return out;
}

}  // namespace certname_test
