#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/Hash.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <algorithm>
#include <vector>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace {

constexpr DWORD WholeBlob = 0xFFFFFFFF;

// Moved to the front of the candidates for a hash without a named provider, in this order, so that
// the Base provider is tried first and the Enhanced one second.
constexpr const WCHAR* PreferredProviders[] = {
    u"Microsoft Enhanced Cryptographic Provider v1.0",
    u"Microsoft Base Cryptographic Provider v1.0",
};

CWString dec(uint64_t value) {
    return Vsk::Utils::ToWString(value);
}

CWString oidText(ALG_ID algId) {
    return CWString(AlgIdToOID(algId), Vsk::Utils::CP_PROGRAM);
}

CWString notSupportedText(const CSPInfo& provider, ALG_ID algId) {
    return provider.toString() + u" не поддерживает алгоритм " + dec(algId) + u" - " + oidText(algId);
}

[[noreturn]] void raiseNoAlgorithm() {
    throw CError("Не был задан поддерживаемый алгоритм хэширования CHash::create.", Vsk::Utils::NoErrorCode);
}

// "PKI::CHash::create <what> <system text>" at level 1 for a failure with a last error.
void logCreateFailure(const CWString& what) {
    const DWORD error = GetLastError();
    Vsk::Utils::CLastErrorGuard keep;
    if (error == 0 || Vsk::InternalUtils::GetLogLevel() < 1) return;
    Vsk::InternalUtils::LogAt(1,
                              u"PKI::CHash::create " + what + u" " + Vsk::Utils::GetSystemErrorText(error));
}

}  // namespace

CHash::CHash() : m_algId(0), m_hHash(0), m_cached(false), m_used(false) {}

CHash::~CHash() {
    try {
        clear();
    } catch (...) {
        // Only the empty holder can fail to be made here (out of memory); the hash is gone anyway.
    }
}

void CHash::createHashObject() {
    HCRYPTHASH hash = 0;
    if (!CreateHash(m_holdCSP.get_hCryptProv(), m_algId, 0, 0, &hash))
        throw CError("Ошибка создания хэша", Vsk::Utils::LastErrorCode);
    m_hHash = hash;
}

void CHash::destroyHashObject() {
    if (m_hHash != 0 && !DestroyHash(m_hHash)) push(CError("CryptDestroyHash", Vsk::Utils::LastErrorCode));
}

void CHash::create(ALG_ID algId, CSPInfo* provider) {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CHash::create", dec(algId), this);

    if (m_algorithm && m_algorithm->m_aid == algId && m_holdCSP.isAcquired()) return;
    clear();

    if (provider) {
        CRefPtr<CAlgorithm> algorithm = provider->getAlgorithm(algId);
        if (!algorithm) throw CError(notSupportedText(*provider, algId), Vsk::Utils::NoErrorCode);
        CHoldCSP context = provider->acquireContext(nullptr, CRYPT_VERIFYCONTEXT);
        if (!context.isAcquired())
            throw CError("Получение контекста криптопровайдера", Vsk::Utils::LastErrorCode);
        HCRYPTHASH hash = 0;
        if (!CreateHash(context.get_hCryptProv(), algId, 0, 0, &hash))
            throw CError("Создание хэша", Vsk::Utils::LastErrorCode);
        m_hHash = hash;
        m_holdCSP = context;
        m_algId = algId;
        m_algorithm = algorithm;
        return;
    }

    m_algId = algId;
    CError catalogueError(CWString(), Vsk::Utils::NoErrorCode);
    const CSPInfoArray offered = CSPsFromSupportedAIDs(CAlgIdSet{algId}, &catalogueError);
    std::vector<CRefPtr<CSPInfo>> candidates(offered.begin(), offered.end());
    for (const WCHAR* name : PreferredProviders) {
        auto it = std::find_if(candidates.begin(), candidates.end(),
                               [&](const CRefPtr<CSPInfo>& p) { return p && p->m_name == CWString(name); });
        if (it != candidates.end()) std::rotate(candidates.begin(), it, it + 1);
    }

    for (const CRefPtr<CSPInfo>& candidate : candidates) {
        if (!candidate) continue;
        CRefPtr<CAlgorithm> algorithm = candidate->getAlgorithm(algId);
        // The list holds only providers that offer the algorithm.
        if (!algorithm) throw CError("Внутренняя ошибка. Hash:120.", Vsk::Utils::NoErrorCode);
        CHoldCSP context = candidate->acquireContext(nullptr, CRYPT_VERIFYCONTEXT);
        if (!context.isAcquired()) {
            logCreateFailure(u"CryptAcquireContext " + candidate->toString());
            continue;
        }
        HCRYPTHASH hash = 0;
        if (CreateHash(context.get_hCryptProv(), algId, 0, 0, &hash)) {
            m_hHash = hash;
            m_holdCSP = context;
            m_algorithm = algorithm;
            return;
        }
        logCreateFailure(u"CryptCreateHash");
    }

    m_algId = 0;
    m_algorithm.reset();
    const DWORD error = GetLastError();
    throw CError(CAString("Не найден криптопровайдер по заданному алгоритму хэширования ALG_ID = ") +
                     Vsk::Utils::ToAString(algId) + " - " + AlgIdToOID(algId),
                 error);
}

