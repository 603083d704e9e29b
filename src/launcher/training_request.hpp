// The five values of one training request, and the one table that describes
// them: each row gives the parameter's name, the trainer's option word and
// the member. The binder of both callables, TrainerConfig's attributes and
// repr, and the trainer's argument list are all driven by this table, so a
// new parameter is one member and one row. A parameter is required unless its
// member is optional.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace velmora::launcher {

struct TrainingRequest {
  std::string config_path;  // exactly as the caller gave it
  std::string output_dir;   // passed through unchanged
  std::uint64_t steps = 0;
  std::uint32_t seed = 0;
  std::optional<std::string> base_ckpt;  // absent for None/omitted; "" is present
};

template <class T>
struct RequestField {
  using Value = T;
  static constexpr bool required = true;
  std::string_view name;    // the Python parameter and attribute name
  std::string_view option;  // the trainer's option word
  T TrainingRequest::*member;
};
template <class T>
struct RequestField<std::optional<T>> {
  using Value = std::optional<T>;
  static constexpr bool required = false;
  std::string_view name;
  std::string_view option;
  std::optional<T> TrainingRequest::*member;
};

// In parameter order: positional order, conversion order, argument order.
inline constexpr std::tuple kRequestFields{
    RequestField<std::string>{"config_path", "--config", &TrainingRequest::config_path},
    RequestField<std::string>{"output_dir", "--output-dir", &TrainingRequest::output_dir},
    RequestField<std::uint64_t>{"steps", "--steps", &TrainingRequest::steps},
    RequestField<std::uint32_t>{"seed", "--seed", &TrainingRequest::seed},
    RequestField<std::optional<std::string>>{"base_ckpt", "--base-ckpt",
                                             &TrainingRequest::base_ckpt},
};

inline constexpr std::size_t kRequestFieldCount = std::tuple_size_v<decltype(kRequestFields)>;

// Calls `visit(field)` for every row, in order.
template <class Visit>
constexpr void for_each_request_field(Visit&& visit) {
  std::apply([&](const auto&... field) { (visit(field), ...); }, kRequestFields);
}

// Calls `visit(field)` for every row, in order, while it returns true; false
// when one returned false.
template <class Visit>
constexpr bool all_request_fields(Visit&& visit) {
  return std::apply([&](const auto&... field) { return (visit(field) && ...); }, kRequestFields);
}

}  // namespace velmora::launcher
