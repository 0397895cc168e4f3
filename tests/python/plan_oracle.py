"""An independent, pure-Python statement of the planning rules of optimize().

Used only by the tests: given what the model file says and what the machine
looks like, it computes every progress line the planner must print and the
configuration it must choose.  It shares no code with the extension; every
step is written out here from the rules themselves, in IEEE double precision
and in the order the rules give (Python floats are doubles, and the math
functions used are the C library's own), so its numbers agree with the
extension's to the last bit.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

ARROW = "\u2192"
DASH = "\u2014"
U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1


# --- records -------------------------------------------------------------------


@dataclass(frozen=True)
class Gpu:
    name: str
    vram_mb: int
    compute_capability: tuple[int, int] | None
    vendor: str = "Nvidia"


@dataclass(frozen=True)
class Machine:
    core_count: int
    simd_level: str
    available_mb: int
    gpu: Gpu | None = None


@dataclass(frozen=True)
class Model:
    """The planner's view of a model: the declared format and its figures."""

    format: str  # "gguf" or "onnx": the format the caller declared
    param_count: int | None = None
    feed_forward_length: int | None = None
    hidden_size: int | None = None
    kv_cache_size_mb: float | None = None
    memory_footprint_mb: float | None = None


@dataclass(frozen=True)
class Config:
    runtime: str
    quantization: str
    threads: int
    batch_size: int
    gpu_layers: int

    def describe(self):
        return (f"{self.runtime}/{self.quantization}/{self.threads} threads/"
                f"{self.gpu_layers} gpu_layers")


@dataclass(frozen=True)
class Metrics:
    tokens_per_sec: float
    latency_ms: float
    peak_memory_mb: int


@dataclass(frozen=True)
class Plan:
    """What one planning run prints and decides.

    `config`/`metrics` hold the answer; when the latency ceiling sends the
    run to the measured fallback they hold the Bayesian best and
    `falls_back` is true (the fallback's own lines are not modelled).
    """

    lines: list[str]
    config: Config | None
    metrics: Metrics | None
    falls_back: bool = False
    error: str | None = None
    space: SearchSpace | None = None


@dataclass(frozen=True)
class SearchSpace:
    runtimes: tuple[str, ...]
    quantizations: tuple[str, ...]
    threads: tuple[int, ...]
    batch_sizes: tuple[int, ...]
    max_gpu_layers: int


# --- constant tables -------------------------------------------------------------

# quantization: (bytes per parameter, memory scale, speed factor)
QUANTIZATION_TABLE = {
    "F16": (2.0, 1.0, 0.28),
    "Q8_0": (1.0, 0.5, 0.55),
    "Q4_K_M": (0.5, 0.25, 1.0),
    "Q4_0": (0.5, 0.25, 0.95),
    "Int8": (1.0, 0.5, 0.55),
    "Int4": (0.5, 0.25, 1.0),
}
SIMD_FACTOR = {"None": 0.8, "AVX": 1.0, "AVX2": 1.2, "AVX512": 1.5}

START_QUANTIZATIONS = {
    ("gguf", "MemoryBound"): ("Q4_K_M", "Q4_0"),
    ("gguf", "ComputeBound"): ("Q8_0", "Q4_K_M", "F16"),
    ("gguf", "Balanced"): ("Q4_K_M", "Q8_0"),
    ("onnx", "MemoryBound"): ("Int8", "F16"),
    ("onnx", "ComputeBound"): ("F16", "Int8"),
    ("onnx", "Balanced"): ("F16", "Int8"),
}

