// Filling the provider catalogue from the system: the providers are enumerated, each is described by
// a worker thread of its own (verification context, version, algorithms) that the starter waits for
// a limited time, the default providers are marked and the provider types named. Every failure is
// collected instead of stopping the filling.
#include <vsk/pki/CSPInfo.h>

#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/OidNames.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/global.h>
#include <vsk/utils/logScope.h>

#include <memory>
#include <vector>

#include "CatalogueState.h"

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CError;
using Vsk::Utils::CErrorFormatter;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace Vsk::PKI {

namespace {

using Catalogue::LogLine;
using Catalogue::LogSystemLine;
using Catalogue::State;

// The error a provider's worker reports. The starter and the worker each hold a reference, and the
// error is read and written under the common lock, because a worker that outlives the starter's wait
// still writes it.
struct CErrorSlot : public Vsk::Utils::CRefMan {
    CErrorSlot() : m_error(Catalogue::EmptyError()) {}
    CError m_error;
};

// The worker's parameter record: made by the starter, owned by the worker once it runs.
struct CFillRecord {
    CRefPtr<CSPInfo> m_provider;
    CRefPtr<CErrorSlot> m_slot;
    int m_index;
};

// A copy with an implementation of its own, so that changing it leaves the original alone.
CError detachedCopy(const CError& error) {
    CError copy = Catalogue::EmptyError();
    const auto& from = error.getImpl();
    const auto& to = copy.getImpl();
    to->m_message = from->m_message.clone();
    to->m_code = from->m_code;
    to->m_errorNumber = from->m_errorNumber;
    to->m_sourceFile = from->m_sourceFile;
    to->m_line = from->m_line;
    return copy;
}

CWString hex(uint64_t value) {
    return ToWString(value, 16);
}

// Names the default provider of the type in one of the caches, asking the system when the cache
// has no name for it yet.
CWString cachedDefault(DWORD type, DWORD flags) {
    auto cache = [flags]() -> std::map<DWORD, CWString>& {
        return flags == CRYPT_USER_DEFAULT ? State().m_userDefaults : State().m_machineDefaults;
    };
    {
        CCommonInfoLock lock;
        const CWString& known = cache()[type];
        if (known.getLength() != 0) return known;
    }
    CWString name = GetDefaultProvName(type, flags);
    CCommonInfoLock lock;
    cache()[type] = name;
    return name;
}

void logWaitResult(DWORD result, DWORD waitMs) {
    const char* function = "Vsk::PKI::FillCspAlgInfo";
    switch (result) {
        case WAIT_OBJECT_0:
            LogLine(4, function, u"wait finished");
            break;
        case WAIT_ABANDONED:
            LogLine(1, function, u"wait abandoned");
            break;
        case WAIT_TIMEOUT:
            LogLine(2, function, u"wait timeout " + ToWString(waitMs) + u" ms");
            break;
        case WAIT_FAILED:
            LogSystemLine(1, function, u"wait failed", GetLastError());
            break;
        default:
            LogLine(1, function, u"wait return event " + ToWString(result));
            break;
    }
}

// Enumerates provider `index` and has a worker thread describe it, waiting at most `waitMs` for the
// worker. False when the enumeration has ended (or failed; the failure is collected).
bool fillOneProvider(DWORD index, CErrorFormatter* errors, DWORD waitMs) {
    const char* function = "Vsk::PKI::FillCspAlgInfo";
    CRefPtr<CSPInfo> provider = CRefPtr<CSPInfo>::create();
    DWORD size = 0;
    if (!CryptEnumProvidersW(index, nullptr, 0, &provider->m_type, nullptr, &size)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NO_MORE_ITEMS)
            SetLastError(0);
        else
            errors->push(CError(provider->toString() + u" - CryptEnumProviders:", error));
        return false;
    }
    try {
        const CWString userDefault = cachedDefault(provider->m_type, CRYPT_USER_DEFAULT);
        const CWString machineDefault = cachedDefault(provider->m_type, CRYPT_MACHINE_DEFAULT);

        // The size is in bytes; two more for a terminator the provider may leave out, and one
        // character more when the size is odd.
        DWORD bytes = size + 2;
        std::vector<WCHAR> name(bytes / 2 + 1, 0);
        DWORD type = 0;
        if (!CryptEnumProvidersW(index, nullptr, 0, &type, name.data(), &bytes)) {
            errors->push(CError(provider->toString() + u" - ... failed", Vsk::Utils::LastErrorCode));
            return true;
        }
        if (bytes != 0) provider->m_name = CWString(name.data());
        if (provider->m_name == userDefault) provider->m_defaultFlags |= CRYPT_USER_DEFAULT;
        if (provider->m_name == machineDefault) provider->m_defaultFlags |= CRYPT_MACHINE_DEFAULT;

        {
            CCommonInfoLock lock;
            provider->m_generation = State().m_generation;
        }
        CRefPtr<CErrorSlot> slot = CRefPtr<CErrorSlot>::create();
        auto record = std::make_unique<CFillRecord>(CFillRecord{provider, slot, static_cast<int>(index)});
        DWORD threadId = 0;
        HANDLE thread = CreateThread(nullptr, 0, fillCSPInfoProc, record.get(), 0, &threadId);
        if (thread)
            record.release();  // the worker frees it
        else
            LogSystemLine(1, function, u"CreateThread", GetLastError());

        const DWORD waited = WaitForSingleObject(thread, waitMs);
        logWaitResult(waited, waitMs);
        if (thread && !CloseHandle(thread)) LogSystemLine(1, function, u"CloseHandle", GetLastError());

        CError reported = Catalogue::EmptyError();
        {
            CCommonInfoLock lock;
            reported = slot->m_error;
        }
        if (!reported.isEmpty()) {
            CError copy = detachedCopy(reported);
            copy.prependText(provider->toString() + u" - ");
            errors->push(copy);
        }
    } catch (CError& error) {
        CError copy = detachedCopy(error);
        copy.prependText(provider->toString() + u" - ");
        errors->push(copy);
    } catch (...) {
        errors->push(CError(provider->toString() + u" - ... failed", Vsk::Utils::LastErrorCode));
    }
    return true;
}

// Names the provider types of the catalogue's descriptions.
void fillTypeNames(CErrorFormatter* errors) {
    const char* function = "Vsk::PKI::FillCspAlgInfo";
    // Enough for any type name; a provider that keeps asking for more is given up on.
    constexpr DWORD MaxTypeNameBytes = 4096;
    for (DWORD index = 0;; ++index) {
        DWORD type = 0;
        DWORD size = 0;
        if (!CryptEnumProviderTypesW(index, nullptr, 0, &type, nullptr, &size)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_ITEMS)
                SetLastError(0);
            else
                LogSystemLine(1, function, u"CryptEnumProviderTypes", error);
            return;
        }
        if (size == 0) continue;
        try {
            DWORD bytes = size + 2;
            // The buffer always covers the size the call is told, odd sizes included.
            std::vector<WCHAR> text(bytes / 2 + 1, 0);
            DWORD returned = bytes;
            BOOL ok = CryptEnumProviderTypesW(index, nullptr, 0, &type, text.data(), &returned);
            while (!ok && GetLastError() == ERROR_MORE_DATA && bytes < MaxTypeNameBytes) {
                bytes += 2;
                text.assign(bytes / 2 + 1, 0);
                returned = bytes;
                ok = CryptEnumProviderTypesW(index, nullptr, 0, &type, text.data(), &returned);
            }
            if (ok && returned != 0 && returned < bytes) {
                if (returned / 2 < text.size()) text[returned / 2] = 0;
                const CWString typeName(text.data());
                CCommonInfoLock lock;
                for (const CRefPtr<CSPInfo>& provider : State().m_providers)
                    if (provider->m_type == type) provider->m_typeName = typeName;
            } else {
                errors->push(
                    CError(u"CryptEnumProviderTypes(" + ToWString(index) + u") " + ToWString(returned),
                           Vsk::Utils::LastErrorCode));
            }
        } catch (CError& error) {
            errors->push(error);
        } catch (...) {
            errors->push(CError(CWString(u"..."), Vsk::Utils::LastErrorCode));
        }
    }
}

