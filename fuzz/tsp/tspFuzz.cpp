// libFuzzer harness of the time-stamp client library's token loader, through its C interface: every
// input is loaded as a token; a token that loads is asked every question the program asks, and its
// signature is checked with the certificate it names.
#include <vsk/platform/tspClient.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const VskTspFunctions* const f = VskTspGetFunctions(VSK_TSP_API_VERSION);
    VskTspStamp* stamp = nullptr;
    if (!f || VskTspStampCreate(&stamp) != 0) return 0;
    if (f->stampLoad(stamp, data, size) == 0) {
        uint32_t algId = 0;
        f->stampGetImprintAlgorithm(stamp, &algId);
        const uint8_t* imprint = nullptr;
        size_t imprintSize = 0;
        f->stampGetMessageImprint(stamp, &imprint, &imprintSize);
        VskTspTime time{};
        f->stampGetTime(stamp, &time);
        const uint8_t* certificate = nullptr;
        size_t certificateSize = 0;
        f->stampGetTsaCertificate(stamp, &certificate, &certificateSize);
        uint32_t verdict = 0;
        if (certificateSize != 0) f->stampVerifySignature(stamp, certificate, certificateSize, &verdict);
        // The input itself as the authority's certificate: the certificate reader meets it too.
        f->stampVerifySignature(stamp, data, size, &verdict);
    }
    f->stampLastError(stamp);
    VskTspStampDestroy(stamp);
    return 0;
}
