// Every docstring of the module, word for word.  Functions and methods use
// CPython's signature-embedding form (signature line, "--", empty line,
// text) so that inspect.signature can read them; none ends in a newline.
#pragma once

namespace halvorn::bindings::help {

inline constexpr char kModule[] =
    "Native extension module of Halvorn.\n"
    "\n"
    "Exposes hardware profiling, optimization, and Ollama export to Python.\n"
    "Import it as `from halvorn._halvorn import ...` or use the re-exports in\n"
    "the `halvorn` package's `__init__.py`.";

// --- HardwareProfile ---------------------------------------------------------

inline constexpr char kHardwareProfileClass[] =
    "Python-facing wrapper around [`HardwareProfile`].\n"
    "\n"
    "Obtained via `PyHardwareProfile.detect()` or `profile_hardware()`.";
inline constexpr char kHardwareProfileDetect[] =
    "detect()\n--\n\nDetect the current machine's hardware and return a profile.";
inline constexpr char kHardwareProfileToJson[] =
    "to_json($self)\n--\n\nSerialize the profile to a JSON string.";
inline constexpr char kCpuCores[] = "Number of logical CPU cores detected.";
inline constexpr char kGpuModel[] = "GPU model name, or `None` if no GPU was detected.";
inline constexpr char kGpuVramMb[] = "GPU VRAM in megabytes, or `None` if no GPU was detected.";
inline constexpr char kRamTotalMb[] = "Total system RAM in megabytes.";

// --- OptimizationResult ------------------------------------------------------

inline constexpr char kOptimizationResultClass[] =
    "Python-facing wrapper around [`OptimizationResult`].\n"
    "\n"
    "Returned by `optimize()`. Contains both the benchmark result and the path\n"
    "to the re-quantized model produced by `llama-quantize`.";
inline constexpr char kOptimizationResultToJson[] =
    "to_json($self)\n--\n\nSerialize the result to a JSON string.";
inline constexpr char kRuntime[] =
    "Runtime name (e.g. `\"LlamaCpp\"`, `\"OnnxRuntime\"`, `\"TensorRT\"`).";
inline constexpr char kQuantization[] =
    "Quantization strategy name (e.g. `\"Q4_K_M\"`, `\"F16\"`).";
inline constexpr char kThreads[] = "Number of CPU threads used by the selected configuration.";
inline constexpr char kGpuLayers[] =
    "Number of transformer layers offloaded to the GPU (0 = CPU-only).";
inline constexpr char kTokensPerSec[] = "Sustained throughput in tokens per second.";
inline constexpr char kLatencyMs[] = "End-to-end inference latency in milliseconds.";
inline constexpr char kPeakMemoryMb[] =
    "Peak memory usage during the benchmark run, in megabytes.";
inline constexpr char kOutputPath[] =
    "Path to the re-quantized output model, or `None` if `llama-quantize`\n"
    "was not available and quantization was skipped.";

// --- functions ---------------------------------------------------------------

inline constexpr char kProfileHardware[] =
    "profile_hardware()\n"
    "--\n"
    "\n"
    "Detect and return the current machine's hardware profile.\n"
    "\n"
    "Equivalent to `HardwareProfile.detect()`.";

inline constexpr char kOptimize[] =
    "optimize(model_path, format, gpu=None, max_latency_ms=None, output_path=None, use_cache=True)\n"
    "--\n"
    "\n"
    "Run the full optimization pipeline for the given model.\n"
    "\n"
    "After finding the best configuration, re-quantizes the model using\n"
    "`llama-quantize` (if available) and writes `{stem}-optimized.gguf` next to\n"
    "the input file (or to `output_path` when supplied).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "model_path : str\n"
    "    Absolute or relative path to the model file (`.gguf` or `.onnx`).\n"
    "format : str\n"
    "    Model format: `\"gguf\"` or `\"onnx\"` (case-insensitive).\n"
    "gpu : str, optional\n"
    "    Target GPU model string (e.g. `\"4090\"`, `\"RTX 3090\"`, `\"a100\"`).\n"
    "    Pass `\"cpu\"` or omit to force CPU-only mode.  When provided this\n"
    "    value **completely replaces** the auto-detected GPU in the hardware\n"
    "    profile so that the optimizer plans for the specified hardware.\n"
    "max_latency_ms : float, optional\n"
    "    Maximum tolerated inference latency in milliseconds. Configurations\n"
    "    whose measured `latency_ms` exceeds this value are excluded.\n"
    "    Omit (or pass `None`) to apply no latency constraint.\n"
    "output_path : str, optional\n"
    "    Destination path for the re-quantized `.gguf` file.  When omitted the\n"
    "    output is placed next to the input as `{stem}-optimized.gguf`.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "OptimizationResult\n"
    "    The best runtime configuration found for this hardware.  The\n"
    "    `output_path` attribute contains the path to the re-quantized model,\n"
    "    or `None` if `llama-quantize` was not available.\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If no valid configuration could be benchmarked, the path is invalid,\n"
    "    or an unrecognised GPU model string is supplied.";

inline constexpr char kExportOllama[] =
    "export_ollama(result, output_dir)\n"
    "--\n"
    "\n"
    "Export an optimized model as an Ollama-compatible bundle.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "result : OptimizationResult\n"
    "    The result produced by `optimize()`.\n"
    "output_dir : str\n"
    "    Directory where the Ollama bundle (`Modelfile`, `model.gguf`,\n"
    "    `metadata.json`) will be written. Created if it does not exist.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    JSON-serialized [`ExportManifest`] describing produced files and\n"
    "    the `ollama create` / `ollama run` commands.\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If the export fails (e.g. missing conversion script for ONNX models).";

inline constexpr char kAnalyzeModel[] =
    "analyze_model(model_path)\n"
    "--\n"
    "\n"
    "Inspect a model file and return its IR metadata as a Python dictionary.\n"
    "\n"
    "Reads only the file header and metadata section; tensor data is never\n"
    "loaded.  All fields except `format` may be `None` when the metadata is\n"
    "absent or uncomputable.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "model_path : str\n"
    "    Path to the model file (`.gguf` or `.onnx`).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    A dictionary with the following keys:\n"
    "\n"
    "    - ``format`` (`str`): ``\"gguf\"`` or ``\"onnx\"``\n"
    "    - ``param_count`` (`int | None`): total parameter count, if known\n"
    "    - ``architecture`` (`str | None`): architecture family (e.g. ``\"llama\"``)\n"
    "    - ``context_length`` (`int | None`): maximum context length\n"
    "    - ``layer_count`` (`int | None`): number of transformer blocks\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If the file cannot be opened, has an unrecognised extension, or the\n"
    "    magic bytes are invalid.";

inline constexpr char kConvertGgufToOnnx[] =
    "convert_gguf_to_onnx(input_path, output_path)\n"
    "--\n"
    "\n"
    "Convert a GGUF model file to ONNX format.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "input_path : str\n"
    "    Path to the source `.gguf` file.\n"
    "output_path : str\n"
    "    Destination path for the produced `.onnx` file.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    Absolute path to the written `.onnx` file.\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If `python3` is not found, required packages (`gguf`, `onnx`,\n"
    "    `numpy`) are missing, or the input is not a valid GGUF file.";

inline constexpr char kConvertOnnxToGguf[] =
    "convert_onnx_to_gguf(input_path, output_path)\n"
    "--\n"
    "\n"
    "Convert an ONNX model file to GGUF format.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "input_path : str\n"
    "    Path to the source `.onnx` file.\n"
    "output_path : str\n"
    "    Destination path for the produced `.gguf` file.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    Absolute path to the written `.gguf` file.\n"
    "\n"
    "Raises\n"
    "------\n"
    "RuntimeError\n"
    "    If `python3` is not found, required packages (`onnx`, `gguf`,\n"
    "    `numpy`) are missing, or the input is not a valid ONNX file.";

}  // namespace halvorn::bindings::help
