// An early-bound host: creates Picmeta.clsmain through the class factory and
// calls the methods through the interface's function table, as compiled
// hosts do. Usage: com_client ROOT SEPARATOR RESULT_FILE
#include <windows.h>
// The COM headers need windows.h first.
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

// The identifiers of the class and the interface, defined here.
#include <initguid.h>

#include "picmeta_idl.h"

namespace {

// A BSTR for the length of one call.
struct Text {
  explicit Text(const std::wstring& s)
      : b(::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Text() { ::SysFreeString(b); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  operator BSTR() const { return b; }
  BSTR b;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const std::wstring root = argv[1], sep = argv[2];
  FILE* result = _wfopen(argv[3], L"w");
  if (!result) return 2;
  auto say = [&](const char* what, HRESULT hr) {
    std::fprintf(result, "%s %s\n", what, hr == S_OK ? "ok" : "failed");
  };
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
  _clsmain* o = nullptr;
  HRESULT hr = ::CoCreateInstance(CLSID_clsmain, nullptr, CLSCTX_INPROC_SERVER, IID__clsmain,
                                  reinterpret_cast<void**>(&o));
  say("create", hr);
  if (FAILED(hr) || !o) return 4;
  BSTR value = nullptr;
  say("get-empty", o->get_GV_FilePath(&value));
  std::fprintf(result, "GV_FilePath empty %s\n",
               value && ::SysStringLen(value) == 0 ? "yes" : "no");
  ::SysFreeString(value);
  say("put", o->put_GV_FilePath(Text(L"D:\\案卷\\1")));
  value = nullptr;
  o->get_GV_FilePath(&value);
  std::fprintf(result, "GV_FilePath kept %s\n",
               value && std::wstring(value) == L"D:\\案卷\\1" ? "yes" : "no");
  ::SysFreeString(value);

  const std::wstring app = root + sep + L"app", pictures = root + sep + L"pictures";
  const std::wstring folder = app + sep + L"top" + sep + L"case";
  const Text orgid(L"3100000ABCDEF001"), busiorgid(L"31000"), operno(L"0815"), opername(L"张三"),
      time(L"2011-08-11 14:30:05");
  say("WriteDatatoXML", o->WriteDatatoXML(Text(app), orgid, busiorgid, operno, opername, time));
  say("NewWriteDatatoXML", o->NewWriteDatatoXML(Text(app), Text(folder + sep + L"IMG_0003.JPG"),
                                                orgid, busiorgid, operno, opername, time));
  say("NewWriteDatatoXML", o->NewWriteDatatoXML(Text(app),
                                                Text(pictures + sep + L"车险" + sep + L"定损" +
                                                     sep + L"现场照片" + sep + L"front.jpg"),
                                                orgid, busiorgid, operno, opername, time));
  say("DeleteDatafromXML", o->DeleteDatafromXML(Text(folder), Text(L"IMG_0001.JPG")));
  say("ReadEXIF",
      o->ReadEXIF(Text(pictures), Text(app), Text(L"2"), Text(L""), orgid, busiorgid, operno,
                  opername, time, Text(L"CLAIMS"), Text(L"survey"), Text(L"10.0.0.8")));
  say("CopyExifInfo", o->CopyExifInfo(Text(app), Text(pictures), operno));
  // A missing folder is no error to the host either.
  say("missing", o->DeleteDatafromXML(Text(root + sep + L"no-such-folder"), Text(L"x.jpg")));
  std::fprintf(result, "released %lu\n", o->Release());

  // The module may be unloaded only once every object and server lock is gone.
  const HMODULE dll = ::GetModuleHandleW(L"picmeta.dll");
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  using GetClass = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  const auto can_unload = reinterpret_cast<CanUnload>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "DllCanUnloadNow")));
  const auto get_class = reinterpret_cast<GetClass>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "DllGetClassObject")));
  if (!can_unload || !get_class) return 5;
  const bool idle_at_start = can_unload() == S_OK;
  IClassFactory* factory = nullptr;
  get_class(CLSID_clsmain, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  const bool factory_held = can_unload() == S_FALSE;
  factory->LockServer(TRUE);
  _clsmain* object = nullptr;
  factory->CreateInstance(nullptr, IID__clsmain, reinterpret_cast<void**>(&object));
  factory->Release();
  const bool locked_held = can_unload() == S_FALSE;
  factory = nullptr;
  get_class(CLSID_clsmain, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  factory->LockServer(FALSE);
  factory->Release();
  const bool object_held = can_unload() == S_FALSE;
  object->Release();
  const bool idle_at_end = can_unload() == S_OK;
  std::fprintf(
      result, "unload %s\n",
      idle_at_start && factory_held && locked_held && object_held && idle_at_end ? "ok" : "wrong");

  // The same DLL exports the C interface.
  using Create = void* (*)();
  using Set = void (*)(void*, const char*);
  using Get = size_t (*)(const void*, char*, size_t);
  using Release = void (*)(void*);
  const auto create = reinterpret_cast<Create>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "picmeta_clsmain_create")));
  const auto set = reinterpret_cast<Set>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "picmeta_clsmain_set_GV_FilePath")));
  const auto get = reinterpret_cast<Get>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "picmeta_clsmain_get_GV_FilePath")));
  const auto release = reinterpret_cast<Release>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "picmeta_clsmain_release")));
  if (!create || !set || !get || !release) return 6;
  void* c = create();
  set(c, "C:/x");
  char buf[16] = {};
  get(c, buf, sizeof buf);
  release(c);
  std::fprintf(result, "c-interface %s\n", std::string(buf) == "C:/x" ? "ok" : "wrong");
  ::CoUninitialize();
  std::fclose(result);
  return 0;
}
