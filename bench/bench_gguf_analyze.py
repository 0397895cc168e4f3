"""Inspection of a GGUF file whose key/value section is the size of a current
8B model's (128,256-token vocabulary with scores and token types, about
280,000 merges): halvorn.analyze_model against gguf.GGUFReader reading the
same fields, and against a plain sequential read of the key/value bytes, the
floor for any reader that looks at every byte.  All three run in this one
process on the same warm file; peak resident memory is taken from a fresh
interpreter per tool.

    PYTHONPATH=<build>/python:python python3 bench/bench_gguf_analyze.py
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import time

VOCAB = 128_256
MERGES = 280_147

SHAPE = {
    "llama.block_count": 32,
    "llama.context_length": 131072,
    "llama.embedding_length": 4096,
    "llama.feed_forward_length": 14336,
    "llama.attention.head_count": 32,
    "llama.attention.head_count_kv": 8,
}


def gstr(text: bytes) -> bytes:
    return struct.pack("<Q", len(text)) + text


def write_fixture(path: str, vocab: int = VOCAB, merge_count: int = MERGES) -> int:
    """Writes the file and returns the offset where its key/value section
    ends.  Token texts have realistic lengths (mostly 2-10 bytes, some
    multibyte), merges are pairs of them."""
    rng = random.Random(8)
    letters = "abcdefghijklmnopqrstuvwxyzĠĊé"
    tokens = [f"<|reserved_{i}|>".encode() for i in range(256)]
    while len(tokens) < vocab:
        tokens.append("".join(rng.choice(letters) for _ in range(rng.randint(1, 10))).encode())
    merges = [tokens[rng.randrange(256, vocab)][:6] + b" " + tokens[rng.randrange(256, vocab)][:6] for _ in range(merge_count)]

    kv = []
    kv.append(gstr(b"general.architecture") + struct.pack("<I", 8) + gstr(b"llama"))
    kv.append(gstr(b"general.name") + struct.pack("<I", 8) + gstr(b"Bench 8B Instruct"))
    for key, value in SHAPE.items():
        kv.append(gstr(key.encode()) + struct.pack("<II", 4, value))
    kv.append(gstr(b"llama.rope.freq_base") + struct.pack("<If", 6, 500000.0))
    kv.append(gstr(b"tokenizer.ggml.model") + struct.pack("<I", 8) + gstr(b"gpt2"))
    kv.append(gstr(b"tokenizer.ggml.tokens") + struct.pack("<IIQ", 9, 8, vocab) + b"".join(gstr(t) for t in tokens))
    kv.append(gstr(b"tokenizer.ggml.scores") + struct.pack("<IIQ", 9, 6, vocab) + bytes(4 * vocab))
    kv.append(gstr(b"tokenizer.ggml.token_type") + struct.pack("<IIQ", 9, 5, vocab) + struct.pack("<i", 1) * vocab)
    kv.append(gstr(b"tokenizer.ggml.merges") + struct.pack("<IIQ", 9, 8, merge_count) + b"".join(gstr(m) for m in merges))
    kv.append(gstr(b"tokenizer.chat_template") + struct.pack("<I", 8) + gstr(b"{% for m in messages %}{{ m }}{% endfor %}" * 20))

    # One small tensor, so that the tensor-info section and data exist.
    tensor_info = gstr(b"token_embd.weight") + struct.pack("<I", 2) + struct.pack("<QQ", 64, 4) + struct.pack("<IQ", 0, 0)
    body = b"GGUF" + struct.pack("<IQQ", 3, 1, len(kv)) + b"".join(kv)
    kv_end = len(body)
    body += tensor_info
    body += bytes(-len(body) % 32) + bytes(64 * 4 * 4)
    with open(path, "wb") as f:
        f.write(body)
    return kv_end


def halvorn_read(path):
    import halvorn

    return halvorn.analyze_model(path)


def gguf_read(path):
    import gguf

    reader = gguf.GGUFReader(path)

    def value(key):
        field = reader.fields.get(key)
        return None if field is None else field.contents()

    out = {key: value(key) for key in ["general.architecture", "general.parameter_count", *SHAPE]}
    out["vocab"] = len(reader.fields["tokenizer.ggml.tokens"].data)
    return out


def floor_read(path, kv_end):
    """Every key/value byte into one buffer, 1 MiB per read call."""
    buf = bytearray(kv_end)
    view = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        got = 0
        while got < kv_end:
            n = f.readinto(view[got : min(got + (1 << 20), kv_end)])
            if not n:
                break
            got += n
    return got


def timed(fn, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return min(samples), statistics.median(samples)


PEAK_SNIPPET = """
import sys
sys.path[:0] = {paths!r}
import bench_gguf_analyze as b
{setup}
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
before = peak()
{call}
print(before, peak())
"""


def peak_rss_kib(setup: str, call: str) -> tuple[int, int]:
    """(peak after imports, peak after the call) of a fresh interpreter."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = PEAK_SNIPPET.format(paths=[here], setup=setup, call=call)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=os.environ)
    before, after = out.stdout.split()
    return int(before), int(after)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=30, help="runs of analyze_model and of the floor")
    parser.add_argument("--gguf-repeat", type=int, default=3, help="runs of GGUFReader")
    parser.add_argument("--smoke", action="store_true", help="a tenth of the vocabulary, one run each (CI)")
    args = parser.parse_args()
    vocab, merge_count = (VOCAB // 10, MERGES // 10) if args.smoke else (VOCAB, MERGES)
    if args.smoke:
        args.repeat = args.gguf_repeat = 1

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench-8b.gguf")
        kv_end = write_fixture(path, vocab, merge_count)
        ours = halvorn_read(path)
        theirs = gguf_read(path)
        assert ours["architecture"] == theirs["general.architecture"] == "llama"
        assert ours["layer_count"] == theirs["llama.block_count"]
        assert ours["feed_forward_length"] == theirs["llama.feed_forward_length"]
        assert theirs["vocab"] == vocab

        floor_read(path, kv_end)  # warm the page cache
        t_ours = timed(lambda: halvorn_read(path), args.repeat)
        t_floor = timed(lambda: floor_read(path, kv_end), args.repeat)
        t_gguf = timed(lambda: gguf_read(path), args.gguf_repeat)

        rss_ours = peak_rss_kib("import halvorn", f"halvorn.analyze_model({path!r})")
        rss_gguf = peak_rss_kib("import gguf", f"b.gguf_read({path!r})")
        rss_floor = peak_rss_kib("", f"b.floor_read({path!r}, {kv_end})")

    ms = lambda s: f"{s * 1e3:9.2f} ms"
    print(f"key/value section: {kv_end / 2**20:.1f} MiB, {vocab} tokens, {merge_count} merges")
    print(f"{'':24}{'best':>12}{'median':>12}{'peak RSS':>14}{'(+call)':>12}")
    for name, (best, median), (before, after) in [
        ("analyze_model", t_ours, rss_ours),
        ("gguf.GGUFReader", t_gguf, rss_gguf),
        ("sequential read (floor)", t_floor, rss_floor),
    ]:
        print(f"{name:24}{ms(best):>12}{ms(median):>12}{after / 1024:11.1f} MiB{(after - before) / 1024:9.1f} MiB")
    print(f"GGUFReader / analyze_model: {t_gguf[1] / t_ours[1]:.0f}x (median), {t_gguf[0] / t_ours[0]:.0f}x (best)")
    print(f"analyze_model / floor:      {t_ours[1] / t_floor[1]:.2f}x (median), {t_ours[0] / t_floor[0]:.2f}x (best)")
    print(json.dumps({"ours_ms": t_ours[1] * 1e3, "gguf_ms": t_gguf[1] * 1e3, "floor_ms": t_floor[1] * 1e3}))


if __name__ == "__main__":
    main()
