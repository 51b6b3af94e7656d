// The key containers and readers of a provider: PP_ENUMCONTAINERS and PP_ENUMREADERS on a silent
// verification context, or the token's key pairs and slot for a token presented as a provider.
#include <vsk/pkcs11/Token.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

// A failing container record is read again this many times in a row before the listing gives up.
constexpr int MaxConsecutiveFailures = 100;
// PP_ENUMREADERS records are at most this long.
constexpr DWORD ReaderRecordSize = 1024;
// The reader flag of PP_ENUMREADERS: report the medium.
constexpr DWORD ReadersWithMedia = 0x20;

CWString from1251(const char* text, size_t length) {
    return CWString(text, length, 1251);
}

// The data blob's range errors: a record field that starts, or runs, past the returned size.
const char* const StartOutOfRange = "Индекс начала блока данных за пределами.";
const char* const LengthOutOfRange = "Длина блока данных за пределами.";

// The text at `offset` of `data` up to its NUL; raises the blob's range error when no NUL ends it
// inside `size`.
size_t textEnd(const CDataBlob& data, size_t size, size_t offset) {
    if (offset >= size) throw CError(StartOutOfRange, Vsk::Utils::NoErrorCode);
    const auto* bytes = reinterpret_cast<const char*>(data.getData());
    const void* nul = std::memchr(bytes + offset, 0, size - offset);
    if (!nul) throw CError(LengthOutOfRange, Vsk::Utils::NoErrorCode);
    return static_cast<size_t>(static_cast<const char*>(nul) - bytes);
}

// A failed step of the listing; its text already names the provider.
struct CStepFailure {
    CError error;
};

CWString quotedList(const CArray<CWString>& names) {
    CWString text;
    for (size_t i = 0; i < names.getCount(); ++i) {
        if (i) text += u", ";
        text += u"\"" + names[i] + u"\"";
    }
    return text;
}

}  // namespace

CWString CReaderInfo::toString() const {
    return u"nickName=" + m_nickName + u", name=" + m_name + u", media=" + m_media + u", flags=0x" +
           ToWString(static_cast<uint32_t>(m_flags), 16);
}

CArray<CWString>& CSPInfo::GetKeyContainers(CArray<CWString>& names, CError* error, bool machine,
                                            CArray<CWString>* uniqueNames, Vsk::Utils::IProgress* progress) {
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter("Vsk::PKI::CSPInfo::GetKeyContainers", toString());
    if (isToken()) {
        names = CTokenAsCsp::getKeyContainers(m_token);
        return names;
    }
    CError failure(Vsk::Utils::NoErrorCode);
    try {
        DWORD acquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_SILENT;
        if (machine) acquireFlags |= CRYPT_MACHINE_KEYSET;
        CHoldCSP context = acquireContext(nullptr, acquireFlags);
        if (!context.isAcquired())
            throw CStepFailure{
                CError(u"Получение контекста криптопровайдера, " + toString(), Vsk::Utils::LastErrorCode)};
        const HCRYPTPROV hProv = context.get_hCryptProv();

        DWORD flags = CRYPT_FIRST | (uniqueNames ? CRYPT_UNIQUE : 0);
        DWORD size = 0;
        bool empty = false;
        while (!GetProvParam(hProv, PP_ENUMCONTAINERS, nullptr, &size, flags)) {
            const DWORD e = GetLastError();
            if (e == NTE_BAD_FLAGS && (flags & CRYPT_UNIQUE)) {
                flags &= ~CRYPT_UNIQUE;
                continue;
            }
            if (e == ERROR_NO_MORE_ITEMS) {
                SetLastError(0);
                empty = true;
                break;
            }
            throw CStepFailure{CError(u"Получение размера буфера имен контейнеров, " + toString(), e)};
        }
        if (!empty) {
            if (progress) {
                progress->setRange(10);
                progress->setPos(0);
            }
            CDataBlob buffer(static_cast<size_t>(size ? size : 1));
            int failures = 0;
            for (;;) {
                DWORD length = buffer.getSize();
                if (!GetProvParam(hProv, PP_ENUMCONTAINERS, buffer.getData(), &length, flags)) {
                    const DWORD e = GetLastError();
                    if (e == ERROR_NO_MORE_ITEMS) {
                        SetLastError(0);
                        break;
                    }
                    if (e == ERROR_MORE_DATA && length > buffer.getSize()) {
                        // A record longer than the size query said: grow to the size the provider
                        // reports and read the same record again.
                        buffer = CDataBlob(static_cast<size_t>(length));
                        continue;
                    }
                    if (error) *error = CError(u"Получение ключевых контейнеров " + toString(), e);
                    if (++failures >= MaxConsecutiveFailures) break;
                    continue;
                }
                BYTE* bytes = buffer.getData();
                const size_t bufferSize = buffer.getSize();
                bytes[bufferSize - 1] = 0;
                const auto* text = reinterpret_cast<const char*>(bytes);
                size_t first = std::strlen(text);
                CWString current = from1251(text, first);
                if (uniqueNames && (flags & CRYPT_UNIQUE)) {
                    uniqueNames->add(current);
                    if (first + 1 < bufferSize) {
                        const char* second = text + first + 1;
                        current = from1251(second, std::strlen(second));
                    }
                }
                names.add(current);
                if (progress) {
                    progress->next();
                    if (progress->getPos() >= 0 &&
                        static_cast<uint32_t>(progress->getPos()) >= progress->getRange())
                        progress->setRange(progress->getRange() * 2);
                }
                flags = CRYPT_NEXT | (flags & CRYPT_UNIQUE);
                failures = 0;
            }
        }
    } catch (const CStepFailure& step) {
        failure = step.error;
    } catch (const CError& e) {
        failure = e;
        failure.appendText(u"\r\n" + toString());
    }
    if (!failure.isEmpty()) {
        if (error) *error = failure;
        if (GetLogLevel() >= 1) LogAt(1, CWString(u"PKI::CSPInfo::GetKeyContainers ") + failure.getText());
    }
    if (scope.isEntered() && scope.getLevel() >= 3) scope.m_result = quotedList(names);
    return names;
}

