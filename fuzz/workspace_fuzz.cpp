// Arbitrary bytes as the host's workspace files, fed to the four methods that
// read them. Parts, cut at "\n--8<--\n": busiinfoprocess.xml,
// resourceprocess.xml, documentfilesource.xml, the top folder's and the case
// folder's kelexplorersource.xml.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "picmeta/clsmain.h"
#include "tools/exif_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using picmeta::fuzz::Put;
  const std::string root = picmeta::fuzz::Scratch() + "/ws";
  static const std::string picture = picmeta::tooling::BuildCameraJpeg({});
  picmeta::fuzz::Clear(root);
  const auto parts = picmeta::fuzz::Parts(data, size, 5);
  Put(root + "/app/busiinfoprocess.xml", parts[0]);
  Put(root + "/app/resourceprocess.xml", parts[1]);
  Put(root + "/app/documentfilesource.xml", parts[2]);
  Put(root + "/app/top/kelexplorersource.xml", parts[3]);
  Put(root + "/app/top/case/kelexplorersource.xml", parts[4]);
  Put(root + "/app/top/case/a.jpg", picture);
  Put(root + "/pics/R/S/A/a.jpg", picture);
  Put(root + "/pics/R/S/A/exifinfo.xml", "<root><info Filename='x'/></root>");

  picmeta::clsmain obj;
  obj.ReadEXIF(root + "/pics", root + "/app", "2", "", "3100000ABCDEF001", "b", "7", "n", "t", "s",
               "p", "ip");
  obj.WriteDatatoXML(root + "/app", "3100000ABCDEF001", "b", "7", "n", "t");
  obj.NewWriteDatatoXML(root + "/app", root + "/app/top/case/a.jpg", "o", "b", "7", "n", "t");
  obj.CopyExifInfo(root + "/app", root + "/pics", "7");
  return 0;
}