GPU_CATALOGUE = {}
for _keys, _gpu in (
    (("4090", "rtx4090"), Gpu("NVIDIA GeForce RTX 4090", 24576, (8, 9))),
    (("4080", "rtx4080"), Gpu("NVIDIA GeForce RTX 4080", 16384, (8, 9))),
    (("4070ti", "rtx4070ti"), Gpu("NVIDIA GeForce RTX 4070 Ti", 12288, (8, 9))),
    (("4070", "rtx4070"), Gpu("NVIDIA GeForce RTX 4070", 12288, (8, 9))),
    (("3090", "rtx3090"), Gpu("NVIDIA GeForce RTX 3090", 24576, (8, 6))),
    (("3080", "rtx3080"), Gpu("NVIDIA GeForce RTX 3080", 10240, (8, 6))),
    (("3070", "rtx3070"), Gpu("NVIDIA GeForce RTX 3070", 8192, (8, 6))),
    (("3060", "rtx3060"), Gpu("NVIDIA GeForce RTX 3060", 12288, (8, 6))),
    (("2080ti", "rtx2080ti"), Gpu("NVIDIA GeForce RTX 2080 Ti", 11264, (7, 5))),
    (("2080", "rtx2080"), Gpu("NVIDIA GeForce RTX 2080", 8192, (7, 5))),
    (("a100",), Gpu("NVIDIA A100", 81920, (8, 0))),
    (("a10g",), Gpu("NVIDIA A10G", 24576, (8, 6))),
    (("h100",), Gpu("NVIDIA H100", 81920, (9, 0))),
):
    for _key in _keys:
        GPU_CATALOGUE[_key] = _gpu

INITIAL_SAMPLES = 5
REFINEMENTS = 7
CANDIDATES = 24
GAMMA = 0.25


class UnknownGpu(LookupError):
    pass


def lookup_gpu(text):
    """The catalogue entry for a loose GPU name; None means plan without GPU."""
    key = text.lower().replace(" ", "").replace("-", "")
    if key in ("", "cpu"):
        return None
    if key in GPU_CATALOGUE:
        return GPU_CATALOGUE[key]
    raise UnknownGpu(
        f"Unknown GPU model: '{key}'. Try: 4090, 4080, 3090, 3080, 3070, 2080ti, "
        "a100, h100, or 'cpu'")


# --- number formatting and conversions -------------------------------------------


def fixed(value, decimals):
    """One or no decimals, rounded half to even on the exact binary value."""
    if math.isnan(value):
        return "NaN"
    return format(value, f".{decimals}f")


def saturate(value, limit):
    """A double converted to an unsigned integer, clamped and truncated."""
    if math.isnan(value) or value <= 0.0:
        return 0
    if value >= limit + 1:
        return limit
    return int(value)  # truncates toward zero


def round_half_away(value):
    floor = math.floor(value)
    return floor + 1 if value - floor >= 0.5 else floor


# --- model figures -----------------------------------------------------------------


def model_from_gguf(metadata, declared="gguf"):
    """The planner's figures for a GGUF file with the given key/values.

    Keys are matched by their ending as the reader does: the first key wins
    for the block count, context and embedding lengths, the last one for
    the others.  Fixtures must state general.parameter_count whenever they
    carry both the block count and the embedding length: the estimate used
    otherwise is the implementation's own choice and not modelled here.
    """
    def find(suffix, first=False):
        values = [v for k, v in metadata.items() if k.endswith(suffix)]
        if not values:
            return None
        return values[0] if first else values[-1]

    params = metadata.get("general.parameter_count")
    blocks = find(".block_count", first=True)
    embedding = find(".embedding_length", first=True)
    heads = find(".attention.head_count")
    kv_heads = find(".attention.head_count_kv")
    context = find(".context_length", first=True)
    if params is None and blocks is not None and embedding is not None:
        raise ValueError("fixture would rely on the implementation's parameter estimate")

    kv_cache = None
    if None not in (blocks, embedding, heads, context) and heads != 0:
        k = kv_heads if kv_heads is not None else heads
        size = float(blocks)
        size = size * 2.0
        size = size * float(k)
        size = size * (float(embedding) / float(heads))
        size = size * float(context)
        size = size * 2.0
        kv_cache = size * 2.0**-20

    return Model(
        format=declared,
        param_count=params,
        feed_forward_length=find(".feed_forward_length"),
        hidden_size=None if embedding is None else embedding & U32_MAX,
        kv_cache_size_mb=kv_cache,
        memory_footprint_mb=footprint(params),
    )


