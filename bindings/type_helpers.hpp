// The shape shared by the module's two classes: a static type that wraps one
// C++ record, cannot be constructed from Python or subclassed, and has no
// instance dictionary.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "bindings/py_ref.hpp"

namespace halvorn::bindings {

template <class Record>
struct RecordObject {
  PyObject_HEAD
  Record record;
};

template <class Record>
const Record& record_in(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

template <class Record>
void dealloc_record(PyObject* self) {
  reinterpret_cast<RecordObject<Record>*>(self)->record.~Record();
  Py_TYPE(self)->tp_free(self);
}

// Instances are made only by the module's functions.
inline PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

// The type of a record wrapper; the caller adds repr, methods and
// properties.  `name` carries no module prefix.
template <class Record>
PyTypeObject sealed_record_type(const char* name, const char* doc) {
  PyTypeObject type{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = name;
  type.tp_basicsize = sizeof(RecordObject<Record>);
  type.tp_flags = Py_TPFLAGS_DEFAULT;  // no Py_TPFLAGS_BASETYPE: not subclassable
  type.tp_doc = doc;
  type.tp_dealloc = dealloc_record<Record>;
  type.tp_new = no_constructor;
  return type;
}

// A new instance of `type` (null: an exception is set) holding `record`.
template <class Record>
PyOwned new_record_object(PyTypeObject* type, Record record) {
  static_assert(std::is_nothrow_move_constructible_v<Record>);
  if (type == nullptr) return {};
  PyOwned object = PyOwned::steal(type->tp_alloc(type, 0));
  if (!object) return {};
  new (&reinterpret_cast<RecordObject<Record>*>(object.get())->record) Record(std::move(record));
  return object;
}

}  // namespace halvorn::bindings
