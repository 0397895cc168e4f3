#!/usr/bin/env python3
"""How fast and how lean is inspecting a large ONNX model?

Writes an ONNX model of at least 1 GiB with its weights inline (raw_data)
into a temporary directory, then measures in the same run:

  * halvorn.analyze_model(path)
  * onnx.load(path, load_external_data=False), then counting the
    initializer elements and the nodes of the main graph

Each measurement runs in a fresh interpreter that reports the wall time of
the call alone (imports excluded) and the growth of its peak resident set
(VmHWM after minus before).  Prints the medians and the ratios; the file is
deleted afterwards.  The page cache is warm for both tools: the file has
just been written.

    python3 bench/bench_onnx_analyze.py            # 1 GiB, 3 runs each
    python3 bench/bench_onnx_analyze.py --smoke    # 16 MiB, 1 run each
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

MIB = 1 << 20
TARGET_SPEEDUP = 200.0
TARGET_GROWTH_MIB = 32.0

# One measurement, run with `python3 -c` so that nothing of the parent
# process (its imports, its memory) is counted.
MEASURE = r"""
import json, math, sys, time

def hwm_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")

tool, path = sys.argv[1], sys.argv[2]
if tool == "halvorn":
    import halvorn
    def run():
        info = halvorn.analyze_model(path)
        return info["param_count"] or 0, info["layer_count"] or 0
else:
    import onnx
    def run():
        model = onnx.load(path, load_external_data=False)
        elements = sum(math.prod(t.dims) for t in model.graph.initializer)
        return elements, len(model.graph.node)

before = hwm_kib()
start = time.perf_counter()
elements, nodes = run()
seconds = time.perf_counter() - start
after = hwm_kib()
print(json.dumps({"seconds": seconds, "hwm_growth_kib": after - before,
                  "elements": elements, "nodes": nodes}))
"""


def varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def length_delimited(field: int, body_size: int) -> bytes:
    """Tag and length of a length-delimited field whose body follows."""
    return varint((field << 3) | 2) + varint(body_size)


def write_model(path: str, weight_count: int, dim: int) -> tuple[int, int, int]:
    """Writes a chain of MatMul + Add layers whose square float weights are
    stored inline.  Streams the weight bytes, so memory stays small while
    writing.  Returns (file size, initializer elements, nodes)."""
    import onnx
    from onnx import TensorProto, helper

    nodes = []
    for i in range(weight_count):
        nodes.append(helper.make_node("MatMul", [f"h{i}", f"w{i}"], [f"m{i}"]).SerializeToString())
        nodes.append(helper.make_node("Add", [f"m{i}", f"h{i}"], [f"h{i + 1}"]).SerializeToString())
    data_size = dim * dim * 4
    headers = []
    for i in range(weight_count):
        t = TensorProto(name=f"w{i}", data_type=TensorProto.FLOAT, dims=[dim, dim])
        headers.append(t.SerializeToString())
    io = [  # GraphProto.input (11) and output (12)
        (11, helper.make_tensor_value_info("h0", TensorProto.FLOAT, [1, dim])),
        (12, helper.make_tensor_value_info(f"h{weight_count}", TensorProto.FLOAT, [1, dim])),
    ]
    io = [(field, info.SerializeToString()) for field, info in io]
    raw_field = length_delimited(9, data_size)  # TensorProto.raw_data

    def tensor_size(header: bytes) -> int:
        return len(header) + len(raw_field) + data_size

    graph_size = sum(len(length_delimited(1, len(n))) + len(n) for n in nodes)
    graph_size += sum(len(length_delimited(5, tensor_size(h))) + tensor_size(h) for h in headers)
    graph_size += sum(len(length_delimited(f, len(b))) + len(b) for f, b in io)

    prefix = onnx.helper.make_model(
        helper.make_graph([], "", [], []), opset_imports=[helper.make_opsetid("", 18)]
    )
    prefix.ClearField("graph")
    zeros = bytes(min(data_size, 16 * MIB))
    with open(path, "wb") as f:
        f.write(prefix.SerializeToString())
        f.write(length_delimited(7, graph_size))  # ModelProto.graph
        for n in nodes:
            f.write(length_delimited(1, len(n)) + n)
        for h in headers:
            f.write(length_delimited(5, tensor_size(h)) + h + raw_field)
            left = data_size
            while left:
                chunk = min(left, len(zeros))
                f.write(zeros[:chunk])
                left -= chunk
        for field, body in io:
            f.write(length_delimited(field, len(body)) + body)
    return os.path.getsize(path), weight_count * dim * dim, len(nodes)


def measure(tool: str, path: str) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, tool, path],
        check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mib", type=int, default=1024,
                    help="weight bytes to write, in MiB (default 1024)")
    ap.add_argument("--runs", type=int, default=3, help="measurements per tool (default 3)")
    ap.add_argument("--smoke", action="store_true",
                    help="a quick check that everything runs: 16 MiB, one run each")
    args = ap.parse_args(argv)
    if args.smoke:
        args.size_mib, args.runs = 16, 1
    if args.size_mib < 1 or args.runs < 1:
        ap.error("--size-mib and --runs must be at least 1")

    dim = 2048 if args.size_mib >= 64 else 512
    per_weight = dim * dim * 4
    weight_count = max(1, -(-args.size_mib * MIB // per_weight))

    with tempfile.TemporaryDirectory(prefix="halvorn-bench-onnx-") as tmp:
        path = os.path.join(tmp, "large.onnx")
        size, elements, nodes = write_model(path, weight_count, dim)
        print(f"model: {size / MIB:.1f} MiB, {weight_count} initializers of "
              f"[{dim}, {dim}] float, {nodes} nodes")

        results = {"halvorn": [], "onnx": []}
        for _ in range(args.runs):
            for tool in results:
                r = measure(tool, path)
                if (r["elements"], r["nodes"]) != (elements, nodes):
                    print(f"{tool} read {r['elements']} elements / {r['nodes']} nodes, "
                          f"expected {elements} / {nodes}", file=sys.stderr)
                    return 1
                results[tool].append(r)

    med = {t: statistics.median(r["seconds"] for r in rs) for t, rs in results.items()}
    growth = {t: max(r["hwm_growth_kib"] for r in rs) / 1024 for t, rs in results.items()}
    for tool, label in (("halvorn", "analyze_model"), ("onnx", "onnx.load + count")):
        print(f"{label:>18}: {med[tool] * 1e3:10.3f} ms median of {args.runs}, "
              f"peak RSS growth {growth[tool]:8.1f} MiB")
    speedup = med["onnx"] / med["halvorn"] if med["halvorn"] > 0 else float("inf")
    print(f"{'speed-up':>18}: {speedup:.0f}x (target >= {TARGET_SPEEDUP:.0f}x)")
    print(f"{'memory':>18}: analyze_model grows {growth['halvorn']:.1f} MiB "
          f"(target < {TARGET_GROWTH_MIB:.0f} MiB), onnx.load grows {growth['onnx']:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
