// The COM in-process server: the class object of clsmain, its dual interface
// _clsmain (dispatch through the embedded type library), its events through a
// connection point (__clsmain), self-registration machine-wide or for the
// current user, and unloading.
#include <windows.h>
// The OLE headers need windows.h first.
#include <oleauto.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/methods.h"
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
// host as an error. The methods let nothing out; what fails here, before or
// after one runs (a BSTR that cannot be converted, memory exhausted), is told
// as the C interface tells it, by the library's one guard: event 399.
template <class Body>
HRESULT Guarded(Body body) noexcept {
  (void)picmeta::capture::Step(body);
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

// The type library in this module's resources, loaded once, and the type
// information of one of its interfaces or classes.
ITypeInfo* TypeInfoOf(REFGUID guid) {
  static ITypeLib* library = [] {
    ITypeLib* loaded = nullptr;
    if (FAILED(::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &loaded))) loaded = nullptr;
    return loaded;
  }();
  ITypeInfo* found = nullptr;
  if (library) library->GetTypeInfoOfGuid(guid, &found);
  return found;  // a new reference
}
ITypeInfo* TypeInfo() {
  static ITypeInfo* info = TypeInfoOf(IID__clsmain);
  return info;
}

// A COM enumerator over a snapshot of items, each kept (AddRef'd) while held.
template <class Interface, class Item, const IID* kIid>
class Enumerator final : public Interface {
 public:
  explicit Enumerator(std::vector<Item> items, std::size_t at = 0)
      : items_(std::move(items)), at_(at) {
    for (Item& item : items_) Keep(item);
    ++g_objects;
  }
  ~Enumerator() {
    for (Item& item : items_) Drop(item);
    --g_objects;
  }
  Enumerator(const Enumerator&) = delete;
  Enumerator& operator=(const Enumerator&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == *kIid) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && at_ < items_.size(); ++n, ++at_) {
      out[n] = items_[at_];
      Keep(out[n]);
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = items_.size() - at_;
    at_ += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    at_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) Enumerator(items_, at_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  static void Keep(IConnectionPoint* p) { p->AddRef(); }
  static void Drop(IConnectionPoint* p) { p->Release(); }
  static void Keep(CONNECTDATA& c) { c.pUnk->AddRef(); }
  static void Drop(CONNECTDATA& c) { c.pUnk->Release(); }
  std::vector<Item> items_;
  std::size_t at_;
  std::atomic<long> refs_{1};
};

// A BSTR argument of an event, freed with the call.
struct EventText {
  explicit EventText(const std::string& text) : bstr(Bstr(text)) {}
  ~EventText() { ::SysFreeString(bstr); }
  EventText(const EventText&) = delete;
  EventText& operator=(const EventText&) = delete;
  BSTR bstr;
};

VARIANT Long(long value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}
VARIANT Text(const EventText& text) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text.bstr;
  return v;
}

class ComClsmain;

// The connection point of the events (__clsmain), part of its object: it
// lives and counts references with it.
class EventPoint final : public IConnectionPoint {
 public:
  explicit EventPoint(ComClsmain& owner) : owner_(owner) {}
  ~EventPoint() {
    for (const auto& [cookie, sink] : sinks_) sink->Release();
  }
  EventPoint(const EventPoint&) = delete;
  EventPoint& operator=(const EventPoint&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = DIID___clsmain;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    IDispatch* events = nullptr;
    // A sink made for the events answers for them; any IDispatch will do.
    if (FAILED(sink->QueryInterface(DIID___clsmain, reinterpret_cast<void**>(&events))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events))))
      return CONNECT_E_CANNOTCONNECT;
    try {
      sinks_.emplace_back(++next_cookie_, events);
    } catch (...) {
      events->Release();
      return E_OUTOFMEMORY;
    }
    *cookie = next_cookie_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->first != cookie) continue;
      IDispatch* sink = it->second;
      sinks_.erase(it);
      sink->Release();
      return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
      std::vector<CONNECTDATA> items;
      for (const auto& [cookie, sink] : sinks_) items.push_back({sink, cookie});
      *out = new Enumerator<IEnumConnections, CONNECTDATA, &IID_IEnumConnections>(std::move(items));
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  // Calls `dispid` of every sink. A sink that fails, or unadvises meanwhile,
  // changes nothing of the call.
  void Fire(DISPID dispid, VARIANT* arguments, UINT count) noexcept {
    if (sinks_.empty()) return;
    std::vector<IDispatch*> sinks;
    try {
      for (const auto& [cookie, sink] : sinks_) sinks.push_back(sink);
    } catch (...) {
      return;
    }
    for (IDispatch* sink : sinks) sink->AddRef();
    for (IDispatch* sink : sinks) {
      DISPPARAMS params{arguments, nullptr, count, 0};
      EXCEPINFO exception{};
      UINT bad = 0;
      sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                   &exception, &bad);
      ::SysFreeString(exception.bstrSource);
      ::SysFreeString(exception.bstrDescription);
      ::SysFreeString(exception.bstrHelpFile);
      sink->Release();
    }
  }

 private:
  ComClsmain& owner_;
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
  DWORD next_cookie_ = 0;
};

