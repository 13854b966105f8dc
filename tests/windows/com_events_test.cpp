// The COM server's events and the faults a COM host meets, through
// picmeta.dll itself (its class object, as COM gets it): sinks advised on an
// object's connection point hear that object's calls, in order, with the
// values of the C interface's events; nothing a sink does changes a call.
#include <windows.h>
// The COM headers need windows.h first.
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <functional>
#include <string>
#include <vector>

#include "picmeta/picmeta.h"
#include "platform/os/utf16.h"
#include "tests/support.h"
#include "tools/sample_case.h"
// The identifiers of the class and the interfaces, defined here.
#include <initguid.h>

#include "picmeta_idl.h"

namespace picmeta {
namespace {

using platform::Utf16;
using platform::Utf8;

// One event as a sink or the C handler heard it.
struct Heard {
  int code = 0, severity = 0;
  std::string method, path, message;
  long long count = 0;
  int os_error = 0;
  bool operator==(const Heard&) const = default;
};

// The DLL beside the tests, loaded once, and its entry points.
struct Dll {
  HMODULE module = nullptr;
  HRESULT(STDAPICALLTYPE* get_class)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* can_unload)() = nullptr;
  void (*set_log_handler)(picmeta_log_handler, void*) = nullptr;
  Dll() {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll = self;
    dll = dll.substr(0, dll.find_last_of(L'\\'));  // tests
    dll = dll.substr(0, dll.find_last_of(L'\\')) + L"\\picmeta.dll";
    module = ::LoadLibraryW(dll.c_str());
    if (!module) return;
    get_class = reinterpret_cast<decltype(get_class)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    can_unload = reinterpret_cast<decltype(can_unload)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
    set_log_handler = reinterpret_cast<decltype(set_log_handler)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "picmeta_set_log_handler")));
  }
};
Dll& TheDll() {
  static Dll dll;
  return dll;
}

template <class T>
struct Ptr {  // a COM reference, released with it
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

struct Text {  // a BSTR for one call
  explicit Text(const std::string& s) {
    const std::wstring w = Utf16(s);
    b = ::SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  }
  explicit Text(const std::wstring& w)
      : b(::SysAllocStringLen(w.data(), static_cast<UINT>(w.size()))) {}
  ~Text() { ::SysFreeString(b); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  operator BSTR() const { return b; }
  BSTR b;
};

std::string ArgText(const VARIANT& v) {
  return v.vt == VT_BSTR && v.bstrVal ? Utf8(v.bstrVal) : "";
}

// A sink of __clsmain: records what it hears; `then` runs after each event.
class Sink final : public IDispatch {
 public:
  std::vector<Heard> events;
  std::vector<std::string> folders;
  HRESULT answer = S_OK;
  std::function<void()> then;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID___clsmain) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*,
                                   EXCEPINFO* exception, UINT*) override {
    const VARIANT* a = p->rgvarg;  // in reverse order
    if (id == 1 && p->cArgs == 7)
      events.push_back({a[6].lVal, a[5].lVal, ArgText(a[4]), ArgText(a[3]), ArgText(a[2]),
                        a[1].lVal, a[0].lVal});
    else if (id == 2 && p->cArgs == 1)
      folders.push_back(ArgText(a[0]));
    else
      events.push_back({-1, 0, "bad call", "", "", 0, 0});
    if (then) then();
    if (answer == DISP_E_EXCEPTION && exception) {
      exception->bstrDescription = ::SysAllocString(L"the sink failed");
      exception->scode = E_FAIL;
    }
    return answer;
  }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 0;
};

class ComEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TheDll().module && TheDll().get_class) << "picmeta.dll beside the tests";
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    case_ = tooling::BuildSampleCase(dir_.path());
  }
  void TearDown() override {
    TheDll().set_log_handler(nullptr, nullptr);
    ::CoUninitialize();
  }
  // A new object, by its class object as COM would get it.
  void Create(Ptr<_clsmain>& o) {
    Ptr<IClassFactory> factory;
    ASSERT_EQ(TheDll().get_class(CLSID_clsmain, IID_IClassFactory, factory.out()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID__clsmain, o.out()), S_OK);
  }
  // Advises a sink on an object's connection point; the cookie.
  DWORD Advise(_clsmain* o, Sink& sink, Ptr<IConnectionPoint>& point) {
    Ptr<IConnectionPointContainer> container;
    EXPECT_EQ(o->QueryInterface(IID_IConnectionPointContainer, container.out()), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(DIID___clsmain, &point.p), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(&sink, &cookie), S_OK);
    return cookie;
  }
  void ReadExif(_clsmain* o) {
    const Text none(""), orgid(case_.orgid), op("0815");
    EXPECT_EQ(o->ReadEXIF(Text(case_.temp_path), Text(case_.app_path), Text("2"), none, orgid, none,
                          op, none, none, none, none, none),
              S_OK);
  }
  void CopyExifInfo(_clsmain* o) {
    EXPECT_EQ(o->CopyExifInfo(Text(case_.app_path), Text(case_.temp_path), Text("0815")), S_OK);
  }
  void Write(_clsmain* o) {
    const Text none("");
    EXPECT_EQ(
        o->WriteDatatoXML(Text(case_.app_path), Text(case_.orgid), none, Text("0815"), none, none),
        S_OK);
  }
  test::TempDir dir_;  // (the DLL keeps its own clock: hand-over names are found by listing)
  tooling::SampleCase case_;
};

