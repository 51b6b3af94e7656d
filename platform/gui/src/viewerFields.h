// The texts the certificate and CRL viewers show: every field of a certificate or CRL as a Russian
// name, a short value for the list and the whole value for the box below it. Decoded from the
// stand-in's contexts; extension values with OpenSSL's decoders, written out in our own words.
#pragma once

#include <vsk/platform/cert.h>

#include <QDateTime>
#include <QString>

#include <vector>

namespace vsk::gui {

struct Field {
    QString name;
    QString value;      // one line, for the list
    QString fullValue;  // the whole value
};

// The name of an OID: the OID information table (the group given first, then any group), else the
// viewer's own names of extensions, purposes and access methods, else the OID itself.
QString oidName(const char* oid, DWORD preferredGroup = 0);
// Bytes as upper-case hex in pairs separated by blanks.
QString hexPairs(const BYTE* data, size_t size);
// A FILETIME (UTC) in local time: "dd.MM.yyyy HH:mm:ss" or, with dateOnly, "dd.MM.yyyy".
QString localTime(const FILETIME& time, bool dateOnly = false);
QDateTime toDateTime(const FILETIME& time);
// A Name: values joined by ", ", last RDN first (list), or "KEY = value" lines (whole).
QString nameShort(const CERT_NAME_BLOB& name);
QString nameLines(const CERT_NAME_BLOB& name);
// A serial number stored least significant byte first, as hex pairs of its big-endian form.
QString serialText(const CRYPT_INTEGER_BLOB& serial);
// One extension under its name; the value decoded where the viewer knows the extension, else hex.
Field extensionField(const CERT_EXTENSION& extension);

// The fields of the "Состав" page, in the order the list shows them.
std::vector<Field> certificateFields(PCCERT_CONTEXT context);

// What the "Общие" page says of a certificate.
struct CertificateSummary {
    QString issuedTo;
    QString issuedBy;
    QString validFrom;  // dd.MM.yyyy
    QString validTo;    // dd.MM.yyyy
    QStringList purposes;
    QString status;
    bool hasPrivateKey = false;
};
CertificateSummary certificateSummary(PCCERT_CONTEXT context);

// The CRL's own fields, and one revoked certificate's.
std::vector<Field> crlFields(PCCRL_CONTEXT context);
std::vector<Field> crlEntryFields(const CRL_ENTRY& entry);

}  // namespace vsk::gui
