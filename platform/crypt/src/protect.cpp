// In-process memory protection: AES-256-CBC over whole 16-byte blocks with a key and IV made at the
// first use, kept in a page that is locked in memory and left out of core dumps.
#include "cryptState.h"

#include <vsk/platform/module.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vsk::crypt {

namespace {

struct ProcessKey {
    BYTE key[32];
    BYTE iv[16];
};

const ProcessKey* MakeProcessKey() {
    long page = sysconf(_SC_PAGESIZE);
    size_t size = page > 0 ? static_cast<size_t>(page) : 4096;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // A lock limit that refuses mlock still leaves the key out of dumps.
    mlock(p, size);
    madvise(p, size, MADV_DONTDUMP);
    auto* k = static_cast<ProcessKey*>(p);
    if (RAND_bytes(k->key, sizeof k->key) != 1 || RAND_bytes(k->iv, sizeof k->iv) != 1) {
        munmap(p, size);
        return nullptr;
    }
    return k;
}

const ProcessKey* GetProcessKey() {
    static const ProcessKey* key = MakeProcessKey();
    return key;
}

BOOL Transform(LPVOID data, DWORD size, DWORD flags, bool encrypt) {
    if (flags != CRYPTPROTECTMEMORY_SAME_PROCESS) return Fail(NTE_BAD_FLAGS);
    if (size % CRYPTPROTECTMEMORY_BLOCK_SIZE != 0 || (!data && size)) return Fail(ERROR_INVALID_PARAMETER);
    if (size == 0) return TRUE;
    const ProcessKey* k = GetProcessKey();
    if (!k) return Fail(NTE_FAIL);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    if (!c) return Fail(NTE_NO_MEMORY);
    auto* bytes = static_cast<BYTE*>(data);
    int out = 0;
    bool ok = EVP_CipherInit_ex(c, EVP_aes_256_cbc(), nullptr, k->key, k->iv, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, 0) == 1;
    for (DWORD done = 0; ok && done < size;) {
        int chunk = static_cast<int>(std::min<DWORD>(size - done, 1u << 30));
        ok = EVP_CipherUpdate(c, bytes + done, &out, bytes + done, chunk) == 1 && out == chunk;
        done += static_cast<DWORD>(chunk);
    }
    EVP_CIPHER_CTX_free(c);
    return ok ? TRUE : Fail(NTE_FAIL);
}

bool RegisterCrypt32() {
    RegisterStandInModule(u"Crypt32.dll",
                          {{"CryptProtectMemory", StandInAddress(&CryptProtectMemory)},
                           {"CryptUnprotectMemory", StandInAddress(&CryptUnprotectMemory)}},
                          true);
    return true;
}

}  // namespace

// Referenced from the handle table, so that every program that uses the provider functions carries
// this registration.
extern const bool crypt32Registered = RegisterCrypt32();

}  // namespace vsk::crypt

BOOL CryptProtectMemory(LPVOID data, DWORD size, DWORD flags) {
    return vsk::crypt::Transform(data, size, flags, true);
}
BOOL CryptUnprotectMemory(LPVOID data, DWORD size, DWORD flags) {
    return vsk::crypt::Transform(data, size, flags, false);
}
