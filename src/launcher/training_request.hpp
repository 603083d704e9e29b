// The five converted arguments of one training request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora {

struct TrainingRequest {
  std::string config_path;  // exactly as the caller gave it
  std::string output_dir;   // passed through unchanged
  std::uint64_t steps = 0;
  std::uint32_t seed = 0;
  std::optional<std::string> base_ckpt;  // absent for None/omitted; "" is present
};

}  // namespace velmora
