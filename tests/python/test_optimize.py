"""optimize() end to end, checked line by line against plan_oracle.

Every test runs with PATH holding only a temporary directory, so the
machine's own GPU tools and llama.cpp never answer; fake programs written
there stand in for them.  HOME points at a temporary directory, so the
result cache of one test never meets another's.

The planner's numbers depend on the machine: core count and vector level
come from profile_hardware() in the same process, and the available memory,
which moves between two detections, is read back from the "[Stage 1/4]"
line that optimize printed (after checking that it is near the profile's).
"""

from __future__ import annotations

import errno
import hashlib
import json
import os
import re
import shlex
import shutil
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

import halvorn
from gguf_fixtures import gguf_bytes
import plan_oracle as oracle

DASH = "\u2014"
NO_QUANTIZER = ("[halvorn] Warning: quantization failed: llama-quantize not found "
                f"{DASH} install llama.cpp to enable model quantization")
CACHE_HIT = (f"[halvorn] Cache hit {DASH} returning stored result "
             "(use --no-cache to force re-run)")
CATALOGUE_HINT = "Try: 4090, 4080, 3090, 3080, 3070, 2080ti, a100, h100, or 'cpu'"
QUANTIZE_TYPE = {"F16": "f16", "Q8_0": "q8_0", "Q4_K_M": "q4_k_m", "Q4_0": "q4_0",
                 "Int8": "q8_0", "Int4": "q4_0"}
CATALOGUE_JSON = {
    "4090": '{"name":"NVIDIA GeForce RTX 4090","vram_mb":24576,'
            '"compute_capability":[8,9],"vendor":"Nvidia"}',
}
NVIDIA_ARGS = "--query-gpu=name,memory.total,compute_cap --format=csv,noheader,nounits"
ROCM_ARGS = "--showproductname --showmeminfo vram --csv"
OMITTED = object()  # an argument left out of the call


# --- fixtures: files -------------------------------------------------------------------


def write_gguf(path, metadata):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(gguf_bytes(metadata))
    return path


ONNX_ELEMENTS = 3_000_000_000 + 4096


def write_onnx(path):
    """An ONNX model whose two initializers hold ONNX_ELEMENTS elements by
    their shapes alone (no data: only the shapes are read)."""
    pytest.importorskip("onnx")
    from onnx import TensorProto, helper

    inits = [TensorProto(name="w", data_type=TensorProto.FLOAT, dims=[3000, 1000, 1000]),
             TensorProto(name="b", data_type=TensorProto.FLOAT, dims=[4096])]
    io = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1])
    graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "g", [io],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1])],
                              inits)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(helper.make_model(graph).SerializeToString())
    return path


LLAMA_7B = {  # r = 11008 // 4096 = 2
    "general.architecture": "llama",
    "general.parameter_count": 7_000_000_000,
    "llama.context_length": 4096,
    "llama.block_count": 32,
    "llama.embedding_length": 4096,
    "llama.attention.head_count": 32,
    "llama.attention.head_count_kv": 8,
    "llama.feed_forward_length": 11008,
}


def shaped(ffn, params):
    return {"general.architecture": "llama", "general.parameter_count": params,
            "llama.embedding_length": 4096, "llama.feed_forward_length": ffn}


# Metadata by the available memory in MiB, the workload class its shape
# gives, and whether the memory filter must drop quantizations.  Parameter
# counts relative to memory keep the drop stable while memory moves.
PLANNING_MODELS = [
    pytest.param(lambda ram: LLAMA_7B, "MemoryBound", False, id="memory-bound-with-kv-cache"),
    pytest.param(lambda ram: shaped(14336, 1_500_000_000), "Balanced", False, id="balanced-r3"),
    pytest.param(lambda ram: shaped(28672, int(1.2 * ram * 1e6)), "Balanced", True,
                 id="balanced-r7-drops-q8"),
    pytest.param(lambda ram: shaped(32768, int(0.6 * ram * 1e6)), "ComputeBound", True,
                 id="compute-bound-drops-f16"),
    pytest.param(lambda ram: shaped(32768, 2**64 - 1), "ComputeBound", True,
                 id="compute-bound-drops-everything"),
    pytest.param(lambda ram: shaped(128, 1000), "MemoryBound", False, id="memory-bound-tiny"),
    pytest.param(lambda ram: {"general.architecture": "llama", "llama.context_length": 2048},
                 "Balanced", False, id="no-count-no-footprint"),
]


# --- fixtures: environment and fake programs ---------------------------------------


def write_program(directory, name, body):
    path = Path(directory) / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return path


