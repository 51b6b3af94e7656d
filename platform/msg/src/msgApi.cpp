// The CryptMsg functions: handles over the encoder and decoder objects. A handle is the object's
// address, known in a table of live messages so that a stale or foreign handle fails cleanly;
// CryptMsgDuplicate adds a reference and CryptMsgClose drops one.
#include "msgImpl.h"

#include <unordered_set>

namespace vsk::msg {
namespace {

std::mutex g_liveMutex;
std::unordered_set<Message*>& Live() {
    static std::unordered_set<Message*> live;
    return live;
}

HCRYPTMSG Register(std::unique_ptr<Message> msg) {
    std::lock_guard lock(g_liveMutex);
    Message* raw = msg.release();
    Live().insert(raw);
    return raw;
}

// The message of a live handle with a reference taken for the call, or null (ERROR_INVALID_HANDLE).
Message* Acquire(HCRYPTMSG handle) {
    std::lock_guard lock(g_liveMutex);
    auto* msg = static_cast<Message*>(handle);
    if (!handle || !Live().count(msg)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++msg->references;
    return msg;
}

void Release(Message* msg) {
    {
        std::lock_guard lock(g_liveMutex);
        if (--msg->references > 0) return;
        Live().erase(msg);
    }
    delete msg;
}

struct Held {
    Message* msg;
    explicit Held(HCRYPTMSG handle) : msg(Acquire(handle)) {}
    ~Held() {
        if (msg) Release(msg);
    }
};

bool GoodEncoding(DWORD encodingType) {
    return (encodingType & PKCS_7_ASN_ENCODING) != 0;
}

}  // namespace
}  // namespace vsk::msg

using namespace vsk::msg;

HCRYPTMSG CryptMsgOpenToEncode(DWORD encodingType, DWORD flags, DWORD msgType, const void* pvMsgEncodeInfo,
                               LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo) {
    if (!GoodEncoding(encodingType)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (msgType != CMSG_SIGNED) {
        SetLastError(CRYPT_E_INVALID_MSG_TYPE);
        return nullptr;
    }
    if (!pvMsgEncodeInfo || (pszInnerContentObjID && std::string(pszInnerContentObjID) != szOID_RSA_data)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    DWORD error = 0;
    auto msg =
        NewEncoder(flags, *static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo), pStreamInfo, error);
    if (!msg) {
        SetLastError(error);
        return nullptr;
    }
    return Register(std::move(msg));
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD encodingType, DWORD flags, DWORD msgType, HCRYPTPROV_LEGACY hCryptProv,
                               PCERT_INFO pRecipientInfo, PCMSG_STREAM_INFO pStreamInfo) {
    if (!GoodEncoding(encodingType) || pRecipientInfo) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (msgType != 0 && msgType != CMSG_SIGNED) {
        SetLastError(CRYPT_E_INVALID_MSG_TYPE);
        return nullptr;
    }
    return Register(NewDecoder(flags, hCryptProv, pStreamInfo));
}

BOOL CryptMsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD size, BOOL final) {
    Held held(msg);
    if (!held.msg) return FALSE;
    std::lock_guard lock(held.msg->mutex);
    return held.msg->update(data, size, final);
}

BOOL CryptMsgGetParam(HCRYPTMSG msg, DWORD param, DWORD index, void* data, DWORD* size) {
    Held held(msg);
    if (!held.msg) return FALSE;
    std::lock_guard lock(held.msg->mutex);
    return held.msg->getParam(param, index, data, size);
}

BOOL CryptMsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara) {
    Held held(msg);
    if (!held.msg) return FALSE;
    std::lock_guard lock(held.msg->mutex);
    return held.msg->control(flags, ctrlType, ctrlPara);
}

HCRYPTMSG CryptMsgDuplicate(HCRYPTMSG msg) {
    Message* m = Acquire(msg);
    return m;  // the reference taken stays with the duplicate
}

BOOL CryptMsgClose(HCRYPTMSG msg) {
    if (!msg) return TRUE;
    Message* m = Acquire(msg);
    if (!m) return FALSE;
    Release(m);
    Release(m);
    return TRUE;
}
