// The C boundary of the time-stamp client library: the objects behind the opaque handles, and one
// guard that turns every failure inside into a status and the object's last error, so that no
// exception ever crosses into the program that loaded the library.
#define VSK_TSP_BUILDING_LIBRARY
#include <vsk/platform/tspClient.h>

#include "cryptState.h"
#include "tspToken.h"

#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <exception>
#include <memory>
#include <new>
#include <optional>

// Not among the platform's constants: "the object holds no token".
constexpr uint32_t OLE_E_BLANK = 0x80040007;

struct VskTspStamp {
    std::optional<vsk::tsp::Token> token;
    std::string error;
};

struct VskTspRequest {
    uint32_t algId = CALG_GR3411_2012_256;
    // Made at the first data; null before, when the imprint is empty.
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> hash{nullptr, EVP_MD_CTX_free};
    vsk::tsp::Bytes imprint;
    std::string error;
};

namespace {

using vsk::tsp::Failure;

std::string Text(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// Runs one operation: 0 when it succeeded, else its code with the text kept in `error`.
template <class Action>
uint32_t Guard(std::string& error, Action&& action) noexcept {
    try {
        error.clear();
        action();
        return 0;
    } catch (const Failure& failure) {
        try {
            error = failure.text;
        } catch (...) {
        }
        return failure.code;
    } catch (const std::bad_alloc&) {
        error.clear();
        return static_cast<uint32_t>(E_OUTOFMEMORY);
    } catch (...) {
        try {
            error = Text(u8"Внутренняя ошибка библиотеки штампов времени");
        } catch (...) {
        }
        return static_cast<uint32_t>(E_UNEXPECTED);
    }
}

const vsk::tsp::Token& LoadedToken(const VskTspStamp* stamp) {
    if (!stamp->token) throw Failure{OLE_E_BLANK, Text(u8"Штамп времени не загружен")};
    return *stamp->token;
}

// ---- Stamp -----------------------------------------------------------------------------------------

uint32_t StampLoad(VskTspStamp* stamp, const uint8_t* token, size_t size) {
    if (!stamp) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(stamp->error, [&] {
        stamp->token.reset();
        stamp->token = vsk::tsp::ReadToken(token, size);
    });
}

uint32_t StampVerifySignature(VskTspStamp* stamp, const uint8_t* certificate, size_t size,
                              uint32_t* verdict) {
    if (!stamp || !verdict) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(stamp->error, [&] {
        const vsk::tsp::Token& token = LoadedToken(stamp);
        *verdict = vsk::tsp::VerifyToken(token, vsk::tsp::ReadCertificate(certificate, size));
    });
}

uint32_t StampGetImprintAlgorithm(const VskTspStamp* stamp, uint32_t* algId) {
    if (!stamp || !algId) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(const_cast<VskTspStamp*>(stamp)->error, [&] { *algId = LoadedToken(stamp).imprintAlgId; });
}

uint32_t StampGetMessageImprint(const VskTspStamp* stamp, const uint8_t** data, size_t* size) {
    if (!stamp || !data || !size) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(const_cast<VskTspStamp*>(stamp)->error, [&] {
        const vsk::tsp::Token& token = LoadedToken(stamp);
        *data = token.imprint.data();
        *size = token.imprint.size();
    });
}

uint32_t StampGetTime(const VskTspStamp* stamp, VskTspTime* time) {
    if (!stamp || !time) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(const_cast<VskTspStamp*>(stamp)->error, [&] { *time = LoadedToken(stamp).genTime; });
}

uint32_t StampGetTsaCertificate(const VskTspStamp* stamp, const uint8_t** der, size_t* size) {
    if (!stamp || !der || !size) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(const_cast<VskTspStamp*>(stamp)->error, [&] {
        const vsk::tsp::Token& token = LoadedToken(stamp);
        *der = nullptr;
        *size = 0;
        if (token.signerCertificate < 0) return;
        const vsk::tsp::Bytes& bytes = token.certificates[static_cast<size_t>(token.signerCertificate)].der;
        *der = bytes.data();
        *size = bytes.size();
    });
}

void StampClear(VskTspStamp* stamp) {
    if (!stamp) return;
    stamp->token.reset();
    stamp->error.clear();
}

int StampIsEmpty(const VskTspStamp* stamp) {
    return !stamp || !stamp->token ? 1 : 0;
}

const char* StampLastError(const VskTspStamp* stamp) {
    return stamp ? stamp->error.c_str() : "";
}

// ---- Request ---------------------------------------------------------------------------------------

const EVP_MD* DigestOf(uint32_t algId) {
    const vsk::tsp::HashAlgorithm* hash = vsk::tsp::HashByAlgId(algId);
    if (!hash) throw Failure{NTE_BAD_ALGID, Text(u8"Неизвестный алгоритм хэширования")};
    vsk::tsp::PrepareCrypto();
    const EVP_MD* md = vsk::crypt::DigestOf(algId);
    if (!md) throw Failure{NTE_BAD_ALGID, Text(u8"Алгоритм хэширования недоступен: ") + hash->oid};
    return md;
}

uint32_t RequestSetImprintAlgorithm(VskTspRequest* request, uint32_t algId) {
    if (!request) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(request->error, [&] {
        DigestOf(algId);
        request->algId = algId;
        request->hash.reset();
        request->imprint.clear();
    });
}

uint32_t RequestGetImprintAlgorithm(const VskTspRequest* request, uint32_t* algId) {
    if (!request || !algId) return static_cast<uint32_t>(E_INVALIDARG);
    *algId = request->algId;
    return 0;
}

uint32_t RequestAddData(VskTspRequest* request, const uint8_t* data, size_t size) {
    if (!request || (!data && size != 0)) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(request->error, [&] {
        if (!request->hash) {
            const EVP_MD* md = DigestOf(request->algId);
            std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
            if (!ctx) throw std::bad_alloc();
            if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
                ERR_clear_error();
                throw Failure{NTE_BAD_ALGID, Text(u8"Не удалось начать хэширование")};
            }
            request->hash = std::move(ctx);
        }
        request->imprint.clear();
        if (size != 0 && EVP_DigestUpdate(request->hash.get(), data, size) != 1) {
            ERR_clear_error();
            throw Failure{NTE_FAIL, Text(u8"Ошибка хэширования данных")};
        }
    });
}

uint32_t RequestGetImprint(VskTspRequest* request, const uint8_t** data, size_t* size) {
    if (!request || !data || !size) return static_cast<uint32_t>(E_INVALIDARG);
    return Guard(request->error, [&] {
        *data = nullptr;
        *size = 0;
        if (!request->hash) return;
        if (request->imprint.empty()) {
            // The hash goes on with later data: the imprint is taken from a copy of its state.
            std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
            vsk::tsp::Bytes out(EVP_MAX_MD_SIZE);
            unsigned length = 0;
            if (!copy || EVP_MD_CTX_copy_ex(copy.get(), request->hash.get()) != 1 ||
                EVP_DigestFinal_ex(copy.get(), out.data(), &length) != 1) {
                ERR_clear_error();
                throw Failure{NTE_FAIL, Text(u8"Ошибка хэширования данных")};
            }
            out.resize(length);
            request->imprint = std::move(out);
        }
        *data = request->imprint.data();
        *size = request->imprint.size();
    });
}

const char* RequestLastError(const VskTspRequest* request) {
    return request ? request->error.c_str() : "";
}

constexpr VskTspFunctions Functions = {
    VSK_TSP_API_VERSION,
    sizeof(VskTspFunctions),
    StampLoad,
    StampVerifySignature,
    StampGetImprintAlgorithm,
    StampGetMessageImprint,
    StampGetTime,
    StampGetTsaCertificate,
    StampClear,
    StampIsEmpty,
    StampLastError,
    RequestSetImprintAlgorithm,
    RequestGetImprintAlgorithm,
    RequestAddData,
    RequestGetImprint,
    RequestLastError,
};

}  // namespace

extern "C" {

uint32_t VskTspRequestCreate(VskTspRequest** request) {
    if (!request) return static_cast<uint32_t>(E_INVALIDARG);
    *request = new (std::nothrow) VskTspRequest();
    return *request ? 0 : static_cast<uint32_t>(E_OUTOFMEMORY);
}

void VskTspRequestDestroy(VskTspRequest* request) {
    delete request;
}

uint32_t VskTspStampCreate(VskTspStamp** stamp) {
    if (!stamp) return static_cast<uint32_t>(E_INVALIDARG);
    *stamp = new (std::nothrow) VskTspStamp();
    return *stamp ? 0 : static_cast<uint32_t>(E_OUTOFMEMORY);
}

void VskTspStampDestroy(VskTspStamp* stamp) {
    delete stamp;
}

const VskTspFunctions* VskTspGetFunctions(uint32_t version) {
    // Later versions only add operations at the end: a caller built for an earlier one is served, a
    // caller built for a later one is not.
    return version == 0 || version > VSK_TSP_API_VERSION ? nullptr : &Functions;
}

}  // extern "C"
