// COM initialisation per thread, the table of in-process classes and the failures tests inject into
// the COM and WMI stand-ins.
#include "comInternal.h"

#include <vsk/platform/com.h>

#include <array>
#include <mutex>
#include <vector>

namespace {

struct ComThreadState {
    int initCount = 0;
    DWORD model = COINIT_MULTITHREADED;
};
thread_local ComThreadState t_com;

struct ComClass {
    CLSID clsid;
    ComClassMaker create;
};

// Filled by static objects before main and read afterwards; the lock keeps a late registration safe.
struct ClassTable {
    std::mutex lock;
    std::vector<ComClass> classes;
};
ClassTable& classTable() {
    static ClassTable table;
    return table;
}

struct InjectedFailure {
    HRESULT hr = S_OK;
    int times = 0;
};
constexpr size_t ComCallCount = static_cast<size_t>(ComCall::GetNames) + 1;
thread_local std::array<InjectedFailure, ComCallCount> t_failures;

}  // namespace

namespace vsk::kernel {

HRESULT TakeComFailure(ComCall call) {
    InjectedFailure& failure = t_failures[static_cast<size_t>(call)];
    if (failure.times == 0) return S_OK;
    if (failure.times > 0) --failure.times;
    return failure.hr;
}

}  // namespace vsk::kernel

void ComFailNext(ComCall call, HRESULT hr, int times) {
    t_failures[static_cast<size_t>(call)] = InjectedFailure{hr, times};
}

void ComClearFailures() {
    t_failures = {};
}

HRESULT CoInitializeEx(void*, DWORD model) {
    if (model != COINIT_MULTITHREADED && model != COINIT_APARTMENTTHREADED) return E_INVALIDARG;
    if (HRESULT hr = vsk::kernel::TakeComFailure(ComCall::Initialize); FAILED(hr)) return hr;
    if (t_com.initCount != 0 && t_com.model != model) return RPC_E_CHANGED_MODE;
    t_com.model = model;
    return t_com.initCount++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
    if (t_com.initCount > 0) --t_com.initCount;
}

void RegisterComClass(const CLSID& clsid, ComClassMaker create) {
    ClassTable& table = classTable();
    std::lock_guard<std::mutex> guard(table.lock);
    for (ComClass& known : table.classes) {
        if (known.clsid == clsid) {
            known.create = create;
            return;
        }
    }
    table.classes.push_back(ComClass{clsid, create});
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (t_com.initCount == 0) return CO_E_NOTINITIALIZED;
    if (HRESULT hr = vsk::kernel::TakeComFailure(ComCall::CreateInstance); FAILED(hr)) return hr;
    if (outer || !(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    ComClassMaker create = nullptr;
    {
        ClassTable& table = classTable();
        std::lock_guard<std::mutex> guard(table.lock);
        for (const ComClass& known : table.classes)
            if (known.clsid == clsid) create = known.create;
    }
    if (!create) return REGDB_E_CLASSNOTREG;
    const HRESULT hr = create(iid, out);
    if (FAILED(hr)) *out = nullptr;
    return hr;
}

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) {
    if (!proxy) return E_INVALIDARG;
    return vsk::kernel::TakeComFailure(ComCall::ProxyBlanket);
}