@dataclass
class Env:
    bin: Path
    home: Path
    work: Path

    def nvidia(self, line, marker=None):
        """A fake nvidia-smi that reports `line` (and leaves a marker file)."""
        touch = f": > {shlex.quote(str(marker))}\n" if marker else ""
        write_program(self.bin, "nvidia-smi",
                      f'[ "$*" = "{NVIDIA_ARGS}" ] || exit 64\n{touch}'
                      f"printf '%s\\n' {shlex.quote(line)}")

    def rocm(self, table):
        write_program(self.bin, "rocm-smi",
                      f'[ "$*" = "{ROCM_ARGS}" ] || exit 64\nprintf {shlex.quote(table)}')

    def quantizer(self, log=None, status="exit 0", chatter=False):
        """A fake llama-quantize that writes its arguments one per line."""
        lines = []
        if log is not None:
            lines.append(f'for a in "$@"; do printf \'%s\\n\' "$a"; done > {shlex.quote(str(log))}')
        if chatter:
            lines.append("printf 'quantizer on stdout\\n'")
            lines.append("printf 'quantizer on stderr\\n' >&2")
        lines.append(status)
        write_program(self.bin, "llama-quantize", "\n".join(lines))


@pytest.fixture
def env(tmp_path, monkeypatch):
    e = Env(tmp_path / "bin", tmp_path / "home", tmp_path / "work")
    for d in (e.bin, e.home, e.work):
        d.mkdir()
    monkeypatch.setenv("PATH", str(e.bin))
    monkeypatch.setenv("HOME", str(e.home))
    monkeypatch.chdir(e.work)
    return e


def detected_profile():
    return json.loads(halvorn.profile_hardware().to_json())


# --- running optimize -------------------------------------------------------------------


@dataclass
class Run:
    result: object
    error: RuntimeError | None
    lines: list[str]
    out: str


def optimize(capfd, *args, **kwargs):
    """Calls optimize and collects what it wrote to descriptors 1 and 2."""
    capfd.readouterr()
    try:
        result, error = halvorn.optimize(*args, **kwargs), None
    except RuntimeError as exc:
        result, error = None, exc
    out, err = capfd.readouterr()
    assert err == "" or err.endswith("\n"), "every line is complete"
    return Run(result, error, err.split("\n")[:-1] if err else [], out)


def stage1_ram(lines):
    found = [m for m in map(re.compile(r"\[Stage 1/4\] .*, RAM=(\d+)MB").fullmatch, lines) if m]
    assert len(found) == 1, lines
    return int(found[0].group(1))


