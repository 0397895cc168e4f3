"""analyze_model on GGUF files written with the real gguf package, checked
against what gguf.GGUFReader reads from the same files, and on hand-written
damaged files."""

from __future__ import annotations

import struct

import gguf
import numpy as np
import pytest

import halvorn
from gguf_fixtures import ANALYZE_KEYS



def write_with_gguf(path, arch, fill, endianess=gguf.GGUFEndian.LITTLE, tensors=()):
    writer = gguf.GGUFWriter(str(path), arch, endianess=endianess)
    fill(writer)
    for name, array in tensors:
        writer.add_tensor(name, array)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return path


def every_kind_of_value(w):
    """Values of every type and shape the format has, placed before and
    between the keys that matter so that any misstep in passing over them
    shows up as a wrong figure."""
    w.add_uint8("x.u8", 200)
    w.add_int8("x.i8", -5)
    w.add_uint16("x.u16", 65000)
    w.add_int16("x.i16", -300)
    w.add_uint32("x.u32", 4000000000)
    w.add_int32("x.i32", -70000)
    w.add_float32("x.f32", 1.5)
    w.add_bool("x.bool", True)
    w.add_string("x.str", "héllo wörld")
    w.add_uint64("x.u64", 2**63 + 1)
    w.add_int64("x.i64", -(2**40))
    w.add_float64("x.f64", 2.25)
    w.add_array("x.nested", [[1, 2, 3], [4], [5, 6]])
    w.add_array("x.strings_nested", [["a", "bc"], ["", "déf"]])
    w.add_block_count(22)
    w.add_array("x.floats", [0.5] * 17)
    w.add_context_length(2048)
    w.add_embedding_length(2048)
    w.add_token_list(["<unk>", "<s>", "</s>"] + [f"t{i}" for i in range(997)])
    w.add_token_scores([0.0] * 1000)
    w.add_token_types([1] * 1000)
    w.add_token_merges(["t 1", "t 2", "▁ t"])
    w.add_head_count(32)
    w.add_head_count_kv(4)
    w.add_feed_forward_length(5632)
    w.add_string("general.name", "tiny")


def field(reader, key):
    return reader.fields[key].contents()


def test_matches_gguf_reader_on_every_value_type(tmp_path):
    path = write_with_gguf(
        tmp_path / "every.gguf",
        "llama",
        every_kind_of_value,
        tensors=[("token_embd.weight", np.ones((8, 4), dtype=np.float32))],
    )
    reader = gguf.GGUFReader(str(path))
    got = halvorn.analyze_model(str(path))
    assert list(got) == ANALYZE_KEYS
    assert got["format"] == "gguf"
    assert got["architecture"] == field(reader, "general.architecture")
    assert got["layer_count"] == field(reader, "llama.block_count")
    assert got["context_length"] == field(reader, "llama.context_length")
    assert got["hidden_size"] == field(reader, "llama.embedding_length")
    assert got["attention_head_count"] == field(reader, "llama.attention.head_count")
    assert got["attention_head_count_kv"] == field(reader, "llama.attention.head_count_kv")
    assert got["feed_forward_length"] == field(reader, "llama.feed_forward_length")
    # 2 (K and V) x 22 blocks x 4 KV heads x 64 wide x 2048 positions x 2 bytes
    assert got["kv_cache_size_mb"] == 44.0
    # No stated count: the estimate, with the vocabulary the file lists.
    assert isinstance(got["param_count"], int) and got["param_count"] > 0
    p = float(got["param_count"])
    assert got["flops_per_token"] == p + p
    assert got["memory_footprint_mb"] == (p + p) * 2.0**-20


def test_vocabulary_feeds_the_estimate(tmp_path):
    def shape(w, tokens):
        w.add_block_count(2)
        w.add_embedding_length(64)
        if tokens:
            w.add_token_list([f"t{i}" for i in range(tokens)])

    without = halvorn.analyze_model(str(write_with_gguf(tmp_path / "a.gguf", "llama", lambda w: shape(w, 0))))
    with_vocab = halvorn.analyze_model(str(write_with_gguf(tmp_path / "b.gguf", "llama", lambda w: shape(w, 500))))
    assert with_vocab["param_count"] - without["param_count"] == 500 * 64


def test_stated_parameter_count(tmp_path):
    def fill(w):
        w.add_uint64("general.parameter_count", 7_000_000_000)
        w.add_block_count(32)
        w.add_embedding_length(4096)

    got = halvorn.analyze_model(str(write_with_gguf(tmp_path / "m.gguf", "llama", fill)))
    assert got["param_count"] == 7_000_000_000
    assert got["memory_footprint_mb"] == 13351.4404296875
    assert got["flops_per_token"] == 14_000_000_000.0


def test_first_and_last_wins_across_prefixes(tmp_path):
    def fill(w):
        w.add_uint32("llama.block_count", 32)
        w.add_uint32("llama.attention.head_count", 32)
        w.add_uint32("clip.vision.block_count", 24)
        w.add_uint32("clip.vision.attention.head_count", 16)
        w.add_int16("llama.context_length", -1)

    got = halvorn.analyze_model(str(write_with_gguf(tmp_path / "mm.gguf", "llama", fill)))
    assert got["layer_count"] == 32
    assert got["attention_head_count"] == 16
    # -1 sign-extended to 2^64 - 1, then narrowed to its low 32 bits.
    assert got["context_length"] == 2**32 - 1


