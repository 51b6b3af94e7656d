// COM as the library and the application use it: per-thread initialisation in one of two models,
// objects of in-process classes by class id, and the proxy security call. Objects are plain C++
// objects of the platform area that implements the class; there are no apartments, proxies or
// out-of-process servers.
#pragma once

#include <vsk/platform/oleaut.h>

constexpr HRESULT CO_E_NOTINITIALIZED = MakeHResult(0x800401F0);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_ALL = 0x17;

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

// Per thread. The first call chooses the model and gives S_OK; further calls in the same model give
// S_FALSE; a call in the other model fails with RPC_E_CHANGED_MODE and counts nothing. Each call that
// succeeded (S_FALSE too) is undone by one CoUninitialize; the last one frees the model. Another
// model value fails with E_INVALIDARG.
HRESULT CoInitializeEx(void* reserved, DWORD model);
// CoInitializeEx in the apartment model.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();

// A new object of a registered class, asked for interface `iid`. CO_E_NOTINITIALIZED on a thread
// without COM; REGDB_E_CLASSNOTREG for a class nobody registered, an aggregating `outer` or a context
// without CLSCTX_INPROC_SERVER; E_NOINTERFACE for an interface the object lacks. *out is null on
// failure.
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, REFIID iid, void** out);

// The values of CoSetProxyBlanket that the library passes.
constexpr DWORD RPC_C_AUTHN_WINNT = 10;
constexpr DWORD RPC_C_AUTHZ_NONE = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_CALL = 3;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;

// Every object here lives in the caller's process, so there is no proxy whose security could be set:
// E_INVALIDARG without an object, S_OK otherwise.
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService,
                          OLECHAR* serverPrincipalName, DWORD authnLevel, DWORD impLevel, void* authInfo,
                          DWORD capabilities);

// For the platform areas that implement classes: makes `create` the maker of class `clsid`. An area
// registers its class from a static object in the source that defines the class id, so the class is
// there whenever a caller can name it.
using ComClassMaker = HRESULT (*)(REFIID iid, void** out);
void RegisterComClass(const CLSID& clsid, ComClassMaker create);
