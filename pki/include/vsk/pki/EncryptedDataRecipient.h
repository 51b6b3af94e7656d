// One key-transport recipient of an enveloped message (a KeyTransRecipientInfo identified by issuer
// and serial number): read from a received message, or written for a recipient certificate with the
// GOST R 34.10 key transport.
#pragma once

#include <vsk/asn1/asn1.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

class CEncryptedDataRecipient {
public:
    CEncryptedDataRecipient();

    // Reads the recipient from its KeyTransRecipientInfo and the message's content-encryption
    // AlgorithmIdentifier; looks the certificate up by issuer and serial number. A recipient named by
    // subjectKeyIdentifier is refused. Failures raise CCryptError "Неверная информация на получателя?".
    void Init(const Vsk::ASN1::CNode& recipientInfo, const Vsk::ASN1::CSequence& algorithm);
    // Builds the KeyTransRecipientInfo of the certificate `certInfo` carrying the wrapped key.
    void MakeKeyTransRecipientInfo(const CERT_INFO& certInfo, const Vsk::Utils::CDataBlob& encryptedKey,
                                   const Vsk::Utils::CDataBlob& mac,
                                   const Vsk::Utils::CDataBlob& ephemeralPublicKey,
                                   const Vsk::Utils::CDataBlob& ukm);
    // The DER of a GostR3410-KeyTransport whose ephemeral key is declared with the recipient's key
    // algorithm and parameters; `algorithm` is filled with that AlgorithmIdentifier.
    static Vsk::Utils::CDataBlob makeGostR3410KeyTransport(const Vsk::Utils::CAString& keyAlgorithm,
                                                           const Vsk::Utils::CDataBlob& keyParameters,
                                                           const Vsk::Utils::CDataBlob& encryptedKey,
                                                           const Vsk::Utils::CDataBlob& mac,
                                                           const Vsk::Utils::CDataBlob& ephemeralPublicKey,
                                                           const Vsk::Utils::CDataBlob& ukm,
                                                           Vsk::ASN1::CSequence& algorithm);

    CCertificate get_Certificate() const { return m_certificate; }
    const Vsk::ASN1::CNode& get_RecipientInfo() const { return m_recipientInfo; }
    const Vsk::ASN1::CSequence& get_ContentEncryptionAlgorithmNode() const { return m_algorithm; }
    // The issuer Name as encoded, identifier and length octets included.
    const Vsk::Utils::CDataBlob& get_Issuer() const { return m_issuer; }
    // Least significant byte first.
    const Vsk::Utils::CDataBlob& get_SerialNumber() const { return m_serialNumber; }
    // The DER of the GostR3410-KeyTransport.
    const Vsk::Utils::CDataBlob& get_EncryptedKey() const { return m_encryptedKey; }
    const Vsk::Utils::CDataBlob& get_ContentEncryptionParameters() const { return m_parameters; }
    const Vsk::Utils::CAString& get_KeyEncryptionAlgorithm() const { return m_keyEncryptionAlgorithm; }
    const Vsk::Utils::CAString& get_ContentEncryptionAlgorithm() const {
        return m_contentEncryptionAlgorithm;
    }
    CSessionKey get_SessionKey() const { return m_sessionKey; }

private:
    // Logs the failing nodes and raises "Неверная информация на получателя?" with the cause.
    [[noreturn]] static void raiseRecipientError(const Vsk::Utils::CError& error,
                                                 const Vsk::ASN1::CNode& recipientInfo,
                                                 const Vsk::ASN1::CSequence& algorithm);

    Vsk::ASN1::CNode m_recipientInfo;
    Vsk::ASN1::CSequence m_algorithm;
    Vsk::Utils::CDataBlob m_issuer;
    Vsk::Utils::CDataBlob m_serialNumber;
    Vsk::Utils::CDataBlob m_encryptedKey;
    Vsk::Utils::CDataBlob m_parameters;
    Vsk::Utils::CAString m_keyEncryptionAlgorithm;
    Vsk::Utils::CAString m_contentEncryptionAlgorithm;
    CCertificate m_certificate;
    CSessionKey m_sessionKey;
};

}  // namespace Vsk::PKI