def machine_seen(run, profile, gpu):
    """The machine the planner saw: the profile's CPU with the printed memory."""
    ram = stage1_ram(run.lines)
    tolerance = max(512, profile["ram"]["total_mb"] // 8)
    assert abs(ram - profile["ram"]["available_mb"]) <= tolerance
    return oracle.Machine(profile["cpu"]["core_count"], profile["cpu"]["simd_level"], ram, gpu)


def result_json(plan):
    c, m = plan.config, plan.metrics
    return {"config": {"runtime": c.runtime, "quantization": c.quantization,
                       "threads": c.threads, "batch_size": c.batch_size,
                       "gpu_layers": c.gpu_layers},
            "metrics": {"tokens_per_sec": m.tokens_per_sec, "latency_ms": m.latency_ms,
                        "peak_memory_mb": m.peak_memory_mb}}


def assert_planned(run, plan, tail=(NO_QUANTIZER,)):
    assert run.error is None, run.error
    assert run.lines == plan.lines + list(tail)
    assert json.loads(run.result.to_json()) == result_json(plan)
    assert (run.result.runtime, run.result.quantization, run.result.threads,
            run.result.gpu_layers) == (plan.config.runtime, plan.config.quantization,
                                       plan.config.threads, plan.config.gpu_layers)
    assert run.result.tokens_per_sec == plan.metrics.tokens_per_sec
    assert run.result.latency_ms == plan.metrics.latency_ms
    assert run.result.peak_memory_mb == plan.metrics.peak_memory_mb


def check_against_oracle(capfd, model_path, declared, model, gpu_arg=OMITTED, gpu=None,
                         tail=(NO_QUANTIZER,), use_cache=False, **kwargs):
    """Runs optimize and compares everything it prints and returns with the
    oracle's plan; returns the run, the plan and the machine planned for."""
    profile = detected_profile()
    if gpu_arg is not OMITTED:
        kwargs["gpu"] = gpu_arg
    run = optimize(capfd, str(model_path), declared, use_cache=use_cache, **kwargs)
    machine = machine_seen(run, profile, gpu)
    plan = oracle.plan(model, machine, kwargs.get("max_latency_ms"))
    assert_planned(run, plan, tail)
    return run, plan, machine


# --- 1. the whole plan, line by line ---------------------------------------------------------


@pytest.mark.parametrize("gpu_arg", ["cpu", "4090", "3070"])
@pytest.mark.parametrize("metadata, workload, drops", PLANNING_MODELS)
def test_plan_matches_the_oracle(env, capfd, metadata, workload, drops, gpu_arg):
    meta = metadata(detected_profile()["ram"]["available_mb"])
    path = write_gguf(env.work / "m.gguf", meta)
    model = oracle.model_from_gguf(meta)
    _, _, machine = check_against_oracle(capfd, path, "gguf", model, gpu_arg,
                                         oracle.lookup_gpu(gpu_arg))

    # The fixture shows what its name promises.
    assert oracle.workload(model) == workload
    start = oracle.START_QUANTIZATIONS[("gguf", workload)]
    assert (len(oracle.quantizations(model, machine)) < len(start)) == drops


def test_plan_follows_the_cpus_the_process_may_use(env, capfd):
    cpus = os.sched_getaffinity(0)
    if len(cpus) < 2:
        pytest.skip("needs two CPUs to pin to one")
    os.sched_setaffinity(0, {min(cpus)})
    try:
        assert detected_profile()["cpu"]["core_count"] == 1
        path = write_gguf(env.work / "m.gguf", LLAMA_7B)
        _, plan, _ = check_against_oracle(capfd, path, "gguf",
                                          oracle.model_from_gguf(LLAMA_7B),
                                          "3070", oracle.lookup_gpu("3070"))
        assert plan.space.threads == (1, 2)
    finally:
        os.sched_setaffinity(0, cpus)


# --- 2. the driver ---------------------------------------------------------------------------


@pytest.mark.parametrize("declared", ["gguf", "GGUF", "Gguf"])
def test_format_is_read_in_any_letter_case(env, capfd, declared):
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    check_against_oracle(capfd, path, declared, oracle.model_from_gguf(LLAMA_7B))


@pytest.mark.parametrize(
    "declared, shown",
    [("ggml", "ggml"), ("GGML", "ggml"), (" gguf", " gguf"), ("", ""),
     ("\u00d6NNX", "\u00d6nnx"), ("onnx.gguf", "onnx.gguf")],
)
def test_unknown_format_fails_before_anything_runs(env, capfd, declared, shown):
    marker = env.work / "nvidia-smi-ran"
    env.nvidia("NVIDIA GeForce RTX 4090, 24564, 8.9", marker)
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    run = optimize(capfd, str(path), declared)
    assert str(run.error) == f"unknown model format '{shown}'; expected 'onnx' or 'gguf'"
    assert (run.lines, run.out) == ([], "")
    assert not marker.exists(), "no hardware detection"
    assert not (env.home / ".cindrel").exists()


def test_missing_model_plans_without_metadata(env, capfd):
    check_against_oracle(capfd, env.work / "missing.gguf", "gguf", oracle.Model("gguf"))


@pytest.mark.parametrize("name, content", [("model.bin", gguf_bytes(LLAMA_7B)),
                                           ("broken.gguf", b"GGUF\x07\x00\x00\x00")])
def test_unreadable_model_plans_without_metadata(env, capfd, name, content):
    path = env.work / name
    path.write_bytes(content)
    check_against_oracle(capfd, path, "gguf", oracle.Model("gguf"))


@pytest.mark.parametrize("gpu_arg, normalised", [
    ("Titan X", "titanx"), ("GeForce RTX 4090", "geforcertx4090"), ("rtx_4090", "rtx_4090"),
    ("RTX 4060", "rtx4060"), ("a10", "a10"), ("RTX\t4090", "rtx\t4090"),
    ("\u00c4100", "\u00e4100"),  # lower-cased beyond ASCII
])
def test_unknown_gpu_names_the_catalogue(env, capfd, gpu_arg, normalised):
    marker = env.work / "nvidia-smi-ran"
    env.nvidia("NVIDIA GeForce RTX 4090, 24564, 8.9", marker)
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    run = optimize(capfd, str(path), "gguf", gpu=gpu_arg)
    assert str(run.error) == f"Unknown GPU model: '{normalised}'. {CATALOGUE_HINT}"
    assert run.lines == []
    assert marker.exists(), "the machine is detected before the name is looked up"
    assert not (env.home / ".cindrel").exists()


FAKE_GPU = oracle.Gpu("NVIDIA GeForce RTX 4070", 12282, (8, 9))


@pytest.mark.parametrize("gpu_arg, gpu", [
    (OMITTED, FAKE_GPU), (None, FAKE_GPU), ("cpu", None), ("CPU", None), (" - ", None),
    ("", None), ("RTX 3090", oracle.GPU_CATALOGUE["3090"]),
    ("rtx-4070-ti", oracle.GPU_CATALOGUE["4070ti"]), ("A10G", oracle.GPU_CATALOGUE["a10g"]),
    ("H100", oracle.GPU_CATALOGUE["h100"]),
], ids=lambda v: "omitted" if v is OMITTED else repr(v) if isinstance(v, (str, type(None)))
   else "")
def test_named_gpu_replaces_the_detected_one(env, capfd, gpu_arg, gpu):
    marker = env.work / "nvidia-smi-ran"
    env.nvidia("NVIDIA GeForce RTX 4070, 12282, 8.9", marker)
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    run, _, _ = check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(LLAMA_7B),
                                     gpu_arg, gpu)
    expected = "GPU=no, VRAM=none" if gpu is None else f"GPU=yes, VRAM={gpu.vram_mb}MB"
    assert expected in run.lines[0]
    assert marker.exists(), "detection runs whatever the argument"


