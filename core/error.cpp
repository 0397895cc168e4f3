#include "core/error.hpp"

#include <cstring>

namespace halvorn {

AdapterError AdapterError::not_installed(std::string binary, std::string install_hint) {
  return {Kind::NotInstalled, std::move(binary), std::move(install_hint)};
}
AdapterError AdapterError::initialization_failed(std::string reason) {
  return {Kind::InitializationFailed, std::move(reason), {}};
}
AdapterError AdapterError::model_load_failed(std::string path, std::string reason) {
  return {Kind::ModelLoadFailed, std::move(path), std::move(reason)};
}
AdapterError AdapterError::inference_failed(std::string reason) {
  return {Kind::InferenceFailed, std::move(reason), {}};
}
AdapterError AdapterError::unsupported_configuration(std::string detail) {
  return {Kind::UnsupportedConfiguration, std::move(detail), {}};
}

std::string AdapterError::text() const {
  switch (kind) {
    case Kind::NotInstalled:
      return "required binary '" + first + "' was not found in PATH \u2014 " + second;
    case Kind::InitializationFailed:
      return "model initialization failed: " + first;
    case Kind::ModelLoadFailed:
      return "model load failed for '" + first + "': " + second;
    case Kind::InferenceFailed:
      return "inference failed: " + first;
    case Kind::UnsupportedConfiguration:
      return "unsupported configuration: " + first;
  }
  return {};
}

Error::Error(std::string message) : message_(std::move(message)) {}

Error::Error(AdapterError adapter) : message_(adapter.text()), adapter_(std::move(adapter)) {}

Error Error::wrap(std::string context) const& {
  Error outer(std::move(context));
  outer.cause_ = std::make_shared<const Error>(*this);
  return outer;
}

Error Error::wrap(std::string context) && {
  Error outer(std::move(context));
  outer.cause_ = std::make_shared<const Error>(std::move(*this));
  return outer;
}

const Error& Error::root() const noexcept {
  const Error* e = this;
  while (e->cause_) e = e->cause_.get();
  return *e;
}

const AdapterError* Error::find_adapter(AdapterError::Kind kind) const noexcept {
  for (const Error* e = this; e != nullptr; e = e->cause_.get()) {
    if (e->adapter_ && e->adapter_->kind == kind) return &*e->adapter_;
  }
  return nullptr;
}

std::string Error::text() const {
  std::string out = message_;
  for (const Error* e = cause_.get(); e != nullptr; e = e->cause_.get()) {
    out += ": ";
    out += e->message_;
  }
  return out;
}

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return text;
}

Error os_error(int errnum) { return Error(os_error_text(errnum)); }

}  // namespace halvorn
