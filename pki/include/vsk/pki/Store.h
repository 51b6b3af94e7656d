// One open certificate store: a system store opened by name (the user's or the computer's MY,
// AddressBook, CA, ROOT, REQUEST ...) or a store read from a serialized-store blob (".store" files).
// Lists, finds, adds and deletes certificates and CRLs, writes the store out in the serialized
// format and tells whether the user may remove a certificate. Failures raise CCryptError with the
// step codes 1501xx-1509xx (1302xx/1303xx for Save and Load).
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

class CCertificate;
class CCrl;

class CStore {
public:
    // Private to the library.
    class CImpl;

    // true: a fresh, closed store object; false: an empty handle.
    explicit CStore(bool create = true);
    CStore(const CStore& other);
    CStore(CStore&& other) noexcept;
    CStore& operator=(const CStore& other);
    CStore& operator=(CStore&& other) noexcept;
    ~CStore();

    // Opens the named system store (CERT_STORE_PROV_SYSTEM_W). A store the user may not write is
    // opened read-only after one retry. 150102 for a missing store, 150101 otherwise.
    void Open(const WCHAR* name, DWORD flags);
    void Close();
    bool isOpened() const;
    bool isEmpty() const;
    Vsk::Utils::CWString get_Name() const;
    DWORD get_Flags() const;
    // The open store's handle (borrowed), null when closed.
    HCERTSTORE get_Handle() const;

    // Every certificate in the store's order. With a progress object: range 10, doubled whenever the
    // position reaches it; a cancel stops with what was collected.
    void GetCertificates(Vsk::Utils::CArray<CCertificate>* certificates,
                         Vsk::Utils::IProgress* progress = nullptr);
    // The store's copy of the certificate, or an empty handle.
    CCertificate FindCertificate(const CCertificate& certificate);
    // By SHA-1 thumbprint in hexadecimal (blanks allowed); continues after `pPreviousCert` when given.
    CCertificate FindCertificate(const char* thumbprint, const CCertificate* pPreviousCert = nullptr);
    // CertAddCertificateContextToStore with the disposition; false when the user cancelled the add.
    // With `bindWithKeyContainer` (only into "My"), the store's copy is bound to its key container
    // (CCertificate::BindWithKeyContainer, empty password, nothing written into the container): false
    // when the user cancelled, a raised error when no container holds the key; the certificate stays
    // added either way.
    bool InstallCertificate(const CCertificate& certificate, DWORD disposition,
                            bool bindWithKeyContainer = false);
    bool AddCrl(const CCrl& crl, DWORD disposition);
    void GetCrls(Vsk::Utils::CArray<CCrl>* crls);
    // Whether the user may remove the certificate: always for a user store element; a computer
    // element only through a computer store and with administrator rights.
    bool canDeleteCertificate(PCCERT_CONTEXT context) const;
    void DeleteCertificate(const CCertificate& certificate);
    void DeleteCRL(PCCRL_CONTEXT context);
    // The serialized store (".store" format).
    Vsk::Utils::CDataBlob Save();
    // Replaces what is held by a memory store read from a serialized store; no name, flags 0.
    void Load(const Vsk::Utils::CDataBlob& serialized);

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
