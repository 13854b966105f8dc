// Arbitrary bytes as an existing "exifinfo.xml", changed by the writers and by
// DeleteDatafromXML. After every call a saved file must load again and hold
// every record that loaded before (only the removed one may be missing), and
// the library's own reader must read it back to the same records.
#include <algorithm>
#include <cstdint>
#include <map>

#include "fuzz/fuzz_support.h"
#include "picmeta/clsmain.h"
#include "platform/xml/document.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/record_document.h"
#include "tools/exif_builder.h"

namespace {

using Census = std::map<std::string, int>;  // records by Filename ("\x01" for none)

bool Count(const std::string& path, Census& out) {
  picmeta::platform::XmlDocument doc;
  if (!doc.Load(picmeta::platform::Path::FromNative(path), picmeta::platform::Blanks::kDrop))
    return false;
  for (const auto& info : doc.SelectNodes("root/info"))
    out[info.GetAttribute("Filename").value_or("\x01")]++;
  return true;
}

// The records as the library itself reads a working file, record by record.
bool Stream(const std::string& path, Census& out) {
  picmeta::platform::XmlItemReader reader;
  if (!reader.Open(picmeta::platform::Path::FromNative(path))) return false;
  picmeta::platform::XmlItem item;
  while (reader.Next(item)) {
    if (!picmeta::records::IsRecord(reader.frame(), item)) continue;
    const std::string* name = item.GetAttribute("Filename");
    out[name ? *name : "\x01"]++;
  }
  return static_cast<bool>(reader.result());
}

// Every record of before is in after, but for `removed` of one name.
void Check(const Census& before, const std::string& path, const std::string* removed) {
  Census streamed;
  if (!Stream(path, streamed)) __builtin_trap();  // what the library writes, it reads back
  Census after;
  if (!Count(path, after)) __builtin_trap();  // a file the library saved must load
  if (after != streamed) __builtin_trap();
  for (const auto& [name, n] : before) {
    const int allowed = (removed && name == *removed) ? n - 1 : n;
    const auto it = after.find(name);
    if ((it == after.end() ? 0 : it->second) < allowed) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using picmeta::fuzz::Put;
  const std::string root = picmeta::fuzz::Scratch() + "/rf";
  const std::string folder = root + "/app/top/case";
  const std::string file = folder + "/exifinfo.xml";
  static const std::string picture = picmeta::tooling::BuildCameraJpeg({});
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  picmeta::fuzz::Clear(root);
  Put(root + "/app/documentfilesource.xml",
      "<documentinfo><filename relativepath='top/case'/></documentinfo>");
  Put(root + "/app/top/kelexplorersource.xml",
      "<kelexplorerinfo><folder name='case'><busiindex><component name='busitype' value='2'/>"
      "<component name='classcode' value='11020000'/></busiindex></folder></kelexplorerinfo>");
  Put(folder + "/kelexplorersource.xml",
      "<kelexplorerinfo><file name='a.jpg' processflag='1'/><file name='b.jpg' "
      "processflag='1'/></kelexplorerinfo>");
  Put(folder + "/a.jpg", picture);
  Put(folder + "/b.jpg", picture);

  Census before;
  const bool loaded = (Put(file, input), Count(file, before));
  picmeta::clsmain obj;
  obj.WriteDatatoXML(root + "/app", "3100000ABCDEF001", "b", "7", "n", "t");
  Check(loaded ? before : Census{}, file, nullptr);

  Put(file, input);
  obj.NewWriteDatatoXML(root + "/app", folder + "/a.jpg", "o", "b", "7", "n", "t");
  Check(loaded ? before : Census{}, file, nullptr);

  Put(file, input);
  const std::string victim = before.empty() ? "a.jpg" : before.begin()->first;
  obj.DeleteDatafromXML(folder, victim);
  if (loaded) {
    Check(before, file, &victim);
  } else if (picmeta::fuzz::ReadAll(file) != input) {
    __builtin_trap();  // a file that did not load is never overwritten by a delete
  }
  return 0;
}
