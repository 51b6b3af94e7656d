#include <vsk/pki/FileInfo.h>
#include <vsk/pki/Hash.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/system.h>

#include <cstring>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

// BLOBHEADER (8 bytes), magic (4), bit length (4): the parameters start after them.
constexpr size_t KeyBlobHeaderSize = 16;
constexpr size_t MagicOffset = 8;
constexpr size_t BitLengthOffset = 12;
constexpr size_t KeyAlgorithmOffset = 4;

DWORD readDword(const CDataBlob& blob, size_t offset) {
    DWORD value = 0;
    std::memcpy(&value, blob.getData() + offset, sizeof value);
    return value;
}

}  // namespace

CWString getFileInfoText(const CWString& path) {
    const CWString file = path.getLength() != 0 ? path : Vsk::InternalUtils::GetModuleFileNameW(nullptr);
    CWString text = file + u" (";
    try {
        Vsk::InternalUtils::CFile reader;
        reader.openForRead(file.c_str());
        reader.setData(Vsk::InternalUtils::GetMaxFileBlockSize(), nullptr);
        const uint64_t size = reader.getSize();
        text += Vsk::Utils::ToWString(size) + u" bytes, ";

        SYSTEMTIME time{};
        if (reader.getLastWriteTime(time))
            text += Vsk::Utils::SystemTimeToText(time, false);
        else
            text += CError(Vsk::Utils::LastErrorCode).getText();

        CHash md5;
        md5.createWithNoChecks(CALG_MD5);
        uint64_t done = 0;
        while (done < size) {
            const DWORD read = reader.read();
            // A file that shrank while it was read gives no digest: it would not be the file's.
            if (read == 0)
                throw CError(u"Файл уменьшился при чтении: прочитано " + Vsk::Utils::ToWString(done) +
                                 u" из " + Vsk::Utils::ToWString(size) + u" байт",
                             Vsk::Utils::NoErrorCode);
            md5.addData(reader, read);
            done += read;
        }
        text += u", md5:" + CWString(md5.value().toHex(), Vsk::Utils::CP_PROGRAM);

        Vsk::Utils::CAppVersion version;
        if (Vsk::Utils::GetAppVersion(file.c_str(), version)) text += u", version:" + version.text();
    } catch (const CError& error) {
        text += u" " + error.getText();
    }
    text += u")";
    return text;
}

void parsePublicKeyBlob(const CDataBlob& blob, CDataBlob& key, CDataBlob& parameters, ALG_ID& keyAlgorithm) {
    // A blob too short for its header cannot carry the magic either.
    if (blob.getSize() < KeyBlobHeaderSize || readDword(blob, MagicOffset) != GR3410_1_MAGIC)
        throw CError("Не поддерживаемый формат: не GR3410_1_MAGIC", Vsk::Utils::NoErrorCode);
    const size_t keyBytes = readDword(blob, BitLengthOffset) / 8;
    const size_t size = blob.getSize();
    // A key longer than what follows the header would overlap it: the range check of the blob
    // raises its error for that selection.
    if (keyBytes > size - KeyBlobHeaderSize) (void)blob.getBlock(KeyBlobHeaderSize, keyBytes);
    key = blob.getBlock(size - keyBytes, keyBytes);
    parameters = blob.getBlock(KeyBlobHeaderSize, size - KeyBlobHeaderSize - keyBytes);
    keyAlgorithm = readDword(blob, KeyAlgorithmOffset);
}

}  // namespace Vsk::PKI
