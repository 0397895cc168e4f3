#!/usr/bin/env python3
"""Runs every benchmark in this directory one after another.

    python3 bench/run_all.py            # full sizes (minutes, a 1 GiB file)
    python3 bench/run_all.py --smoke    # small sizes: a check that each runs

Each benchmark prints its own figures and ratios; this fails if any of them
fails to run.  Timings are reported, never asserted.
"""

from __future__ import annotations

import pathlib
import subprocess
import sys


def main() -> int:
    here = pathlib.Path(__file__).resolve().parent
    extra = sys.argv[1:]
    failed = []
    for script in sorted(here.glob("bench_*.py")):
        print(f"== {script.name} {' '.join(extra)}", flush=True)
        if subprocess.run([sys.executable, str(script), *extra]).returncode != 0:
            failed.append(script.name)
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
