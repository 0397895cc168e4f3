#include "bindings/hardware_profile_type.hpp"

#include <utility>

#include "bindings/errors.hpp"
#include "bindings/help_texts.hpp"
#include "bindings/py_values.hpp"
#include "bindings/record_json_text.hpp"
#include "bindings/type_helpers.hpp"
#include "core/text.hpp"
#include "hardware/detect.hpp"

namespace halvorn::bindings {
namespace {

const HardwareProfile& record_of(PyObject* self) { return record_in<HardwareProfile>(self); }

PyObject* repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const HardwareProfile& profile = record_of(self);
    const std::string text = cat("HardwareProfile(cpu_cores=", profile.cpu.core_count,
                                 ", gpu=", profile.gpu ? profile.gpu->name : "None", ")");
    return py_text(text).release();
  });
}

PyObject* detect(PyObject*, PyObject*) {
  return guard([]() -> PyObject* { return detect_hardware_profile().release(); });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Result<std::string> json = record_json_text(record_of(self));
    if (!json) return raise_error(Error("serialization failed: " + json.error().text()));
    return py_text(*json).release();
  });
}

PyObject* get_cpu_cores(PyObject* self, void*) {
  return guard([&] { return py_unsigned(record_of(self).cpu.core_count).release(); });
}

PyObject* get_gpu_model(PyObject* self, void*) {
  return guard([&] {
    const auto& gpu = record_of(self).gpu;
    return (gpu ? py_text(gpu->name) : py_none()).release();
  });
}

PyObject* get_gpu_vram_mb(PyObject* self, void*) {
  return guard([&] {
    const auto& gpu = record_of(self).gpu;
    return (gpu ? py_unsigned(gpu->vram_mb) : py_none()).release();
  });
}

PyObject* get_ram_total_mb(PyObject* self, void*) {
  return guard([&] { return py_unsigned(record_of(self).ram.total_mb).release(); });
}

PyMethodDef methods[] = {
    {"detect", detect, METH_NOARGS | METH_STATIC, help::kHardwareProfileDetect},
    {"to_json", to_json, METH_NOARGS, help::kHardwareProfileToJson},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"cpu_cores", get_cpu_cores, nullptr, help::kCpuCores, nullptr},
    {"gpu_model", get_gpu_model, nullptr, help::kGpuModel, nullptr},
    {"gpu_vram_mb", get_gpu_vram_mb, nullptr, help::kGpuVramMb, nullptr},
    {"ram_total_mb", get_ram_total_mb, nullptr, help::kRamTotalMb, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* hardware_profile_type() {
  static PyTypeObject type = [] {
    PyTypeObject t =
        sealed_record_type<HardwareProfile>("HardwareProfile", help::kHardwareProfileClass);
    t.tp_repr = repr;
    t.tp_methods = methods;
    t.tp_getset = properties;
    return t;
  }();
  return PyType_Ready(&type) == 0 ? &type : nullptr;
}

PyOwned new_hardware_profile(HardwareProfile profile) {
  return new_record_object(hardware_profile_type(), std::move(profile));
}

PyOwned detect_hardware_profile() { return new_hardware_profile(detect_hardware()); }

}  // namespace halvorn::bindings
