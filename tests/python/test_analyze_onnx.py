"""analyze_model on ONNX files built with the real onnx package, checked
against what onnx itself reads from the same files."""

from __future__ import annotations

import importlib.util
import math
import pathlib
import sys

import numpy as np
import onnx
import pytest
from google.protobuf.descriptor import FieldDescriptor as FD
from onnx import TensorProto, helper, numpy_helper

import halvorn

REPO = pathlib.Path(__file__).resolve().parents[2]


def value_info(name, shape=(1, 4), elem=TensorProto.FLOAT):
    return helper.make_tensor_value_info(name, elem, list(shape))


def weights(name, shape):
    return numpy_helper.from_array(np.zeros(shape, dtype=np.float32), name)


def external(name, shape):
    """An initializer whose data lives in a file that does not exist: its
    dims still count, and nothing may try to read it."""
    t = TensorProto(name=name, data_type=TensorProto.FLOAT, dims=list(shape))
    t.data_location = TensorProto.EXTERNAL
    t.external_data.add(key="location", value="absent-weights.bin")
    return t


def relu_chain(n):
    return [helper.make_node("Relu", [f"t{i}"], [f"t{i + 1}"]) for i in range(n)]


def model(nodes, initializers=(), **graph_kw):
    graph = helper.make_graph(
        nodes, "g", [value_info("t0")], [value_info("out")], list(initializers), **graph_kw
    )
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])


def if_model():
    """Three top-level nodes; the If node's branches hold five more nodes and
    an initializer of their own, none of which count."""
    then_branch = helper.make_graph(relu_chain(3), "then", [], [value_info("t3")])
    else_branch = helper.make_graph(
        relu_chain(2), "else", [], [value_info("t2")], [weights("inner", (7, 7))]
    )
    nodes = [
        helper.make_node("Relu", ["t0"], ["a"]),
        helper.make_node("If", ["cond"], ["b"], then_branch=then_branch, else_branch=else_branch),
        helper.make_node("Add", ["a", "b"], ["out"]),
    ]
    return model(nodes, [weights("w", (4, 4)), weights("bias", (4,))])


def function_and_sparse_model():
    fn = helper.make_function("custom", "Twice", ["a"], ["b"], relu_chain(1) + relu_chain(1),
                              [helper.make_opsetid("", 18)])
    sparse = helper.make_sparse_tensor(
        helper.make_tensor("v", TensorProto.FLOAT, [2], [1.0, 2.0]),
        helper.make_tensor("i", TensorProto.INT64, [2], [0, 5]),
        [1000],
    )
    graph = helper.make_graph(
        [helper.make_node("Twice", ["t0"], ["out"], domain="custom")],
        "g",
        [value_info("t0")],
        [value_info("out")],
        [weights("w", (3,))],
        sparse_initializer=[sparse],
    )
    return helper.make_model(
        graph,
        functions=[fn],
        opset_imports=[helper.make_opsetid("", 18), helper.make_opsetid("custom", 1)],
    )


def typed_data_model():
    """Tensor data in the typed fields (packed floats and int64s, strings,
    doubles) instead of raw_data."""
    return model(relu_chain(1), [
        helper.make_tensor("f", TensorProto.FLOAT, [2, 3], [1, 2, 3, 4, 5, 6]),
        helper.make_tensor("i", TensorProto.INT64, [4], [1, -2, 3, -4]),
        helper.make_tensor("s", TensorProto.STRING, [2], [b"ab", b"cd"]),
        helper.make_tensor("d", TensorProto.DOUBLE, [1], [0.5]),
    ])


# name, model, expected initializer elements, expected top-level nodes
CASES = [
    ("two_initializers",
     lambda: model(relu_chain(2), [weights("w", (4, 4)), weights("b", (4,))]), 20, 2),
    ("if_subgraph", if_model, 20, 3),
    ("no_initializers", lambda: model(relu_chain(5)), 0, 5),
    ("scalar_and_empty",
     lambda: model(relu_chain(1), [weights("s", ()), weights("e", (0, 10))]), 1, 1),
    ("external_data",
     lambda: model(relu_chain(1), [external("w", (4096, 4096)), external("b", (4096,))]),
     16781312, 1),
    ("function_and_sparse", function_and_sparse_model, 3, 1),
    ("typed_data_fields", typed_data_model, 13, 1),
    ("empty_graph", lambda: helper.make_model(helper.make_graph([], "g", [], [])), 0, 0),
]


def counts_according_to_onnx(path):
    m = onnx.load(str(path), load_external_data=False)
    elements = sum(math.prod(t.dims) for t in m.graph.initializer)
    return elements, len(m.graph.node)


@pytest.mark.parametrize("name,build,elements,nodes", CASES, ids=[c[0] for c in CASES])
def test_counts_match_onnx(tmp_path, name, build, elements, nodes):
    path = tmp_path / f"{name}.onnx"
    onnx.save(build(), str(path))
    assert counts_according_to_onnx(path) == (elements, nodes)

    info = halvorn.analyze_model(str(path))

    assert info["format"] == "onnx"
    assert info["param_count"] == (elements or None)
    assert info["layer_count"] == (nodes or None)
    if elements:
        assert info["flops_per_token"] == float(elements + elements)
        assert info["memory_footprint_mb"] == (elements + elements) * 2.0**-20
    else:
        assert info["flops_per_token"] is None
        assert info["memory_footprint_mb"] is None
    for key in ("architecture", "context_length", "hidden_size", "attention_head_count",
                "attention_head_count_kv", "feed_forward_length", "kv_cache_size_mb"):
        assert info[key] is None, key


