"""The surface of the native module: names, classes, signatures, help texts
and the rules by which arguments are bound and converted."""

import importlib
import inspect
import json
import os
import re
import stat
import sys
import textwrap

import pytest

import _halvorn
import halvorn
from halvorn import cli
from gguf_fixtures import ANALYZE_KEYS, gguf_bytes

PUBLIC_NAMES = [
    "HardwareProfile",
    "OptimizationResult",
    "profile_hardware",
    "optimize",
    "export_ollama",
    "analyze_model",
    "convert_gguf_to_onnx",
    "convert_onnx_to_gguf",
]

# A format the driver refuses before doing any work: a call that gets past
# argument conversion with it ends in RuntimeError instead of TypeError.
UNKNOWN_FORMAT = "no-such-format"


# --- the module object --------------------------------------------------------


def test_star_import_gives_the_eight_names_in_order():
    namespace = {}
    exec("from _halvorn import *", namespace)
    namespace.pop("__builtins__")
    assert list(namespace) == PUBLIC_NAMES
    assert _halvorn.__all__ == PUBLIC_NAMES


def test_no_other_public_names():
    public = {name for name in dir(_halvorn) if not name.startswith("_")}
    assert public == set(PUBLIC_NAMES)


def test_module_docstring():
    doc = _halvorn.__doc__
    assert "Exposes hardware profiling, optimization, and Ollama export to Python." in doc
    assert "from halvorn._halvorn import ..." in doc
    assert "__init__.py" in doc


def test_every_import_form_gives_the_same_module():
    import halvorn._halvorn as through_package
    from halvorn import _halvorn as from_package

    assert through_package is _halvorn
    assert from_package is _halvorn
    assert sys.modules["_halvorn"] is _halvorn


def test_reload_returns_the_same_module():
    assert importlib.reload(_halvorn) is _halvorn
    assert _halvorn.__all__ == PUBLIC_NAMES


def test_import_after_removal_returns_the_same_module():
    saved = sys.modules.pop("_halvorn")
    try:
        again = importlib.import_module("_halvorn")
    finally:
        sys.modules["_halvorn"] = saved
    assert again is saved
    assert again.__all__ == PUBLIC_NAMES


def _run_in_sub_interpreter(code):
    """Runs `code` in a fresh sub-interpreter; None when none can be made."""
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
        return _testcapi.run_in_subinterp(code)
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        return None
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
    return 0


def test_sub_interpreter_import_is_refused():
    read_end, write_end = os.pipe()
    code = textwrap.dedent(
        f"""
        import os, sys
        sys.path[:] = {sys.path!r}
        try:
            import _halvorn
        except ImportError as error:
            outcome = "ImportError: " + str(error)
        else:
            outcome = "imported"
        os.write({write_end}, outcome.encode())
        """
    )
    try:
        if _run_in_sub_interpreter(code) is None:
            pytest.skip("this interpreter cannot make sub-interpreters")
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        outcome = pipe.read().decode()
    assert outcome.startswith("ImportError: ")
    # The interpreter may refuse single-phase modules itself in isolated
    # sub-interpreters; where the module decides, it says why.
    if "does not support loading in subinterpreters" not in outcome:
        assert "sub-interpreters are not supported" in outcome
    # The owning interpreter is unaffected.
    assert importlib.import_module("_halvorn") is _halvorn


def test_package_reexports_the_module_names():
    assert halvorn.__all__ == PUBLIC_NAMES
    for name in PUBLIC_NAMES:
        assert getattr(halvorn, name) is getattr(_halvorn, name)
    assert isinstance(halvorn.__version__, str) and halvorn.__version__


# --- help texts and signatures ----------------------------------------------------

