// Errors as values: a message plus an optional cause, so that context is
// added by wrapping on the way up and nothing is lost.  text() renders the
// chain outermost first, joined by ": ".
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace halvorn {

// The typed failure of a runtime adapter.  It travels inside an ordinary
// Error so that callers can still find it anywhere in a chain.
struct AdapterError {
  enum class Kind {
    NotInstalled,              // first = binary, second = install hint
    InitializationFailed,      // first = reason
    ModelLoadFailed,           // first = path, second = reason
    InferenceFailed,           // first = reason
    UnsupportedConfiguration,  // first = detail
  };

  Kind kind;
  std::string first;
  std::string second;

  static AdapterError not_installed(std::string binary, std::string install_hint);
  static AdapterError initialization_failed(std::string reason);
  static AdapterError model_load_failed(std::string path, std::string reason);
  static AdapterError inference_failed(std::string reason);
  static AdapterError unsupported_configuration(std::string detail);

  // The user-facing text of this failure.
  std::string text() const;
};

class Error {
 public:
  explicit Error(std::string message);
  explicit Error(AdapterError adapter);

  // A new error whose message is `context` and whose cause is this error.
  [[nodiscard]] Error wrap(std::string context) const&;
  [[nodiscard]] Error wrap(std::string context) &&;

  const std::string& message() const noexcept { return message_; }
  const Error* cause() const noexcept { return cause_.get(); }
  const AdapterError* adapter() const noexcept {
    return adapter_ ? &*adapter_ : nullptr;
  }
  // The innermost error of the chain (this error when it has no cause).
  const Error& root() const noexcept;
  // The first AdapterError of the given kind met walking from the outside in.
  const AdapterError* find_adapter(AdapterError::Kind kind) const noexcept;
  // Message followed by ": " and each cause's message, outermost first.
  std::string text() const;

 private:
  std::string message_;
  std::optional<AdapterError> adapter_;
  std::shared_ptr<const Error> cause_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

// The operating system's text for an errno value, as strerror gives it.
std::string os_error_text(int errnum);
// An Error carrying the operating system's text for `errnum`.
Error os_error(int errnum);
// The cause reported for any read that ended before the bytes it needed.
inline constexpr std::string_view kShortReadText = "failed to fill whole buffer";

}  // namespace halvorn
