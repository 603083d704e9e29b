// A text handed to a document check in steps, so that a file is checked as
// it is read instead of held whole.
#pragma once

#include <cstddef>

namespace velmora::documents {

// A text handed over in steps.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // Fills `into` with up to `capacity` bytes and says how many in `got` (0
  // at the end of the text); false when the text cannot be had whole.
  virtual bool read(unsigned char* into, std::size_t capacity, std::size_t& got) noexcept = 0;

 protected:
  TextSource() = default;
  TextSource(const TextSource&) = default;
  TextSource(TextSource&&) = default;
  TextSource& operator=(const TextSource&) = default;
  TextSource& operator=(TextSource&&) = default;
};

}  // namespace velmora::documents