void CHash::createWithHoldCSP(ALG_ID algId, const CHoldCSP& context) {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CHash::create", u"0x" + Vsk::Utils::ToWString(algId, 16), this);

    if (m_algorithm && m_algorithm->m_aid == algId && m_holdCSP.get_hCryptProv() == context.get_hCryptProv())
        return;
    clear();

    CSPInfo* provider = context.get_CSPInfo();
    CRefPtr<CAlgorithm> algorithm = provider->getAlgorithm(algId);
    if (!algorithm && Vsk::InternalUtils::GetLogLevel() >= 2)
        Vsk::InternalUtils::LogAt(2, u"PKI::CHash::create " + notSupportedText(*provider, algId));

    HCRYPTHASH hash = 0;
    if (!CreateHash(context.get_hCryptProv(), algId, 0, 0, &hash))
        throw CError("Создание хэша", Vsk::Utils::LastErrorCode);
    m_hHash = hash;
    m_holdCSP = context;
    m_algId = algId;
    m_algorithm = algorithm;
}

void CHash::createWithNoChecks(ALG_ID algId) {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CHash::createWithNoChecks", dec(algId), this);

    if (algId == m_algId && m_holdCSP.isAcquired())
        reset();
    else
        clear();

    DWORD provType = 0;
    switch (algId) {
        case CALG_MD5:
        case CALG_SHA1:
            provType = PROV_RSA_FULL;
            break;
        case CALG_GR3411:
            provType = PROV_GOST_2001_DH;
            break;
        case CALG_GR3411_2012_256:
            provType = PROV_GOST_2012_256;
            break;
        case CALG_GR3411_2012_512:
            provType = PROV_GOST_2012_512;
            break;
        default:
            throw CError("Не реализовано, не было необходимости. Hash:211.", Vsk::Utils::NoErrorCode);
    }

    if (!m_holdCSP.isAcquired()) {
        HCRYPTPROV context = 0;
        if (!AcquireContext(&context, nullptr, nullptr, provType, CRYPT_VERIFYCONTEXT))
            throw CError("Получение контекста криптопровайдера", Vsk::Utils::LastErrorCode);
        m_holdCSP = CHoldCSP(context, true, nullptr);
    }
    destroyHashObject();
    m_algId = algId;
    m_used = false;
    createHashObject();
}

void CHash::setInitialValue(const CDataBlob& value) {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CHash::setInitialValue", CWString(value.toHex(" "), Vsk::Utils::CP_PROGRAM),
                    this);

    if (value.getSize() == 0) throw CError("Задан пустой хэш", Vsk::Utils::NoErrorCode);
    if (!m_holdCSP.isAcquired()) raiseNoAlgorithm();
    if (m_hHash == 0) createHashObject();

    DWORD size = 0;
    DWORD sizeLength = sizeof size;
    if (!CryptGetHashParam(m_hHash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLength, 0))
        throw CError("Ошибка получения размера хэша", Vsk::Utils::LastErrorCode);
    if (value.getSize() != size) throw CError("Неверный размер начального значения хэша", GetLastError());

    m_used = true;
    if (!CryptSetHashParam(m_hHash, HP_HASHVAL, value.getData(), 0))
        throw CError("Ошибка установки начального значения хэша", Vsk::Utils::LastErrorCode);
}

