#include <vsk/platform/file.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/system.h>
#include <vsk/utils/zip.h>

#include <minizip/zip.h>
#include <zlib.h>

#include <vector>

namespace Vsk::Utils {

namespace {

// Longest entry name taken, in UTF-16 characters and in converted bytes.
constexpr int MaxEntryName = 260;
// Code page of entry names when the process has no common-information record.
constexpr int FallbackZipCodePage = 866;
constexpr uLong Utf8NameFlag = 0x800;

// The archive writer works on the already open temporary file. The handle travels as the opaque
// value; closing is left to the owner of the handle, which closes it when the archive is saved.
voidpf ZCALLBACK zipOpenHandle(voidpf opaque, const void*, int) {
    return opaque;
}

uLong ZCALLBACK zipReadHandle(voidpf, voidpf stream, void* buffer, uLong size) {
    DWORD done = 0;
    if (!::ReadFile(static_cast<HANDLE>(stream), buffer, static_cast<DWORD>(size), &done, nullptr)) return 0;
    return done;
}

uLong ZCALLBACK zipWriteHandle(voidpf, voidpf stream, const void* buffer, uLong size) {
    DWORD done = 0;
    if (!::WriteFile(static_cast<HANDLE>(stream), buffer, static_cast<DWORD>(size), &done, nullptr)) return 0;
    return done;
}

ZPOS64_T ZCALLBACK zipTellHandle(voidpf, voidpf stream) {
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(static_cast<HANDLE>(stream), zero, &position, FILE_CURRENT))
        return static_cast<ZPOS64_T>(-1);
    return static_cast<ZPOS64_T>(position.QuadPart);
}

long ZCALLBACK zipSeekHandle(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    DWORD method = FILE_BEGIN;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            method = FILE_BEGIN;
            break;
        case ZLIB_FILEFUNC_SEEK_CUR:
            method = FILE_CURRENT;
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            method = FILE_END;
            break;
        default:
            return -1;
    }
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(static_cast<HANDLE>(stream), distance, nullptr, method) ? 0 : -1;
}

int ZCALLBACK zipCloseHandle(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK zipErrorHandle(voidpf, voidpf) {
    return static_cast<int>(GetLastError());
}

// The writer's result as text (code page 1251).
const char* zipResultText(int result) {
    switch (result) {
        case ZIP_ERRNO:
            return "Ошибка ввода-вывода при записи ZIP-архива";
        case ZIP_PARAMERROR:
            return "Неверный параметр записи ZIP-архива";
        case ZIP_BADZIPFILE:
            return "Неверный формат ZIP-архива";
        case ZIP_INTERNALERROR:
            return "Внутренняя ошибка записи ZIP-архива";
        default:
            return "Неизвестная ошибка записи ZIP-архива";
    }
}

void checkZipResult(int result) {
    if (result != ZIP_OK) throw CError(zipResultText(result), Vsk::Utils::LastErrorCode);
}

}  // namespace

// ---- CZip::CImpl --------------------------------------------------------------------------------

CZip::CImpl::CImpl() = default;

CZip::CImpl::~CImpl() {
    if (m_zip) zipClose(static_cast<zipFile>(m_zip), nullptr);
    if (m_file) ::CloseHandle(m_file);
    // The temporary-file object deletes the file when it goes.
}

void CZip::CImpl::open() {
    if (m_zip) return;
    if (m_file) throw CError(u"Архив уже закрыт для добавления данных!", Vsk::Utils::LastErrorCode);

    CDataBlob descriptor;
    ACL* dacl = nullptr;
    try {
        descriptor = InternalUtils::CreateSecurityDescriptorForAdminAndCurrentUser(&dacl, true);
    } catch (const CError&) {
        // The file then gets the default security.
        descriptor.clear();
        dacl = nullptr;
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES),
                                 descriptor.getSize() ? descriptor.getData() : nullptr, FALSE};
    const CWString path = m_tempFile.getName(u"zip_");
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &security,
                                CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    {
        CLastErrorGuard keep;
        if (dacl) ::LocalFree(dacl);
    }
    if (file == INVALID_HANDLE_VALUE) throw CError("CreateFile", Vsk::Utils::LastErrorCode);
    m_file = file;

    zlib_filefunc64_def io{};
    io.zopen64_file = zipOpenHandle;
    io.zread_file = zipReadHandle;
    io.zwrite_file = zipWriteHandle;
    io.ztell64_file = zipTellHandle;
    io.zseek64_file = zipSeekHandle;
    io.zclose_file = zipCloseHandle;
    io.zerror_file = zipErrorHandle;
    io.opaque = m_file;
    m_zip = zipOpen2_64(nullptr, APPEND_STATUS_CREATE, nullptr, &io);
    if (!m_zip) throw CError("CreateZip", Vsk::Utils::LastErrorCode);
}

