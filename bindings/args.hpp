// The one argument binder of the module's functions: binds a vectorcall's
// positional and keyword arguments to named parameters, then converts them
// in parameter order, with the same messages for every function.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "bindings/py_optimization_result.hpp"

namespace halvorn::bindings {

struct Parameter {
  const char* name;
  bool required;
};

struct Signature {
  const char* function;  // without "()"
  std::span<const Parameter> parameters;
};

inline constexpr std::size_t kMaxParameters = 8;

// The arguments of one call, bound to parameters: a borrowed object per
// parameter, or null where the caller gave none.  Valid during the call.
class BoundArguments {
 public:
  // Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call.  Fails
  // with TypeError on surplus positionals, unknown or repeated keywords and
  // missing required parameters, in that order of checking.
  static std::optional<BoundArguments> bind(const Signature& signature,
                                            PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames);

  // Converters of the parameter at `index`.  An omitted parameter leaves
  // `out` as it is (the caller's default).  On failure an exception is set
  // and false returned; a TypeError is re-raised as "argument '<name>':
  // <message>" with the first error's cause.
  bool text(std::size_t index, std::string& out) const;
  bool optional_text(std::size_t index, std::optional<std::string>& out) const;
  bool optional_number(std::size_t index, std::optional<double>& out) const;
  bool flag(std::size_t index, bool& out) const;
  bool result_object(std::size_t index, const PyOptimizationResult*& out) const;

 private:
  explicit BoundArguments(const Signature& signature) : signature_(signature) {}
  // Passes `converted` through; on failure renames a pending TypeError.
  bool named(std::size_t index, bool converted) const;

  Signature signature_;
  std::array<PyObject*, kMaxParameters> values_{};
};

}  // namespace halvorn::bindings
