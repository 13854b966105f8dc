#include "tools/sample_case.h"

#include <filesystem>
#include <stdexcept>

#include "platform/os/text.h"
#include "tools/exif_builder.h"

namespace picmeta::tooling {
namespace {

void Put(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(Utf8Path(path).parent_path());
  if (!WriteFile(path, bytes)) throw std::runtime_error("cannot write " + path);
}

std::string Camera(const std::string& make, const std::string& model, const std::string& when,
                   Order order, std::uint32_t seed) {
  CameraPicture p;
  p.order = order;
  p.make = make;
  p.model = model;
  p.datetime = p.original = p.digitized = when;
  p.seed = seed;
  p.image_bytes = 40 * 1024;
  return BuildCameraJpeg(p);
}

// Hosts write their workspace files in GBK.
std::string ToGbk(const std::string& utf8) {
  auto gbk = platform::ConvertText(utf8, "GBK", "UTF-8");
  if (!gbk) throw std::runtime_error("text not representable in GBK");
  return *gbk;
}

}  // namespace

SampleCase BuildSampleCase(const std::string& root) {
  SampleCase c;
  c.app_path = root + "/app";
  c.temp_path = root + "/pictures";
  c.case_folder = c.app_path + "/top/case";

  Put(c.app_path + "/busiinfoprocess.xml", ToGbk(R"(<?xml version="1.0" encoding="GBK"?>
<busiinfoprocess>
  <busino>RDAA2011310000000815</busino>
  <busiinforecord classcode="" foldername="车险">
    <attribute name="classcode" value="11020000"/>
    <subcalsscodeinforecord foldername="定损">
      <doctypeinforecord foldername="现场照片">
        <documentinfo><relationship>
          <resourcemainindex resourcemainindex="R1"/>
          <resourcemainindex resourcemainindex="R2"/>
        </relationship></documentinfo>
        <doctypeinforecord foldername="">
          <documentinfo><relationship>
            <resourcemainindex resourcemainindex="R3"/>
          </relationship></documentinfo>
        </doctypeinforecord>
        <doctypeinforecord foldername="证件">
          <doctypeinforecord foldername="驾驶证">
            <documentinfo><relationship>
              <resourcemainindex resourcemainindex="R4"/>
            </relationship></documentinfo>
          </doctypeinforecord>
          <documentinfo><relationship>
            <resourcemainindex resourcemainindex="R5"/>
            <resourcemainindex resourcemainindex="R9"/>
            <resourcemainindex resourcemainindex="R6"/>
          </relationship></documentinfo>
        </doctypeinforecord>
      </doctypeinforecord>
    </subcalsscodeinforecord>
  </busiinforecord>
</busiinfoprocess>
)"));
  Put(c.app_path + "/resourceprocess.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<documentinfo>
  <filename resourcemainindex="R1" name="front.jpg"/><filename resourcemainindex="R2" name="rear.jpg"/>
  <filename resourcemainindex="R3" name="scan.jpg"/><filename resourcemainindex="R4" name="licence.jpg"/>
  <filename resourcemainindex="R5" name="idcard.jpg"/><filename resourcemainindex="R6" name="missing.jpg"/>
</documentinfo>
)");
  const std::string scene = c.temp_path + "/车险/定损/现场照片";
  Put(scene + "/front.jpg",
      Camera("Canon", "Canon EOS 5D", "2011:08:01 09:05:07", Order::kIntel, 1));
  Put(scene + "/rear.jpg",
      Camera("NIKON CORPORATION", "NIKON D90", "2011:08:01 09:06:12", Order::kMotorola, 2));
  Put(scene + "/scan.jpg", BuildJfif(JpegOptions{false, "", 20 * 1024, 3}));
  Put(scene + "/证件/驾驶证/licence.jpg",
      Camera("Apple", "iPhone 4S", "2011:08:02 14:30:05", Order::kMotorola, 4));
  Put(scene + "/证件/idcard.jpg",
      Camera("HUAWEI", "HUAWEI P9", "2011:08:02 14:31:40", Order::kIntel, 5));

  // The explorer's view: documentfilesource.xml names the case folder.
  Put(c.app_path + "/documentfilesource.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<documentinfo><filename relativepath="top/case"/></documentinfo>
)");
  Put(c.app_path + "/top/kelexplorersource.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<kelexplorerinfo>
  <folder name="other"><busiindex><component name="busitype" value="1"/></busiindex></folder>
  <folder name="case">
    <busiindex>
      <component name="busitype" value="2"/>
      <component name="claimstno" value="RDAA2011310000000815"/>
      <component name="classcode" value="11020000"/>
    </busiindex>
  </folder>
</kelexplorerinfo>
)");
  Put(c.case_folder + "/kelexplorersource.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<kelexplorerinfo>
  <file name="IMG_0001.JPG" processflag="1"/>
  <file name="IMG_0002.JPG" processflag="1"/>
  <file name="IMG_0003.JPG" processflag="0"/>
  <file name="车损.jpg" processflag="1"/>
</kelexplorerinfo>
)");
  Put(c.case_folder + "/IMG_0001.JPG",
      Camera("Canon", "Canon EOS 5D", "2011:08:03 10:00:00", Order::kIntel, 6));
  Put(c.case_folder + "/IMG_0002.JPG",
      Camera("SONY", "DSC-RX100", "2011:08:03 10:01:00", Order::kIntel, 7));
  Put(c.case_folder + "/IMG_0003.JPG",
      Camera("SONY", "DSC-RX100", "2011:08:03 10:02:00", Order::kIntel, 8));
  Put(c.case_folder + "/车损.jpg",
      Camera("Xiaomi", "MI 3", "2011:08:03 10:03:00", Order::kMotorola, 9));
  c.listed = {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "车损.jpg"};
  return c;
}

}  // namespace picmeta::tooling