def test_big_endian_file_is_refused(tmp_path):
    path = write_with_gguf(tmp_path / "be.gguf", "llama", lambda w: w.add_block_count(2), gguf.GGUFEndian.BIG)
    with pytest.raises(RuntimeError) as err:
        halvorn.analyze_model(str(path))
    assert str(err.value) == "unsupported GGUF version 50331648; expected 1\u20133"


# --- hand-written files -------------------------------------------------


def gstr(text: bytes) -> bytes:
    return struct.pack("<Q", len(text)) + text


def header(kv_count, version=3, tensors=0):
    return b"GGUF" + struct.pack("<IQQ", version, tensors, kv_count)


def kv_u32(key: bytes, value: int) -> bytes:
    return gstr(key) + struct.pack("<II", 4, value)


@pytest.mark.parametrize("version", [1, 2, 3])
def test_all_versions_share_one_layout(tmp_path, version):
    path = tmp_path / "v.gguf"
    path.write_bytes(header(2, version) + kv_u32(b"llama.block_count", 5) + kv_u32(b"llama.embedding_length", 8))
    got = halvorn.analyze_model(str(path))
    assert (got["layer_count"], got["hidden_size"]) == (5, 8)


def test_no_architecture_gives_twelve_keys(tmp_path):
    path = tmp_path / "bare.gguf"
    path.write_bytes(header(0))
    got = halvorn.analyze_model(str(path))
    assert list(got) == ANALYZE_KEYS
    assert got == dict.fromkeys(ANALYZE_KEYS) | {"format": "gguf"}


def test_upper_case_extension_reads_gguf(tmp_path):
    path = tmp_path / "model.GGUF"
    path.write_bytes(header(1) + kv_u32(b"llama.block_count", 3))
    assert halvorn.analyze_model(str(path))["layer_count"] == 3


DAMAGED = [
    ("short", b"GG", "read GGUF magic: failed to fill whole buffer"),
    ("zip", b"PK\x03\x04" + b"\0" * 20, "not a GGUF file (bad magic: [80, 75, 3, 4])"),
    ("version_4", header(0, 4), "unsupported GGUF version 4; expected 1\u20133"),
    ("kv_count_cut", b"GGUF" + struct.pack("<IQ", 3, 0) + b"\1\0", "read kv_count: failed to fill whole buffer"),
    (
        "type_13",
        header(1) + gstr(b"llama.block_count") + struct.pack("<I", 13),
        "unknown value type 13 for key 'llama.block_count'",
    ),
    (
        "param_count_float",
        header(1) + gstr(b"general.parameter_count") + struct.pack("<If", 6, 7e9),
        "read general.parameter_count (type=Float32): cannot coerce value type Float32 to u64",
    ),
    (
        "tokens_cut",
        header(1) + gstr(b"tokenizer.ggml.tokens") + struct.pack("<IIQ", 9, 8, 3) + gstr(b"a") + b"\5\0",
        "skip key 'tokenizer.ggml.tokens': skip array element: string length in skip: failed to fill whole buffer",
    ),
    (
        "key_longer_than_file",
        header(1) + struct.pack("<Q", 2**62) + b"abc",
        "read KV key: failed to fill whole buffer",
    ),
    (
        "array_count_near_2_64",
        header(1) + gstr(b"x.y") + struct.pack("<IIQ", 9, 10, 2**64 - 1),
        "skip key 'x.y': skip array element: seek past scalar value: Invalid argument",
    ),
    (
        "nesting_too_deep",
        header(1) + gstr(b"k") + struct.pack("<I", 9) + struct.pack("<IQ", 9, 1) * 200,
        "skip key 'k': " + "skip array element: " * 64 + "array nesting deeper than 64 levels",
    ),
]


@pytest.mark.parametrize("content,message", [c[1:] for c in DAMAGED], ids=[c[0] for c in DAMAGED])
def test_damaged_files(tmp_path, content, message):
    path = tmp_path / "bad.gguf"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as err:
        halvorn.analyze_model(str(path))
    assert str(err.value) == message


@pytest.mark.parametrize(
    "name,message",
    [
        ("model.gguf.bak", "unrecognised model file extension '.bak'; expected '.gguf' or '.onnx'"),
        ("model", "unrecognised model file extension '.'; expected '.gguf' or '.onnx'"),
        (".gguf", "unrecognised model file extension '.'; expected '.gguf' or '.onnx'"),
    ],
)
def test_extension_refused_before_opening(tmp_path, name, message):
    with pytest.raises(RuntimeError) as err:
        halvorn.analyze_model(str(tmp_path / name))  # none of these exist
    assert str(err.value) == message


def test_missing_file(tmp_path):
    path = str(tmp_path / "absent.gguf")
    with pytest.raises(RuntimeError) as err:
        halvorn.analyze_model(path)
    assert str(err.value) == f"open GGUF file: {path}: No such file or directory"
