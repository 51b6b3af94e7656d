// Helpers shared by the PKI layers: the signature-algorithm table lookup, the parameters of a
// provider handle, the verification settings' texts and the error-code classes.
#include <vsk/pki/PkiHelpers.h>

#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/Hash.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace Vsk::PKI {

const CSignatureAlgorithm* FindSignatureAlgorithm(const CAString& signatureOid) {
    for (const CSignatureAlgorithm& row : SignatureAlgorithms)
        if (signatureOid == row.signatureOid) return &row;
    return nullptr;
}

namespace {

// Reads a text parameter into `out`; false (with `error` set when given) when it comes back empty.
bool readTextParam(HCRYPTPROV hProv, DWORD param, CWString* out, CError* error, const char* failure) {
    DWORD code = 0;
    const CAString text = GetProvStrParam(hProv, param, &code);
    *out = CWString(text, Vsk::Utils::CP_PROGRAM);
    if (out->getLength() != 0) return true;
    if (error) *error = CError(failure, code);
    return false;
}

}  // namespace

bool GetCSPParams(HCRYPTPROV hProv, DWORD* type, CWString* name, CWString* container, CError* error) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::GetCSPParams", Vsk::Utils::ToWString(static_cast<uint64_t>(hProv), 16));
    if (type) {
        *type = 0;
        DWORD length = sizeof *type;
        if (!GetProvParam(hProv, PP_PROVTYPE, reinterpret_cast<BYTE*>(type), &length, 0)) {
            if (error) *error = CError("Получение типа криптопровайдера", Vsk::Utils::LastErrorCode);
            return false;
        }
    }
    if (name && !readTextParam(hProv, PP_NAME, name, error, "Получение наименования криптопровайдера"))
        return false;
    if (container &&
        !readTextParam(hProv, PP_CONTAINER, container, error, "Получение наименования ключевого контейнера"))
        return false;
    return true;
}

CAString RevocationFlagToStr(int scope) {
    switch (scope) {
        case 1:
            return "только пользовательский сертификат";
        case 2:
            return "все сертификаты цепочки за исключением корневого сертификата";
        case 3:
            return "все сертификаты цепочки";
        default:
            return {};
    }
}

CAString RevocationModeToStr(int mode) {
    switch (mode) {
        case 1:
            return "не проверять сертификаты на отозванность";
        case 2:
            return "по локальному СОС, если локальный СОС просрочен, то загружать СОС по сети";
        case 3:
            return "только по локальному СОС";
        default:
            return {};
    }
}

CAString VerifyFlagToStr(int flag) {
    switch (flag) {
        case 0:
            return "Не включены флаги, относящиеся к проверке";
        case 1:
            return "Не проверять срок действия сертификата";
        case 2:
            return "Не проверять сроки действия на вложенность";
        case 4:
            return "Не учитывать, что цепочку нельзя проверить из-за неизвестного центра сертификации (ЦС)";
        case 8:
            return "Не учитывать, что отзыв конечного сертификата (сертификата пользователя) неизвестен";
        case 16:
            return "Не учитывать, что отзыв центра сертификации неизвестен";
        case 32:
            return "Не учитывать, что корневой отзыв неизвестен";
        case 63:
            return "Включены все флаги, относящиеся к проверке";
        default:
            return {};
    }
}

bool isCancelledError(DWORD code) {
    return code == ERROR_CANCELLED || code == SCARD_W_CANCELLED_BY_USER;
}

bool isPinError(DWORD code) {
    switch (code) {
        case NTE_SILENT_CONTEXT:
        case SCARD_E_INVALID_CHV:
        case SCARD_W_WRONG_CHV:
        case SCARD_W_CHV_BLOCKED:
        case SCARD_W_CARD_NOT_AUTHENTICATED:
            return true;
        default:
            return false;
    }
}

CWString SizeAndDigestText(const Vsk::Utils::CDataBlob& bytes) {
    CWString text = u"size=" + Vsk::Utils::ToWString(static_cast<uint64_t>(bytes.getSize()));
    try {
        CHash sha1;
        sha1.createWithNoChecks(CALG_SHA1);
        text += u", SHA-1=" + CWString(sha1.calculate(bytes).toHex(nullptr, false), Vsk::Utils::CP_PROGRAM);
    } catch (const CError&) {
        // Without a hash the size alone describes the input; its bytes never go to the log.
    }
    return text;
}

}  // namespace Vsk::PKI
