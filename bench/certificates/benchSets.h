// What the two halves of the certificate listing bench share.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

using Der = std::vector<unsigned char>;

enum class SetKind { Rsa, Gost };

// `count` certificates of one subject key, each signed by the set's authority (serials 100000 on).
std::vector<Der> MakeCertificates(SetKind kind, int count);

// What the OpenSSL side keeps of one certificate: the outputs the listing gives.
struct OpenSslRow {
    std::string thumbprint;  // SHA-1, upper-case hexadecimal
    std::string subject;
    std::string issuer;
    long long notBefore = 0;  // seconds since 1970, UTC
    long long notAfter = 0;
};

// Reads every element file of a store folder (sorted by name, as the store does), takes the
// certificate's DER out of the element's serialized form, and per certificate: d2i_X509,
// X509_digest SHA-1 as hexadecimal text, the subject and issuer as text (X509_NAME_oneline) and the
// two validity times (ASN1_TIME_to_tm). Appends one row per certificate.
void OpenSslListFolder(const std::string& folder, std::vector<OpenSslRow>& rows);
// One line saying what OpenSslListFolder does.
const char* OpenSslWork();