# Signature line and text of every function, exactly as documented.
FUNCTION_HELP = {
    "profile_hardware": (
        "profile_hardware()",
        """\
Detect and return the current machine's hardware profile.

Equivalent to `HardwareProfile.detect()`.""",
    ),
    "optimize": (
        "optimize(model_path, format, gpu=None, max_latency_ms=None, output_path=None, use_cache=True)",
        """\
Run the full optimization pipeline for the given model.

After finding the best configuration, re-quantizes the model using
`llama-quantize` (if available) and writes `{stem}-optimized.gguf` next to
the input file (or to `output_path` when supplied).

Parameters
----------
model_path : str
    Absolute or relative path to the model file (`.gguf` or `.onnx`).
format : str
    Model format: `"gguf"` or `"onnx"` (case-insensitive).
gpu : str, optional
    Target GPU model string (e.g. `"4090"`, `"RTX 3090"`, `"a100"`).
    Pass `"cpu"` or omit to force CPU-only mode.  When provided this
    value **completely replaces** the auto-detected GPU in the hardware
    profile so that the optimizer plans for the specified hardware.
max_latency_ms : float, optional
    Maximum tolerated inference latency in milliseconds. Configurations
    whose measured `latency_ms` exceeds this value are excluded.
    Omit (or pass `None`) to apply no latency constraint.
output_path : str, optional
    Destination path for the re-quantized `.gguf` file.  When omitted the
    output is placed next to the input as `{stem}-optimized.gguf`.

Returns
-------
OptimizationResult
    The best runtime configuration found for this hardware.  The
    `output_path` attribute contains the path to the re-quantized model,
    or `None` if `llama-quantize` was not available.

Raises
------
RuntimeError
    If no valid configuration could be benchmarked, the path is invalid,
    or an unrecognised GPU model string is supplied.""",
    ),
    "export_ollama": (
        "export_ollama(result, output_dir)",
        """\
Export an optimized model as an Ollama-compatible bundle.

Parameters
----------
result : OptimizationResult
    The result produced by `optimize()`.
output_dir : str
    Directory where the Ollama bundle (`Modelfile`, `model.gguf`,
    `metadata.json`) will be written. Created if it does not exist.

Returns
-------
str
    JSON-serialized [`ExportManifest`] describing produced files and
    the `ollama create` / `ollama run` commands.

Raises
------
RuntimeError
    If the export fails (e.g. missing conversion script for ONNX models).""",
    ),
    "analyze_model": (
        "analyze_model(model_path)",
        """\
Inspect a model file and return its IR metadata as a Python dictionary.

Reads only the file header and metadata section; tensor data is never
loaded.  All fields except `format` may be `None` when the metadata is
absent or uncomputable.

Parameters
----------
model_path : str
    Path to the model file (`.gguf` or `.onnx`).

Returns
-------
dict
    A dictionary with the following keys:

    - ``format`` (`str`): ``"gguf"`` or ``"onnx"``
    - ``param_count`` (`int | None`): total parameter count, if known
    - ``architecture`` (`str | None`): architecture family (e.g. ``"llama"``)
    - ``context_length`` (`int | None`): maximum context length
    - ``layer_count`` (`int | None`): number of transformer blocks

Raises
------
RuntimeError
    If the file cannot be opened, has an unrecognised extension, or the
    magic bytes are invalid.""",
    ),
    "convert_gguf_to_onnx": (
        "convert_gguf_to_onnx(input_path, output_path)",
        """\
Convert a GGUF model file to ONNX format.

Parameters
----------
input_path : str
    Path to the source `.gguf` file.
output_path : str
    Destination path for the produced `.onnx` file.

Returns
-------
str
    Absolute path to the written `.onnx` file.

Raises
------
RuntimeError
    If `python3` is not found, required packages (`gguf`, `onnx`,
    `numpy`) are missing, or the input is not a valid GGUF file.""",
    ),
    "convert_onnx_to_gguf": (
        "convert_onnx_to_gguf(input_path, output_path)",
        """\
Convert an ONNX model file to GGUF format.

Parameters
----------
input_path : str
    Path to the source `.onnx` file.
output_path : str
    Destination path for the produced `.gguf` file.

Returns
-------
str
    Absolute path to the written `.gguf` file.

Raises
------
RuntimeError
    If `python3` is not found, required packages (`onnx`, `gguf`,
    `numpy`) are missing, or the input is not a valid ONNX file.""",
    ),
}


@pytest.mark.parametrize("name", list(FUNCTION_HELP))
def test_function_help_text_and_signature(name):
    signature_line, text = FUNCTION_HELP[name]
    function = getattr(_halvorn, name)
    assert function.__doc__ == text
    assert name + str(inspect.signature(function)) == signature_line
    assert function.__text_signature__ == signature_line[len(name):]