@pytest.mark.parametrize("vram, layers", [(4095, 16), (4096, 32), (12287, 32), (12288, 48)])
def test_gpu_layers_without_parameter_count_follow_the_memory(env, capfd, vram, layers):
    env.nvidia(f"Some GPU, {vram}, 8.9")
    meta = {"general.architecture": "llama"}
    path = write_gguf(env.work / "m.gguf", meta)
    _, plan, _ = check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(meta),
                                      gpu=oracle.Gpu("Some GPU", vram, (8, 9)))
    assert plan.space.max_gpu_layers == layers


@pytest.mark.parametrize("params, shown, fp16", [
    (250_000_000, "0.2B", "477MB"),          # 0.25 exactly: ties go to even
    (350_000_000, "0.3B", "668MB"),          # 0.35 is stored just below
    (450_000_000, "0.5B", "858MB"),          # 0.45 is stored just above
    (262_144, "0.0B", "0MB"),                # 0.5 MiB exactly
    (786_432, "0.0B", "2MB"),                # 1.5 MiB exactly
    (7_000_000_000, "7.0B", "13351MB"),
    (2**64 - 1, "18446744073.7B", "35184372088832MB"),
])
def test_model_figures_are_printed_rounded_half_to_even(env, capfd, params, shown, fp16):
    meta = shaped(11008, params)
    path = write_gguf(env.work / "m.gguf", meta)
    run, _, _ = check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(meta), "cpu")
    assert run.lines[1] == f"[Stage 2/4] Model: workload=MemoryBound, params={shown}, FP16={fp16}"


def test_memory_budget_keeps_a_quantization_that_fits_exactly(env, capfd):
    # With P = 400000 x RAM the F16 weights, 2 x P / 10^6, equal 0.8 x RAM,
    # in doubles too for most RAM figures.  An attempt counts when the
    # figure allows equality and stays put between the profile and the run;
    # otherwise some memory is taken (touched, so it is no longer available)
    # to move the figure, and the next attempt tries again.
    held = []
    for _ in range(20):
        ram = detected_profile()["ram"]["available_mb"]
        params = 400_000 * ram
        meta = shaped(32768, params)
        path = write_gguf(env.work / "m.gguf", meta)
        _, plan, machine = check_against_oracle(capfd, path, "gguf",
                                                oracle.model_from_gguf(meta), "cpu")
        if machine.available_mb == ram and 0.8 * float(ram) == 2.0 * float(params) / 1e6:
            assert plan.space.quantizations == ("Q8_0", "Q4_K_M", "F16")
            return
        held.append(b"\x01" * (3 << 20))
    pytest.skip("no attempt met the budget exactly")


@pytest.mark.parametrize("setup, gpu_arg, gpu, runtimes", [
    pytest.param(None, None, None, "[OnnxRuntime]", id="no-gpu"),
    pytest.param(("nvidia", "NVIDIA GeForce RTX 4070, 12282, 8.9"), None, FAKE_GPU,
                 "[TensorRT, OnnxRuntime, Vllm]", id="detected-nvidia"),
    pytest.param(("rocm", "device,Card series,VRAM Total Memory (B)\n"
                          "card0,AMD Instinct MI210,17163091968\n"), None,
                 oracle.Gpu("AMD Instinct MI210", 16368, None, "Amd"),
                 "[OnnxRuntime, Vllm]", id="detected-amd"),
    pytest.param(("nvidia", "NVIDIA GeForce RTX 4070, 12282, 8.9"), "cpu", None,
                 "[OnnxRuntime]", id="nvidia-overridden-by-cpu"),
    pytest.param(None, "4090", oracle.GPU_CATALOGUE["4090"],
                 "[TensorRT, OnnxRuntime, Vllm]", id="named-4090"),
])
def test_onnx_preselection(env, capfd, setup, gpu_arg, gpu, runtimes):
    if setup:
        getattr(env, setup[0])(setup[1])
    path = write_onnx(env.work / "m.onnx")
    run, _, _ = check_against_oracle(capfd, path, "onnx", oracle.model_from_onnx(ONNX_ELEMENTS),
                                  gpu_arg, gpu)
    assert f"[Stage 3/4] Preselected runtimes: {runtimes}" in run.lines
    if gpu is None:
        assert run.lines[2:4] == ["[Stage 3/7] Eliminated TensorRT: TensorRT requires NVIDIA GPU",
                                  "[Stage 3/7] Eliminated Vllm: vLLM requires a GPU"]


