#include "EncryptedDataLog.h"

#include <vsk/utils/log.h>

#include <openssl/sha.h>

namespace Vsk::PKI::EncryptedDataLog {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

void write(int level, const char* function, const CWString& text) {
    if (Vsk::InternalUtils::GetLogLevel() >= level)
        Vsk::InternalUtils::LogAt(level, CWString(u"PKI::") + Vsk::Utils::ToWString(function) + u" " + text);
}

void writeBlock(int level, const char* function, const CWString& label, const CDataBlob& block) {
    if (Vsk::InternalUtils::GetLogLevel() < level) return;
    BYTE digest[SHA256_DIGEST_LENGTH];
    SHA256(block.getData(), block.getSize(), digest);
    write(level, function,
          label + u": size=" + Vsk::Utils::ToWString(block.getSize()) + u", sha256=" +
              Vsk::Utils::ToWString(CDataBlob(digest, sizeof digest, true).toHex()));
}

}  // namespace Vsk::PKI::EncryptedDataLog
