#include <vsk/platform/guid.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace Vsk::InternalUtils {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD ModulePathCapacity = 4096;

bool isSeparator(WCHAR ch) {
    return ch == u'\\' || ch == u'/';
}

// Index after the last separator, 0 when there is none.
size_t nameStart(const CWString& path) {
    const WCHAR* text = path.c_str();
    size_t start = 0;
    for (size_t i = 0, n = path.getLength(); i < n; ++i)
        if (isSeparator(text[i])) start = i + 1;
    return start;
}

CWString quoted(const WCHAR* before, const CWString& path, const WCHAR* after) {
    return CWString(before) + path + after;
}

}  // namespace

// ---- CFile --------------------------------------------------------------------------------------

CFile::CFile() : m_file(INVALID_HANDLE_VALUE) {}

CFile::CFile(const CDataBlob& data) : CDataBlob(data), m_file(INVALID_HANDLE_VALUE) {}

CFile::~CFile() {
    close();
}

void CFile::openForRead(const WCHAR* path) {
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter("Vsk::InternalUtils::CFile::openForRead", CWString(path), this);
    close();
    m_path = GetFullPath(CWString(path));
    m_file = ::CreateFileW(m_path.c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (m_file == INVALID_HANDLE_VALUE)
        throw CError(quoted(u"Файл \"", m_path, u"\" не открылся на чтение"), Vsk::Utils::LastErrorCode);
}

void CFile::openForWrite(const WCHAR* path, DWORD disposition) {
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter("Vsk::InternalUtils::CFile::openForWrite", CWString(path), this);
    close();
    m_path = GetFullPath(CWString(path));
    m_file = ::CreateFileW(m_path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE)
        throw CError(quoted(u"Файл \"", m_path, u"\" не открылся на запись"), Vsk::Utils::LastErrorCode);
}

DWORD CFile::read() {
    CLogScope scope;
    const int level = GetLogLevel();
    if (level >= 4) scope.enter("Vsk::InternalUtils::CFile::read", ToWString(CDataBlob::getSize()), this);
    if (m_file == INVALID_HANDLE_VALUE)
        throw CError(u"Файл не был открыт на чтение!", Vsk::Utils::NoErrorCode);
    DWORD done = 0;
    if (!::ReadFile(m_file, getData(), CDataBlob::getSize(), &done, nullptr))
        throw CError(quoted(u"Ошибка чтения файла \"", m_path, u"\""), Vsk::Utils::LastErrorCode);
    if (level >= 3) scope.setResult(ToWString(done));
    return done;
}

void CFile::write() {
    CLogScope scope;
    if (GetLogLevel() >= 4)
        scope.enter("Vsk::InternalUtils::CFile::write", ToWString(CDataBlob::getSize()), this);
    const DWORD size = CDataBlob::getSize();
    if (size == 0) return;
    if (m_file == INVALID_HANDLE_VALUE)
        throw CError(u"Файл не был открыт на запись!", Vsk::Utils::NoErrorCode);
    DWORD written = 0;
    if (!::WriteFile(m_file, getData(), size, &written, nullptr))
        throw CError(quoted(u"Ошибка записи в файл \"", m_path, u"\""), Vsk::Utils::LastErrorCode);
    if (written != size)
        throw CError(quoted(u"В файл \"", m_path, u"\" записано байт ") + ToWString(written) + u" из " +
                         ToWString(size),
                     Vsk::Utils::NoErrorCode);
}

uint64_t CFile::getSize() {
    if (m_file == INVALID_HANDLE_VALUE) throw CError(u"Файл не был открыт!", Vsk::Utils::NoErrorCode);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_file, &size))
        throw CError(quoted(u"Не получен размер файла \"", m_path, u"\""), Vsk::Utils::LastErrorCode);
    return static_cast<uint64_t>(size.QuadPart);
}

bool CFile::getLastWriteTime(SYSTEMTIME& time) {
    FILETIME lastWrite{};
    SYSTEMTIME utc{};
    return m_file != INVALID_HANDLE_VALUE && ::GetFileTime(m_file, nullptr, nullptr, &lastWrite) &&
           ::FileTimeToSystemTime(&lastWrite, &utc) &&
           ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &time);
}

void CFile::close() {
    if (m_file == INVALID_HANDLE_VALUE) return;
    HANDLE file = m_file;
    m_file = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(file)) {
        const DWORD error = GetLastError();
        if (error != 0 && GetLogLevel() >= 1) {
            if (CLog* log = GetLog())
                log->writeWin32Error(u"InternalUtils::CFile::close close " + m_path, error);
        }
    }
}

