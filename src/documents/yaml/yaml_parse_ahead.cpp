#include "documents/yaml/yaml_parse_ahead.hpp"

#include "documents/yaml/yaml_diagnostics.hpp"

namespace velmora::documents::yaml {

ParseAhead::ParseAhead(yaml_parser_t* parser) : parser_(parser) {
  thread_ = std::thread([this] { run(); });
}

template <class Ready>
bool ParseAhead::wait_for(std::atomic<bool>& waits, Ready ready) {
  for (int spin = 0; spin < 4000; ++spin) {
    if (ready()) return true;
  }
  std::unique_lock lock(mutex_);
  waits.store(true);
  changed_.wait(lock, ready);
  waits.store(false);
  return true;
}

void ParseAhead::wake(std::atomic<bool>& waits) {
  if (waits.load()) {
    const std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
}

void ParseAhead::run() noexcept {
  for (std::size_t k = 0;; ++k) {
    wait_for(producer_waits_, [&] { return stopping_.load() || k - consumed_.load() < kBatches; });
    if (stopping_.load()) return;
    // The batch's earlier events were handed back: delete them here.
    Batch& b = batches_[k % kBatches];
    for (std::size_t i = 0; i < b.count; ++i) yaml_event_delete(&b.events[i]);
    b.count = 0;
    try {
      while (b.count < kBatch && !b.last) {
        yaml_event_t& e = b.events[b.count];
        if (!yaml_parser_parse(parser_, &e)) {
          error_ = render_libyaml_error(*parser_);
          b.last = true;
          break;
        }
        ++b.count;
        b.last = e.type == YAML_DOCUMENT_END_EVENT || e.type == YAML_STREAM_END_EVENT;
      }
    } catch (...) {  // rendering the error ran out of memory
      thrown_ = std::current_exception();
      b.last = true;
    }
    produced_.store(k + 1);
    wake(consumer_waits_);
    if (b.last) return;
  }
}

const yaml_event_t* ParseAhead::next() {
  for (;;) {
    if (holding_) {
      Batch& b = batches_[reading_ % kBatches];
      if (read_pos_ < b.count) return &b.events[read_pos_++];
      if (b.last) {
        if (thrown_) std::rethrow_exception(thrown_);
        return nullptr;
      }
      consumed_.store(++reading_);
      wake(producer_waits_);
      holding_ = false;
    }
    wait_for(consumer_waits_, [&] { return produced_.load() > reading_; });
    holding_ = true;
    read_pos_ = 0;
  }
}

void ParseAhead::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  {
    const std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
  thread_.join();
  for (Batch& b : batches_) {
    for (std::size_t i = 0; i < b.count; ++i) yaml_event_delete(&b.events[i]);
    b.count = 0;
  }
}

}  // namespace velmora::documents::yaml
