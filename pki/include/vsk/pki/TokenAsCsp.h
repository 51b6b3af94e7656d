// Tokens with on-board cryptography presented as providers: the switch that turns the feature on, the
// token part of a provider description, the entering of tokens into the catalogue from the configured
// PKCS#11 libraries and their slot events, and the windows told about token changes.
#pragma once

#include <vsk/pkcs11/Token.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

// The part of a provider description that holds the token it presents; a CryptoAPI provider
// presents none.
class CTokenAsCsp {
public:
    // Whether this description presents a token: its token handle is not empty.
    bool isToken() const { return !m_token.isEmpty(); }
    // The token's two version fields as "major.minor" joined by ":"; empty without a token.
    Vsk::Utils::CWString getVersionText() const;
    // The token; an empty handle for a CryptoAPI provider.
    const Vsk::PKCS11::CToken& getToken() const { return m_token; }

    // The names of the token's key containers: the CKA_LABEL of each public-key object, in the
    // token's order.
    static Vsk::Utils::CArray<Vsk::Utils::CWString> getKeyContainers(const Vsk::PKCS11::CToken& token);

    // Empty for every CryptoAPI provider; set when a token's description is made.
    Vsk::PKCS11::CToken m_token;
};

// Bit 0 of the library switch word. The first reader of the word decides its value when the
// registry holds none: on for a user who is not an administrator, off for an administrator.
bool getTokenAsCsp();

// Enters one token into the catalogue as a provider of type 0 named by the token's display text, with
// one algorithm description per mechanism that has a CryptoAPI counterpart. False when the token
// lists no mechanism. The same token seen through another library is entered once: the description
// with more algorithms stays.
bool addTokenAsCsp(const Vsk::PKCS11::CToken& token);
// The slot-event handler given to every loaded library: a removed token's description leaves the
// catalogue (with the algorithms only it offered), an inserted token enters it, and every registered
// window is told once per event.
void fOnSlotEvent(const Vsk::PKCS11::CToken& token);
// Loads every configured PKCS#11 library and enters its tokens into the catalogue. Failures are only
// logged; `errors` is accepted and left untouched.
void FillTokenAsCsp(Vsk::Utils::CErrorFormatter* errors);
// Unloads every PKCS#11 library and takes every token's description out of the catalogue, with the
// algorithms that only tokens offered.
void clearTokenAsCsp();
// Switches the feature at run time: nothing happens when bit 0 already has that value; otherwise the
// tokens are entered (on) or taken out (off) and the bit is set, and with `persist` also stored
// (CError when it cannot be).
void setTokenAsCsp(bool on, bool persist);

// The windows told about token insertions and removals: each registered window receives the posted
// message 0x800A (both parameters 0) after every change. Registering a window twice keeps one
// entry; windows remove themselves before they are destroyed.
void addWndOnTokenRefresh(HWND window);
void delWndOnTokenRefresh(HWND window);
// Posts 0x800A to every registered window. A program without windows has none registered.
void notifyTokenRefresh();

}  // namespace Vsk::PKI
