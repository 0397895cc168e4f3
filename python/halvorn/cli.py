"""Command-line front end: ``halvorn profile | analyze | optimize | export | convert``."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import PurePath
from typing import Callable, Optional, Sequence

import halvorn

_FORMATS_BY_SUFFIX = {".gguf": "gguf", ".onnx": "onnx"}


class UsageError(Exception):
    """A mistake on the command line that argparse cannot see."""


def _format_of(path: str) -> Optional[str]:
    return _FORMATS_BY_SUFFIX.get(PurePath(path).suffix.lower())


def _add_optimize_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--format",
        help="model format, gguf or onnx (default: from the file extension)",
    )
    parser.add_argument(
        "--gpu", help='plan for this GPU model instead of the detected one ("cpu": none)'
    )
    parser.add_argument(
        "--latency",
        type=float,
        metavar="MS",
        help="exclude configurations slower than MS milliseconds per request",
    )
    parser.add_argument(
        "--output", metavar="PATH", help="where to write the re-quantized .gguf file"
    )
    parser.add_argument(
        "--no-cache",
        action="store_true",
        help="ignore stored results and search again",
    )


def _run_optimize(args: argparse.Namespace) -> halvorn.OptimizationResult:
    model_format = args.format or _format_of(args.model)
    if model_format is None:
        raise UsageError(
            f"cannot tell the format of '{args.model}' from its extension; pass --format"
        )
    return halvorn.optimize(
        args.model,
        model_format,
        gpu=args.gpu,
        max_latency_ms=args.latency,
        output_path=args.output,
        use_cache=not args.no_cache,
    )


def _profile(args: argparse.Namespace) -> None:
    profile = halvorn.profile_hardware()
    print(repr(profile))
    print(profile.to_json())


def _analyze(args: argparse.Namespace) -> None:
    print(json.dumps(halvorn.analyze_model(args.model), indent=2))


def _optimize(args: argparse.Namespace) -> None:
    result = _run_optimize(args)
    print(repr(result))
    print(result.to_json())
    if result.output_path is None:
        print("output: none (llama-quantize was not available)")
    else:
        print(f"output: {result.output_path}")


def _export(args: argparse.Namespace) -> None:
    result = _run_optimize(args)
    print(repr(result))
    print(halvorn.export_ollama(result, args.output_dir))


def _convert(args: argparse.Namespace) -> None:
    directions: dict[tuple[Optional[str], Optional[str]], Callable[[str, str], str]] = {
        ("gguf", "onnx"): halvorn.convert_gguf_to_onnx,
        ("onnx", "gguf"): halvorn.convert_onnx_to_gguf,
    }
    convert = directions.get((_format_of(args.input), _format_of(args.output)))
    if convert is None:
        raise UsageError(
            "convert goes from .gguf to .onnx or from .onnx to .gguf; "
            f"got '{args.input}' -> '{args.output}'"
        )
    print(convert(args.input, args.output))


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="halvorn",
        description="Find the fastest inference setup for a model on this machine.",
    )
    parser.add_argument("--version", action="version", version=halvorn.__version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    profile = commands.add_parser("profile", help="show this machine's hardware profile")
    profile.set_defaults(run=_profile)

    analyze = commands.add_parser("analyze", help="show what is known about a model file")
    analyze.add_argument("model", metavar="MODEL")
    analyze.set_defaults(run=_analyze)

    optimize = commands.add_parser(
        "optimize", help="find the best configuration and re-quantize the model"
    )
    optimize.add_argument("model", metavar="MODEL")
    _add_optimize_options(optimize)
    optimize.set_defaults(run=_optimize)

    export = commands.add_parser(
        "export", help="optimize, then write an Ollama bundle to OUTPUT_DIR"
    )
    export.add_argument("model", metavar="MODEL")
    export.add_argument("output_dir", metavar="OUTPUT_DIR")
    _add_optimize_options(export)
    export.set_defaults(run=_export)

    convert = commands.add_parser(
        "convert", help="convert between GGUF and ONNX (direction from the extensions)"
    )
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.set_defaults(run=_convert)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        args.run(args)
    except (RuntimeError, UsageError) as error:
        print(f"halvorn: error: {error}", file=sys.stderr)
        return 1
    return 0
