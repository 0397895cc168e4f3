#!/usr/bin/env python3
"""How much does planning add on top of looking at the machine?

Every optimize() call detects the hardware (CPUID, /proc, the vendor GPU
tools on PATH); the planning pipeline (model record, four stages, twelve
estimates, the Bayesian proposals, the cache write) comes on top.  This
times, in one process and on the same model:

  * detection alone:                      halvorn.profile_hardware()
  * a planning-only optimize (no cache):  optimize(model, "gguf", use_cache=False)
  * a cache hit:                          optimize(model, "gguf") after a store

and prints the medians and their ratios to detection.  Progress lines go to
/dev/null; llama-quantize is kept off PATH so nothing is re-quantized.

    python3 bench/bench_optimize.py            # 200 calls each
    python3 bench/bench_optimize.py --smoke    # 20 calls each
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

TARGET_OVERHEAD = 0.50  # the pipeline should add less than this share


@contextlib.contextmanager
def stderr_to_devnull():
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def timings(call, repeat: int) -> tuple[float, float]:
    """Best and median wall time of `repeat` calls, in seconds.  The best is
    the least disturbed by other load on the machine."""
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return min(samples), statistics.median(samples)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="few calls, for CI")
    parser.add_argument("--repeat", type=int, default=None)
    args = parser.parse_args()
    repeat = args.repeat or (20 if args.smoke else 200)

    import halvorn

    sample = pathlib.Path(__file__).resolve().parent.parent / "samples" / "tiny-llama.gguf"
    with tempfile.TemporaryDirectory(prefix="halvorn-bench-") as tmp:
        model = os.path.join(tmp, "model.gguf")
        shutil.copyfile(sample, model)
        os.environ["HOME"] = tmp
        # Keep the system's tools (the vendor GPU tools are part of detection)
        # but make sure no re-quantization runs.
        if shutil.which("llama-quantize"):
            print("note: llama-quantize is on PATH; it will be timed too", file=sys.stderr)

        with stderr_to_devnull():
            halvorn.optimize(model, "gguf")  # warm up and store the entry
            detect = timings(halvorn.profile_hardware, repeat)
            plan = timings(lambda: halvorn.optimize(model, "gguf", use_cache=False), repeat)
            hit = timings(lambda: halvorn.optimize(model, "gguf"), repeat)

    print(f"calls per measurement: {repeat}          best      median")
    print(f"detection alone:            {detect[0] * 1e3:8.3f} ms {detect[1] * 1e3:8.3f} ms")
    for name, (best, median) in (("planning-only optimize:", plan), ("cache hit:", hit)):
        print(f"{name:<27} {best * 1e3:8.3f} ms {median * 1e3:8.3f} ms"
              f"   ({best / detect[0]:.2f}x / {median / detect[1]:.2f}x detection)")
    overhead = plan[0] / detect[0] - 1.0
    print(f"pipeline on top of detection (best): {overhead * 100:+.1f} %"
          f"   (target < {TARGET_OVERHEAD * 100:.0f} %)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