void CFile::readAll(const WCHAR* path) {
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter("Vsk::InternalUtils::CFile::readAll", CWString(path), this);
    openForRead(path);
    const uint64_t size = getSize();
    if (size > 0xFFFFFFFFull)
        throw CError(quoted(u"Файл \"", m_path, u"\" слишком большой для чтения целиком!"),
                     Vsk::Utils::NoErrorCode);
    // Fresh storage, so a blob this file was made from is not overwritten.
    static_cast<CDataBlob&>(*this) = CDataBlob(static_cast<size_t>(size));
    DWORD done = 0;
    if (!::ReadFile(m_file, getData(), static_cast<DWORD>(size), &done, nullptr))
        throw CError(quoted(u"Ошибка чтения файла \"", m_path, u"\"."), Vsk::Utils::LastErrorCode);
    if (done != size)
        throw CError(quoted(u"Файл \"", m_path, u"\" не прочтен полностью (") + ToWString(done) + u" из " +
                         ToWString(size) + u")",
                     Vsk::Utils::NoErrorCode);
    close();
}

void CFile::writeAll(const WCHAR* path, DWORD disposition) {
    openForWrite(path, disposition);
    write();
    close();
}

// ---- Path functions -----------------------------------------------------------------------------

CWString GetTempPathW() {
    CLogScope scope;
    const int level = GetLogLevel();
    if (level >= 4) scope.enter("Vsk::InternalUtils::GetTempPathW");
    DWORD size = ::GetTempPathW(0, nullptr);
    if (size == 0) size = MAX_PATH;
    std::vector<WCHAR> buffer(size + 1, 0);
    const DWORD length = ::GetTempPathW(size, buffer.data());
    if (length == 0 || length >= size) throw CError(u"GetTempPath", Vsk::Utils::LastErrorCode);
    CWString path(buffer.data(), static_cast<size_t>(length));
    if (level >= 3) scope.setResult(path);
    return path;
}

CWString GetModuleFileNameW(HMODULE module) {
    CLogScope scope;
    const int level = GetLogLevel();
    if (level >= 5)
        scope.enter("Vsk::InternalUtils::GetModuleFileNameW",
                    ToWString(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(module)), 16));
    std::vector<WCHAR> buffer(ModulePathCapacity + 1, 0);
    const DWORD length = ::GetModuleFileNameW(module, buffer.data(), ModulePathCapacity);
    // A path cut to the buffer is no path at all.
    CWString path;
    if (length != 0 && length < ModulePathCapacity)
        path = CWString(buffer.data(), static_cast<size_t>(length));
    if (level >= 3) scope.setResult(path);
    return path;
}

CWString GetModuleFolder(HMODULE module) {
    return GetFolderPart(GetModuleFileNameW(module));
}

CWString GetSpecialFolderPath(int csidl) {
    std::vector<WCHAR> buffer(MAX_PATH + 1, 0);
    if (!::SHGetSpecialFolderPathW(nullptr, buffer.data(), csidl, FALSE)) return CWString();
    return CWString(buffer.data());
}

CWString GetFullPath(const CWString& path) {
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::vector<WCHAR> buffer(size + 1, 0);
    const DWORD length = ::GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    if (length == 0 || length >= size) return path;
    return CWString(buffer.data(), static_cast<size_t>(length));
}

CWString GetFolderPart(const CWString& path) {
    const size_t start = nameStart(path);
    if (start == 0) return path;
    return CWString(path.c_str(), start);
}

CWString GetFileNamePartW(const CWString& path) {
    const size_t start = nameStart(path);
    if (start == 0) return path;
    return CWString(path.c_str() + start, static_cast<size_t>(path.getLength() - start));
}

const char* GetFileNamePartA(const char* path) {
    if (!path) return nullptr;
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    return name;
}

void TruncateAtFirstDot(CWString& text) {
    const WCHAR* chars = text.c_str();
    for (size_t i = 0, n = text.getLength(); i < n; ++i) {
        if (chars[i] == u'.') {
            text = CWString(chars, i);
            return;
        }
    }
}

void AddBackslash(CWString& text) {
    const DWORD length = text.getLength();
    // On this platform the separator that goes to disk (and to tools that do not share our
    // separator rules) is "/".
    if (length == 0 || !isSeparator(text.c_str()[length - 1])) text += u'/';
}