@pytest.mark.parametrize("name", [n for n in FUNCTION_HELP if n != "profile_hardware"])
def test_every_parameter_may_be_positional_or_keyword(name):
    parameters = inspect.signature(getattr(_halvorn, name)).parameters.values()
    assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize(
    "method, signature, text",
    [
        (
            _halvorn.HardwareProfile.detect,
            "()",
            "Detect the current machine's hardware and return a profile.",
        ),
        # "$self" in a signature line makes self positional-only
        (_halvorn.HardwareProfile.to_json, "(self, /)", "Serialize the profile to a JSON string."),
        (_halvorn.OptimizationResult.to_json, "(self, /)", "Serialize the result to a JSON string."),
    ],
)
def test_method_help_text_and_signature(method, signature, text):
    assert method.__doc__ == text
    assert str(inspect.signature(method)) == signature


def test_bound_to_json_takes_no_arguments():
    profile = _halvorn.profile_hardware()
    assert str(inspect.signature(profile.to_json)) == "()"


CLASS_DOCS = {
    "HardwareProfile": (
        "Python-facing wrapper around [`HardwareProfile`].\n"
        "\n"
        "Obtained via `PyHardwareProfile.detect()` or `profile_hardware()`."
    ),
    "OptimizationResult": (
        "Python-facing wrapper around [`OptimizationResult`].\n"
        "\n"
        "Returned by `optimize()`. Contains both the benchmark result and the path\n"
        "to the re-quantized model produced by `llama-quantize`."
    ),
}

PROPERTY_DOCS = {
    "HardwareProfile": {
        "cpu_cores": "Number of logical CPU cores detected.",
        "gpu_model": "GPU model name, or `None` if no GPU was detected.",
        "gpu_vram_mb": "GPU VRAM in megabytes, or `None` if no GPU was detected.",
        "ram_total_mb": "Total system RAM in megabytes.",
    },
    "OptimizationResult": {
        "runtime": 'Runtime name (e.g. `"LlamaCpp"`, `"OnnxRuntime"`, `"TensorRT"`).',
        "quantization": 'Quantization strategy name (e.g. `"Q4_K_M"`, `"F16"`).',
        "threads": "Number of CPU threads used by the selected configuration.",
        "gpu_layers": "Number of transformer layers offloaded to the GPU (0 = CPU-only).",
        "tokens_per_sec": "Sustained throughput in tokens per second.",
        "latency_ms": "End-to-end inference latency in milliseconds.",
        "peak_memory_mb": "Peak memory usage during the benchmark run, in megabytes.",
        "output_path": (
            "Path to the re-quantized output model, or `None` if `llama-quantize`\n"
            "was not available and quantization was skipped."
        ),
    },
}


@pytest.mark.parametrize("class_name", list(CLASS_DOCS))
def test_class_docstring_and_name(class_name):
    cls = getattr(_halvorn, class_name)
    assert cls.__doc__ == CLASS_DOCS[class_name]
    assert cls.__name__ == cls.__qualname__ == class_name
    assert repr(cls) == f"<class '{class_name}'>"


@pytest.mark.parametrize(
    "class_name, prop",
    [(c, p) for c, props in PROPERTY_DOCS.items() for p in props],
)
def test_property_docstrings(class_name, prop):
    descriptor = getattr(_halvorn, class_name).__dict__[prop]
    assert descriptor.__doc__ == PROPERTY_DOCS[class_name][prop]


@pytest.mark.parametrize("class_name", list(PROPERTY_DOCS))
def test_properties_are_exactly_the_documented_ones(class_name):
    cls = getattr(_halvorn, class_name)
    descriptors = {
        name
        for name, value in vars(cls).items()
        if inspect.isgetsetdescriptor(value) or isinstance(value, property)
    }
    assert descriptors == set(PROPERTY_DOCS[class_name])


# --- the two classes ----------------------------------------------------------

CLASSES = [_halvorn.HardwareProfile, _halvorn.OptimizationResult]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "make",
    [
        lambda cls: cls(),
        lambda cls: cls(1, key=2),
        lambda cls: cls.__new__(cls),
    ],
    ids=["call", "call-with-arguments", "__new__"],
)
def test_classes_have_no_constructor(cls, make):
    with pytest.raises(TypeError) as caught:
        make(cls)
    assert str(caught.value) == f"No constructor defined for {cls.__name__}"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.fixture
