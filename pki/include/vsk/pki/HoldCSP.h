// The shared holder of one open provider context: the handle, whether the holder releases it, and
// the description of its provider (looked up from the handle when nobody gave it). Every object
// that works with a provider keeps its context in one; copies share it and the last one releases it.
#pragma once

#include <vsk/platform/crypt.h>
#include <vsk/utils/memory.h>

namespace Vsk::PKI {

class CSPInfo;

class CHoldCSP {
public:
    class CImpl : public Vsk::Utils::CRefMan {
    public:
        CImpl();
        ~CImpl() override;

        // Under the object's lock: releases the present context when the release flag is set, then
        // stores the new context, flag and description.
        void set(HCRYPTPROV context, bool release, CSPInfo* description);

        HCRYPTPROV m_hCryptProv;
        BOOL m_release;
        Vsk::Utils::CRefPtr<CSPInfo> m_cspInfo;
    };

    // A new holder of `context`. CHoldCSP(0, true, nullptr) is the empty holder.
    explicit CHoldCSP(HCRYPTPROV context = 0, bool release = true, CSPInfo* description = nullptr);
    CHoldCSP(const CHoldCSP& other) = default;
    CHoldCSP(CHoldCSP&& other) noexcept = default;
    CHoldCSP& operator=(const CHoldCSP& other) = default;
    CHoldCSP& operator=(CHoldCSP&& other) noexcept = default;
    ~CHoldCSP() = default;

    // Gives this handle a fresh implementation (copies made before keep the old one) and acquires a
    // context into it with the release flag set. False on failure, with the thread's last error
    // telling why; nothing is raised.
    bool acquire(const WCHAR* container, const WCHAR* providerName, DWORD type, DWORD flags);
    // The context, 0 when none.
    HCRYPTPROV get_hCryptProv() const;
    bool isAcquired() const;
    // The provider's description, looked up from the context on first use (the catalogue is filled
    // first when empty). Raises the not-created error naming CSPInfo when there is none.
    CSPInfo* get_CSPInfo() const;

    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
