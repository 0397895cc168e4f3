// placeholder until the module surface lands
#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_halvorn", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__halvorn(void) { return PyModule_Create(&def); }
