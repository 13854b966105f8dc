#ifndef PICMETA_CAPTURE_METHODS_H
#define PICMETA_CAPTURE_METHODS_H

#include <string>

// The bodies of clsmain's five methods, unguarded: every way into the
// library (the class, the C interface, the COM server) runs one as
// capture::Method (guarded.h), its one guard, converting the arguments
// inside it.
namespace picmeta::capture::methods {

void ReadEXIF(const std::string& TempPath1, const std::string& AppPath1,
              const std::string& Busitype, const std::string& ClassCode, const std::string& Orgid,
              const std::string& Busiorgid, const std::string& Operno, const std::string& Opername,
              const std::string& BusiTime, const std::string& Systemid,
              const std::string& BusiProcess, const std::string& IP);
void WriteDatatoXML(const std::string& AppPath1, const std::string& Orgid,
                    const std::string& Busiorgid, const std::string& Operno,
                    const std::string& Opername, const std::string& BusiTime);
void NewWriteDatatoXML(const std::string& AppPath1, const std::string& strFilePath,
                       const std::string& Orgid, const std::string& Busiorgid,
                       const std::string& Operno, const std::string& Opername,
                       const std::string& BusiTime);
void DeleteDatafromXML(const std::string& LastPath1, const std::string& pic_name);
void CopyExifInfo(const std::string& strFolderPath1, const std::string& TempPath1,
                  const std::string& Operno);

}  // namespace picmeta::capture::methods

#endif