def model_from_onnx(initializer_elements, declared="onnx"):
    params = initializer_elements or None
    return Model(format=declared, param_count=params, memory_footprint_mb=footprint(params))


def footprint(params):
    if params is None:
        return None
    p = float(params)
    return (p + p) * 2.0**-20


# --- analysis, preselection and the search space ----------------------------------------


def workload(model):
    ffn, hidden = model.feed_forward_length, model.hidden_size
    if ffn is None or hidden is None or hidden == 0:
        return "Balanced"
    ratio = ffn // hidden
    if ratio > 7:
        return "ComputeBound"
    if ratio < 3:
        return "MemoryBound"
    return "Balanced"


def weights_mb(model):
    if model.memory_footprint_mb is not None:
        return model.memory_footprint_mb
    if model.param_count is not None:
        return float(model.param_count) * 2.0 / 1000000.0
    return None


def kv_pressure(model, machine):
    if model.kv_cache_size_mb is None:
        return False
    if machine.gpu is not None:
        threshold = 0.3 * float(machine.gpu.vram_mb)
    else:
        threshold = 0.2 * float(machine.available_mb)
    return model.kv_cache_size_mb > threshold


def preselect(model, machine):
    """(kept runtimes best first, elimination lines)."""
    has_gpu = machine.gpu is not None
    nvidia = has_gpu and machine.gpu.vendor == "Nvidia"
    if model.format == "gguf":
        rows = [("LlamaCpp", 10, None), ("Ollama", 8, None)]
    else:
        vllm = None
        if not has_gpu:
            vllm = "vLLM requires a GPU"
        elif kv_pressure(model, machine) and machine.gpu.vram_mb == 0:
            vllm = "vLLM cannot handle KV pressure without VRAM"
        rows = [
            ("OnnxRuntime", 8, None),
            ("TensorRT", 10, None if nvidia else "TensorRT requires NVIDIA GPU"),
            ("Vllm", 7, vllm),
        ]
    lines = [f"[Stage 3/7] Eliminated {name}: {why}" for name, _, why in rows if why]
    kept = sorted((row for row in rows if not row[2]), key=lambda row: -row[1])
    return [name for name, _, _ in kept], lines


def quantizations(model, machine):
    start = START_QUANTIZATIONS[(model.format, workload(model))]
    if model.param_count is None:
        return list(start)
    budget = 0.8 * float(machine.available_mb)
    p = float(model.param_count)
    return [q for q in start if budget >= QUANTIZATION_TABLE[q][0] * p / 1000000.0]


