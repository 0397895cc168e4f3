#include "bindings/optimization_result_type.hpp"

#include <utility>

#include "bindings/errors.hpp"
#include "bindings/help_texts.hpp"
#include "bindings/py_values.hpp"
#include "bindings/record_json_text.hpp"
#include "bindings/type_helpers.hpp"
#include "core/text.hpp"

namespace halvorn::bindings {
namespace {

const PyOptimizationResult& record_of(PyObject* self) {
  return record_in<PyOptimizationResult>(self);
}
const RuntimeConfig& config_of(PyObject* self) { return record_of(self).result.config; }
const BenchmarkResult& metrics_of(PyObject* self) { return record_of(self).result.metrics; }

PyObject* repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const RuntimeConfig& config = config_of(self);
    // One decimal, ties to even on the exact value; NaN prints "NaN".
    const std::string text =
        cat("OptimizationResult(runtime=", halvorn::text(config.runtime),
            ", quant=", halvorn::text(config.quantization),
            ", tps=", format_fixed(metrics_of(self).tokens_per_sec, 1), ")");
    return py_text(text).release();
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Result<std::string> json = record_json_text(record_of(self).result);
    if (!json) return raise_error(Error("serialization failed: " + json.error().text()));
    return py_text(*json).release();
  });
}

PyObject* get_runtime(PyObject* self, void*) {
  return guard([&] { return py_text(halvorn::text(config_of(self).runtime)).release(); });
}

PyObject* get_quantization(PyObject* self, void*) {
  return guard([&] { return py_text(halvorn::text(config_of(self).quantization)).release(); });
}

PyObject* get_threads(PyObject* self, void*) {
  return guard([&] { return py_unsigned(config_of(self).threads).release(); });
}

PyObject* get_gpu_layers(PyObject* self, void*) {
  return guard([&] { return py_unsigned(config_of(self).gpu_layers).release(); });
}

PyObject* get_tokens_per_sec(PyObject* self, void*) {
  return guard([&] { return py_float(metrics_of(self).tokens_per_sec).release(); });
}

PyObject* get_latency_ms(PyObject* self, void*) {
  return guard([&] { return py_float(metrics_of(self).latency_ms).release(); });
}

PyObject* get_peak_memory_mb(PyObject* self, void*) {
  return guard([&] { return py_unsigned(metrics_of(self).peak_memory_mb).release(); });
}

PyObject* get_output_path(PyObject* self, void*) {
  return guard([&] { return py_optional_text(record_of(self).output_path).release(); });
}

PyMethodDef methods[] = {
    {"to_json", to_json, METH_NOARGS, help::kOptimizationResultToJson},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"runtime", get_runtime, nullptr, help::kRuntime, nullptr},
    {"quantization", get_quantization, nullptr, help::kQuantization, nullptr},
    {"threads", get_threads, nullptr, help::kThreads, nullptr},
    {"gpu_layers", get_gpu_layers, nullptr, help::kGpuLayers, nullptr},
    {"tokens_per_sec", get_tokens_per_sec, nullptr, help::kTokensPerSec, nullptr},
    {"latency_ms", get_latency_ms, nullptr, help::kLatencyMs, nullptr},
    {"peak_memory_mb", get_peak_memory_mb, nullptr, help::kPeakMemoryMb, nullptr},
    {"output_path", get_output_path, nullptr, help::kOutputPath, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* optimization_result_type() {
  static PyTypeObject type = [] {
    PyTypeObject t = sealed_record_type<PyOptimizationResult>("OptimizationResult",
                                                              help::kOptimizationResultClass);
    t.tp_repr = repr;
    t.tp_methods = methods;
    t.tp_getset = properties;
    return t;
  }();
  return PyType_Ready(&type) == 0 ? &type : nullptr;
}

PyOwned new_optimization_result(PyOptimizationResult result) {
  return new_record_object(optimization_result_type(), std::move(result));
}

const PyOptimizationResult* optimization_result_record(PyObject* object) {
  PyTypeObject* type = optimization_result_type();
  if (type == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (Py_TYPE(object) != type) return nullptr;
  return &record_of(object);
}

}  // namespace halvorn::bindings
