// The implementation behind CTimeStamp: one request and one stamp object of the time-stamp client
// library. Private to the library.
#pragma once

#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/TimeStamp.h>

#include "TimeStampClient.h"

namespace Vsk::PKI {

class CTimeStamp::CImpl : public Vsk::Utils::CRefMan {
public:
    // Makes the settings, then loads the library and makes its objects (the loader's errors pass).
    CImpl();
    ~CImpl() override;

    void import(const Vsk::Utils::CDataBlob& token);
    void addData(const Vsk::Utils::CDataBlob& data);
    DWORD verify(const CStampVerifySettings* settings);

    CTimeStampSettings m_settings;
    // The module named by SetClientModule when the object was made; empty: the default.
    Vsk::Utils::CWString m_moduleName;
    TSP::CClient m_client;
};

namespace TSP {
// The module the time stamps load from now on; null restores the default (the library beside the
// program, else the library path). Lets a caller run without the library.
void SetClientModule(const WCHAR* moduleName);
}  // namespace TSP

}  // namespace Vsk::PKI