def thread_counts(cores):
    def clamp(x):
        return 1 if x == 0 else min(x, 64)
    return sorted({clamp(cores // 2), clamp(cores), clamp((2 * cores) % 2**32)})


def max_gpu_layers(model, machine):
    if machine.gpu is None:
        return 0
    vram = machine.gpu.vram_mb
    if model.param_count is None:
        return 16 if vram < 4096 else 32 if vram < 12288 else 48
    m = float(model.param_count) * 2.0 * 2.0**-20
    if m <= 0.0:
        return 0
    return saturate(math.floor(min(float(vram) / m, 1.0) * 32.0), U32_MAX)


def search_space(runtimes, model, machine):
    return SearchSpace(
        runtimes=tuple(runtimes),
        quantizations=tuple(quantizations(model, machine) or ["Q4_K_M"]),
        threads=tuple(thread_counts(machine.core_count)),
        batch_sizes=(128, 256, 512),
        max_gpu_layers=max_gpu_layers(model, machine),
    )


# --- the estimator ------------------------------------------------------------------------


def estimate(config, model, machine):
    cores = float(machine.core_count)
    threads = float(config.threads)
    if cores == 0.0:
        share = 1.0  # T/0 is +inf, 0/0 NaN: both count as full use
    else:
        share = min(threads / cores, 1.0)
    efficiency = share * 0.8 + 0.2
    gpu_factor = 1.0
    if machine.gpu is not None and config.gpu_layers != 0:
        gpu_factor = float(config.gpu_layers) / 33.0 * 4.0 + 1.0
    _, scale, speed = QUANTIZATION_TABLE[config.quantization]
    tps = (((2.0 * cores) * speed) * SIMD_FACTOR[machine.simd_level]) * efficiency * gpu_factor
    latency = math.inf if tps == 0.0 else 1000.0 / tps

    if model.memory_footprint_mb is not None:
        weights = model.memory_footprint_mb * scale
    elif model.param_count is not None:
        weights = float(model.param_count) * QUANTIZATION_TABLE[config.quantization][0] / 1000000.0
    else:
        weights = 0.0
    peak = saturate(weights, U64_MAX)
    if model.kv_cache_size_mb is not None:
        peak = min(peak + saturate(model.kv_cache_size_mb, U64_MAX), U64_MAX)
    return Metrics(tps, latency, peak)


# --- the Bayesian search ------------------------------------------------------------------


def halton_point(index):
    point = []
    for base in (2, 3, 5, 7, 11):
        r, f, n = 0.0, 1.0, index
        while True:
            f = f / base
            r = r + (n % base) * f
            if n < base:
                break
            n = n // base
        point.append(r)
    return tuple(point)


def random_point(seed):
    state = seed % 2**64
    point = []
    for _ in range(5):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        point.append((state >> 12) * 2.0**-52)
    return tuple(point)


def decode(point, space):
    def pick(entries, coordinate):
        n = len(entries)
        index = min(saturate(math.floor(n * coordinate), U64_MAX), n - 1)
        return entries[index]

    layers = 0
    if space.max_gpu_layers != 0:
        v = round_half_away(space.max_gpu_layers * point[2])
        layers = min(space.max_gpu_layers, saturate(float(v), U32_MAX))
    return Config(
        runtime=pick(space.runtimes, point[0]),
        quantization=pick(space.quantizations, point[1]),
        threads=pick(space.threads, point[3]),
        batch_size=pick(space.batch_sizes, point[4]),
        gpu_layers=layers,
    )


def gaussian(z, h):
    t = z / h
    return math.exp(-0.5 * (t * t)) / (h * 2.5066282746310002)


def parzen_density(x, group):
    m = len(group)
    if m == 0:
        return 1e-10
    s = math.pow(m, -0.2)
    if m == 1:
        h = max(0.2 * 1.06 * s, 1e-8)
        (v, _), = group
        product = 1.0
        for d in range(5):
            product = product * gaussian(x[d] - v[d], h)
        return product
    widths = []
    for d in range(5):
        total = 0.0
        for v, _ in group:
            total = total + v[d]
        mean = total / m
        squares = 0.0
        for v, _ in group:
            deviation = v[d] - mean
            squares = squares + deviation * deviation
        sigma = math.sqrt(squares / (m - 1))
        widths.append(max(max(sigma, 0.01) * 1.06 * s, 1e-8))
    total = 0.0
    for v, _ in group:
        product = 1.0
        for d in range(5):
            product = product * gaussian(x[d] - v[d], widths[d])
        total = total + product
    return total / m


def suggest_next(observations, iteration):
    n = len(observations)
    if n < 3:
        return random_point(iteration + n)
    # Finite values only reach here, so Python's stable sort is the rule's.
    ranked = sorted(observations, key=lambda obs: -obs[1])
    n_good = max(math.ceil(n * GAMMA), 1)
    good, bad = ranked[:n_good], ranked[n_good:]
    answer, best = random_point(iteration), -math.inf
    for j in range(CANDIDATES):
        candidate = random_point(iteration + 0xDEADBEEF + j)
        good_density = parzen_density(candidate, good)
        bad_density = parzen_density(candidate, bad)
        score = good_density / bad_density if bad_density > 1e-10 else good_density / 1e-10
        if score > best:
            answer, best = candidate, score
    return answer


# --- the whole plan -------------------------------------------------------------------------


def latency_message(limit):
    return ("no valid configuration found: no configuration meets the latency constraint of "
            f"{fixed(limit, 1)} ms. Try relaxing --latency or freeing RAM.")


def plan(model, machine, max_latency_ms=None):
    """Every line the planner prints for a cache miss, and what it chooses."""
    lines = []
    gpu = machine.gpu
    lines.append(
        f"[Stage 1/4] Hardware: {machine.core_count} cores, GPU={'yes' if gpu else 'no'}, "
        f"VRAM={f'{gpu.vram_mb}MB' if gpu else 'none'}, RAM={machine.available_mb}MB")

    params = ("unknown" if model.param_count is None
              else f"{fixed(float(model.param_count) / 1e9, 1)}B")
    weights = weights_mb(model)
    fp16 = "unknown" if weights is None else f"{fixed(weights, 0)}MB"
    lines.append(f"[Stage 2/4] Model: workload={workload(model)}, params={params}, FP16={fp16}")

    runtimes, eliminated = preselect(model, machine)
    lines.extend(eliminated)
    lines.append(f"[Stage 3/4] Preselected runtimes: [{', '.join(runtimes)}]")
    if not runtimes:
        return Plan(lines, None, None,
                    error="no compatible runtimes available for this model format and hardware")

    space = search_space(runtimes, model, machine)
    lines.append("[Stage 4/4] Bayesian optimization (hardware-aware estimation): "
                 f"{INITIAL_SAMPLES} initial samples + {REFINEMENTS} refinement iterations")

    observations = []
    best = None  # (config, metrics)

    def consider(config, metrics):
        nonlocal best
        if best is None or metrics.tokens_per_sec > best[1].tokens_per_sec:
            best = (config, metrics)

    for i in range(1, INITIAL_SAMPLES + 1):
        point = halton_point(i)
        config = decode(point, space)
        metrics = estimate(config, model, machine)
        lines.append(f"[Bayes init {i}/{INITIAL_SAMPLES}] {config.describe()} {ARROW} "
                     f"{fixed(metrics.tokens_per_sec, 1)} tok/s")
        observations.append((point, metrics.tokens_per_sec))
        consider(config, metrics)

    for k in range(1, REFINEMENTS + 1):
        point = suggest_next(observations, k - 1)
        config = decode(point, space)
        lines.append(f"[Bayes iter {k}/{REFINEMENTS}] {config.describe()}")
        metrics = estimate(config, model, machine)
        lines.append(f"[Bayes iter {k}/{REFINEMENTS}] Result: "
                     f"{fixed(metrics.tokens_per_sec, 1)} tok/s")
        observations.append((point, metrics.tokens_per_sec))
        consider(config, metrics)

    config, metrics = best
    lines.append(f"[Bayes final] Best: {config.describe()} {ARROW} "
                 f"{fixed(metrics.tokens_per_sec, 1)} tok/s")
    if max_latency_ms is not None and metrics.latency_ms > max_latency_ms:
        lines.append(f"[Bayes final] Best config latency {fixed(metrics.latency_ms, 1)}ms "
                     f"exceeds limit {fixed(max_latency_ms, 1)}ms {DASH} "
                     "falling back to cartesian search")
        lines.append(f"[Bayes final] No successful evaluations {DASH} falling back to "
                     "cartesian search. Failure reasons: none recorded")
        return Plan(lines, config, metrics, falls_back=True, space=space)
    return Plan(lines, config, metrics, space=space)
