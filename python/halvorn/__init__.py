"""Finds the fastest inference setup for one LLM file on one machine, then
re-quantizes the model to match.

The work is done by the native module ``_halvorn``; this package re-exports
its public names and carries the command-line front end and runner scripts.
"""

from halvorn._halvorn import (
    HardwareProfile,
    OptimizationResult,
    analyze_model,
    convert_gguf_to_onnx,
    convert_onnx_to_gguf,
    export_ollama,
    optimize,
    profile_hardware,
)

__all__ = [
    "HardwareProfile",
    "OptimizationResult",
    "profile_hardware",
    "optimize",
    "export_ollama",
    "analyze_model",
    "convert_gguf_to_onnx",
    "convert_onnx_to_gguf",
]


def _installed_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("halvorn")
    except metadata.PackageNotFoundError:  # a source checkout, not installed
        return "0+unknown"


__version__ = _installed_version()