@pytest.mark.parametrize("context, runtimes", [
    (1 << 20, "[TensorRT, OnnxRuntime]"),
    (0, "[TensorRT, OnnxRuntime, Vllm]"),  # an empty cache is no pressure
])
def test_kv_pressure_on_a_gpu_without_memory(env, capfd, context, runtimes):
    # A GGUF file declared as ONNX carries a key/value cache into ONNX
    # planning; a GPU reporting 0 MiB cannot hold any of it.
    env.nvidia("NVIDIA Empty, 0, 8.9")
    meta = {**LLAMA_7B, "llama.context_length": context}
    path = write_gguf(env.work / "m.gguf", meta)
    run, _, _ = check_against_oracle(capfd, path, "onnx",
                                     oracle.model_from_gguf(meta, declared="onnx"),
                                     gpu=oracle.Gpu("NVIDIA Empty", 0, (8, 9)))
    eliminated = "[Stage 3/7] Eliminated Vllm: vLLM cannot handle KV pressure without VRAM"
    assert (eliminated in run.lines) == (context != 0)
    assert f"[Stage 3/4] Preselected runtimes: {runtimes}" in run.lines


def test_onnx_file_declared_gguf_plans_as_gguf(env, capfd):
    path = write_onnx(env.work / "m.onnx")
    run, _, _ = check_against_oracle(capfd, path, "gguf",
                                  oracle.model_from_onnx(ONNX_ELEMENTS, declared="gguf"))
    assert "[Stage 3/4] Preselected runtimes: [LlamaCpp, Ollama]" in run.lines
    assert "params=3.0B" in run.lines[1]


def best_latency(env, capfd):
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    _, plan, _ = check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(LLAMA_7B),
                                      "cpu")
    return path, plan.metrics.latency_ms


@pytest.mark.parametrize("limit", [
    lambda best: best, lambda best: best * 2, lambda best: 1e300,
    lambda best: float("inf"), lambda best: float("nan"),
], ids=["equal", "double", "huge", "inf", "nan"])
def test_latency_ceiling_met(env, capfd, limit):
    path, best = best_latency(env, capfd)
    check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(LLAMA_7B), "cpu",
                         max_latency_ms=limit(best))


@pytest.mark.parametrize("limit", [
    lambda best: 0.001, lambda best: 0.0, lambda best: -5.0, lambda best: float("-inf"),
    lambda best: 0.25, lambda best: best - 1e-9,
], ids=["tiny", "zero", "negative", "-inf", "tie-to-even", "just-below"])
def test_latency_ceiling_broken_falls_back_and_fails(env, capfd, limit):
    path, best = best_latency(env, capfd)
    ceiling = limit(best)
    profile = detected_profile()
    run = optimize(capfd, str(path), "gguf", gpu="cpu", max_latency_ms=ceiling)
    plan = oracle.plan(oracle.model_from_gguf(LLAMA_7B), machine_seen(run, profile, None),
                       ceiling)
    assert plan.falls_back
    assert run.lines == plan.lines, "no quantization after a failed pipeline"
    text = str(run.error)
    assert text.startswith("cartesian fallback also failed: ")
    assert text.endswith(": " + oracle.latency_message(ceiling))
    assert run.result is None
    assert not (env.home / ".cindrel").exists(), "nothing cached"


def test_latency_limits_print_with_one_decimal(env, capfd):
    path, _ = best_latency(env, capfd)
    run = optimize(capfd, str(path), "gguf", gpu="cpu", max_latency_ms=0.25, use_cache=False)
    assert run.lines[-2].endswith(f"exceeds limit 0.2ms {DASH} falling back to cartesian search")
    assert str(run.error).endswith("latency constraint of 0.2 ms. "
                                   "Try relaxing --latency or freeing RAM.")


# --- 3. re-quantization and the output path ----------------------------------------------


