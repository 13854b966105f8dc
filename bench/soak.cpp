// Calls the five methods 100 000 times in one process on a sample case and
// prints the resident memory as it goes: it must level off after warm-up.
//   picmeta_soak [CALLS] [WORK_DIR]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "picmeta/clsmain.h"
#include "tools/sample_case.h"

namespace {

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::atol(argv[1]) : 100000;
  const std::string work = argc > 2                              ? argv[2]
                           : std::filesystem::exists("/dev/shm") ? "/dev/shm/picmeta-soak"
                                                                 : "/tmp/picmeta-soak";
  std::filesystem::remove_all(work);
  const auto c = picmeta::tooling::BuildSampleCase(work);
  picmeta::SetFolderNotification([](const std::string&) {});
  picmeta::clsmain obj;
  std::printf("%10s %14s\n", "calls", "resident KiB");
  for (long i = 0; i < calls; ++i) {
    switch (i % 5) {
      case 0:
        obj.ReadEXIF(c.temp_path, c.app_path, "2", "", c.orgid, "b", "0815", c.opername, "t", "s",
                     "p", "ip");
        break;
      case 1:
        obj.WriteDatatoXML(c.app_path, c.orgid, "b", "0815", c.opername, "t");
        break;
      case 2:
        // Alternately the case folder and a picture-tree folder, which
        // CopyExifInfo then hands over.
        obj.NewWriteDatatoXML(c.app_path,
                              (i / 5) % 2 ? c.case_folder + "/IMG_0003.JPG"
                                          : c.temp_path + "/车险/定损/现场照片/front.jpg",
                              c.orgid, "b", "0815", c.opername, "t");
        break;
      case 3:
        obj.DeleteDatafromXML(c.case_folder, i % 2 ? "IMG_0001.JPG" : "IMG_0003.JPG");
        break;
      case 4:
        obj.CopyExifInfo(c.app_path, c.temp_path, "0815");
        break;
    }
    if (i % 5 == 4) {  // hand-over files pile up by the second; keep the folder small
      for (const auto& e : std::filesystem::directory_iterator(c.app_path))
        if (e.path().filename().string().rfind("exif_", 0) == 0) std::filesystem::remove(e.path());
    }
    if ((i + 1) % (calls / 10 ? calls / 10 : 1) == 0)
      std::printf("%10ld %14ld\n", i + 1, ResidentKiB());
  }
  std::filesystem::remove_all(work);
  return 0;
}
