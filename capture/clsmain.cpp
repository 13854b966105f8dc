#include "picmeta/clsmain.h"

namespace picmeta {

clsmain::clsmain() noexcept = default;
clsmain::~clsmain() = default;

const std::string& clsmain::GV_FilePath() const noexcept { return gv_file_path_; }

void clsmain::GV_FilePath(std::string value) noexcept { gv_file_path_ = std::move(value); }

}  // namespace picmeta
