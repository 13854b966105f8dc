// Benchmarks of the library's methods, side by side with the peers libexif and
// libexiv2 where they are installed. Generates its own inputs; see bench/run.sh.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#ifdef PICMETA_BENCH_LIBEXIF
#include <libexif/exif-data.h>
#endif
#ifdef PICMETA_BENCH_EXIV2
#include <exiv2/exiv2.hpp>
#endif

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/picinfo.h"
#include "records/record_document.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using picmeta::tooling::BuildCameraJpeg;
using picmeta::tooling::CameraPicture;
namespace tooling = picmeta::tooling;
using picmeta::clsmain;
using picmeta::clsPicinfo;
namespace Public_Function = picmeta::Public_Function;

namespace {

int g_runs = 5;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Median wall time of `runs` calls of f, with `prepare` before each (untimed).
double Time(const std::function<void()>& f, const std::function<void()>& prepare = {},
            int runs = g_runs) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    if (prepare) prepare();
    const auto start = Clock::now();
    f();
    t.push_back(Seconds(Clock::now() - start));
  }
  return Median(t);
}

long ReadBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value)
    if (key == "read_bytes:") return value;
  return -1;
}

// Peak resident memory (MiB) of f run in a child process.
double PeakMiB(const std::function<void()>& f) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    f();
    ::_exit(0);
  }
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  return ru.ru_maxrss / 1024.0;
}

