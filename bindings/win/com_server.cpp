// The COM in-process server: the class object of clsmain, its dual interface
// _clsmain (dispatch through the embedded type library), self-registration
// machine-wide or for the current user, and unloading.
#include <windows.h>
// The OLE headers need windows.h first.
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "picmeta/clsmain.h"
#include "platform/os/utf16.h"
// The identifiers of the interface, the class and the library, defined here.
#include <initguid.h>

#include "picmeta_idl.h"

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};  // live objects and class objects handed out
std::atomic<long> g_locks{0};    // IClassFactory::LockServer

// BSTR to the library's UTF-8; a NULL BSTR is "" (as Visual Basic passes an
// empty string).
std::string Utf8(BSTR text) {
  return text ? picmeta::platform::Utf8(std::wstring_view(text, ::SysStringLen(text)))
              : std::string();
}

BSTR Bstr(const std::string& text) {
  const std::wstring wide = picmeta::platform::Utf16(text);
  return ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// Every method returns S_OK whatever happened: a failure never reaches the
// host as an error (the methods themselves let nothing out; this is the last
// guard at the boundary).
template <class Body>
HRESULT Guarded(Body body) noexcept {
  try {
    body();
  } catch (...) {
  }
  return S_OK;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The type information of _clsmain, from the type library in this module's
// resources; loaded once.
ITypeInfo* TypeInfo() {
  static ITypeInfo* info = [] {
    ITypeLib* library = nullptr;
    ITypeInfo* found = nullptr;
    if (SUCCEEDED(::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library)) && library) {
      library->GetTypeInfoOfGuid(IID__clsmain, &found);
      library->Release();
    }
    return found;
  }();
  return info;
}

class ComClsmain final : public _clsmain {
 public:
  ComClsmain() { ++g_objects; }
  ~ComClsmain() { --g_objects; }
  ComClsmain(const ComClsmain&) = delete;
  ComClsmain& operator=(const ComClsmain&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__clsmain) {
      *out = static_cast<_clsmain*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --refs_;
    if (left == 0) delete this;  // COM objects own themselves
    return static_cast<ULONG>(left);
  }

  // IDispatch, through the type library
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = TypeInfo() ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    if (!TypeInfo()) return E_FAIL;
    TypeInfo()->AddRef();
    *out = TypeInfo();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!TypeInfo()) return E_FAIL;
    return ::DispGetIDsOfNames(TypeInfo(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override {
    if (!TypeInfo()) return E_FAIL;
    return ::DispInvoke(static_cast<_clsmain*>(this), TypeInfo(), id, flags, params, result,
                        exception, arg_error);
  }

  // _clsmain
  HRESULT STDMETHODCALLTYPE get_GV_FilePath(BSTR* value) override {
    if (!value) return S_OK;
    *value = nullptr;
    return Guarded([&] { *value = Bstr(object_.GV_FilePath()); });
  }
  HRESULT STDMETHODCALLTYPE put_GV_FilePath(BSTR value) override {
    return Guarded([&] { object_.GV_FilePath(Utf8(value)); });
  }
  HRESULT STDMETHODCALLTYPE ReadEXIF(BSTR TempPath1, BSTR AppPath1, BSTR Busitype, BSTR ClassCode,
                                     BSTR Orgid, BSTR Busiorgid, BSTR Operno, BSTR Opername,
                                     BSTR BusiTime, BSTR Systemid, BSTR BusiProcess,
                                     BSTR IP) override {
    return Guarded([&] {
      object_.ReadEXIF(Utf8(TempPath1), Utf8(AppPath1), Utf8(Busitype), Utf8(ClassCode),
                       Utf8(Orgid), Utf8(Busiorgid), Utf8(Operno), Utf8(Opername), Utf8(BusiTime),
                       Utf8(Systemid), Utf8(BusiProcess), Utf8(IP));
    });
  }
  HRESULT STDMETHODCALLTYPE WriteDatatoXML(BSTR AppPath1, BSTR Orgid, BSTR Busiorgid, BSTR Operno,
                                           BSTR Opername, BSTR BusiTime) override {
    return Guarded([&] {
      object_.WriteDatatoXML(Utf8(AppPath1), Utf8(Orgid), Utf8(Busiorgid), Utf8(Operno),
                             Utf8(Opername), Utf8(BusiTime));
    });
  }
  HRESULT STDMETHODCALLTYPE DeleteDatafromXML(BSTR LastPath1, BSTR pic_name) override {
    return Guarded([&] { object_.DeleteDatafromXML(Utf8(LastPath1), Utf8(pic_name)); });
  }
  HRESULT STDMETHODCALLTYPE CopyExifInfo(BSTR strFolderPath1, BSTR TempPath1,
                                         BSTR Operno) override {
    return Guarded(
        [&] { object_.CopyExifInfo(Utf8(strFolderPath1), Utf8(TempPath1), Utf8(Operno)); });
  }
  HRESULT STDMETHODCALLTYPE NewWriteDatatoXML(BSTR AppPath1, BSTR strFilePath, BSTR Orgid,
                                              BSTR Busiorgid, BSTR Operno, BSTR Opername,
                                              BSTR BusiTime) override {
    return Guarded([&] {
      object_.NewWriteDatatoXML(Utf8(AppPath1), Utf8(strFilePath), Utf8(Orgid), Utf8(Busiorgid),
                                Utf8(Operno), Utf8(Opername), Utf8(BusiTime));
    });
  }

 private:
  std::atomic<long> refs_{1};
  picmeta::clsmain object_;
};

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // The class object is static; while handed out it keeps the module loaded.
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++g_objects); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--g_objects); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    std::unique_ptr<ComClsmain> object(new (std::nothrow) ComClsmain);
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, out);
    // The reference the object was born with goes: the caller holds its own.
    object.release()->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++g_locks : --g_locks;
    return S_OK;
  }
};