def profile():
    return _halvorn.profile_hardware()


def test_profile_has_no_instance_dictionary(profile):
    assert not hasattr(profile, "__dict__")
    with pytest.raises(AttributeError):
        profile.extra = 1


@pytest.mark.parametrize("prop", list(PROPERTY_DOCS["HardwareProfile"]))
def test_profile_properties_are_read_only(profile, prop):
    before = getattr(profile, prop)
    with pytest.raises(AttributeError):
        setattr(profile, prop, 4)
    with pytest.raises(AttributeError):
        delattr(profile, prop)
    assert getattr(profile, prop) == before


def test_profile_equality_and_hash_are_by_identity(profile):
    other = _halvorn.HardwareProfile.detect()
    assert profile == profile
    assert profile != other
    assert hash(profile) == object.__hash__(profile)


def test_detect_and_profile_hardware_describe_the_same_machine(profile):
    detected = _halvorn.HardwareProfile.detect()
    assert type(detected) is type(profile) is _halvorn.HardwareProfile
    assert detected.cpu_cores == profile.cpu_cores
    assert detected.ram_total_mb == profile.ram_total_mb
    assert detected.gpu_model == profile.gpu_model


def test_profile_values_agree_with_its_json(profile):
    record = json.loads(profile.to_json())
    assert list(record) == ["cpu", "gpu", "ram"]
    assert record["cpu"]["core_count"] == profile.cpu_cores
    assert record["ram"]["total_mb"] == profile.ram_total_mb
    if profile.gpu_model is None:
        assert record["gpu"] is None and profile.gpu_vram_mb is None
    else:
        assert record["gpu"]["name"] == profile.gpu_model
        assert record["gpu"]["vram_mb"] == profile.gpu_vram_mb


def test_profile_str_is_repr(profile):
    assert str(profile) == repr(profile)
    gpu = profile.gpu_model if profile.gpu_model is not None else "None"
    assert repr(profile) == f"HardwareProfile(cpu_cores={profile.cpu_cores}, gpu={gpu})"


def _fake_program(directory, name, stdout):
    path = directory / name
    # PATH holds nothing else, so the script uses only shell built-ins.
    path.write_text(f"#!/bin/sh\necho '{stdout}'\n", encoding="utf-8")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


@pytest.mark.parametrize(
    "nvidia_smi_output, gpu_text, vram",
    [
        (None, "None", None),
        ("NVIDIA GeForce RTX 4090, 24564, 8.9", "NVIDIA GeForce RTX 4090", 24564),
        ("Gr\u00e4fik (rev 2), 8192, 7.5", "Gr\u00e4fik (rev 2)", 8192),
    ],
    ids=["no-gpu", "nvidia", "name-shown-unchanged"],
)
def test_profile_repr_shows_the_gpu_name_unquoted(
    tmp_path, monkeypatch, nvidia_smi_output, gpu_text, vram
):
    if nvidia_smi_output is not None:
        _fake_program(tmp_path, "nvidia-smi", nvidia_smi_output)
    monkeypatch.setenv("PATH", str(tmp_path))
    profile = _halvorn.profile_hardware()
    assert repr(profile) == f"HardwareProfile(cpu_cores={profile.cpu_cores}, gpu={gpu_text})"
    assert profile.gpu_model == (None if vram is None else gpu_text)
    assert profile.gpu_vram_mb == vram


def test_profile_hardware_takes_no_arguments():
    with pytest.raises(TypeError, match=r"profile_hardware\(\) takes no arguments"):
        _halvorn.profile_hardware(1)
    with pytest.raises(TypeError):
        _halvorn.profile_hardware(x=1)


# --- binding the arguments of a call --------------------------------------------