void Put(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void Evict(const std::vector<std::string>& files) {
  ::sync();
  for (const auto& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY);
    if (fd < 0) continue;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

// ---- picture sets ------------------------------------------------------------

std::string SmallPicture(std::uint32_t seed) {
  CameraPicture p;
  p.seed = seed;
  p.order = seed % 2 ? picmeta::tooling::Order::kIntel : picmeta::tooling::Order::kMotorola;
  p.image_bytes = 30 * 1024 + (seed * 7919) % (20 * 1024);  // 35-55 KB in all
  p.maker_note_bytes = 600;
  p.thumbnail_bytes = 4000;
  return BuildCameraJpeg(p);
}

// An 8 MiB camera picture: Exif block at the front, image data after it.
std::string LargePicture(std::uint32_t seed) {
  CameraPicture p;
  p.seed = seed;
  p.image_bytes = 8 * 1024 * 1024 - 8000;
  p.maker_note_bytes = 600;
  p.thumbnail_bytes = 4000;
  return BuildCameraJpeg(p);
}

// n pictures in `folder`: mostly small, one in 100 large (hard links to a few
// distinct large files), one in 200 without Exif.
std::vector<std::string> MakePictures(const std::string& folder, int n, const std::string& prefix) {
  std::vector<std::string> paths;
  std::vector<std::string> large;
  for (int i = 0; i < n; ++i) {
    const std::string path = folder + "/" + prefix + std::to_string(i) + ".jpg";
    if (i % 100 == 50) {
      if (large.size() < 8) {
        Put(path, LargePicture(static_cast<std::uint32_t>(i)));
        large.push_back(path);
      } else {
        fs::create_directories(folder);
        fs::create_hard_link(large[(i / 100) % large.size()], path);
      }
    } else if (i % 200 == 7) {
      Put(path, picmeta::tooling::BuildJfif({false, "", 40 * 1024, static_cast<std::uint32_t>(i)}));
    } else {
      Put(path, SmallPicture(static_cast<std::uint32_t>(i)));
    }
    paths.push_back(path);
  }
  return paths;
}

// ---- extraction engines -------------------------------------------------------

const std::int32_t kTags[] = {0x0107, 0x0108, 0x0109, 0x010A, 0x010F, 0x0110, 0x9003,
                              0x9004, 0x0132, 0x0131, 0x8769, 0xA005, 0x0201};
// Results go here so that no engine call can be optimised away.
std::size_t g_sink = 0;

void Floor(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  static thread_local std::vector<char> buf(64 * 1024);
  const int fd = ::open(path.c_str(), O_RDONLY);
  g_sink += static_cast<std::size_t>(::read(fd, buf.data(), buf.size()));
  ::close(fd);
  g_sink += static_cast<std::size_t>(st.st_size);
}

void Picmeta(const std::string& path) {
  picmeta::clsPicinfo r;
  picmeta::Public_Function::ReadPicInfo(path, r);
  g_sink += r.Make().size() + r.Takedate().size();
}

#ifdef PICMETA_BENCH_LIBEXIF
void Libexif(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  ExifData* d = exif_data_new_from_file(path.c_str());
  if (!d) return;
  char buf[256];
  for (const auto tag : kTags) {
    ExifEntry* e = exif_data_get_entry(d, static_cast<ExifTag>(tag));
    if (e) g_sink += std::strlen(exif_entry_get_value(e, buf, sizeof buf));
  }
  exif_data_unref(d);
}
#endif

#ifdef PICMETA_BENCH_EXIV2
void Libexiv2(const std::string& path) {
  static const char* kKeys[] = {"Exif.Image.Thresholding",
                                "Exif.Image.CellWidth",
                                "Exif.Image.CellLength",
                                "Exif.Image.FillOrder",
                                "Exif.Image.Make",
                                "Exif.Image.Model",
                                "Exif.Photo.DateTimeOriginal",
                                "Exif.Photo.DateTimeDigitized",
                                "Exif.Image.DateTime",
                                "Exif.Image.Software",
                                "Exif.Image.ExifTag",
                                "Exif.Photo.InteroperabilityTag",
                                "Exif.Thumbnail.JPEGInterchangeFormat"};
  struct stat st {};
  ::stat(path.c_str(), &st);
  try {
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    const Exiv2::ExifData& data = image->exifData();
    for (const char* key : kKeys) {
      const auto it = data.findKey(Exiv2::ExifKey(key));
      if (it != data.end()) g_sink += it->toString().size();
    }
  } catch (const std::exception&) {
  }
}
#endif

struct Engine {
  const char* name;
  void (*fn)(const std::string&);
};

std::vector<Engine> Engines() {
  std::vector<Engine> e = {{"I/O floor", &Floor}, {"picmeta", &Picmeta}};
#ifdef PICMETA_BENCH_LIBEXIF
  e.push_back({"libexif", &Libexif});
#endif
#ifdef PICMETA_BENCH_EXIV2
  e.push_back({"libexiv2", &Libexiv2});
#endif
  return e;
}

// Per-picture microseconds of an engine over files, median of runs (warm).
double PerPicture(const Engine& e, const std::vector<std::string>& files) {
  for (const auto& f : files) e.fn(f);  // warm the cache
  return Time([&] {
           for (const auto& f : files) e.fn(f);
         }) *
         1e6 / files.size();
}

void ExtractionTable(const char* title, const std::vector<std::string>& files) {
  std::printf("\n%s (%zu pictures, warm cache, median of %d passes)\n", title, files.size(),
              g_runs);
  std::printf("  %-10s %12s %16s\n", "engine", "us/picture", "picmeta speed-up");
  const auto engines = Engines();
  std::vector<double> us;
  for (const auto& e : engines) us.push_back(PerPicture(e, files));
  for (std::size_t i = 0; i < engines.size(); ++i)
    std::printf("  %-10s %12.2f %15.2fx\n", engines[i].name, us[i], us[i] / us[1]);
}

void SizeTable(const std::string& root) {
  std::vector<std::string> small, large;
  for (int i = 0; i < 200; ++i) {
    small.push_back(root + "/size/small" + std::to_string(i) + ".jpg");
    Put(small.back(), SmallPicture(static_cast<std::uint32_t>(i)));
  }
  for (int i = 0; i < 20; ++i) {
    large.push_back(root + "/size/large" + std::to_string(i) + ".jpg");
    Put(large.back(), LargePicture(static_cast<std::uint32_t>(i)));
  }
  std::printf("\nCost per picture by size (picmeta ReadPicInfo)\n");
  std::printf("  %-16s %10s %10s %16s\n", "pictures", "warm us", "cold us", "read KiB (cold)");
  for (const auto* set : {&small, &large}) {
    const double warm = PerPicture({"picmeta", &Picmeta}, *set);
    std::vector<double> cold;
    std::vector<double> kib;
    for (int run = 0; run < 3; ++run) {
      Evict(*set);
      const long before = ReadBytes();
      const auto start = Clock::now();
      for (const auto& f : *set) Picmeta(f);
      cold.push_back(Seconds(Clock::now() - start) * 1e6 / set->size());
      kib.push_back((ReadBytes() - before) / 1024.0 / set->size());
    }
    std::printf("  %-16s %10.2f %10.2f %16.1f\n", set == &small ? "35-55 KB" : "8 MiB", warm,
                Median(cold), Median(kib));
  }
  std::printf("  (floor, cold, per 8 MiB picture: ");
  Evict(large);
  const long before = ReadBytes();
  for (const auto& f : large) Floor(f);
  std::printf("%.1f KiB read)\n", (ReadBytes() - before) / 1024.0 / large.size());
}

// ---- whole methods --------------------------------------------------------------

struct Case {
  std::string app, temp;
  int pictures;
};

// A ReadEXIF case: folders of 100 documents under one subclass.
Case MakeCase(const std::string& root, int n) {
  Case c{root + "/app", root + "/pics", n};
  std::string busi =
      "<busiinfoprocess><busino>C1</busino><busiinforecord classcode='11020000' "
      "foldername='R'><subcalsscodeinforecord foldername='S'>";
  std::string res = "<documentinfo>";
  for (int f = 0; f * 100 < n; ++f) {
    busi +=
        "<doctypeinforecord foldername='D" + std::to_string(f) + "'><documentinfo><relationship>";
    const auto paths = MakePictures(c.temp + "/R/S/D" + std::to_string(f),
                                    std::min(100, n - f * 100), "p" + std::to_string(f) + "_");
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const std::string key = std::to_string(f) + "_" + std::to_string(i);
      busi += "<resourcemainindex resourcemainindex='" + key + "'/>";
      res += "<filename resourcemainindex='" + key + "' name='" +
             fs::path(paths[i]).filename().string() + "'/>";
    }
    busi += "</relationship></documentinfo></doctypeinforecord>";
  }
  busi += "</subcalsscodeinforecord></busiinforecord></busiinfoprocess>";
  Put(c.app + "/busiinfoprocess.xml", busi);
  Put(c.app + "/resourceprocess.xml", res + "</documentinfo>");
  return c;
}

void RemoveHandOvers(const std::string& folder) {
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("exif_", 0) == 0) fs::remove(e.path());
}

