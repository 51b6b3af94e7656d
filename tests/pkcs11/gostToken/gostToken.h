// The GOST test token: a PKCS#11 module of our own (libvsk_test_gost_token.so) that performs
// GOST R 34.10-2012, GOST R 34.11 and GOST 28147-89 on OpenSSL with the GOST engine, for the tests of
// the token roads. This header gives the vendor constants the standard header lacks and the module's
// control interface, which a test reaches with dlsym on the module it (or the library) loaded.
//
// Configuration. The module starts with one present slot holding one token (user PIN "12345678", SO
// PIN "87654321", Cryptoki 2.20). A configuration text replaces that; it is read from the file named by
// the environment variable VSK_GOST_TOKEN_CONFIG at the first C_GetFunctionList or C_Initialize when
// no text was given through vskGostTokenConfigure. The module is never unloaded (linked with
// -z nodelete), so a second load in the same process finds the same state. Lines are "key = value"; '#'
// starts a comment; N is the slot index.
//   cryptoki = 2.20                       version reported by C_GetInfo and the function list
//   slots = 2                             number of slots (slot IDs are 0 .. slots-1)
//   finalize_keeps_waiter = 1             a blocked C_WaitForSlotEvent does not return at C_Finalize
//                                         (only vskGostTokenReleaseWaiters ends it)
//   slotN.description / slotN.manufacturer
//   slotN.present = 0|1                   token present at start (default 1)
//   tokenN.label / .manufacturer / .model / .serial
//   tokenN.hw = 1.0 / tokenN.fw = 2.3     hardware and firmware versions (slot and token)
//   tokenN.pin / tokenN.so_pin / tokenN.pin_tries (default 10)
//   tokenN.mechanisms = 0x1201, 0xD4321012:0x400
//                                         the mechanisms the token lists (default: all it knows),
//                                         optionally with the CKF_ flags it reports for each, and
//                                         after them the key size (min = max) it reports: 0x1201:0x2800:0
//   tokenN.folder = /path                 token objects persist there, so that a later configuration
//                                         or process naming the folder finds them (keys in the clear)
//
// Departures a test may meet: a C_XxxInit with a null mechanism ends the running operation of its kind
// (the Cryptoki 3.0 way to abandon one); C_EncryptFinal and C_DecryptFinal end the operation even when
// asked for the length only, since their last part is always empty; CKM_GOST28147_ECB meshes no key
// by itself (the caller meshes with C_Decrypt of the constant and C_SetAttributeValue); the
// hash-and-sign mechanisms are listed with CKF_DIGEST besides CKF_SIGN | CKF_VERIFY, as the vendors'
// tokens list them. The VKO of every GOST R 34.10-2012 key hashes with Streebog-256, that of a key with
// GOST R 34.11-94 hash parameters with GOST R 34.11-94, as the CMS key transport does, and multiplies
// by the curve's cofactor.
#pragma once

#include <p11-kit/pkcs11.h>

// Vendor constants of the GOST R 34.10/34.11-2012 extension of PKCS#11.
#define VSK_CKK_GOSTR3410_512 0xD4321003UL
#define VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN 0xD4321005UL
#define VSK_CKM_GOSTR3410_512 0xD4321006UL
#define VSK_CKM_GOSTR3410_12_DERIVE 0xD4321007UL
#define VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_256 0xD4321008UL
#define VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_512 0xD4321009UL
#define VSK_CKM_GOSTR3411_12_256 0xD4321012UL
#define VSK_CKM_GOSTR3411_12_512 0xD4321013UL
// Key derivation functions of CKM_GOSTR3410_12_DERIVE. The token knows the RFC 4357 KEK diversification
// (VSK_CKD_KDF_4357, and CKD_CPDIVERSIFY_KDF for CKM_GOSTR3410_DERIVE) and CKD_NULL (the bare VKO
// result); it refuses VSK_CKD_KDF_GOSTR3411_2012_256 with CKR_MECHANISM_PARAM_INVALID.
#define VSK_CKD_KDF_4357 0xD4321025UL
#define VSK_CKD_KDF_GOSTR3411_2012_256 0xD4321026UL

// Parameter of CKM_GOSTR3410_DERIVE (natural alignment on Linux). CKM_GOSTR3410_12_DERIVE takes a byte
// string instead: KDF (u32 little-endian), public key length (u32 LE), public key, UKM length (u32 LE),
// UKM.
typedef struct VSK_CK_GOSTR3410_DERIVE_PARAMS {
    CK_ULONG kdf;
    CK_BYTE_PTR pPublicData;
    CK_ULONG ulPublicDataLen;
    CK_BYTE_PTR pUKM;
    CK_ULONG ulUKMLen;
} VSK_CK_GOSTR3410_DERIVE_PARAMS;

// Any slot, for vskGostTokenFailCall.
#define VSK_GOST_TOKEN_ANY_SLOT (~0UL)

#ifdef __cplusplus
extern "C" {
#endif

// Replaces the configuration (format above): slots, tokens and their objects, sessions, events,
// failures and counters start afresh. CKR_ARGUMENTS_BAD for a line it cannot read.
CK_RV vskGostTokenConfigure(const char* text);

// Inserts (present 1) or removes (0) the token of a slot. A change queues a slot event, which wakes a
// blocked C_WaitForSlotEvent; removal closes the slot's sessions (their objects go) and logs out.
CK_RV vskGostTokenSetPresent(CK_SLOT_ID slot, int present);

// Makes the named Cryptoki function ("C_Sign") return rv instead of working, `times` times (-1: always),
// for calls on the given slot (a session's slot for session calls) or on any slot.
void vskGostTokenFailCall(const char* function, CK_RV rv, int times, CK_SLOT_ID slot);
void vskGostTokenClearFailures(void);

// How often a Cryptoki function was called since the configuration or the last reset.
unsigned long vskGostTokenCallCount(const char* function);
void vskGostTokenResetCounts(void);

// The flags of the CK_C_INITIALIZE_ARGS of the last C_Initialize (~0 when it had none).
CK_FLAGS vskGostTokenInitFlags(void);

// Objects on a token, session objects included.
unsigned long vskGostTokenObjectCount(CK_SLOT_ID slot);

// Ends every C_WaitForSlotEvent held past C_Finalize by finalize_keeps_waiter.
void vskGostTokenReleaseWaiters(void);

#ifdef __cplusplus
}
#endif
