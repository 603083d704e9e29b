#include "documents/yaml/yaml_plain_anchors.hpp"

#include <new>

namespace velmora::documents::yaml {
void PlainAnchors::write_scalar(std::uint64_t word) {
  if (scalars_.size() == UINT32_MAX) throw std::bad_alloc();  // counts are 32 bits
  scalars_.push_back(word);
  recent_[recent_slot(word)] = word;
}

void PlainAnchors::trust(std::uint64_t word) {
  trusted_.push_back({word, static_cast<std::uint32_t>(scalars_.size())});
}

bool PlainAnchors::verify() const {
  if (trusted_.empty()) return true;
  // Each trusted word with the fewest names written before any alias to it
  // (the first alias); `expansion` marks it found.
  AnchorTable wanted;
  std::size_t open = 0;
  for (const Trusted& t : trusted_) {
    if (wanted.find_word(t.word) == nullptr) {
      wanted.bind_word(t.word, {t.before, 0});
      ++open;
    }
  }
  for (std::size_t i = 0; i < scalars_.size() && open != 0; ++i) {
    const AnchorBinding* b = wanted.find_word(scalars_[i]);
    if (b == nullptr || b->expansion != 0 || i >= b->entry) continue;
    wanted.bind_word(scalars_[i], {b->entry, 1});
    --open;
  }
  return open == 0;
}

}  // namespace velmora::documents::yaml
