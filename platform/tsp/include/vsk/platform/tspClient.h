/* The time-stamp client library (libVskTspClient.so): reads RFC 3161 time-stamp tokens and checks them.
 * The program loads it at run time by name and reaches it through this C interface only, so that the
 * library can be replaced or be missing without the program being rebuilt.
 *
 * Two kinds of objects:
 *   - a stamp holds one loaded token (a DER ContentInfo with SignedData whose content is a TSTInfo)
 *     and answers its imprint, time and the authority's certificate, and checks its signature;
 *   - a request hashes the data that a stamp must cover, block by block.
 * Objects are made and destroyed through the four exported functions; every other operation is in the
 * table that VskTspGetFunctions gives. No operation touches the network.
 *
 * Every operation that can fail returns 0 on success and otherwise an HRESULT-style code; the object's
 * lastError then gives a UTF-8 text of what went wrong (valid until the next operation on the object).
 * Buffers that an operation hands out belong to the object and stay valid until the object next
 * changes (load, clear, setImprintAlgorithm, addData) or is destroyed. An object is used by one thread
 * at a time. */
#ifndef VSK_PLATFORM_TSP_CLIENT_H
#define VSK_PLATFORM_TSP_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VSK_TSP_API_VERSION 1u
/* The file name the program loads. */
#define VSK_TSP_LIBRARY_NAME "libVskTspClient.so"

#if defined(VSK_TSP_BUILDING_LIBRARY)
#define VSK_TSP_EXPORT __attribute__((visibility("default")))
#else
#define VSK_TSP_EXPORT
#endif

typedef struct VskTspStamp VskTspStamp;
typedef struct VskTspRequest VskTspRequest;

/* A moment in UTC, field for field the platform's SYSTEMTIME. */
typedef struct VskTspTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek; /* 0 = Sunday */
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
} VskTspTime;

typedef struct VskTspFunctions {
    uint32_t version; /* VSK_TSP_API_VERSION of the library */
    uint32_t size;    /* sizeof(VskTspFunctions) of the library */

    /* ---- Stamp ---- */
    /* Loads a token (DER TimeStampToken); whatever the stamp held before is dropped, and a token that
     * cannot be read leaves the stamp empty. */
    uint32_t (*stampLoad)(VskTspStamp* stamp, const uint8_t* token, size_t size);
    /* Checks the token's signature with the authority's certificate (DER): the message digest of the
     * TSTInfo, the signing-certificate reference (which must name this certificate) and the
     * signature over the signed attributes. (The content type was checked when the token loaded.) *verdict is
     * 0 for a valid signature, else the reason (NTE_BAD_SIGNATURE, CRYPT_E_HASH_VALUE, NTE_BAD_ALGID,
     * CRYPT_E_SIGNER_NOT_FOUND for a certificate that the reference does not name or a token without one).
     * Fails for an empty stamp or a certificate that cannot be read. */
    uint32_t (*stampVerifySignature)(VskTspStamp* stamp, const uint8_t* certificate, size_t size,
                                     uint32_t* verdict);
    /* The hash algorithm of the message imprint as an ALG_ID. */
    uint32_t (*stampGetImprintAlgorithm)(const VskTspStamp* stamp, uint32_t* algId);
    /* The hashed message of the imprint. */
    uint32_t (*stampGetMessageImprint)(const VskTspStamp* stamp, const uint8_t** data, size_t* size);
    /* genTime; a fraction of a second below milliseconds is dropped. */
    uint32_t (*stampGetTime)(const VskTspStamp* stamp, VskTspTime* time);
    /* The certificate of the token that its signer identifier names; null and 0 when the token
     * carries none. */
    uint32_t (*stampGetTsaCertificate)(const VskTspStamp* stamp, const uint8_t** der, size_t* size);
    void (*stampClear)(VskTspStamp* stamp);
    /* 1 when the stamp holds no token (also for a null stamp), else 0. */
    int (*stampIsEmpty)(const VskTspStamp* stamp);
    const char* (*stampLastError)(const VskTspStamp* stamp);

    /* ---- Request ---- */
    /* Chooses the hash (an ALG_ID of GOST R 34.11-94, 34.11-2012 256/512 or SHA-1/256/384/512) and
     * starts the imprint afresh. */
    uint32_t (*requestSetImprintAlgorithm)(VskTspRequest* request, uint32_t algId);
    uint32_t (*requestGetImprintAlgorithm)(const VskTspRequest* request, uint32_t* algId);
    /* Adds data to the imprint. */
    uint32_t (*requestAddData)(VskTspRequest* request, const uint8_t* data, size_t size);
    /* The hash of the data added so far; empty (null and 0) before any data were added. */
    uint32_t (*requestGetImprint)(VskTspRequest* request, const uint8_t** data, size_t* size);
    const char* (*requestLastError)(const VskTspRequest* request);
} VskTspFunctions;

/* A new empty request (hash GOST R 34.11-2012 256 until another is set) or stamp. */
VSK_TSP_EXPORT uint32_t VskTspRequestCreate(VskTspRequest** request);
VSK_TSP_EXPORT void VskTspRequestDestroy(VskTspRequest* request);
VSK_TSP_EXPORT uint32_t VskTspStampCreate(VskTspStamp** stamp);
VSK_TSP_EXPORT void VskTspStampDestroy(VskTspStamp* stamp);
/* The operations, for a caller built against `version` (null when the library cannot serve it). */
VSK_TSP_EXPORT const VskTspFunctions* VskTspGetFunctions(uint32_t version);

typedef uint32_t (*VskTspRequestCreateFn)(VskTspRequest**);
typedef void (*VskTspRequestDestroyFn)(VskTspRequest*);
typedef uint32_t (*VskTspStampCreateFn)(VskTspStamp**);
typedef void (*VskTspStampDestroyFn)(VskTspStamp*);
typedef const VskTspFunctions* (*VskTspGetFunctionsFn)(uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* VSK_PLATFORM_TSP_CLIENT_H */