std::vector<Heard>* g_c_events = nullptr;
void OnCEvent(const picmeta_event* e, void*) {
  if (g_c_events)
    g_c_events->push_back(
        {e->code, e->severity, e->method, e->path, e->message, e->count, e->os_error});
}

// A ReadEXIF's and a CopyExifInfo's events reach the sink in order with the
// values the C handler gets, and CopyExifInfo's folders too.
TEST_F(ComEvents, ASinkHearsEachCallsEventsInOrderWithTheirValues) {
  Ptr<_clsmain> o;
  Create(o);
  Sink sink;
  Ptr<IConnectionPoint> point;
  Advise(o.p, sink, point);
  std::vector<Heard> c_events;
  g_c_events = &c_events;
  TheDll().set_log_handler(&OnCEvent, nullptr);
  ReadExif(o.p);
  ASSERT_FALSE(sink.events.empty());
  const Heard last = sink.events.back();
  EXPECT_EQ(last.code, PICMETA_EVENT_HANDOVER_WRITTEN);
  EXPECT_EQ(last.method, "ReadEXIF");
  EXPECT_EQ(last.count, 7);
  ASSERT_EQ(test::HandOvers(case_.app_path).size(), 1u);
  EXPECT_EQ(last.path, test::Shown(case_.app_path + "/" + test::HandOvers(case_.app_path)[0]));
  bool no_exif = false;
  for (const Heard& h : sink.events)
    no_exif |= h.code == PICMETA_EVENT_PICTURE_WITHOUT_EXIF && h.severity == PICMETA_WARNING &&
               h.message.find("scan.jpg") != std::string::npos;
  EXPECT_TRUE(no_exif);
  // A working file of the picture tree, collected and handed over.
  const Text none("");
  EXPECT_EQ(o->NewWriteDatatoXML(Text(case_.app_path),
                                 Text(case_.temp_path + "/车险/定损/现场照片/front.jpg"),
                                 Text(case_.orgid), none, Text("0815"), none, none),
            S_OK);
  const std::size_t before = sink.events.size();
  CopyExifInfo(o.p);
  ASSERT_GT(sink.events.size(), before);
  EXPECT_EQ(sink.events.back().code, PICMETA_EVENT_WORKING_FILE_TAKEN);
  EXPECT_EQ(sink.events.back().method, "CopyExifInfo");
  EXPECT_EQ(sink.folders.size(), 4u);
  EXPECT_EQ(sink.folders[1], test::Shown("/车险/定损/现场照片/证件/驾驶证"));
  g_c_events = nullptr;
  EXPECT_EQ(sink.events, c_events);  // the C handler and the sink, side by side
}