struct CRefusal {
    DWORD type;
    const WCHAR* name;
    ALG_ID refused[10];
};

// Algorithms that providers of these types list but cannot use.
const CRefusal Refusals[] = {
    {PROV_RSA_SIG,
     u"Infotecs Cryptographic Service Provider",
     {0x2E3D, 0x2E49, 0x8021, 0x8022, 0xAA3F, 0xAA42, 0xAA43, 0xAA46, 0xAA47, 0xAA48}},
    {77,
     u"Infotecs GOST 2012/512 Cryptographic Service Provider",
     {0x2E23, 0x2E3D, 0x801E, 0x8022, 0xAA24, 0xAA25, 0xAA28, 0xAA3F, 0xAA42, 0xAA43}},
    {78,
     u"Infotecs GOST 2012/1024 Cryptographic Service Provider",
     {0x2E23, 0x2E49, 0x801E, 0x8021, 0xAA24, 0xAA25, 0xAA28, 0xAA46, 0xAA47, 0xAA48}},
};

}  // namespace

bool checkAlgorithmWithCSP(const CSPInfo& provider, const CAlgorithm& algorithm) {
    for (const CRefusal& row : Refusals) {
        if (provider.m_type != row.type) continue;
        if (provider.m_name.compare(CWString(row.name), false) != 0)
            LogLine(2, "Vsk::PKI::checkAlgorithmWithCSP", u"Имя криптопровайдера не соответствует типу.");
        for (ALG_ID refused : row.refused)
            if (algorithm.m_aid == refused) return false;
        return true;
    }
    return true;
}