bool FileExists(const CWString& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const CWString& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

CWString MakeValidFileName(const CWString& text) {
    static constexpr char16_t Invalid[] = u"*|\\:\"<>?/";
    auto isBlank = [](WCHAR ch) { return ch == u' ' || (ch >= u'\t' && ch <= u'\r'); };
    std::u16string name = text.toU16();
    for (char16_t& ch : name)
        for (const char16_t* bad = Invalid; *bad; ++bad)
            if (ch == *bad) ch = u' ';
    size_t end = name.size();
    while (end > 0 && isBlank(name[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && isBlank(name[begin])) ++begin;
    return CWString(name.data() + begin, end - begin);
}

CWString GetProfileFolder(const CWString& name) {
    // The base is computed once per process; the lock keeps two first callers from writing it at
    // the same time.
    static std::mutex baseLock;
    static CWString base;
    CWString folder;
    {
        std::lock_guard<std::mutex> guard(baseLock);
        if (base.getLength() == 0) {
            std::vector<WCHAR> buffer(MAX_PATH + 1, 0);
            CWString found;
            if (::SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                   buffer.data()) == S_OK ||
                ::SHGetSpecialFolderPathW(nullptr, buffer.data(), CSIDL_APPDATA, TRUE)) {
                found = CWString(buffer.data());
            } else {
                const DWORD length = ::GetTempPathW(MAX_PATH, buffer.data());
                if (length != 0 && length < MAX_PATH)
                    found = CWString(buffer.data(), static_cast<size_t>(length));
            }
            if (found.getLength() != 0) {
                AddBackslash(found);
                base = found;
            }
        }
        folder = base;
    }

    CWString leaf = name;
    if (leaf.getLength() == 0) {
        leaf = GetFileNamePartW(GetModuleFileNameW(nullptr));
        const WCHAR* chars = leaf.c_str();
        for (size_t i = leaf.getLength(); i > 0; --i) {
            if (chars[i - 1] == u'.') {
                leaf = CWString(chars, i - 1);
                break;
            }
        }
    }
    folder += leaf;
    while (folder.getLength() != 0 && isSeparator(folder.c_str()[folder.getLength() - 1]))
        folder = CWString(folder.c_str(), static_cast<size_t>(folder.getLength() - 1));

    if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !::CreateDirectoryW(folder.c_str(), nullptr) &&
        ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) != ERROR_SUCCESS) {
        LogAt(1, u"InternalUtils::GetProfileFolder " + folder);
    }
    return folder;
}

}  // namespace Vsk::InternalUtils

namespace Vsk::Utils {

// ---- CTempFile ----------------------------------------------------------------------------------

CTempFile::CImpl::~CImpl() {
    if (getLength() != 0) ::DeleteFileW(c_str());
}

CTempFile::CTempFile() : m_pImpl(CRefPtr<CImpl>::tryCreate()) {}

void CTempFile::reset() {
    m_pImpl = CRefPtr<CImpl>::create();
}

CWString CTempFile::getName(const WCHAR* prefix) {
    m_pImpl.checkCreated();
    CLock guard(static_cast<CCriticalSection*>(m_pImpl.get()));
    if (m_pImpl->getLength() == 0) static_cast<CWString&>(*m_pImpl) = Get_TempFileName(prefix);
    return CWString(*m_pImpl);
}

CWString CTempFile::getPath() const {
    m_pImpl.checkCreated();
    CLock guard(static_cast<CCriticalSection*>(m_pImpl.get()));
    return CWString(*m_pImpl);
}

CWString Get_TempFileName(const WCHAR* prefix) {
    CWString name = InternalUtils::GetTempPathW();
    if (prefix) name += prefix;
    GUID guid{};
    const HRESULT hr = ::CoCreateGuid(&guid);
    // Without a new GUID every name would be the same one.
    if (FAILED(hr)) throw CError("CoCreateGuid", hr);
    WCHAR text[64] = {};
    if (::StringFromGUID2(guid, text, 64) == 0) {
        throw InternalError(__FILE__, __LINE__);
    }
    // Braced upper-case form: keep the 36 characters between the braces, in lower case.
    for (int i = 1; i <= 36; ++i) text[i] = towlower16(text[i]);
    name.append(text + 1, 36);
    if (InternalUtils::GetLogLevel() >= 5) InternalUtils::LogAt(5, u"Utils::Get_TempFileName " + name);
    return name;
}

}  // namespace Vsk::Utils
