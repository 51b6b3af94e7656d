// Small helpers of the ASN.1 tests: hexadecimal blobs and error texts.
#pragma once

#include <vsk/asn1.h>
#include <vsk/utils/error.h>

#include "testSupport.h"

#include <string>
#include <string_view>

namespace asn1test {

using Vsk::Utils::CDataBlob;

inline CDataBlob hex(std::string_view text) {
    std::string bytes;
    int nibble = -1;
    for (char ch : text) {
        int v = ch >= '0' && ch <= '9'   ? ch - '0'
                : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                         : -1;
        if (v < 0) continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            bytes += static_cast<char>(nibble * 16 + v);
            nibble = -1;
        }
    }
    return CDataBlob(bytes.data(), bytes.size(), true);
}

inline std::string hexOf(const CDataBlob& blob) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < blob.getSize(); ++i) {
        if (i) out += ' ';
        out += digits[blob.getData()[i] >> 4];
        out += digits[blob.getData()[i] & 15];
    }
    return out;
}

inline std::u16string u16(const Vsk::Utils::CWString& s) {
    return s.getImpl() ? s.toU16() : std::u16string();
}

// The message of the CError that `f` must raise.
template <class F>
std::u16string errorOf(F&& f) {
    return u16(VskTest::Thrown(std::forward<F>(f)).getMessage());
}

using VskTest::Utf8;

}  // namespace asn1test