O, E, A = _halvorn.optimize, _halvorn.export_ollama, _halvorn.analyze_model
G2O, O2G = _halvorn.convert_gguf_to_onnx, _halvorn.convert_onnx_to_gguf


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        # too many positional arguments
        (O, ("m.gguf", "gguf", None, None, None, True, 1), {},
         "optimize() takes from 2 to 6 positional arguments but 7 were given"),
        (A, ("a", "b"), {}, "analyze_model() takes 1 positional arguments but 2 were given"),
        (E, (1, 2, 3), {}, "export_ollama() takes 2 positional arguments but 3 were given"),
        (G2O, ("a", "b", "c", "d"), {},
         "convert_gguf_to_onnx() takes 2 positional arguments but 4 were given"),
        # ... which is checked before the keywords
        (A, ("a", "b"), {"path": "x"},
         "analyze_model() takes 1 positional arguments but 2 were given"),
        # keywords, in the order of the call
        (A, (), {"path": "x"}, "analyze_model() got an unexpected keyword argument 'path'"),
        (A, (), {"Model_Path": "x"},
         "analyze_model() got an unexpected keyword argument 'Model_Path'"),
        (O, ("m.gguf", "gguf"), {"model_path": "x"},
         "optimize() got multiple values for argument 'model_path'"),
        (O, ("m.gguf",), {"format": "gguf", "model_path": "x", "bogus": 1},
         "optimize() got multiple values for argument 'model_path'"),
        (O, ("m.gguf",), {"bogus": 1, "model_path": "x"},
         "optimize() got an unexpected keyword argument 'bogus'"),
        (O2G, (), {"input_path": "a", "\u00fcber": 1},
         "convert_onnx_to_gguf() got an unexpected keyword argument '\u00fcber'"),
        # ... which are checked before missing parameters
        (O, (), {"gpu_model": "x"}, "optimize() got an unexpected keyword argument 'gpu_model'"),
        # missing required parameters, named in parameter order
        (O, ("m.gguf",), {}, "optimize() missing 1 required positional argument: 'format'"),
        (O, (), {}, "optimize() missing 2 required positional arguments: 'model_path' and 'format'"),
        (O, (), {"gpu": "cpu", "use_cache": True},
         "optimize() missing 2 required positional arguments: 'model_path' and 'format'"),
        (E, (), {"output_dir": "out"},
         "export_ollama() missing 1 required positional argument: 'result'"),
        (E, (), {}, "export_ollama() missing 2 required positional arguments: 'result' and 'output_dir'"),
        (A, (), {}, "analyze_model() missing 1 required positional argument: 'model_path'"),
        (G2O, (), {"output_path": "b"},
         "convert_gguf_to_onnx() missing 1 required positional argument: 'input_path'"),
        (O2G, (), {},
         "convert_onnx_to_gguf() missing 2 required positional arguments: 'input_path' and 'output_path'"),
    ],
)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "args, kwargs, first_bad",
    [
        # conversion runs in parameter order, not in the order of the call
        ((1, 2), {}, "model_path"),
        (("m.gguf", 2), {}, "format"),
        (("m.gguf", "gguf"), {"use_cache": None, "gpu": 5}, "gpu"),
        (("m.gguf", "gguf"), {"use_cache": None, "output_path": 5}, "output_path"),
        ((), {"use_cache": None, "format": "gguf", "model_path": "m.gguf"}, "use_cache"),
        (("m.gguf", "gguf", None, None, None, None), {}, "use_cache"),
    ],
)
def test_arguments_are_converted_in_parameter_order(args, kwargs, first_bad):
    with pytest.raises(TypeError, match=f"^argument '{first_bad}': "):
        _halvorn.optimize(*args, **kwargs)


def test_keyword_arguments_reach_the_body():
    # Every parameter by keyword, in any order: the call gets past binding
    # and conversion and fails only in the driver.
    with pytest.raises(RuntimeError):
        _halvorn.optimize(
            use_cache=False,
            output_path="out.gguf",
            max_latency_ms=100,
            gpu="cpu",
            format=UNKNOWN_FORMAT,
            model_path="m.gguf",
        )


# --- conversions of arguments -------------------------------------------------


def _optimize_accepts(**kwargs):
    """True when `kwargs` pass conversion: the driver then refuses the format."""
    with pytest.raises(RuntimeError):
        _halvorn.optimize("m.gguf", UNKNOWN_FORMAT, **kwargs)
    return True


class Text(str):
    pass


class WithFloat:
    def __float__(self):
        return 2.5


class WithIndex:
    def __index__(self):
        return 7


class Outer:
    class Inner:
        pass


class UnreadableName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class Nameless(metaclass=UnreadableName):
    pass


def _numpy_like(name, **members):
    """A class that claims to be NumPy's boolean scalar type."""
    return type(name, (), {"__module__": "numpy", **members})