@pytest.mark.parametrize("model, declared, output_path, expected", [
    ("{work}/dir/llama.Q4_K_M.gguf", "gguf", None, "{work}/dir/llama.Q4_K_M-optimized.gguf"),
    ("llama.gguf", "gguf", None, "llama-optimized.gguf"),
    ("./llama.gguf", "gguf", None, "./llama-optimized.gguf"),
    ("model.onnx", "onnx", None, "model-optimized.gguf"),
    ("sub dir/my model.gguf", "gguf", None, "sub dir/my model-optimized.gguf"),
    ("dir/.gguf", "gguf", None, "dir/.gguf-optimized.gguf"),
    ("missing.gguf", "gguf", None, "missing-optimized.gguf"),
    ("llama.gguf", "gguf", "out dir/any name.bin", "out dir/any name.bin"),
    ("{work}/llama.gguf", "gguf", "relative.gguf", "relative.gguf"),
])
def test_requantize_arguments_and_output_path(env, capfd, model, declared, output_path,
                                              expected):
    model = model.format(work=env.work)
    expected = expected.format(work=env.work)
    if model.endswith(".onnx"):
        write_onnx(env.work / model)
    elif not model.startswith("missing"):
        write_gguf(env.work / model, LLAMA_7B)
    log = env.work / "argv log.txt"
    env.quantizer(log, chatter=True)

    run = optimize(capfd, model, declared, output_path=output_path, use_cache=False)
    assert run.error is None
    assert run.result.output_path == expected
    assert log.read_text().split("\n")[:-1] == [
        "--allow-requantize", model, expected, QUANTIZE_TYPE[run.result.quantization]]
    assert run.out == "quantizer on stdout\n"
    assert run.lines[-1] == "quantizer on stderr"
    assert not any("Warning" in line for line in run.lines)


@pytest.mark.parametrize("setup, reason", [
    (lambda env: env.quantizer(status="exit 3"),
     "llama-quantize exited with code Some(3) (if the source model is already quantized, "
     "ensure llama.cpp >= b2606 is installed)"),
    (lambda env: env.quantizer(status="exit 1"),
     "llama-quantize exited with code Some(1) (if the source model is already quantized, "
     "ensure llama.cpp >= b2606 is installed)"),
    (lambda env: env.quantizer(status="kill -9 $$"),
     "llama-quantize exited with code None (if the source model is already quantized, "
     "ensure llama.cpp >= b2606 is installed)"),
    (lambda env: None,
     f"llama-quantize not found {DASH} install llama.cpp to enable model quantization"),
    (lambda env: (env.bin / "llama-quantize").write_text("#!/bin/sh\nexit 0\n"),
     f"llama-quantize not found {DASH} install llama.cpp to enable model quantization"),
    (lambda env: (env.bin / "llama-quantize").mkdir(),
     f"llama-quantize not found {DASH} install llama.cpp to enable model quantization"),
], ids=["exit-3", "exit-1", "sigkill", "absent", "not-executable", "directory"])
def test_failed_requantization_is_a_warning(env, capfd, setup, reason):
    setup(env)
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(LLAMA_7B), "cpu",
                         tail=[f"[halvorn] Warning: quantization failed: {reason}"])


# --- 4. the result cache --------------------------------------------------------------------


def cache_dir(env):
    return env.home / ".cindrel" / "cache"


def cache_files(env):
    """The cache entries, checking that nothing else (no temporary) is there."""
    directory = cache_dir(env)
    if not directory.exists():
        return {}
    names = sorted(p.name for p in directory.iterdir())
    assert all(re.fullmatch(r"[0-9a-f]{64}\.json", n) for n in names), names
    return {n: (directory / n).read_bytes() for n in names}


def hardware_text(ram, gpu_arg=None, detected=None):
    """The compact profile JSON as the cache hashes it for a given memory."""
    text = re.sub(r'"available_mb":\d+', f'"available_mb":{ram}',
                  detected or halvorn.profile_hardware().to_json())
    if gpu_arg is not None:
        text = text.replace('"gpu":null', f'"gpu":{CATALOGUE_JSON[gpu_arg]}')
    return text


