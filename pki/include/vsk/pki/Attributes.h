// X.501 names as ordered lists of attributes (an OID with its text value): read from DER with the
// library's ASN.1 reader, written to DER through the platform's string-to-name conversion (with the
// Russian registration numbers forced to NumericString), turned into X.500 text and into display
// text with Russian attribute names, and compared. The same classes carry plain OID lists (a
// certificate's extended key usages), where only the OIDs and their names matter.
//
// A relative distinguished name with several values is kept whole: every value is an attribute of
// its own, marked as joined to the one before it, so display shows all values and a re-encoding
// keeps the grouping.
#pragma once

#include <vsk/pki/OidNames.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <vector>

namespace Vsk::PKI {

class CAttribute : public Vsk::Utils::CRefMan {
public:
    CAttribute() = default;
    CAttribute(const Vsk::Utils::CAString& oid, const Vsk::Utils::CWString& value,
               bool joinedToPrevious = false);

    // Trims the text, checks that it is a dotted OID (CError "OID пуст" or "<text> не OID") and
    // takes the names the OID registry knows for it and its Russian display name.
    void put_OID(const Vsk::Utils::CAString& oid);
    Vsk::Utils::CAString get_OID() const { return m_oid; }
    // With `quote`: doubled double quotes, and the whole value in double quotes when it held a
    // double quote, a comma, a semicolon or an equals sign (a plus sign too when the value shares
    // its RDN with others). Without `quote` or for an empty value: the value unchanged.
    Vsk::Utils::CWString getValueText(bool quote) const;
    // Same OID, same value (case matters) and the same RDN grouping.
    bool equal(const CAttribute& other) const;

    // Shortest first (the library's string order), so the first is the abbreviation (CN).
    CNameSet m_names;
    Vsk::Utils::CAString m_displayName;  // code page 1251; empty when the OID has none
    Vsk::Utils::CAString m_oid;
    Vsk::Utils::CWString m_value;
    // This value belongs to the same RDN as the attribute before it.
    bool m_joinedToPrevious = false;
};

using CAttributePtr = Vsk::Utils::CRefPtr<CAttribute>;

class CAttributes : public Vsk::Utils::CRefMan {
public:
    CAttributes() = default;

    // A new attribute list on the library heap.
    static Vsk::Utils::CRefPtr<CAttributes> createNew();

    // Appends a reference; always true.
    bool add(const CAttributePtr& attribute);
    // Makes an attribute from an OID (put_OID rules) and a value and appends it.
    CAttributePtr add(const Vsk::Utils::CAString& oid, const Vsk::Utils::CWString& value);
    // The first attribute whose OID is exactly the text, or null.
    CAttributePtr findByOID(const Vsk::Utils::CAString& oid) const;
    // The first attribute one of whose names is exactly the text, or null.
    CAttributePtr findByName(const Vsk::Utils::CWString& name) const;
    size_t getCount() const { return m_attributes.getCount(); }
    CAttributePtr getAt(size_t index) const { return m_attributes[index]; }

    // "type=value" items joined by "," (values of one RDN by "+"); the type is the shortest name
    // unless `useOID`; reverse walks the RDNs last to first.
    Vsk::Utils::CWString toX500String(bool useOID, bool skipEmpty, bool reverse) const;
    // Display name (else longest name, else OID), separator, value; pairs joined by `pairSeparator`.
    Vsk::Utils::CWString toDisplayString(const WCHAR* nameSeparator, const WCHAR* pairSeparator,
                                         bool skipEmpty) const;

    // Replaces the contents by the Name in `der`; the DER is kept, so writing the unchanged Name
    // again gives the very same bytes. Malformed input raises CCryptError.
    void fromX501Name(const Vsk::Utils::CDataBlob& der);
    // The DER of the Name: the held encoding while nothing changed, else a fresh encoding.
    Vsk::Utils::CDataBlob toX501Name(bool reverse);

    // attributeWise: same count and equal attributes in order; otherwise the DER encodings compared.
    bool equal(CAttributes& other, bool attributeWise);
    bool operator==(CAttributes& other) { return equal(other, false); }

    Vsk::Utils::CArray<CAttributePtr> m_attributes;
    // The DER of the Name as the attributes were when it was last read or written.
    Vsk::Utils::CDataBlob m_encoding;

private:
    // What the comparison with the attributes reads: OID, value and grouping (texts share storage
    // with the attributes' until one side changes).
    struct CSnapshotEntry {
        Vsk::Utils::CAString oid;
        Vsk::Utils::CWString value;
        bool joinedToPrevious;
    };

    bool matchesSnapshot() const;
    void takeSnapshot();

    std::vector<CSnapshotEntry> m_snapshot;
};

using CAttributesPtr = Vsk::Utils::CRefPtr<CAttributes>;

// The Russian display name of an attribute type (code page 1251); empty for an OID not in the table.
Vsk::Utils::CAString GetDNDisplayName(const Vsk::Utils::CAString& oid);

}  // namespace Vsk::PKI
