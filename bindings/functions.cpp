#include "bindings/functions.hpp"

#include <array>
#include <string>
#include <utility>

#include "bindings/args.hpp"
#include "bindings/entry_bodies.hpp"
#include "bindings/errors.hpp"
#include "bindings/hardware_profile_type.hpp"
#include "bindings/help_texts.hpp"
#include "bindings/optimization_result_type.hpp"
#include "bindings/py_values.hpp"
#include "model-ir/model.hpp"

namespace halvorn::bindings {
namespace {

constexpr Parameter kOptimizeParameters[] = {
    {"model_path", true}, {"format", true},      {"gpu", false},
    {"max_latency_ms", false}, {"output_path", false}, {"use_cache", false},
};
constexpr Parameter kExportParameters[] = {{"result", true}, {"output_dir", true}};
constexpr Parameter kAnalyzeParameters[] = {{"model_path", true}};
constexpr Parameter kConvertParameters[] = {{"input_path", true}, {"output_path", true}};

constexpr Signature kOptimize{"optimize", kOptimizeParameters};
constexpr Signature kExport{"export_ollama", kExportParameters};
constexpr Signature kAnalyze{"analyze_model", kAnalyzeParameters};
constexpr Signature kGgufToOnnx{"convert_gguf_to_onnx", kConvertParameters};
constexpr Signature kOnnxToGguf{"convert_onnx_to_gguf", kConvertParameters};

// Adds one item, consuming `value`; false with an exception set on failure.
bool put(PyObject* dict, const char* key, PyOwned value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The model record as a dict, keys in the documented order.
PyOwned model_dict(const ModelIR& model) {
  PyOwned dict = PyOwned::steal(PyDict_New());
  PyObject* d = dict.get();
  if (!dict || !put(d, "format", py_text(text(model.format))) ||
      !put(d, "param_count", py_optional_unsigned(model.param_count)) ||
      !put(d, "architecture", py_optional_text(model.architecture)) ||
      !put(d, "context_length", py_optional_unsigned(model.context_length)) ||
      !put(d, "layer_count", py_optional_unsigned(model.layer_count)) ||
      !put(d, "hidden_size", py_optional_unsigned(model.hidden_size)) ||
      !put(d, "attention_head_count", py_optional_unsigned(model.attention_head_count)) ||
      !put(d, "attention_head_count_kv", py_optional_unsigned(model.attention_head_count_kv)) ||
      !put(d, "feed_forward_length", py_optional_unsigned(model.feed_forward_length)) ||
      !put(d, "kv_cache_size_mb", py_optional_float(model.kv_cache_size_mb)) ||
      !put(d, "memory_footprint_mb", py_optional_float(model.memory_footprint_mb)) ||
      !put(d, "flops_per_token", py_optional_float(model.flops_per_token))) {
    return {};
  }
  return dict;
}

// A text result, or RuntimeError with the failure's chain.
PyObject* text_or_raise(const Result<std::string>& result) {
  if (!result) return raise_error(result.error());
  return py_text(*result).release();
}

PyObject* profile_hardware(PyObject*, PyObject*) {
  return guard([]() -> PyObject* { return detect_hardware_profile().release(); });
}

PyObject* optimize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = BoundArguments::bind(kOptimize, args, nargs, kwnames);
    OptimizeArguments a;
    if (!bound || !bound->text(0, a.model_path) || !bound->text(1, a.format) ||
        !bound->optional_text(2, a.gpu) || !bound->optional_number(3, a.max_latency_ms) ||
        !bound->optional_text(4, a.output_path) || !bound->flag(5, a.use_cache)) {
      return nullptr;
    }
    Result<PyOptimizationResult> result = run_optimize(a);
    if (!result) return raise_error(result.error());
    return new_optimization_result(std::move(*result)).release();
  });
}

PyObject* export_ollama(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = BoundArguments::bind(kExport, args, nargs, kwnames);
    const PyOptimizationResult* result = nullptr;
    std::string output_dir;
    if (!bound || !bound->result_object(0, result) || !bound->text(1, output_dir)) {
      return nullptr;
    }
    return text_or_raise(run_export_ollama(*result, output_dir));
  });
}

PyObject* analyze_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = BoundArguments::bind(kAnalyze, args, nargs, kwnames);
    std::string model_path;
    if (!bound || !bound->text(0, model_path)) return nullptr;
    Result<ModelIR> model = load_model(model_path);
    if (!model) return raise_error(model.error());
    return model_dict(*model).release();
  });
}

// Both conversions bind the same way and differ only in the body.
template <Result<std::string> (*Body)(const std::string&, const std::string&)>
PyObject* convert(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto bound = BoundArguments::bind(signature, args, nargs, kwnames);
    std::string input_path;
    std::string output_path;
    if (!bound || !bound->text(0, input_path) || !bound->text(1, output_path)) return nullptr;
    return text_or_raise(Body(input_path, output_path));
  });
}

PyObject* convert_gguf_to_onnx(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return convert<run_convert_gguf_to_onnx>(kGgufToOnnx, args, nargs, kwnames);
}

PyObject* convert_onnx_to_gguf(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return convert<run_convert_onnx_to_gguf>(kOnnxToGguf, args, nargs, kwnames);
}

template <class F>
PyCFunction as_cfunction(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

std::span<PyMethodDef> module_functions() noexcept {
  static std::array<PyMethodDef, 6> functions = {{
      {"profile_hardware", profile_hardware, METH_NOARGS, help::kProfileHardware},
      {"optimize", as_cfunction(optimize), kFastKeywords, help::kOptimize},
      {"export_ollama", as_cfunction(export_ollama), kFastKeywords, help::kExportOllama},
      {"analyze_model", as_cfunction(analyze_model), kFastKeywords, help::kAnalyzeModel},
      {"convert_gguf_to_onnx", as_cfunction(convert_gguf_to_onnx), kFastKeywords,
       help::kConvertGgufToOnnx},
      {"convert_onnx_to_gguf", as_cfunction(convert_onnx_to_gguf), kFastKeywords,
       help::kConvertOnnxToGguf},
  }};
  return functions;
}

}  // namespace halvorn::bindings