void CHash::addData(const CDataBlob& data, DWORD length) {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    CLogScope scope;
    if (scope.getLevel() >= 5) scope.enter("Vsk::PKI::CHash::addData", dec(data.getSize()), this);
    addDataHeld(data, length);
}

void CHash::addDataHeld(const CDataBlob& data, DWORD length) {
    if (data.getSize() == 0 && length != 0)
        throw CError("Не заданы данные для CHash::addData.", Vsk::Utils::NoErrorCode);
    if (!m_holdCSP.isAcquired()) raiseNoAlgorithm();
    // A length past the blob would make the provider read memory that is not the caller's data.
    if (length != WholeBlob && length > data.getSize())
        throw CError(u"Длина данных " + dec(length) + u" больше размера блока " + dec(data.getSize()) +
                         u" в CHash::addData.",
                     Vsk::Utils::NoErrorCode);
    if (m_hHash == 0) createHashObject();

    m_used = true;
    if (length == WholeBlob) length = data.getSize();
    if (length == 0) return;
    if (!HashData(m_hHash, data.getData(), length, 0))
        throw CError("Ошибка подсчета хэша данных", Vsk::Utils::LastErrorCode);
}

CDataBlob CHash::value() {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CHash::value", CWString(), this);
    CDataBlob result = valueHeld();
    if (scope.isEntered()) scope.m_result = CWString(m_value.toHex(), Vsk::Utils::CP_PROGRAM);
    return result;
}

CDataBlob CHash::valueHeld() {
    if (!m_cached) {
        if (!m_holdCSP.isAcquired()) raiseNoAlgorithm();
        if (m_hHash == 0) throw CError("Данные для хэширования не были загружены.", Vsk::Utils::NoErrorCode);
        DWORD size = 0;
        if (!CryptGetHashParam(m_hHash, HP_HASHVAL, nullptr, &size, 0))
            throw CError("CryptGetHashParam, ошибка получения хэша (определения размера)",
                         Vsk::Utils::LastErrorCode);
        // The storage of the previous value is used again when the size is the same: only this
        // object holds it (callers get copies of their own).
        if (m_value.getSize() != size) m_value = CDataBlob(static_cast<size_t>(size));
        if (!CryptGetHashParam(m_hHash, HP_HASHVAL, m_value.getData(), &size, 0)) {
            m_value.clear();
            throw CError("CryptGetHashParam, ошибка получения хэша", Vsk::Utils::LastErrorCode);
        }
        if (size < m_value.getSize()) m_value = m_value.getBlock(0, size).clone();
        m_cached = true;
        m_used = true;
    }
    return m_value.clone();
}

void CHash::reset() {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    resetHeld();
}

void CHash::resetHeld() {
    m_cached = false;
    // A hash object that was created but not used is kept for the next data.
    if (m_used) destroyHashObject();
    m_used = false;
}

void CHash::clear() {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    reset();
    m_value.clear();
    destroyHashObject();
    m_holdCSP = CHoldCSP();
    m_algorithm.reset();
    m_algId = 0;
}

CDataBlob CHash::calculate(const CDataBlob& data, DWORD length) {
    Vsk::Utils::CLock guard(static_cast<Vsk::Utils::CCriticalSection*>(this));
    // Below level 4 neither step traces, so the steps run under this one lock without opening their
    // scopes: on short inputs the locking and the look at the log level cost as much as the hashing.
    if (Vsk::InternalUtils::GetLogLevel() >= 4) {
        reset();
        addData(data, length);
        return value();
    }
    resetHeld();
    addDataHeld(data, length);
    return valueHeld();
}

}  // namespace Vsk::PKI
