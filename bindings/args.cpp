#include "bindings/args.hpp"

#include <stdexcept>
#include <string_view>
#include <vector>

#include "bindings/conversions.hpp"
#include "bindings/py_ref.hpp"
#include "core/text.hpp"

namespace halvorn::bindings {
namespace {

const char* was_or_were(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += cat("'", names[i], "'");
  }
  return out;
}

// Index of the parameter named exactly `keyword`, or -1.
Py_ssize_t parameter_index(std::span<const Parameter> parameters, PyObject* keyword) {
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, parameters[i].name) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

// Takes the pending exception, normalised.
PyOwned take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyOwned::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyOwned::steal(value);
#endif
}

void raise_instance(PyOwned exception) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

// Replaces a pending TypeError by "argument '<name>': <message>", carrying
// over the first error's cause.  Other exceptions stay as they are.
void rename_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyOwned first = take_exception();
  if (!first) return;
  PyOwned message = PyOwned::steal(PyObject_Str(first.get()));
  if (!message) return;  // that failure is raised instead
  PyOwned renamed_text =
      PyOwned::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!renamed_text) return;
  PyOwned renamed =
      PyOwned::steal(PyObject_CallOneArg(PyExc_TypeError, renamed_text.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(first.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals
  }
  raise_instance(std::move(renamed));
}

}  // namespace

std::optional<BoundArguments> BoundArguments::bind(const Signature& signature,
                                                   PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
  const std::span<const Parameter> parameters = signature.parameters;
  const auto count = static_cast<Py_ssize_t>(parameters.size());
  if (parameters.size() > kMaxParameters) {
    throw std::logic_error("a signature has more parameters than the binder holds");
  }
  BoundArguments bound(signature);

  if (nargs > count) {
    std::size_t required = 0;
    for (const Parameter& p : parameters) required += p.required ? 1 : 0;
    if (required == parameters.size()) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                   signature.function, count, nargs, was_or_were(nargs));
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zd to %zd positional arguments but %zd %s given",
                   signature.function, static_cast<Py_ssize_t>(required), count, nargs,
                   was_or_were(nargs));
    }
    return std::nullopt;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.values_[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      // The interpreter guarantees text keywords; a C caller might not.
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
      return std::nullopt;
    }
    const Py_ssize_t index = parameter_index(parameters, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   signature.function, keyword);
      return std::nullopt;
    }
    PyObject*& slot = bound.values_[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, parameters[static_cast<std::size_t>(index)].name);
      return std::nullopt;
    }
    slot = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (parameters[i].required && bound.values_[i] == nullptr) {
      missing.push_back(parameters[i].name);
    }
  }
  if (!missing.empty()) {
    const std::string message =
        cat(signature.function, "() missing ", missing.size(), " required positional ",
            missing.size() == 1 ? "argument" : "arguments", ": ", quoted_list(missing));
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return std::nullopt;
  }
  return bound;
}

bool BoundArguments::named(std::size_t index, bool converted) const {
  if (!converted) rename_type_error(signature_.parameters[index].name);
  return converted;
}

bool BoundArguments::text(std::size_t index, std::string& out) const {
  PyObject* value = values_[index];
  return value == nullptr || named(index, convert_text(value, out));
}

bool BoundArguments::optional_text(std::size_t index, std::optional<std::string>& out) const {
  PyObject* value = values_[index];
  return value == nullptr || named(index, convert_optional_text(value, out));
}

bool BoundArguments::optional_number(std::size_t index, std::optional<double>& out) const {
  PyObject* value = values_[index];
  return value == nullptr || named(index, convert_optional_number(value, out));
}

bool BoundArguments::flag(std::size_t index, bool& out) const {
  PyObject* value = values_[index];
  return value == nullptr || named(index, convert_flag(value, out));
}

bool BoundArguments::result_object(std::size_t index, const PyOptimizationResult*& out) const {
  PyObject* value = values_[index];
  return value == nullptr || named(index, convert_result_object(value, out));
}

}  // namespace halvorn::bindings
