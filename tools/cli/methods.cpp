// The five methods of clsmain, one command each.
#include <iostream>

#include "cli.h"
#include "picmeta/clsmain.h"

namespace picmeta::cli {

int ReadExif(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("app-path"), "workspace") || NoFolder(a.Get("temp-path"), "picture tree"))
    return kUsage;
  clsmain().ReadEXIF(a.Get("temp-path"), a.Get("app-path"), a.Get("busitype"), a.Get("class-code"),
                     a.Get("orgid"), a.Get("busiorgid"), a.Get("operno"), a.Get("opername"),
                     a.Get("busi-time"), a.Get("systemid"), a.Get("busi-process"), a.Get("ip"));
  return PrintHandOvers(o);
}

int Write(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("app-path"), "workspace")) return kUsage;
  clsmain().WriteDatatoXML(a.Get("app-path"), a.Get("orgid"), a.Get("busiorgid"), a.Get("operno"),
                           a.Get("opername"), a.Get("busi-time"));
  return Finish(o, o.saved > 0);
}

int NewWrite(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("app-path"), "workspace") || NoParameterFile(a.Get("file"), "picture"))
    return kUsage;
  clsmain().NewWriteDatatoXML(a.Get("app-path"), a.Get("file"), a.Get("orgid"), a.Get("busiorgid"),
                              a.Get("operno"), a.Get("opername"), a.Get("busi-time"));
  return Finish(o, o.saved > 0);
}

int Delete(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("folder"), "record")) return kUsage;
  clsmain().DeleteDatafromXML(a.Get("folder"), a.Get("picture"));
  return Finish(o, o.saved > 0);
}

int Copy(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("folder"), "case") || NoFolder(a.Get("temp-path"), "picture tree"))
    return kUsage;
  SetFolderNotification([](const std::string& f) { std::cout << "collected " << f << "\n"; });
  clsmain().CopyExifInfo(a.Get("folder"), a.Get("temp-path"), a.Get("operno"));
  SetFolderNotification(nullptr);
  return PrintHandOvers(o);
}

}  // namespace picmeta::cli