TEST_F(ComEvents, UnadviseStopsThemAndEachObjectTellsOnlyItsOwnSinks) {
  Ptr<_clsmain> a, b;
  Create(a);
  Create(b);
  Sink sink_a, sink_b;
  Ptr<IConnectionPoint> point_a, point_b;
  const DWORD cookie = Advise(a.p, sink_a, point_a);
  Advise(b.p, sink_b, point_b);
  ReadExif(a.p);
  EXPECT_FALSE(sink_a.events.empty());
  EXPECT_TRUE(sink_b.events.empty());
  ReadExif(b.p);
  const std::string b_wrote = sink_b.events.back().path;
  EXPECT_EQ(sink_b.events.back().code, PICMETA_EVENT_HANDOVER_WRITTEN);
  for (const Heard& h : sink_a.events) EXPECT_NE(h.path, b_wrote);
  EXPECT_EQ(point_a->Unadvise(cookie), S_OK);
  EXPECT_EQ(point_a->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  const std::size_t heard = sink_a.events.size();
  ReadExif(a.p);
  EXPECT_EQ(sink_a.events.size(), heard);
  EXPECT_EQ(sink_a.refs(), 0u);  // the object let it go
}

// A sink that fails, raises an error or calls the object back inside its
// event changes nothing the call does.
TEST_F(ComEvents, WhatASinkDoesChangesNoCall) {
  Ptr<_clsmain> o;
  Create(o);
  Sink failing, raising, calling;
  failing.answer = E_FAIL;
  raising.answer = DISP_E_EXCEPTION;
  bool called = false;
  calling.then = [&] {
    if (called) return;
    called = true;
    Write(o.p);  // back into the object, while its ReadEXIF runs
  };
  Ptr<IConnectionPoint> p1, p2, p3;
  Advise(o.p, failing, p1);
  Advise(o.p, raising, p2);
  Advise(o.p, calling, p3);
  ReadExif(o.p);
  EXPECT_TRUE(called);
  EXPECT_EQ(failing.events, calling.events);
  ASSERT_EQ(test::HandOvers(case_.app_path).size(), 1u);
  EXPECT_EQ(
      test::RecordNames(case_.app_path + "/" + test::HandOvers(case_.app_path)[0], true).size(),
      7u);
  // The call made from the sink did its work too.
  EXPECT_EQ(test::RecordNames(case_.case_folder + "/exifinfo.xml").size(), 3u);
}

// What script hosts and tools ask of a connectable object.
TEST_F(ComEvents, TheConnectionPointIsFoundListedAndDescribed) {
  Ptr<_clsmain> o;
  Create(o);
  Ptr<IConnectionPointContainer> container;
  ASSERT_EQ(o->QueryInterface(IID_IConnectionPointContainer, container.out()), S_OK);
  Ptr<IConnectionPoint> none;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &none.p), CONNECT_E_NOCONNECTION);
  Ptr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(&points.p), S_OK);
  IConnectionPoint* got[2] = {};
  ULONG n = 0;
  EXPECT_EQ(points->Next(2, got, &n), S_FALSE);
  ASSERT_EQ(n, 1u);
  IID iid{};
  EXPECT_EQ(got[0]->GetConnectionInterface(&iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, DIID___clsmain));
  got[0]->Release();
  Sink sink;
  Ptr<IConnectionPoint> point;
  const DWORD cookie = Advise(o.p, sink, point);
  Ptr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(&connections.p), S_OK);
  CONNECTDATA data[2] = {};
  EXPECT_EQ(connections->Next(2, data, &n), S_FALSE);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(data[0].dwCookie, cookie);
  data[0].pUnk->Release();
  Ptr<IProvideClassInfo2> info;
  ASSERT_EQ(o->QueryInterface(IID_IProvideClassInfo2, info.out()), S_OK);
  GUID source{};
  EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_TRUE(IsEqualIID(source, DIID___clsmain));
  Ptr<ITypeInfo> coclass;
  ASSERT_EQ(info->GetClassInfo(&coclass.p), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_clsmain));
  EXPECT_EQ(attr->cImplTypes, 2);
  coclass->ReleaseTypeAttr(attr);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

// Null out-pointers, an unbalanced LockServer, a parameter holding a NUL.
TEST_F(ComEvents, TheFaultsAHostMeetsAreRefused) {
  Ptr<_clsmain> o;
  Create(o);
  EXPECT_EQ(o->get_GV_FilePath(nullptr), E_POINTER);
  // "...\IMG_0001.JPG" NUL "\..\IMG_0002.JPG": the system would stop at the
  // NUL; the call writes nothing and says why.
  Sink sink;
  Ptr<IConnectionPoint> point;
  Advise(o.p, sink, point);
  std::wstring file = Utf16(case_.case_folder + "\\IMG_0001.JPG");
  file.push_back(L'\0');
  file += L"\\..\\IMG_0002.JPG";
  const Text none("");
  EXPECT_EQ(o->NewWriteDatatoXML(Text(case_.app_path), Text(file), Text(case_.orgid), none,
                                 Text("0815"), none, none),
            S_OK);
  EXPECT_FALSE(test::Exists(case_.case_folder + "/exifinfo.xml"));
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].code, PICMETA_EVENT_PARAMETER_REFUSED);
  EXPECT_NE(sink.events[0].message.find("strFilePath"), std::string::npos);
}

// However unbalanced a host's LockServer calls, the server can be unloaded
// once nothing holds it.
TEST_F(ComEvents, AnUnbalancedLockServerNeverKeepsTheServerLoaded) {
  {
    Ptr<IClassFactory> factory;
    ASSERT_EQ(TheDll().get_class(CLSID_clsmain, IID_IClassFactory, factory.out()), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(TheDll().can_unload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  }
  EXPECT_EQ(TheDll().can_unload(), S_OK);
}

}  // namespace
}  // namespace picmeta
