// A host that creates Picmeta.clsmain by ProgID and by class identifier and
// prints what each attempt returned, then calls the object once. With an
// application manifest that depends on the assembly "Picmeta", creation needs
// no registry key (registration-free COM). Usage: regfree_host
#include <windows.h>
// The COM headers need windows.h first.
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
// The identifiers of the interface, the class and the library, defined here.
#include <initguid.h>

#include "picmeta_idl.h"

namespace {

void Report(const char* how, HRESULT hr) {
  std::printf("%s 0x%08lX\n", how, static_cast<unsigned long>(hr));
}

// Sets and reads back GV_FilePath: the object is not only created but works.
bool Works(_clsmain* o) {
  BSTR in = ::SysAllocString(L"kept");
  BSTR out = nullptr;
  const bool ok = SUCCEEDED(o->put_GV_FilePath(in)) && SUCCEEDED(o->get_GV_FilePath(&out)) && out &&
                  ::lstrcmpW(out, L"kept") == 0;
  ::SysFreeString(in);
  ::SysFreeString(out);
  return ok;
}

}  // namespace

int main() {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
  int created = 0;
  CLSID clsid{};
  HRESULT hr = ::CLSIDFromProgID(L"Picmeta.clsmain", &clsid);
  Report("progid", hr);
  _clsmain* o = nullptr;
  if (SUCCEEDED(hr)) {
    hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__clsmain,
                            reinterpret_cast<void**>(&o));
    Report("create-by-progid", hr);
    if (SUCCEEDED(hr) && o) {
      created += Works(o) ? 1 : 0;
      o->Release();
    }
  }
  o = nullptr;
  hr = ::CoCreateInstance(CLSID_clsmain, nullptr, CLSCTX_INPROC_SERVER, IID__clsmain,
                          reinterpret_cast<void**>(&o));
  Report("create-by-clsid", hr);
  if (SUCCEEDED(hr) && o) {
    created += Works(o) ? 1 : 0;
    o->Release();
  }
  std::printf("works %d\n", created);
  ::CoUninitialize();
  return created == 2 ? 0 : 1;
}