@pytest.mark.parametrize(
    "kwargs",
    [
        {"gpu": "RTX 3090"},
        {"gpu": Text("cpu")},
        {"gpu": None, "max_latency_ms": None, "output_path": None},
        {"output_path": "out.gguf"},
        {"max_latency_ms": 250},
        {"max_latency_ms": 250.5},
        {"max_latency_ms": float("nan")},
        {"max_latency_ms": -1},
        {"max_latency_ms": True},
        {"max_latency_ms": WithFloat()},
        {"max_latency_ms": WithIndex()},
        {"use_cache": True},
        {"use_cache": False},
        {"use_cache": _numpy_like("bool_", __bool__=lambda self: False)()},
        {"use_cache": _numpy_like("bool", __bool__=lambda self: True)()},
    ],
    ids=repr,
)
def test_accepted_arguments(kwargs):
    assert _optimize_accepts(**kwargs)


@pytest.mark.parametrize("value", [True, False])
def test_numpy_bool_is_accepted(value):
    numpy = pytest.importorskip("numpy")
    assert _optimize_accepts(use_cache=numpy.bool_(value))


def test_str_subclass_is_accepted_as_text():
    # The later parameter's failure shows that the first one was taken.
    with pytest.raises(TypeError, match="^argument 'output_path': "):
        _halvorn.convert_gguf_to_onnx(Text("in.gguf"), 5)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: A(123), "argument 'model_path': 'int' object cannot be converted to 'str'"),
        (lambda: A(b"m.gguf"), "argument 'model_path': 'bytes' object cannot be converted to 'str'"),
        (lambda: A(None), "argument 'model_path': 'NoneType' object cannot be converted to 'str'"),
        (lambda: A(Outer.Inner()),
         "argument 'model_path': 'Outer.Inner' object cannot be converted to 'str'"),
        (lambda: A(Nameless()),
         "argument 'model_path': '<failed to extract type name>' object cannot be converted to 'str'"),
        (lambda: G2O("a.gguf", ["b.onnx"]),
         "argument 'output_path': 'list' object cannot be converted to 'str'"),
        (lambda: O("m.gguf", "gguf", gpu=3090),
         "argument 'gpu': 'int' object cannot be converted to 'str'"),
        (lambda: O("m.gguf", "gguf", output_path=__import__("pathlib").PurePosixPath("o.gguf")),
         "argument 'output_path': 'PurePosixPath' object cannot be converted to 'str'"),
        (lambda: O("m.gguf", "gguf", max_latency_ms="250"),
         "argument 'max_latency_ms': must be real number, not str"),
        (lambda: O("m.gguf", "gguf", max_latency_ms=[250]),
         "argument 'max_latency_ms': must be real number, not list"),
        (lambda: O("m.gguf", "gguf", use_cache=None),
         "argument 'use_cache': 'NoneType' object cannot be converted to 'bool'"),
        (lambda: O("m.gguf", "gguf", use_cache=1),
         "argument 'use_cache': 'int' object cannot be converted to 'bool'"),
        (lambda: O("m.gguf", "gguf", use_cache="yes"),
         "argument 'use_cache': 'str' object cannot be converted to 'bool'"),
        (lambda: O("m.gguf", "gguf", use_cache=_numpy_like("bool_")()),
         "argument 'use_cache': object of type 'bool_' does not define a '__bool__' conversion"),
        (lambda: O("m.gguf", "gguf", use_cache=_numpy_like("bool")()),
         "argument 'use_cache': object of type 'bool' does not define a '__bool__' conversion"),
        # only the module named exactly "numpy" counts
        (lambda: O("m.gguf", "gguf",
                   use_cache=type("bool_", (), {"__module__": "numpy.core", "__bool__": lambda s: True})()),
         "argument 'use_cache': 'bool_' object cannot be converted to 'bool'"),
        (lambda: O("m.gguf", "gguf", use_cache=_numpy_like("int8", __bool__=lambda s: True)()),
         "argument 'use_cache': 'int8' object cannot be converted to 'bool'"),
        (lambda: E({}, "out"),
         "argument 'result': 'dict' object cannot be converted to 'OptimizationResult'"),
        (lambda: E(_halvorn.profile_hardware(), "out"),
         "argument 'result': 'HardwareProfile' object cannot be converted to 'OptimizationResult'"),
        (lambda: E(_halvorn.OptimizationResult, "out"),
         "argument 'result': 'type' object cannot be converted to 'OptimizationResult'"),
    ],
)
def test_conversion_type_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class BoolRaises:
    __module__ = "numpy"

    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


