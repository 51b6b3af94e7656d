// DER pieces that tests build by hand: lengths, tagged values, OIDs, and the SubjectPublicKeyInfo of
// a public-key information block (for openssl to issue a certificate for a provider's key).
#pragma once

#include <vsk/platform/cert.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace DerFixture {

inline std::string derLength(size_t size) {
    if (size < 0x80) return std::string(1, static_cast<char>(size));
    std::string octets;
    for (size_t left = size; left; left >>= 8) octets.insert(octets.begin(), static_cast<char>(left & 0xFF));
    return std::string(1, static_cast<char>(0x80 | octets.size())) + octets;
}

inline std::string der(BYTE tag, const std::string& contents) {
    return std::string(1, static_cast<char>(tag)) + derLength(contents.size()) + contents;
}

inline std::string oidDer(const char* dotted) {
    std::vector<unsigned long> arcs;
    for (const char* p = dotted; *p;) {
        arcs.push_back(std::strtoul(p, const_cast<char**>(&p), 10));
        if (*p == '.') ++p;
    }
    std::string body(1, static_cast<char>(arcs[0] * 40 + arcs[1]));
    for (size_t i = 2; i < arcs.size(); ++i) {
        std::string arc(1, static_cast<char>(arcs[i] & 0x7F));
        for (unsigned long v = arcs[i] >> 7; v; v >>= 7)
            arc.insert(arc.begin(), static_cast<char>(0x80 | (v & 0x7F)));
        body += arc;
    }
    return der(0x06, body);
}

inline std::string spkiDer(const CERT_PUBLIC_KEY_INFO& info) {
    const std::string parameters(reinterpret_cast<const char*>(info.Algorithm.Parameters.pbData),
                                 info.Algorithm.Parameters.cbData);
    const std::string bits =
        std::string(1, static_cast<char>(info.PublicKey.cUnusedBits)) +
        std::string(reinterpret_cast<const char*>(info.PublicKey.pbData), info.PublicKey.cbData);
    return der(0x30, der(0x30, oidDer(info.Algorithm.pszObjId) + parameters) + der(0x03, bits));
}

}  // namespace DerFixture
