#include "bindings/conversions.hpp"

#include <initializer_list>
#include <utility>

#include "bindings/optimization_result_type.hpp"

namespace halvorn::bindings {
namespace {

// The names the binding layer gives the target types in its messages.
constexpr const char kTextTypeName[] = "str";
constexpr const char kFlagTypeName[] = "bool";

bool raise_cannot_convert(PyObject* value, const char* target) {
  PyOwned type_name = qualified_type_name(value);
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'",
                 type_name.get(), target);
  }
  return false;
}

// Reads a text attribute of `type` and compares it; any failure to read it
// counts as "not equal".
bool type_attribute_is(PyTypeObject* type, const char* attribute,
                       std::initializer_list<const char*> accepted) {
  PyOwned value = PyOwned::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  for (const char* candidate : accepted) {
    if (PyUnicode_CompareWithASCIIString(value.get(), candidate) == 0) return true;
  }
  return false;
}

// NumPy's boolean scalar, recognised by name so that NumPy need not be
// imported (it is called `bool_` before NumPy 2 and `bool` since).
bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type_attribute_is(type, "__module__", {"numpy"}) &&
         type_attribute_is(type, "__name__", {"bool_", "bool"});
}

}  // namespace

PyOwned qualified_type_name(PyObject* value) {
  PyOwned name = PyOwned::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return PyOwned::steal(PyUnicode_FromString("<failed to extract type name>"));
}

bool convert_text(PyObject* value, std::string& out) {
  if (!PyUnicode_Check(value)) return raise_cannot_convert(value, kTextTypeName);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_optional_text(PyObject* value, std::optional<std::string>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!convert_text(value, text)) return false;
  out = std::move(text);
  return true;
}

bool convert_optional_number(PyObject* value, std::optional<double>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return false;
  out = number;
  return true;
}

bool convert_flag(PyObject* value, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return raise_cannot_convert(value, kFlagTypeName);
  PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    PyOwned type_name = qualified_type_name(value);
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "object of type '%U' does not define a '__bool__' conversion",
                   type_name.get());
    }
    return false;
  }
  const int truth = number->nb_bool(value);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool convert_result_object(PyObject* value, const PyOptimizationResult*& out) {
  const PyOptimizationResult* record = optimization_result_record(value);
  if (record == nullptr) return raise_cannot_convert(value, "OptimizationResult");
  out = record;
  return true;
}

}  // namespace halvorn::bindings