CReaderArray CSPInfo::GetReaders(bool skipNoMedia) {
    CReaderArray readers;
    if (isToken()) {
        const Vsk::PKCS11::SlotInfo& slot = m_token.getSlotInfo();
        CReaderInfo reader;
        reader.m_nickName = slot.slotDescription;
        reader.m_name = slot.manufacturerID;
        readers.add(reader);
        return readers;
    }
    if (isCryptoProUEC()) return readers;
    CHoldCSP context = acquireContext(nullptr, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    if (!context.isAcquired()) return readers;
    return GetKeysetReaders(context.get_hCryptProv(), skipNoMedia);
}

CReaderArray GetKeysetReaders(HCRYPTPROV hProv, bool skipNoMedia) {
    CLogScope scope;
    if (GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::GetKeysetReaders", ToWString(static_cast<uint64_t>(hProv), 16));
    CReaderArray readers;
    DWORD flags = CRYPT_FIRST | ReadersWithMedia;
    for (;;) {
        CDataBlob buffer(static_cast<size_t>(ReaderRecordSize));
        DWORD size = ReaderRecordSize;
        if (!GetProvParam(hProv, PP_ENUMREADERS, buffer.getData(), &size, flags)) {
            const DWORD e = GetLastError();
            if (e == ERROR_NO_MORE_ITEMS)
                SetLastError(0);
            else if (GetLogLevel() >= 1)
                LogAt(1, CWString(u"CryptGetProvParam(PP_ENUMREADERS) ") + Vsk::Utils::GetSystemErrorText(e));
            break;
        }
        flags = CRYPT_NEXT | ReadersWithMedia;
        const size_t used = std::min<size_t>(size, buffer.getSize());
        const auto* bytes = reinterpret_cast<const char*>(buffer.getData());
        const size_t nickEnd = textEnd(buffer, used, 0);
        const size_t nameEnd = textEnd(buffer, used, nickEnd + 1);
        const size_t mediaEnd = textEnd(buffer, used, nameEnd + 1);
        if (mediaEnd + 1 >= used) throw CError(LengthOutOfRange, Vsk::Utils::NoErrorCode);
        CReaderInfo reader;
        reader.m_nickName = from1251(bytes, nickEnd);
        reader.m_name = from1251(bytes + nickEnd + 1, nameEnd - nickEnd - 1);
        reader.m_media = from1251(bytes + nameEnd + 1, mediaEnd - nameEnd - 1);
        reader.m_flags = static_cast<uint8_t>(bytes[mediaEnd + 1]);
        if (GetLogLevel() >= 4) LogAt(4, CWString(u"PKI::GetKeysetReaders ") + reader.toString());
        if (skipNoMedia && reader.m_media == CWString(u"NO_MEDIA")) continue;
        readers.add(reader);
    }
    return readers;
}

}  // namespace Vsk::PKI
