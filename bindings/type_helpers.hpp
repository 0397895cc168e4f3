// The shape shared by the module's two classes.
#pragma once

#include <Python.h>

namespace halvorn::bindings {

// A static type that cannot be subclassed and has no instance dictionary;
// the caller fills in its slots.  `name` carries no module prefix.
inline PyTypeObject sealed_type(const char* name, Py_ssize_t basic_size, const char* doc) {
  PyTypeObject type{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = name;
  type.tp_basicsize = basic_size;
  type.tp_flags = Py_TPFLAGS_DEFAULT;  // no Py_TPFLAGS_BASETYPE: not subclassable
  type.tp_doc = doc;
  return type;
}

}  // namespace halvorn::bindings