ClassFactory g_factory;

// ---- Registration ----------------------------------------------------------------

const wchar_t kProgId[] = L"Picmeta.clsmain";
const wchar_t kClsid[] = L"{BDE3DA38-7E73-42F7-B70B-FA18A40C57DC}";
const wchar_t kIid[] = L"{3DC73DB1-41E8-4BE0-9925-56D3672BDFFA}";
const wchar_t kLibid[] = L"{5FE5D09B-410B-4350-9FE5-D275E08E7BC0}";
// The automation marshaller, for an interface described by a type library.
const wchar_t kOleAutomationProxy[] = L"{00020424-0000-0000-C000-000000000046}";
#ifdef _WIN64
const wchar_t kTypeLibPlatform[] = L"win64";
#else
const wchar_t kTypeLibPlatform[] = L"win32";
#endif

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) ::RegCloseKey(h);
  }
};

// Sets the value `name` ("" for the default) of root\path, creating the key.
bool SetValue(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  Key key;
  if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, &key.h, nullptr) != ERROR_SUCCESS)
    return false;
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.h, name && *name ? name : nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
}

bool HasSubkeys(HKEY root, const std::wstring& path) {
  Key key;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key.h) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0;
  return ::RegQueryInfoKeyW(key.h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subkeys > 0;
}

// The key and everything below it.
void DeleteTree(HKEY root, const std::wstring& path) { ::RegDeleteTreeW(root, path.c_str()); }

// Removes everything Register wrote under root. The interface and type
// library keys are shared with a server of the other bitness: they go only
// when that one is not registered either.
void Unregister(HKEY root) {
  const std::wstring classes = L"Software\\Classes\\";
  DeleteTree(root, classes + L"CLSID\\" + kClsid);
  DeleteTree(root, classes + kProgId);
  const std::wstring version = classes + L"TypeLib\\" + kLibid + L"\\1.0";
  DeleteTree(root, version + L"\\0\\" + kTypeLibPlatform);
  if (!HasSubkeys(root, version + L"\\0")) {
    DeleteTree(root, classes + L"TypeLib\\" + kLibid);
    DeleteTree(root, classes + L"Interface\\" + kIid);
  }
}

HRESULT Register(HKEY root) {
  const std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  const std::wstring classes = L"Software\\Classes\\";
  const std::wstring clsid = classes + L"CLSID\\" + kClsid;
  const std::wstring typelib = classes + L"TypeLib\\" + kLibid + L"\\1.0";
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  const std::wstring iface = classes + L"Interface\\" + kIid;
  const bool ok = SetValue(root, clsid, L"", kProgId) &&
                  SetValue(root, clsid + L"\\InprocServer32", L"", path) &&
                  SetValue(root, clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
                  SetValue(root, clsid + L"\\ProgID", L"", kProgId) &&
                  SetValue(root, clsid + L"\\VERSION", L"", L"1.0") &&
                  SetValue(root, clsid + L"\\TypeLib", L"", kLibid) &&
                  SetValue(root, clsid + L"\\Programmable", L"", L"") &&
                  SetValue(root, classes + kProgId, L"", kProgId) &&
                  SetValue(root, classes + kProgId + L"\\CLSID", L"", kClsid) &&
                  SetValue(root, typelib, L"", L"Picmeta") &&
                  SetValue(root, typelib + L"\\0\\" + kTypeLibPlatform, L"", path) &&
                  SetValue(root, typelib + L"\\FLAGS", L"", L"0") &&
                  SetValue(root, typelib + L"\\HELPDIR", L"", folder) &&
                  SetValue(root, iface, L"", L"_clsmain") &&
                  SetValue(root, iface + L"\\ProxyStubClsid32", L"", kOleAutomationProxy) &&
                  SetValue(root, iface + L"\\TypeLib", L"", kLibid) &&
                  SetValue(root, iface + L"\\TypeLib", L"Version", L"1.0");
  if (!ok) {
    Unregister(root);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_clsmain) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
  return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

// Machine-wide (needs an administrator).
HRESULT STDAPICALLTYPE DllRegisterServer(void) { return Register(HKEY_LOCAL_MACHINE); }

HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
  Unregister(HKEY_LOCAL_MACHINE);
  return S_OK;
}

// regsvr32 /n /i:user registers for the current user only
// (HKEY_CURRENT_USER\Software\Classes); anything else is machine-wide.
HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR command_line) {
  const bool user = command_line && ::lstrcmpiW(command_line, L"user") == 0;
  const HKEY root = user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  if (install) return Register(root);
  Unregister(root);
  return S_OK;
}

}  // extern "C"