BoolRaises.__name__ = BoolRaises.__qualname__ = "bool_"


@pytest.mark.parametrize(
    "make, expected_type",
    [
        (lambda: {"max_latency_ms": FloatRaises(ValueError("not a latency"))}, ValueError),
        (lambda: {"max_latency_ms": 10**400}, OverflowError),
        (lambda: {"use_cache": BoolRaises(ZeroDivisionError("no truth"))}, ZeroDivisionError),
        (lambda: {"model_path": "m\udc80.gguf"}, UnicodeEncodeError),
        (lambda: {"gpu": "\ud800"}, UnicodeEncodeError),
    ],
    ids=["float-ValueError", "huge-int", "bool-ZeroDivisionError", "surrogate", "surrogate-gpu"],
)
def test_other_conversion_failures_pass_through_unchanged(make, expected_type):
    kwargs = make()
    arguments = {"model_path": "m.gguf", "format": "gguf", **kwargs}
    with pytest.raises(Exception) as caught:
        _halvorn.optimize(**arguments)
    assert type(caught.value) is expected_type
    assert not str(caught.value).startswith("argument ")
    (value,) = kwargs.values()
    if isinstance(value, (FloatRaises, BoolRaises)):
        assert caught.value is value.error
    if expected_type is UnicodeEncodeError:
        assert caught.value.encoding == "utf-8"


@pytest.mark.parametrize(
    "name, make",
    [
        ("max_latency_ms", FloatRaises),
        ("use_cache", BoolRaises),
    ],
)
@pytest.mark.parametrize("with_cause", [False, True])
def test_type_errors_are_renamed_and_keep_their_cause(name, make, with_cause):
    first = TypeError("bad value")
    cause = KeyError("why")
    if with_cause:
        first.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        _halvorn.optimize("m.gguf", "gguf", **{name: make(first)})
    assert caught.value is not first
    assert str(caught.value) == f"argument '{name}': bad value"
    assert caught.value.__cause__ is (cause if with_cause else None)


def test_bool_returning_non_bool_is_a_renamed_type_error():
    cls = _numpy_like("bool_", __bool__=lambda self: 1)
    with pytest.raises(TypeError, match=r"^argument 'use_cache': __bool__ should return bool"):
        _halvorn.optimize("m.gguf", "gguf", use_cache=cls())


# --- analyze_model --------------------------------------------------------------

INT_KEYS = {"param_count", "context_length", "layer_count", "hidden_size",
            "attention_head_count", "attention_head_count_kv", "feed_forward_length"}
FLOAT_KEYS = {"kv_cache_size_mb", "memory_footprint_mb", "flops_per_token"}

LLAMA_METADATA = {
    "general.architecture": "llama",
    "llama.context_length": 2048,
    "llama.block_count": 2,
    "llama.embedding_length": 64,
    "llama.attention.head_count": 4,
    "llama.attention.head_count_kv": 2,
    "llama.feed_forward_length": 128,
}


@pytest.fixture
def tiny_gguf(tmp_path):
    path = tmp_path / "tiny.gguf"
    path.write_bytes(gguf_bytes(LLAMA_METADATA))
    return path


def test_analyze_model_returns_the_twelve_keys_in_order(tiny_gguf):
    info = _halvorn.analyze_model(str(tiny_gguf))
    assert type(info) is dict
    assert list(info) == ANALYZE_KEYS
    assert info["format"] == "gguf"
    assert info["architecture"] == "llama"
    assert info["context_length"] == 2048
    assert info["layer_count"] == 2
    for key in INT_KEYS:
        assert info[key] is None or (type(info[key]) is int and info[key] >= 0), key
    for key in FLOAT_KEYS:
        assert info[key] is None or type(info[key]) is float, key


