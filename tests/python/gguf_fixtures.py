"""Small GGUF files written by hand, and the keys analyze_model returns."""

from __future__ import annotations

import struct

ANALYZE_KEYS = [
    "format",
    "param_count",
    "architecture",
    "context_length",
    "layer_count",
    "hidden_size",
    "attention_head_count",
    "attention_head_count_kv",
    "feed_forward_length",
    "kv_cache_size_mb",
    "memory_footprint_mb",
    "flops_per_token",
]

GGUF_STRING, GGUF_UINT64 = 8, 10


def gguf_bytes(metadata: dict) -> bytes:
    """A GGUF v3 file with no tensors: str values as strings, ints as
    unsigned 64-bit numbers."""

    def text(value: str) -> bytes:
        data = value.encode()
        return struct.pack("<Q", len(data)) + data

    out = b"GGUF" + struct.pack("<IQQ", 3, 0, len(metadata))
    for key, value in metadata.items():
        out += text(key)
        if isinstance(value, str):
            out += struct.pack("<I", GGUF_STRING) + text(value)
        else:
            out += struct.pack("<IQ", GGUF_UINT64, value)
    return out