void InitCspAlgInfo(CError* errors) {
    Vsk::Utils::CLock filling(&Catalogue::FillingLock());
    {
        CCommonInfoLock lock;
        if (!State().m_providers.empty()) return;
    }
    CErrorFormatter collector;
    FillCspAlgInfo(&collector);
    if (collector.getCount() != 0 && errors) *errors = collector.format(u"\r\n");
}

void FillCspAlgInfo(CErrorFormatter* errors, DWORD waitMs) {
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter("Vsk::PKI::FillCspAlgInfo");
    CErrorFormatter ownCollector;
    if (!errors) errors = &ownCollector;
    ClearCspAlgInfo();
    if (getTokenAsCsp()) FillTokenAsCsp(errors);
    for (DWORD index = 0; fillOneProvider(index, errors, waitMs); ++index) {
    }
    fillTypeNames(errors);
}

DWORD fillCSPInfoProc(void* parameter) {
    std::unique_ptr<CFillRecord> record(static_cast<CFillRecord*>(parameter));
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter("Vsk::PKI::fillCSPInfoProc", ToWString(parameter));
    CError error = Catalogue::EmptyError();
    try {
        record->m_provider->fillInfo(&error, record->m_index);
    } catch (CError& thrown) {
        error = thrown;
    } catch (...) {
        error = CError(CWString(u"..."), Vsk::Utils::LastErrorCode);
    }
    if (record->m_slot) {
        CCommonInfoLock lock;
        record->m_slot->m_error = error;
    }
    return 0;
}

CWString GetDefaultProvName(DWORD provType, DWORD flags) {
    const char* function = "Vsk::PKI::GetDefaultProvName";
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter(function, ToWString(provType) + u",0x" + hex(flags));
    DWORD size = 0;
    if (!CryptGetDefaultProviderW(provType, nullptr, flags, nullptr, &size)) {
        LogSystemLine(1, function, u"CryptGetDefaultProvider", GetLastError());
        if (flags != CRYPT_MACHINE_DEFAULT) return {};
        // Some systems refuse the size query for the machine default but answer a large buffer.
        size = 4090;
    }
    size += 2;
    std::vector<WCHAR> text(size / 2 + 1, 0);
    if (CryptGetDefaultProviderW(provType, nullptr, flags, text.data(), &size) && size != 0) {
        if (size / 2 >= 1 && size / 2 - 1 < text.size()) text[size / 2 - 1] = 0;
        const CWString name(text.data());
        LogLine(4, function, ToWString(provType) + u",0x" + hex(flags) + u" - " + name);
        return name;
    }
    LogSystemLine(1, function, u"CryptGetDefaultProvider", GetLastError());
    return {};
}

