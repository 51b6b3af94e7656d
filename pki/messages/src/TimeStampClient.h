// The time-stamp client library as the time stamps use it: the module loaded by name, its five entry
// points, and one request and one stamp object of it, with the library's failures turned into the
// step codes of the time stamps (120001, 120101, 120701, 121101). Private to the library.
#pragma once

#include "../../certificates/src/certHandles.h"

#include <vsk/platform/tspClient.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/lib.h>

namespace Vsk::PKI::TSP {

// The module's file name.
extern const WCHAR ClientModuleName[];

// Verification results of a stamp (the texts are the verification statuses').
enum : DWORD {
    StampImprintMismatch = 201,
    StampBadSignature = 202,
    StampNoCertificate = 203,
};

class CClient : public Vsk::InternalUtils::CLib {
public:
    // Names the module and loads nothing yet: the library beside the program when it is there, else
    // the name alone (the library path). A test names another module.
    explicit CClient(const WCHAR* moduleName = nullptr);
    ~CClient();
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // Loads the module, resolves the entry points and makes the request, then the stamp. A missing
    // module or entry point raises CLib's error; a library that cannot serve this interface or make
    // its objects raises CError with its code.
    void open();

    // The stamp takes the token and the request the stamp's imprint algorithm (120101; the stamp is
    // cleared before the error is raised).
    void import(const Vsk::Utils::CDataBlob& token);
    // Adds data to the request's imprint (121101; the stamp is cleared before the error is raised).
    void addData(const Vsk::Utils::CDataBlob& data);
    // Checks the stamp: 120001 when it holds no token; 201 when data were added and their imprint is
    // not the stamp's; 203 without an authority certificate (`certificate` when not null, else the
    // stamp's own); 202 when the signature does not verify with it; else 0. `authority`, when given,
    // receives the certificate used. Failures of the library: 120701.
    DWORD verify(PCCERT_CONTEXT certificate, CertContextPtr* authority = nullptr);
    // True when the stamp holds no token (also before open).
    bool isEmpty() const;
    // Clears the stamp.
    void release();
    // The stamp's time; false, leaving `time` as it was, when there is none.
    bool getTime(SYSTEMTIME* time) const;

private:
    VskTspRequestDestroyFn m_requestDestroy = nullptr;
    VskTspStampDestroyFn m_stampDestroy = nullptr;
    const VskTspFunctions* m_functions = nullptr;
    VskTspRequest* m_request = nullptr;
    VskTspStamp* m_stamp = nullptr;
};

}  // namespace Vsk::PKI::TSP
