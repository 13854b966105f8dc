#ifndef PICMETA_FUZZ_FUZZ_SUPPORT_H
#define PICMETA_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace picmeta::fuzz {

// A scratch folder for this process, on tmpfs when there is one so that the
// library's fsyncs cost nothing; removed when the process exits.
inline std::string ScratchPath() {
  const std::filesystem::path base =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  return (base / ("picmeta-fuzz-" + std::to_string(::getpid()))).string();
}

inline const std::string& Scratch() {
  static const std::string dir = [] {
    std::string path = ScratchPath();
    std::filesystem::create_directories(path);
    // Recomputed at exit: the static string is gone by then.
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchPath(), ec);
    });
    return path;
  }();
  return dir;
}

inline void Put(const std::string& path, std::string_view bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void Clear(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

// Splits an input at "\n--8<--\n" into at most n parts (missing parts are "").
inline std::vector<std::string> Parts(const std::uint8_t* data, std::size_t size, std::size_t n) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kCut = "\n--8<--\n";
  std::vector<std::string> parts;
  while (parts.size() + 1 < n) {
    const auto at = in.find(kCut);
    if (at == std::string_view::npos) break;
    parts.emplace_back(in.substr(0, at));
    in.remove_prefix(at + kCut.size());
  }
  parts.emplace_back(in);
  parts.resize(n);
  return parts;
}

}  // namespace picmeta::fuzz

#endif
