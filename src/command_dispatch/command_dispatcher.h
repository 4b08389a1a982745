// CommandDispatcher: decodes each command the overlay sends and calls the handler that a subsystem
// registered for its kind. Commands without a handler (their subsystems are not part of this host)
// are decoded and then left alone, like unknown types. Main thread only.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/commands.h"

namespace vyo::host {

class CommandDispatcher {
 public:
  // Registers the handler of command `C`; a later registration replaces an earlier one.
  template <typename C>
  void On(std::function<void(const C&)> handler) {
    handlers_[IndexOf<C>()] = [handler = std::move(handler)](const Command& c) { handler(std::get<C>(c)); };
  }

  void Dispatch(uint32_t type, const std::vector<uint8_t>& payload) {
    const std::optional<Command> decoded = DecodeCommand(type, payload.data(), payload.size());
    if (!decoded) return;
    if (const auto& handler = handlers_[decoded->index()]) handler(*decoded);
  }

 private:
  template <typename C, size_t I = 0>
  static constexpr size_t IndexOf() {
    static_assert(I < std::variant_size_v<Command>, "not a command type");
    if constexpr (std::is_same_v<std::variant_alternative_t<I, Command>, C>) {
      return I;
    } else {
      return IndexOf<C, I + 1>();
    }
  }

  std::array<std::function<void(const Command&)>, std::variant_size_v<Command>> handlers_;
};

}  // namespace vyo::host
