// What the two halves of the certificate listing bench share.
#pragma once

#include <cstddef>
#include <vector>

using Der = std::vector<unsigned char>;

enum class SetKind { Rsa, Gost };

// `count` certificates of one subject key, each signed by the set's authority (serials 100000 on).
std::vector<Der> MakeCertificates(SetKind kind, int count);
// Seconds for decoding each certificate with d2i_X509 and reading its SHA-1 thumbprint, subject,
// issuer and validity.
double OpenSslLoop(const std::vector<Der>& certificates);