void ReadExifTable(const std::string& root, const std::vector<int>& sizes) {
  std::printf("\nReadEXIF, whole method (warm cache, median of 3)\n");
  std::printf("  %-10s %10s %12s %12s %14s\n", "pictures", "seconds", "pictures/s", "us/picture",
              "peak MiB");
  std::vector<double> seconds;
  for (const int n : sizes) {
    const Case c = MakeCase(root + "/case" + std::to_string(n), n);
    auto run = [&] {
      picmeta::clsmain().ReadEXIF(c.temp, c.app, "2", "", "3100000ABCDEF001", "b", "0815", "n", "t",
                                  "s", "p", "ip");
    };
    run();
    const double t = Time(
        run, [&] { RemoveHandOvers(c.app); }, 3);
    RemoveHandOvers(c.app);
    const double peak = PeakMiB(run);
    seconds.push_back(t);
    std::printf("  %-10d %10.3f %12.0f %12.1f %14.1f\n", n, t, n / t, t * 1e6 / n, peak);
  }
  if (seconds.size() == 2)
    std::printf("  ratio %d / %d: %.2f\n", sizes[1], sizes[0], seconds[1] / seconds[0]);
}

// A WriteDatatoXML case folder with n listed pictures.
std::string MakeWorkspace(const std::string& root, int n) {
  Put(root + "/documentfilesource.xml",
      "<documentinfo><filename relativepath='top/case'/></documentinfo>");
  Put(root + "/top/kelexplorersource.xml",
      "<kelexplorerinfo><folder name='case'><busiindex><component name='busitype' value='2'/>"
      "<component name='classcode' value='11020000'/></busiindex></folder></kelexplorerinfo>");
  const std::string folder = root + "/top/case";
  std::string list = "<kelexplorerinfo>";
  const std::string small = SmallPicture(1);
  for (int i = 0; i < n; ++i) {
    const std::string name = "p" + std::to_string(i) + ".jpg";
    if (i == 0)
      Put(folder + "/" + name, small);
    else
      fs::create_hard_link(folder + "/p0.jpg", folder + "/" + name);
    list += "<file name='" + name + "' processflag='1'/>";
  }
  Put(folder + "/kelexplorersource.xml", list + "</kelexplorerinfo>");
  return folder;
}