void CZip::CImpl::add(const CDataBlob& data, const WCHAR* name) {
    open();

    std::u16string entry;
    if (name) entry = std::u16string(name).substr(0, MaxEntryName);
    if (entry.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        checkZipResult(ZIP_PARAMERROR);
    }
    for (char16_t& ch : entry)
        if (ch == u'\\') ch = u'/';

    const int* codePagePtr = InternalUtils::GetZipEncodingPtr();
    const int codePage = codePagePtr ? *codePagePtr : FallbackZipCodePage;
    char name8[MaxEntryName + 1] = {};
    const int length =
        ::WideCharToMultiByte(static_cast<UINT>(codePage), 0, entry.data(), static_cast<int>(entry.size()),
                              name8, MaxEntryName, nullptr, nullptr);
    // A name that does not fit whole would be stored cut or empty.
    if (length <= 0) throw CError("WideCharToMultiByte", Vsk::Utils::LastErrorCode);
    name8[length] = 0;

    zip_fileinfo info{};
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    info.tmz_date.tm_sec = now.wSecond;
    info.tmz_date.tm_min = now.wMinute;
    info.tmz_date.tm_hour = now.wHour;
    info.tmz_date.tm_mday = now.wDay;
    info.tmz_date.tm_mon = now.wMonth - 1u;
    info.tmz_date.tm_year = now.wYear;

    const DWORD size = data.getSize();
    zipFile zip = static_cast<zipFile>(m_zip);
    checkZipResult(zipOpenNewFileInZip4_64(zip, name8, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                           Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                           Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                                           codePage == static_cast<int>(CP_UTF8) ? Utf8NameFlag : 0, 0));
    checkZipResult(zipWriteInFileInZip(zip, size ? data.getData() : nullptr, size));
    checkZipResult(zipCloseFileInZip(zip));
}

void CZip::CImpl::save(const WCHAR* path, bool replace) {
    if (m_zip) {
        zipFile zip = static_cast<zipFile>(m_zip);
        m_zip = nullptr;
        checkZipResult(zipClose(zip, nullptr));
    }
    const CWString tempPath = m_tempFile.getPath();
    if (tempPath.getLength() == 0)
        throw CError(u"Архив пуст или уже был сохранен!", Vsk::Utils::LastErrorCode);
    if (!::SetFileAttributesW(tempPath.c_str(), FILE_ATTRIBUTE_NORMAL))
        throw CError("SetFileAttributes", Vsk::Utils::LastErrorCode);
    if (m_file) {
        HANDLE file = m_file;
        m_file = nullptr;
        if (!::CloseHandle(file)) throw CError("CloseHandle", Vsk::Utils::LastErrorCode);
    }
    const DWORD flags =
        MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!::MoveFileExW(tempPath.c_str(), path, flags))
        throw CError(u"Ошибка перезаписи файла " + CWString(path) + u"!", Vsk::Utils::LastErrorCode);
    m_tempFile.reset();
}

// ---- CZip ---------------------------------------------------------------------------------------

CZip::CZip() : m_pImpl(CRefPtr<CImpl>::create()) {}

void CZip::Add(const CDataBlob& data, const WCHAR* name) {
    m_pImpl.checkCreated();
    m_pImpl->add(data, name);
}

void CZip::Save(const WCHAR* path, bool replace) {
    m_pImpl.checkCreated();
    m_pImpl->save(path, replace);
}

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

int* GetZipEncodingPtr() {
    return zipEncoding();
}

}  // namespace Vsk::InternalUtils
