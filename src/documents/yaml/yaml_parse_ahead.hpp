// Parsing ahead: libyaml's event loop for the first document on a thread of
// its own, handing events over in batches, so that collecting and building
// run beside parsing rather than after each event. The events stay libyaml's
// own: the parsing thread also deletes them once they are handed back, so
// that each is freed on the thread that allocated it.
#pragma once

#include <yaml.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::documents::yaml {

class ParseAhead {
 public:
  // Starts parsing `parser` up to the end of the first document (its end
  // event included), the end of the stream or an error. Throws
  // std::system_error when no thread can be started.
  explicit ParseAhead(yaml_parser_t* parser);
  ~ParseAhead() { stop(); }
  ParseAhead(const ParseAhead&) = delete;
  ParseAhead& operator=(const ParseAhead&) = delete;

  // The next event, valid until the next call; nullptr where parsing failed
  // (error() says how). Rethrows what the parsing thread threw.
  const yaml_event_t* next();
  // libyaml's error, rendered when it occurred.
  const std::string& error() const { return error_; }
  // Ends parsing and waits for the thread: the parser is then the caller's again.
  void stop();

 private:
  static constexpr std::size_t kBatch = 256;
  static constexpr std::size_t kBatches = 8;
  struct Batch {
    std::array<yaml_event_t, kBatch> events;
    std::size_t count = 0;
    bool last = false;  // nothing follows: the document ended or parsing failed
  };

  void run() noexcept;
  // Waits until `ready` holds: spinning a while, then asleep (with `waits`
  // set, so that the other side wakes it).
  template <class Ready>
  bool wait_for(std::atomic<bool>& waits, Ready ready);
  void wake(std::atomic<bool>& waits);

  yaml_parser_t* parser_;
  std::array<Batch, kBatches> batches_{};
  std::atomic<std::size_t> produced_{0};  // batches filled
  std::atomic<std::size_t> consumed_{0};  // batches handed back
  std::atomic<bool> stopping_{false};
  std::atomic<bool> producer_waits_{false};
  std::atomic<bool> consumer_waits_{false};
  std::mutex mutex_;  // for sleeping only
  std::condition_variable changed_;
  std::string error_;  // written before the batch that ends with it is published
  std::exception_ptr thrown_;
  std::size_t reading_ = 0;  // the consumer's batch
  std::size_t read_pos_ = 0;
  bool holding_ = false;  // the consumer holds batch reading_
  std::thread thread_;
};

}  // namespace velmora::documents::yaml