void CSPInfo::fillInfo(CError* error, int index) {
    const char* function = "Vsk::PKI::CSPInfo::fillInfo";
    CHoldCSP context = acquireContext(nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    if (!context.isAcquired()) {
        LogSystemLine(1, function, toString() + u" - CryptAcquireContext:", GetLastError());
        return;
    }
    const HCRYPTPROV handle = context.get_hCryptProv();

    DWORD version = 0;
    DWORD length = sizeof version;
    if (GetProvParam(handle, PP_VERSION, reinterpret_cast<BYTE*>(&version), &length, 0)) {
        CCommonInfoLock lock;
        m_version = version;
    } else {
        LogSystemLine(1, function, toString() + u" - get PP_VERSION:", GetLastError());
    }

    PROV_VERSION_EX versionEx{};
    length = sizeof versionEx;
    if (GetProvParam(handle, PP_VERSION_EX, reinterpret_cast<BYTE*>(&versionEx), &length, 0)) {
        CCommonInfoLock lock;
        m_versionEx[0] = versionEx.dwBuild;
        m_versionEx[1] = versionEx.dwRevision;
    } else {
        LogSystemLine(3, function, toString() + u" - get PP_VERSION_EX:", GetLastError());
    }

    Catalogue::LogPlain(4, u"№" + ToWString(index + 1) + u", " + toString());

    CRefPtr<CSPInfo> member;
    bool inserted;
    {
        CCommonInfoLock lock;
        if (m_generation != 0 && m_generation != State().m_generation) {
            LogLine(2, function, toString() + u" не внесён: каталог за это время очищен");
            return;
        }
        auto placed = State().m_providers.insert(CRefPtr<CSPInfo>(this));
        member = *placed.first;
        inserted = placed.second;
    }
    if (!inserted) LogLine(2, function, toString() + u" встречается повторно!");
    member->fillAlgorithms(handle, error);
}

void CSPInfo::fillAlgorithms(HCRYPTPROV hProv, CError* error) {
    const char* function = "Vsk::PKI::CSPInfo::fillAlgorithms";
    CLogScope scope;
    if (Catalogue::LogEnabled(4)) scope.enter(function, hex(hProv));
    CWString withoutOid;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        PROV_ENUMALGS record{};
        DWORD length = sizeof record;
        if (!GetProvParam(hProv, PP_ENUMALGS, reinterpret_cast<BYTE*>(&record), &length, flags)) break;
        flags = CRYPT_NEXT;
        CRefPtr<CAlgorithm> read = CAlgorithm::CAlgorithmFromEnumAlgs(record);

        // A Latin name gives way to a Cyrillic one registered for the OID.
        CWString name = read->m_name;
        if (!name.hasCyrillic() && read->m_oid.getLength() != 0) {
            for (const CWString& known : CNameOID::getNames(read->m_oid)) {
                if (known.hasCyrillic()) {
                    name = known;
                    break;
                }
            }
        }

        CCommonInfoLock lock;
        // A description that a clearing of the catalogue has dropped meanwhile (its worker ran late)
        // enters nothing: the algorithms would point at a provider the catalogue no longer holds.
        if (!Catalogue::IsMember(this)) return;
        CRefPtr<CAlgorithm> member = *State().m_algorithms.insert(read).first;
        member->m_name = name;
        if (checkAlgorithmWithCSP(*this, *member)) {
            m_algorithms.insert(member);
            member->m_providers.insert(this);
            if (member->m_oid.getLength() == 0) {
                if (withoutOid.getLength() != 0) withoutOid += u',';
                withoutOid += hex(member->m_aid);
            }
            Catalogue::LogPlain(4, u"algorithm: " + member->toString());
        } else {
            LogLine(2, function,
                    u"Алгоритм " + member->toString() +
                        u" не соотвествует криптопровайдеру, игнорируем алгоритм.");
        }
    }
    const DWORD last = GetLastError();
    if (last == ERROR_NO_MORE_ITEMS)
        SetLastError(0);
    else if (error)
        *error = CError(toString() + u" - get PP_ENUMALGS failed", last);
    if (withoutOid.getLength() != 0) LogLine(2, function, u"Не найдены OID для ALG_ID(x16)=" + withoutOid);
}

}  // namespace Vsk::PKI