class ComClsmain final : public _clsmain,
                         public IConnectionPointContainer,
                         public IProvideClassInfo2,
                         private picmeta::capture::CallListener {
 public:
  ComClsmain() : events_(*this) { ++g_objects; }
  ~ComClsmain() { --g_objects; }
  ComClsmain(const ComClsmain&) = delete;
  ComClsmain& operator=(const ComClsmain&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__clsmain) {
      *out = static_cast<_clsmain*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
      *out = static_cast<IProvideClassInfo2*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
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

  // IConnectionPointContainer: the one point, of __clsmain.
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
      *out = new Enumerator<IEnumConnectionPoints, IConnectionPoint*, &IID_IEnumConnectionPoints>(
          {&events_});
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid != DIID___clsmain) return CONNECT_E_NOCONNECTION;
    events_.AddRef();
    *out = &events_;
    return S_OK;
  }

  // IProvideClassInfo2: the class, and its source of events.
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = TypeInfoOf(CLSID_clsmain);
    return *out ? S_OK : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* out) override {
    if (!out) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *out = DIID___clsmain;
    return S_OK;
  }

  // _clsmain
  HRESULT STDMETHODCALLTYPE get_GV_FilePath(BSTR* value) override {
    if (!value) return E_POINTER;
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
    return Call("ReadEXIF", [&] {
      picmeta::capture::methods::ReadEXIF(Utf8(TempPath1), Utf8(AppPath1), Utf8(Busitype),
                                          Utf8(ClassCode), Utf8(Orgid), Utf8(Busiorgid),
                                          Utf8(Operno), Utf8(Opername), Utf8(BusiTime),
                                          Utf8(Systemid), Utf8(BusiProcess), Utf8(IP));
    });
  }
  HRESULT STDMETHODCALLTYPE WriteDatatoXML(BSTR AppPath1, BSTR Orgid, BSTR Busiorgid, BSTR Operno,
                                           BSTR Opername, BSTR BusiTime) override {
    return Call("WriteDatatoXML", [&] {
      picmeta::capture::methods::WriteDatatoXML(Utf8(AppPath1), Utf8(Orgid), Utf8(Busiorgid),
                                                Utf8(Operno), Utf8(Opername), Utf8(BusiTime));
    });
  }
  HRESULT STDMETHODCALLTYPE DeleteDatafromXML(BSTR LastPath1, BSTR pic_name) override {
    return Call("DeleteDatafromXML", [&] {
      picmeta::capture::methods::DeleteDatafromXML(Utf8(LastPath1), Utf8(pic_name));
    });
  }
  HRESULT STDMETHODCALLTYPE CopyExifInfo(BSTR strFolderPath1, BSTR TempPath1,
                                         BSTR Operno) override {
    return Call("CopyExifInfo", [&] {
      picmeta::capture::methods::CopyExifInfo(Utf8(strFolderPath1), Utf8(TempPath1), Utf8(Operno));
    });
  }
  HRESULT STDMETHODCALLTYPE NewWriteDatatoXML(BSTR AppPath1, BSTR strFilePath, BSTR Orgid,
                                              BSTR Busiorgid, BSTR Operno, BSTR Opername,
                                              BSTR BusiTime) override {
    return Call("NewWriteDatatoXML", [&] {
      picmeta::capture::methods::NewWriteDatatoXML(Utf8(AppPath1), Utf8(strFilePath), Utf8(Orgid),
                                                   Utf8(Busiorgid), Utf8(Operno), Utf8(Opername),
                                                   Utf8(BusiTime));
    });
  }

 private:
  // A method, under the library's one guard (its BSTRs converted inside
  // it): its events go to this object's sinks, on this thread, while it
  // runs. The object lives through it, whatever a sink releases.
  template <class Body>
  HRESULT Call(const char* method, Body body) noexcept {
    AddRef();
    {
      const picmeta::capture::ListenerScope scope(this);
      picmeta::capture::Method(method, body);
    }
    Release();
    return S_OK;
  }

  // The events of this object's calls, to its sinks (DISPIDs of __clsmain).
  void OnEvent(const picmeta::Event& e) override {
    try {
      const EventText method(e.method), path(e.path), message(e.message);
      const long count = e.count < 0            ? -1
                         : e.count > 0x7FFFFFFF ? 0x7FFFFFFF
                                                : static_cast<long>(e.count);
      // In reverse order, as IDispatch takes them.
      VARIANT arguments[] = {Long(e.os_error), Long(count),      Text(message), Text(path),
                             Text(method),     Long(e.severity), Long(e.code)};
      events_.Fire(1, arguments, 7);
    } catch (...) {
    }
  }
  void OnFolder(const std::string& folder) override {
    try {
      const EventText path(folder);
      VARIANT arguments[] = {Text(path)};
      events_.Fire(2, arguments, 1);
    } catch (...) {
    }
  }

  friend class EventPoint;
  std::atomic<long> refs_{1};
  EventPoint events_;
  picmeta::clsmain object_;
};