def cache_name(model_path, hardware):
    st = os.stat(model_path)
    mtime = max(st.st_mtime_ns // 1_000_000_000, 0)
    key_text = f"{mtime}_{st.st_size}_{hardware}"
    return hashlib.sha256(key_text.encode()).hexdigest() + ".json"


SPREAD = 1024


def seed_entries(env, model_path, content, ram, gpu_arg=None):
    """Writes `content` under the key of every memory figure near `ram`.

    The key holds the available memory of the moment, which moves between
    two calls; entries for every figure within SPREAD MiB make the next call
    meet `content` whatever it detects.
    """
    directory = cache_dir(env)
    directory.mkdir(parents=True, exist_ok=True)
    detected = halvorn.profile_hardware().to_json()
    for r in range(max(ram - SPREAD, 0), ram + SPREAD + 1):
        name = cache_name(model_path, hardware_text(r, gpu_arg, detected))
        (directory / name).write_bytes(content)


@pytest.fixture
def cached_model(env):
    """A model at a fixed modification time, with a quiet, working quantizer."""
    env.quantizer()
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    os.utime(path, (1_733_788_800, 1_733_788_800))
    return path


def entry(result_text, model_path, created_at):
    return ('{"result":' + result_text + ',"model_path":' +
            json.dumps(str(model_path), ensure_ascii=False) + f',"created_at":{created_at}}}')


@pytest.mark.parametrize("mtime_ns", [
    1_733_788_800_000_000_000,
    1_733_788_800_999_999_999,  # whole seconds, not rounded
    -5_000_000_000,  # before the epoch counts as 0
])
def test_first_call_stores_one_compact_entry(env, capfd, cached_model, mtime_ns):
    os.utime(cached_model, ns=(mtime_ns, mtime_ns))
    before = int(time.time())
    run = optimize(capfd, str(cached_model), "gguf")
    after = int(time.time())
    assert run.error is None
    files = cache_files(env)
    name = cache_name(cached_model, hardware_text(stage1_ram(run.lines)))
    assert list(files) == [name]
    stored = files[name].decode()
    created_at = json.loads(stored)["created_at"]
    assert before <= created_at <= after
    assert stored == entry(run.result.to_json(), cached_model, created_at)
    assert not any(line.startswith("[halvorn]") for line in run.lines)


def first_entry(env, capfd, model_path, **kwargs):
    run = optimize(capfd, str(model_path), "gguf", **kwargs)
    files = cache_files(env)
    name = cache_name(model_path, hardware_text(stage1_ram(run.lines), kwargs.get("gpu")))
    return run, name, files[name]


@pytest.mark.parametrize("quantization", sorted(QUANTIZE_TYPE))
def test_hit_returns_the_stored_result(env, capfd, cached_model, quantization):
    run, _, stored = first_entry(env, capfd, cached_model)
    ram = stage1_ram(run.lines)
    # A stored result the planner would never choose shows that it was read.
    doctored = json.loads(stored)
    doctored["result"]["config"].update(runtime="Vllm", quantization=quantization, threads=7)
    doctored["result"]["metrics"].update(tokens_per_sec=123.25, latency_ms=8.0)
    seed_entries(env, cached_model, json.dumps(doctored, separators=(",", ":")).encode(), ram)
    log = env.work / "argv"
    env.quantizer(log)

    hit = optimize(capfd, str(cached_model), "gguf")
    assert hit.lines == [CACHE_HIT]
    assert json.loads(hit.result.to_json()) == doctored["result"]
    assert repr(hit.result) == f"OptimizationResult(runtime=Vllm, quant={quantization}, tps=123.2)"
    assert log.read_text().split("\n")[3] == QUANTIZE_TYPE[quantization]


def test_second_call_hits_with_the_same_numbers(env, capfd, cached_model):
    run, name, stored = first_entry(env, capfd, cached_model)
    seed_entries(env, cached_model, stored, stage1_ram(run.lines))
    hit = optimize(capfd, str(cached_model), "gguf")
    assert hit.lines == [CACHE_HIT]
    assert hit.result.to_json() == run.result.to_json()
    assert cache_files(env)[name] == stored, "a hit writes nothing"


def test_touching_the_model_misses(env, capfd, cached_model):
    run, _, stored = first_entry(env, capfd, cached_model)
    seed_entries(env, cached_model, stored, stage1_ram(run.lines))
    os.utime(cached_model, (1_733_788_801, 1_733_788_801))
    miss = optimize(capfd, str(cached_model), "gguf")
    assert CACHE_HIT not in miss.lines
    assert cache_name(cached_model, hardware_text(stage1_ram(miss.lines))) in cache_files(env)


def copy_of(source, target):
    shutil.copyfile(source, target)
    os.utime(target, (1_733_788_800, 1_733_788_800))


def link_to(source, target):
    # The link's own time is now; the key follows the link to the file.
    target.symlink_to(source)


@pytest.mark.parametrize("make", [copy_of, link_to], ids=["copy", "symlink"])
def test_same_time_and_size_elsewhere_hits_the_first_entry(env, capfd, cached_model, make):
    run, name, stored = first_entry(env, capfd, cached_model)
    seed_entries(env, cached_model, stored, stage1_ram(run.lines))
    other = env.work / "elsewhere" / "other.gguf"
    other.parent.mkdir()
    make(cached_model, other)

    hit = optimize(capfd, str(other), "gguf")
    assert hit.lines == [CACHE_HIT]
    assert json.loads(cache_files(env)[name])["model_path"] == str(cached_model)


def test_without_cache_nothing_is_read_or_written(env, capfd, cached_model):
    fresh = optimize(capfd, str(cached_model), "gguf", use_cache=False)
    assert fresh.error is None and CACHE_HIT not in fresh.lines
    assert not (env.home / ".cindrel").exists()

    run, _, stored = first_entry(env, capfd, cached_model)
    seed_entries(env, cached_model, stored, stage1_ram(run.lines))
    before = cache_files(env)
    again = optimize(capfd, str(cached_model), "gguf", use_cache=False)
    assert again.lines[0].startswith("[Stage 1/4]") and CACHE_HIT not in again.lines
    assert cache_files(env) == before


def test_named_gpu_is_another_entry(env, capfd, cached_model):
    plain = optimize(capfd, str(cached_model), "gguf")
    named = optimize(capfd, str(cached_model), "gguf", gpu="4090")
    assert CACHE_HIT not in named.lines
    assert set(cache_files(env)) == {
        cache_name(cached_model, hardware_text(stage1_ram(plain.lines))),
        cache_name(cached_model, hardware_text(stage1_ram(named.lines), "4090")),
    }


@pytest.mark.parametrize("home", ["file/home", "file"])
def test_unwritable_cache_is_a_warning(env, capfd, monkeypatch, home):
    # A regular file where a directory must be: even root cannot write there.
    (env.work / "file").write_text("not a directory")
    monkeypatch.setenv("HOME", str(env.work / home))
    path = write_gguf(env.work / "m.gguf", LLAMA_7B)
    warning = f"[halvorn] Warning: could not write cache: {os.strerror(errno.ENOTDIR)}"
    check_against_oracle(capfd, path, "gguf", oracle.model_from_gguf(LLAMA_7B), "cpu",
                         use_cache=True, tail=[warning, NO_QUANTIZER])


def test_missing_model_cannot_be_cached(env, capfd):
    profile = detected_profile()
    run = optimize(capfd, str(env.work / "missing.gguf"), "gguf", gpu="cpu")
    plan = oracle.plan(oracle.Model("gguf"), machine_seen(run, profile, None))
    assert_planned(run, plan, tail=[
        "[halvorn] Warning: could not write cache: could not compute cache key", NO_QUANTIZER])


@pytest.mark.parametrize("damage, hits", [
    pytest.param(lambda e: e.replace(b'{"result"', b'{"extra":[1,{"a":null}],"result"'), True,
                 id="extra-member"),
    pytest.param(lambda e: e + b" \n\t\r", True, id="trailing-white-space"),
    pytest.param(lambda e: json.dumps(dict(reversed(json.loads(e).items()))).encode(), True,
                 id="members-reordered-and-spaced"),
    pytest.param(lambda e: re.sub(rb',"created_at":\d+', b"", e), False, id="no-created-at"),
    pytest.param(lambda e: e.replace(b'"model_path"', b'"model_path":"x","model_path"'), False,
                 id="duplicate-member"),
    pytest.param(lambda e: e + b"x", False, id="trailing-garbage"),
    pytest.param(lambda e: e[: len(e) // 2], False, id="truncated"),
    pytest.param(lambda e: b"", False, id="empty"),
    pytest.param(lambda e: e.replace(b'"model_path":"', b'"model_path":"\xff'), False,
                 id="invalid-utf8"),
    pytest.param(lambda e: re.sub(rb'"runtime":"\w+"', b'"runtime":"llamacpp"', e), False,
                 id="unknown-runtime-text"),
    pytest.param(lambda e: re.sub(rb'"threads":\d+', b'"threads":8.0', e), False,
                 id="float-thread-count"),
])
def test_damaged_entries(env, capfd, cached_model, damage, hits):
    run, _, stored = first_entry(env, capfd, cached_model)
    marked = re.sub(rb'"tokens_per_sec":[^,]+', b'"tokens_per_sec":99.5', stored)
    seed_entries(env, cached_model, damage(marked), stage1_ram(run.lines))

    again = optimize(capfd, str(cached_model), "gguf")
    if hits:
        assert again.lines == [CACHE_HIT]
        assert again.result.tokens_per_sec == 99.5
        return
    # A silent miss: the plan runs again and its entry replaces the damage.
    assert again.lines[0].startswith("[Stage 1/4]")
    assert not any(line.startswith("[halvorn]") for line in again.lines)
    name = cache_name(cached_model, hardware_text(stage1_ram(again.lines)))
    written = cache_files(env)[name].decode()
    assert written == entry(again.result.to_json(), cached_model,
                            json.loads(written)["created_at"])
