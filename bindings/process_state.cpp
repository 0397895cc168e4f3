#include "bindings/process_state.hpp"

namespace halvorn::bindings {

ProcessState& process_state() noexcept {
  static ProcessState state;
  return state;
}

}  // namespace halvorn::bindings