@pytest.mark.parametrize("name", ["bare.gguf", "UPPER.GGUF"])
def test_analyze_model_without_metadata(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(gguf_bytes({}))
    info = _halvorn.analyze_model(str(path))
    assert list(info) == ANALYZE_KEYS
    assert info["format"] == "gguf"
    assert info["architecture"] is None


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("model.bin", gguf_bytes({}),
         "unrecognised model file extension '.bin'; expected '.gguf' or '.onnx'"),
        ("missing.gguf", None, "No such file or directory"),
        ("truncated.gguf", b"GG", "failed to fill whole buffer"),
    ],
)
def test_analyze_model_failures_are_runtime_errors(tmp_path, name, content, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(RuntimeError) as caught:
        _halvorn.analyze_model(str(path))
    assert type(caught.value) is RuntimeError
    assert message in str(caught.value)


# --- OptimizationResult instances ---------------------------------------------


@pytest.fixture
def result(tmp_path, monkeypatch, tiny_gguf):
    """A result of a CPU-only run with no external programs to be found."""
    empty = tmp_path / "bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    monkeypatch.setenv("HOME", str(tmp_path))
    try:
        return _halvorn.optimize(str(tiny_gguf), "gguf", gpu="cpu", use_cache=False)
    except RuntimeError as error:
        if "not implemented yet" in str(error):
            pytest.skip("optimize() has no body yet")
        raise


def test_result_repr_and_str(result):
    assert str(result) == repr(result)
    match = re.fullmatch(r"OptimizationResult\(runtime=(\w+), quant=(\w+), tps=(.+)\)", repr(result))
    assert match is not None
    tps = result.tokens_per_sec
    # Python rounds half to even on the exact value too, but spells NaN "nan".
    expected_tps = "NaN" if tps != tps else format(tps, ".1f")
    assert match.groups() == (result.runtime, result.quantization, expected_tps)


def test_result_properties(result):
    assert result.runtime in {"LlamaCpp", "OnnxRuntime", "TensorRT", "Ollama", "Vllm"}
    assert result.quantization in {"F16", "Q8_0", "Q4_K_M", "Q4_0", "Int8", "Int4"}
    for prop in ("threads", "gpu_layers", "peak_memory_mb"):
        assert type(getattr(result, prop)) is int
    for prop in ("tokens_per_sec", "latency_ms"):
        assert type(getattr(result, prop)) is float
    assert result.output_path is None  # llama-quantize is not on PATH
    assert not hasattr(result, "batch_size") and not hasattr(result, "model_path")


def test_result_json_holds_only_the_record(result, tiny_gguf):
    text = result.to_json()
    record = json.loads(text)
    assert list(record) == ["config", "metrics"]
    assert "output_path" not in text and str(tiny_gguf) not in text
    assert record["metrics"]["tokens_per_sec"] == result.tokens_per_sec


@pytest.mark.parametrize("prop", list(PROPERTY_DOCS["OptimizationResult"]))
def test_result_properties_are_read_only(result, prop):
    before = getattr(result, prop)
    with pytest.raises(AttributeError):
        setattr(result, prop, 4)
    assert getattr(result, prop) == before or before != before  # NaN


def test_result_is_accepted_by_export_ollama(result, tmp_path):
    # Conversion of the second argument fails, so the first was accepted.
    with pytest.raises(TypeError, match="^argument 'output_dir': "):
        _halvorn.export_ollama(result, 5)


# --- command-line front end -----------------------------------------------------


def test_cli_profile(capsys):
    assert cli.main(["profile"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("HardwareProfile(cpu_cores=")
    assert list(json.loads(lines[1])) == ["cpu", "gpu", "ram"]


def test_cli_analyze(capsys, tiny_gguf):
    assert cli.main(["analyze", str(tiny_gguf)]) == 0
    assert list(json.loads(capsys.readouterr().out)) == ANALYZE_KEYS


@pytest.mark.parametrize(
    "argv, message",
    [
        (["analyze", "model.bin"], "unrecognised model file extension '.bin'"),
        (["optimize", "model.bin"], "pass --format"),
        (["export", "model.safetensors", "out"], "pass --format"),
        (["convert", "a.onnx", "b.onnx"], "convert goes from .gguf to .onnx"),
        (["convert", "a.gguf", "b.gguf"], "convert goes from .gguf to .onnx"),
    ],
)
def test_cli_errors(capsys, argv, message):
    assert cli.main(argv) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.startswith("halvorn: error: ")
    assert message in captured.err
    assert captured.err.endswith("\n") and captured.err.count("\n") == 1
