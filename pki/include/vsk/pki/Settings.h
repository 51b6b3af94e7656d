// Option objects of the operations that touch providers and verify certificates. Each is a handle
// on a shared, reference-counted implementation: a copy of the handle is the same object, so an
// option object handed to an operation is the caller's object, not a snapshot. Getters and setters
// are plain unlocked reads and writes of 32-bit fields.
#pragma once

#include <vsk/utils/memory.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::PKI {

// Options shared by every operation that reaches a provider.
class CCommonSettings {
public:
    enum : DWORD { FlagSilent = 0x20 };

    class CImpl : public Vsk::Utils::CRefMan {
    public:
        DWORD m_flags = 0;
        // Not owned; the token signing path passes it on to token key-pair operations.
        Vsk::Utils::IProgress* m_progress = nullptr;
    };

    // true: a fresh object with every flag clear; false: an empty handle.
    explicit CCommonSettings(bool create = true);

    // Bit 0x20: no provider window may appear.
    bool get_Silent() const;
    void put_Silent(bool silent);
    Vsk::Utils::IProgress* get_Progress() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// Options of certificate-chain verification.
class CCertVerifySettings {
public:
    class CImpl : public Vsk::Utils::CRefMan {
    public:
        // 1 end certificate only, 2 the chain without its root, 3 the whole chain.
        int32_t m_RevocationFlag = 2;
        // 1 no revocation check, 2 local CRLs then the network, 3 local CRLs only.
        int32_t m_RevocationMode = 3;
        uint32_t m_UrlRetrievalTimeout = 5000;  // milliseconds
        // Chain errors to ignore: 1, 2, 4, 8, 16, 32 (63 all).
        int32_t m_VerifyFlags = 0;
    };

    // A fresh object with the defaults above.
    CCertVerifySettings();
    // Shares the other handle's object; a null pointer gives an empty handle, an empty other handle
    // raises the not-created error.
    explicit CCertVerifySettings(const CCertVerifySettings* other);

    int get_RevocationFlag() const;
    void put_RevocationFlag(int value);
    int get_RevocationMode() const;
    void put_RevocationMode(int value);
    uint32_t get_UrlRetrievalTimeout() const;
    void put_UrlRetrievalTimeout(uint32_t milliseconds);
    int get_VerifyFlags() const;
    void put_VerifyFlags(int value);

    // RevocationFlag="<text>", RevocationMode="<text>", UrlRetrievalTimeout=<ms>, VerifyFlags=<bits>;
    // empty for an empty handle (the one accessor that does not raise on it).
    Vsk::Utils::CWString getText() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