def test_duplicate_graph_fields_merge_as_onnx_reads_them(tmp_path):
    first = model(relu_chain(2), [weights("w", (2, 3))])
    second = model(relu_chain(1), [weights("v", (5,))])
    graph = second.graph.SerializeToString()
    data = first.SerializeToString() + b"\x3a" + _varint(len(graph)) + graph  # field 7 again
    path = tmp_path / "twice.onnx"
    path.write_bytes(data)
    assert counts_according_to_onnx(path) == (11, 3)

    info = halvorn.analyze_model(str(path))
    assert (info["param_count"], info["layer_count"]) == (11, 3)


def test_empty_file_is_a_model_without_graph(tmp_path):
    path = tmp_path / "empty.onnx"
    path.write_bytes(b"")
    info = halvorn.analyze_model(str(path))
    assert info["format"] == "onnx"
    assert all(v is None for k, v in info.items() if k != "format")


def test_uppercase_extension_reads_onnx(tmp_path):
    path = tmp_path / "model.ONNX"
    onnx.save(model(relu_chain(2)), str(path))
    assert halvorn.analyze_model(str(path))["layer_count"] == 2


@pytest.mark.parametrize(
    "name,content,message",
    [
        ("gguf_bytes", b"GGUF\x03\x00\x00\x00" + bytes(16),
         "decode ONNX protobuf: invalid wire type 7 at byte 0"),
        ("cut_in_the_middle", None, "decode ONNX protobuf: "),
        # onnx itself lets this through; a string field must be UTF-8 here.
        ("bad_utf8_name", b"\x12\x02\xc3\x28",
         "decode ONNX protobuf: string field ModelProto.producer_name (2) at byte 0 "
         "is not valid UTF-8"),
    ],
)
def test_damaged_files_fail(tmp_path, name, content, message):
    if content is None:
        whole = model(relu_chain(3), [weights("w", (8, 8))]).SerializeToString()
        content = whole[: len(whole) // 2]
    path = tmp_path / f"{name}.onnx"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as err:
        halvorn.analyze_model(str(path))
    assert str(err.value).startswith(message)


def test_missing_file_names_the_path(tmp_path):
    path = tmp_path / "nowhere.onnx"
    with pytest.raises(RuntimeError) as err:
        halvorn.analyze_model(str(path))
    assert str(err.value) == f"read ONNX file: {path}: No such file or directory"


def test_schema_table_matches_onnx_descriptors():
    """The field table generator, run over the vendored schema, must agree
    with the descriptors compiled into the onnx package field by field."""
    found = importlib.util.spec_from_file_location(
        "gen_onnx_fields", REPO / "tools" / "gen_onnx_fields.py")
    gen = importlib.util.module_from_spec(found)
    sys.modules[found.name] = gen  # its dataclasses look their module up there
    try:
        found.loader.exec_module(gen)
    finally:
        del sys.modules[found.name]
    schema = gen.Parser(gen.tokenize((REPO / "third_party/onnx/onnx.proto").read_text())).parse()
    gen.check(schema)

    ours = {}
    for message in schema.messages:
        for f in message.fields:
            kind = gen.field_kind(schema, f)
            ours[(message.full_name, f.number)] = (
                f.name, kind, f.label == "repeated", gen.is_packed(schema, f, kind),
                f.resolved if kind == "Message" else None,
            )

    kinds = {FD.TYPE_STRING: "String", FD.TYPE_BYTES: "Bytes", FD.TYPE_MESSAGE: "Message",
             FD.TYPE_FLOAT: "Fixed32", FD.TYPE_FIXED32: "Fixed32", FD.TYPE_SFIXED32: "Fixed32",
             FD.TYPE_DOUBLE: "Fixed64", FD.TYPE_FIXED64: "Fixed64", FD.TYPE_SFIXED64: "Fixed64"}
    theirs = {}

    def walk(desc, prefix):
        name = prefix + desc.name
        for f in desc.fields:
            kind = kinds.get(f.type, "Varint")
            theirs[(name, f.number)] = (
                f.name, kind, _is_repeated(f), _is_packed(f),
                f.message_type.full_name.removeprefix("onnx.") if kind == "Message" else None,
            )
        for nested in desc.nested_types:
            walk(nested, name + ".")

    for desc in onnx.ModelProto.DESCRIPTOR.file.message_types_by_name.values():
        walk(desc, "")
    assert ours == theirs


def _varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _is_repeated(f):
    # Newer protobuf releases drop `label` in favour of `is_repeated`.
    return f.is_repeated if hasattr(f, "is_repeated") else f.label == FD.LABEL_REPEATED


def _is_packed(f):
    return f.is_packed if hasattr(f, "is_packed") else f.GetOptions().packed