struct MethodTimes {
  double write_empty, write_full, new_write, del, copy, plain;
};

// The least a call that edits a file must do: open it, read it whole, write
// it to a temporary file and rename that over it.
void PlainCopy(const std::string& file) {
  std::string bytes;
  {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) std::abort();
    bytes.resize(static_cast<std::size_t>(st.st_size));
    if (::pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      std::abort();
    ::close(fd);
  }
  const std::string temp = file + ".plain";
  const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || ::write(out, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  ::fsync(out);
  ::close(out);
  if (::rename(temp.c_str(), file.c_str()) != 0) std::abort();
}

// Every working-file method on a case of n pictures or records; CopyExifInfo
// gathers n / 100 folders of 100 records.
MethodTimes Methods(const std::string& root, int n) {
  const std::string app = root + "/app";
  const std::string folder = MakeWorkspace(app, n);
  const std::string file = folder + "/exifinfo.xml";
  const std::string middle = "p" + std::to_string(n / 2) + ".jpg";
  picmeta::clsmain obj;
  MethodTimes t{};
  auto write = [&] { obj.WriteDatatoXML(app, "3100000ABCDEF001", "b", "0815", "n", "t"); };
  constexpr int kRuns = 7;
  t.write_empty = Time(
      write, [&] { fs::remove(file); }, kRuns);
  write();
  t.write_full = Time(write, {}, kRuns);
  t.plain = Time([&] { PlainCopy(file); }, {}, kRuns);
  t.new_write = Time(
      [&] {
        obj.NewWriteDatatoXML(app, folder + "/" + middle, "3100000ABCDEF001", "b", "0815", "n",
                              "t");
      },
      {}, kRuns);
  std::string saved;
  {
    std::ifstream in(file, std::ios::binary);
    saved.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  t.del = Time([&] { obj.DeleteDatafromXML(folder, middle); }, [&] { Put(file, saved); }, kRuns);

  const std::string copy = root + "/copy";
  const int folders = std::max(1, n / 100);
  std::string busi =
      "<busiinfoprocess><busiinforecord foldername='R'><subcalsscodeinforecord foldername='S'>";
  for (int f = 0; f < folders; ++f)
    busi += "<doctypeinforecord foldername='D" + std::to_string(f) +
            "'><documentinfo><relationship><resourcemainindex/></relationship></documentinfo>"
            "</doctypeinforecord>";
  Put(copy + "/case/busiinfoprocess.xml",
      busi + "</subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
  std::string records;
  for (int i = 0; i < 100; ++i)
    records += "<info Filename='p" + std::to_string(i) +
               ".jpg' Make='Canon' Model='EOS' Takedate='2011:08:01 09:05:07' "
               "Digidate='2011:08:01 09:05:07'/>";
  auto lay = [&] {
    RemoveHandOvers(copy + "/case");
    for (int f = 0; f < folders; ++f)
      Put(copy + "/pics/R/S/D" + std::to_string(f) + "/exifinfo.xml",
          "<?xml version='1.0' encoding='GBK'?><root>" + records + "</root>");
  };
  t.copy = Time([&] { obj.CopyExifInfo(copy + "/case", copy + "/pics", "0815"); }, lay, kRuns);
  return t;
}

// Methods() in a child process, so that each size starts from the same heap
// rather than from what the earlier measurements left behind.
MethodTimes MethodsInChild(const std::string& root, int n) {
  int fds[2];
  if (::pipe(fds) != 0) return Methods(root, n);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const MethodTimes t = Methods(root, n);
    const bool ok = ::write(fds[1], &t, sizeof t) == static_cast<ssize_t>(sizeof t);
    ::_exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  MethodTimes t{};
  const bool ok = ::read(fds[0], &t, sizeof t) == static_cast<ssize_t>(sizeof t);
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  if (!ok) std::fprintf(stderr, "method measurement failed\n");
  return t;
}

void MethodsTable(const std::string& root, int small, int large) {
  const MethodTimes a = MethodsInChild(root + "/methods" + std::to_string(small), small);
  const MethodTimes b = MethodsInChild(root + "/methods" + std::to_string(large), large);
  std::printf("\nWorking-file methods (warm cache, median of 7; seconds)\n");
  std::printf("  %-44s %10d %10d %8s\n", "method", small, large, "ratio");
  auto row = [&](const char* what, double x, double y) {
    std::printf("  %-44s %10.4f %10.4f %8.2f\n", what, x, y, y / x);
  };
  row("WriteDatatoXML, N listed pictures, new file", a.write_empty, b.write_empty);
  row("WriteDatatoXML, N listed pictures, all known", a.write_full, b.write_full);
  row("NewWriteDatatoXML, 1 picture into N records", a.new_write, b.new_write);
  row("DeleteDatafromXML, 1 of N records", a.del, b.del);
  row("CopyExifInfo, N/100 folders of 100 records", a.copy, b.copy);
  row("plain copy of the N-record file", a.plain, b.plain);
  std::printf(
      "  at %d records, x plain copy: WriteDatatoXML (all known) %.1f, NewWriteDatatoXML "
      "%.1f, DeleteDatafromXML %.1f\n",
      large, b.write_full / b.plain, b.new_write / b.plain, b.del / b.plain);
}

// An operator's day: pictures recorded one NewWriteDatatoXML at a time into
// one folder. Each call reads and writes the whole file once, so a call costs
// what the file's bytes cost; the per-call figure at the end shows what one
// more picture costs at that count.
void IncrementalTable(const std::string& root, const std::vector<int>& marks) {
  const std::string app = root + "/incremental";
  const std::string folder = MakeWorkspace(app, marks.back());
  picmeta::clsmain obj;
  std::printf("\nRecording pictures one NewWriteDatatoXML at a time into one folder\n");
  std::printf("  %10s %12s %18s\n", "pictures", "total s", "last call ms");
  const auto start = Clock::now();
  std::size_t next = 0;
  for (int i = 0; i < marks.back(); ++i) {
    const auto call = Clock::now();
    obj.NewWriteDatatoXML(app, folder + "/p" + std::to_string(i) + ".jpg", "3100000ABCDEF001", "b",
                          "0815", "n", "t");
    if (i + 1 == marks[next]) {
      std::printf("  %10d %12.3f %18.3f\n", i + 1, Seconds(Clock::now() - start),
                  1000 * Seconds(Clock::now() - call));
      ++next;
    }
  }
}

// Peak resident memory of one NewWriteDatatoXML into a file of n records,
// above what the same child process holds without the call.
void MemoryTable(const std::string& root, const std::vector<int>& sizes) {
  std::printf("\nPeak memory of one NewWriteDatatoXML into N records (MiB above the baseline)\n");
  for (const int n : sizes) {
    const std::string app = root + "/memory" + std::to_string(n);
    const std::string folder = MakeWorkspace(app, 1);
    std::string records = "<?xml version='1.0' encoding='GBK'?><root>";
    for (int i = 0; i < n; ++i)
      records += "<info Orgid='3100000' Suborgid='ABCDEF' Net='001' Filename='r" +
                 std::to_string(i) +
                 ".jpg' Make='Canon' Model='Canon EOS 5D' Takedate='2011:08:01 09:05:07' "
                 "Digidate='2011:08:01 09:05:07' Transdate='2011:08:11 14:30:05'/>";
    Put(folder + "/exifinfo.xml", records + "</root>");
    records.clear();
    records.shrink_to_fit();
    const double base = PeakMiB([] {});
    const double peak = PeakMiB([&] {
      picmeta::clsmain().NewWriteDatatoXML(app, folder + "/p0.jpg", "3100000ABCDEF001", "b", "0815",
                                           "n", "t");
    });
    std::printf("  %8d records: %6.1f MiB\n", n, peak - base);
  }
}

// Writing record text in GBK: MB of UTF-8 per second through the record
// writer, for text GBK holds and for text of which every character must
// become a character reference.
void EncodingTable(bool quick) {
  std::printf("\nWriting 8 MB record values in GBK (median of %d)\n", g_runs);
  std::printf("  %-52s %10s %10s\n", "text", "MB/s", "out MB");
  const std::size_t size = quick ? 2u << 20 : 8u << 20;
  auto repeat = [&](const std::string& unit) {
    std::string s;
    while (s.size() < size) s += unit;
    return s;
  };
  const struct {
    const char* what;
    std::string text;
  } rows[] = {
      {"ASCII", repeat("Canon EOS 5D ")},
      {"Chinese (two GBK bytes each)", repeat("张三李四车损照片")},
      {"Latin-1 bytes of a camera (a third are references)",
       repeat("Caf\xC3\xA9 \xC2\x85\xC2\x80")},
      {"C1 controls, each a reference", repeat("\xC2\x80\xC2\x85\xC2\x9F")},
      {"emoji, each a reference", repeat("\xF0\x9F\x98\x80")},
  };
  picmeta::platform::XmlFrame frame;
  picmeta::records::RecordFrame(frame);
  for (const auto& row : rows) {
    auto info = picmeta::platform::XmlItem::Element("info");
    info.SetAttribute("Make", row.text);
    std::size_t out = 0;
    const double t = Time([&] {
      out = 0;
      picmeta::platform::XmlItemWriter writer;
      // (a refused write would measure nothing: it leaves `out` short)
      if (!writer.Begin(frame, [&out](std::string_view b) { out += b.size(); }) ||
          !writer.Write(info) || !writer.End())
        out = 0;
    });
    g_sink += out;
    std::printf("  %-52s %10.1f %10.1f\n", row.what, row.text.size() / t / 1e6, out / 1e6);
  }
}

}  // namespace

// ---- hostile inputs ------------------------------------------------------------

// Inputs that once took minutes: Exif pointers into one long run of digits,
// elements with very many attributes; and the largest well-formed files the
// attribute limit lets through.
void HostileTable(const std::string& root) {
  std::printf("\n%s\n| input | call | seconds |\n|---|---|---|\n",
              "Hostile inputs (single runs are medians of 3)");
  fs::create_directories(root + "/hostile");
  // 40 000 ASCII Exif pointers, each a different length of one 500 KB run of "0".
  const std::string pointers = root + "/hostile/pointers.jpg";
  Put(pointers,
      tooling::BuildJpeg(tooling::HandTiff(tooling::Order::kIntel, [](tooling::ByteWriter& w) {
        constexpr std::uint32_t kEntries = 40000, kRun = 500000;
        w.U16(kEntries);
        for (std::uint32_t i = 0; i < kEntries; ++i)
          w.U16(0x8769), w.U16(2), w.U32(kRun - i % 997), w.U32(8 + 2 + 12 * kEntries + 4);
        w.U32(0);
        w.Raw(std::string(kRun, '0'));
      })));
  std::printf("| Exif pointers into one run of digits, %.0f KB | ReadPicInfo | %.4f |\n",
              fs::file_size(pointers) / 1000.0,
              Time(
                  [&] {
                    clsPicinfo record;
                    Public_Function::ReadPicInfo(pointers, record);
                    g_sink += record.Ifdoffset().size();
                  },
                  {}, 3));

  auto attributes = [](int n, int from) {
    std::string s;
    for (int i = 0; i < n; ++i) s += " a" + std::to_string(from + i) + "=\"\"";
    return s;
  };
  const auto c = tooling::BuildSampleCase(root + "/hostile/case");
  // One element of 200 000 attributes (2.3 MB).
  const std::string bomb = "<busiinfoprocess" + attributes(200000, 0) + "/>";
  Put(root + "/hostile/copy/busiinfoprocess.xml", bomb);
  std::printf(
      "| busiinfoprocess.xml, one element of 200 000 attributes (%.1f MB) | CopyExifInfo | %.4f "
      "|\n",
      bomb.size() / 1e6,
      Time([&] { clsmain().CopyExifInfo(root + "/hostile/copy", c.temp_path, "1"); }, {}, 3));
  const std::string working = c.case_folder + "/exifinfo.xml";
  const std::string bomb_records = "<?xml version='1.0' encoding='GBK'?><root><info Filename='x'" +
                                   attributes(200000, 0) + "/></root>";
  std::printf("| exifinfo.xml, one record of 200 000 attributes | NewWriteDatatoXML | %.4f |\n",
              Time(
                  [&] {
                    clsmain().NewWriteDatatoXML(c.app_path, c.case_folder + "/IMG_0001.JPG",
                                                c.orgid, "", "1", "", "");
                  },
                  [&] {
                    for (const auto& e : fs::directory_iterator(c.case_folder))
                      if (e.path().filename().string().rfind("exifinfo.xml", 0) == 0)
                        fs::remove(e.path());
                    Put(working, bomb_records);
                  },
                  3));
  // 16 MB of elements of 256 attributes each: the most the limit lets in.
  std::string big = "<busiinfoprocess>";
  for (int e = 0; big.size() < (16u << 20); ++e) big += "<busino" + attributes(256, 0) + "/>";
  big += "</busiinfoprocess>";
  Put(root + "/hostile/copy/busiinfoprocess.xml", big);
  std::printf(
      "| busiinfoprocess.xml, 16 MB of elements of 256 attributes | CopyExifInfo | %.4f |\n",
      Time([&] { clsmain().CopyExifInfo(root + "/hostile/copy", c.temp_path, "1"); }, {}, 3));
  std::string records = "<?xml version='1.0' encoding='GBK'?><root>";
  for (int e = 0; records.size() < (16u << 20); ++e)
    records += "<info Filename='p" + std::to_string(e) + "'" + attributes(255, 0) + "/>";
  records += "</root>";
  std::printf("| exifinfo.xml, 16 MB of records of 256 attributes | DeleteDatafromXML | %.4f |\n",
              Time([&] { clsmain().DeleteDatafromXML(c.case_folder, "p0"); },
                   [&] { Put(working, records); }, 3));
}

int main(int argc, char** argv) {
  std::string work = (fs::temp_directory_path() / "picmeta-bench").string();
  std::string real;
  // Saves fsync the record file; on tmpfs that costs nothing, so the figures
  // show the library's own work rather than the disk's.
  std::string methods = fs::exists("/dev/shm") ? "/dev/shm/picmeta-bench-methods" : "";
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick")
      quick = true;
    else if (a == "--work" && i + 1 < argc)
      work = argv[++i];
    else if (a == "--pictures" && i + 1 < argc)
      real = argv[++i];
    else if (a == "--methods-dir" && i + 1 < argc)
      methods = argv[++i];
    else {
      std::fprintf(
          stderr,
          "usage: picmeta_bench [--quick] [--work DIR] [--pictures DIR] [--methods-dir DIR]\n");
      return 2;
    }
  }
  if (quick) g_runs = 3;
#ifdef PICMETA_BENCH_EXIV2
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);  // it warns about the builder's maker notes
#endif
  fs::remove_all(work);
  fs::create_directories(work);
  std::printf("picmeta benchmark; inputs in %s\n", work.c_str());

  const auto mixed = MakePictures(work + "/mixed", quick ? 300 : 2000, "m");
  ExtractionTable("Per-picture extraction: stat + 13 tags, mixed pictures (1 in 100 is 8 MiB)",
                  mixed);
  if (!real.empty()) {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(real)) {
      std::string ext = e.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(),
                     [](unsigned char c) { return std::tolower(c); });
      if (e.is_regular_file() && (ext == ".jpg" || ext == ".jpeg"))
        files.push_back(e.path().string());
    }
    ExtractionTable(("Per-picture extraction, pictures of " + real).c_str(), files);
  }
  SizeTable(work);
  ReadExifTable(work, quick ? std::vector<int>{200, 2000} : std::vector<int>{1000, 10000});
  if (methods.empty()) methods = work + "/methods";
  fs::remove_all(methods);
  std::printf("\n(working-file methods run in %s)", methods.c_str());
  MethodsTable(methods, quick ? 200 : 1000, quick ? 2000 : 10000);
  IncrementalTable(methods,
                   quick ? std::vector<int>{125, 250, 500} : std::vector<int>{500, 1000, 2000});
  MemoryTable(methods, quick ? std::vector<int>{10000} : std::vector<int>{10000, 100000});
  HostileTable(methods);
  fs::remove_all(methods);
  fs::remove_all(work);
  // Last: its large strings would count in the peak memory of the children
  // forked after it.
  EncodingTable(quick);
  std::printf("\n(checksum %zu)\n", g_sink);
  return 0;
}
