#include "documents/yaml/yaml_plain_anchors.hpp"

#include <new>

namespace velmora::documents::yaml {

void PlainAnchors::write_scalar(std::uint64_t word) {
  if (scalars_.size() == UINT32_MAX) throw std::bad_alloc();  // counts are 32 bits
  scalars_.push_back(word);
  recent_[recent_slot(word)] = word;
}

void PlainAnchors::trust(std::uint64_t word) {
  if (trusted_.find_word(word) != nullptr) return;
  trusted_.bind_word(word, {static_cast<std::uint32_t>(scalars_.size()), 0});
  ++unverified_;
}

bool PlainAnchors::verify() {
  for (std::size_t i = 0; i < scalars_.size() && unverified_ != 0; ++i) {
    const AnchorBinding* b = trusted_.find_word(scalars_[i]);
    if (b == nullptr || b->expansion != 0 || i >= b->entry) continue;
    trusted_.bind_word(scalars_[i], {b->entry, 1});
    --unverified_;
  }
  return unverified_ == 0;
}

}  // namespace velmora::documents::yaml