ULONG STDMETHODCALLTYPE EventPoint::AddRef() { return owner_.AddRef(); }
ULONG STDMETHODCALLTYPE EventPoint::Release() { return owner_.Release(); }
HRESULT STDMETHODCALLTYPE EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = static_cast<IConnectionPointContainer*>(&owner_);
  owner_.AddRef();
  return S_OK;
}

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
  // Never below zero, however unbalanced the host's calls.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
      return S_OK;
    }
    for (long n = g_locks.load(); n > 0 && !g_locks.compare_exchange_weak(n, n - 1);) {
    }
    return S_OK;
  }
};

ClassFactory g_factory;

// ---- Registration ----------------------------------------------------------------

const wchar_t kProgId[] = L"Picmeta.clsmain";
const wchar_t kClsid[] = L"{BDE3DA38-7E73-42F7-B70B-FA18A40C57DC}";
const wchar_t kIid[] = L"{3DC73DB1-41E8-4BE0-9925-56D3672BDFFA}";
const wchar_t kEventsIid[] = L"{8E4C5A2D-6B1F-4C7E-9A3D-2F5B8C1E4D70}";
// The marshaller of a dispinterface (PSDispatch).
const wchar_t kDispatchProxy[] = L"{00020420-0000-0000-C000-000000000046}";
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

// Whether the server of the other bitness is registered under root: its
// class key stands in the other registry view. (A 32-bit system has one
// view, where this server's own class key is gone already.)
bool OtherBitnessRegistered(HKEY root) {
  const REGSAM other = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  Key key;
  const std::wstring server =
      std::wstring(L"Software\\Classes\\CLSID\\") + kClsid + L"\\InprocServer32";
  return ::RegOpenKeyExW(root, server.c_str(), 0, KEY_READ | other, &key.h) == ERROR_SUCCESS;
}

// Removes everything Register wrote under root. The ProgID, interface and
// type library keys are shared with a server of the other bitness: they go
// only when that one is not registered either.
void Unregister(HKEY root) {
  const std::wstring classes = L"Software\\Classes\\";
  DeleteTree(root, classes + L"CLSID\\" + kClsid);
  const std::wstring version = classes + L"TypeLib\\" + kLibid + L"\\1.0";
  DeleteTree(root, version + L"\\0\\" + kTypeLibPlatform);
  if (OtherBitnessRegistered(root)) return;
  DeleteTree(root, classes + kProgId);
  if (!HasSubkeys(root, version + L"\\0")) {
    DeleteTree(root, classes + L"TypeLib\\" + kLibid);
    DeleteTree(root, classes + L"Interface\\" + kIid);
    DeleteTree(root, classes + L"Interface\\" + kEventsIid);
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
  const std::wstring events = classes + L"Interface\\" + kEventsIid;
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
                  SetValue(root, iface + L"\\TypeLib", L"Version", L"1.0") &&
                  SetValue(root, events, L"", L"__clsmain") &&
                  SetValue(root, events + L"\\ProxyStubClsid32", L"", kDispatchProxy) &&
                  SetValue(root, events + L"\\TypeLib", L"", kLibid) &&
                  SetValue(root, events + L"\\TypeLib", L"Version", L"1.0");
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
