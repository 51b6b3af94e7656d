// The stand-in module "Winhttp.dll": the library binds these functions at run time by name, as it
// would bind the system's. Linking the area into a program registers them (the area's target asks
// the linker to keep this file), and the module's handle becomes the one FormatMessageW reads
// WinHTTP's texts through.
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>
#include <vsk/platform/winhttp.h>

namespace {

bool RegisterWinHttp() {
    RegisterStandInModule(
        u"Winhttp.dll",
        {
            {"WinHttpCrackUrl", StandInAddress(&WinHttpCrackUrl)},
            {"WinHttpGetDefaultProxyConfiguration", StandInAddress(&WinHttpGetDefaultProxyConfiguration)},
            {"WinHttpGetIEProxyConfigForCurrentUser", StandInAddress(&WinHttpGetIEProxyConfigForCurrentUser)},
            {"WinHttpOpen", StandInAddress(&WinHttpOpen)},
            {"WinHttpGetProxyForUrl", StandInAddress(&WinHttpGetProxyForUrl)},
            {"WinHttpCloseHandle", StandInAddress(&WinHttpCloseHandle)},
            {"WinHttpQueryAuthSchemes", StandInAddress(&WinHttpQueryAuthSchemes)},
            {"WinHttpOpenRequest", StandInAddress(&WinHttpOpenRequest)},
            {"WinHttpConnect", StandInAddress(&WinHttpConnect)},
            {"WinHttpQueryDataAvailable", StandInAddress(&WinHttpQueryDataAvailable)},
            {"WinHttpReadData", StandInAddress(&WinHttpReadData)},
            {"WinHttpQueryHeaders", StandInAddress(&WinHttpQueryHeaders)},
            {"WinHttpReceiveResponse", StandInAddress(&WinHttpReceiveResponse)},
            {"WinHttpSendRequest", StandInAddress(&WinHttpSendRequest)},
            {"WinHttpSetCredentials", StandInAddress(&WinHttpSetCredentials)},
            {"WinHttpQueryOption", StandInAddress(&WinHttpQueryOption)},
            {"WinHttpSetOption", StandInAddress(&WinHttpSetOption)},
            {"WinHttpSetTimeouts", StandInAddress(&WinHttpSetTimeouts)},
        });
    // The module's handle is fixed once registered; taking it does not leave the module loaded.
    if (HMODULE module = LoadLibraryW(u"Winhttp.dll")) {
        SetWinHttpMessageModule(module);
        FreeLibrary(module);
    }
    return true;
}

}  // namespace

// Kept by the linker (see CMakeLists.txt), so that every program that links the area registers it.
extern "C" {
extern const bool VskWinHttpStandIn;
const bool VskWinHttpStandIn = RegisterWinHttp();
}
