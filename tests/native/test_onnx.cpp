// The ONNX reader over hand-built Protocol Buffers bytes: what it counts,
// what it refuses, and the file handling around it.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "model-ir/onnx/onnx_reader.hpp"

namespace halvorn {
namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

// A few bytes of protobuf at a time.  Field numbers below are those of
// onnx.proto: ModelProto.graph 7, GraphProto.node 1 / initializer 5 /
// sparse_initializer 15 / input 11, TensorProto.dims 1 / raw_data 9 /
// name 8, NodeProto.input 1 / op_type 4 / attribute 5, AttributeProto.g 6.
class Pb {
 public:
  Pb& tag(std::uint32_t field, std::uint32_t wire_type) {
    return raw_varint((static_cast<std::uint64_t>(field) << 3) | wire_type);
  }
  Pb& raw_varint(std::uint64_t v) {
    while (v >= 0x80) {
      bytes_.push_back(static_cast<char>((v & 0x7F) | 0x80));
      v >>= 7;
    }
    bytes_.push_back(static_cast<char>(v));
    return *this;
  }
  Pb& varint(std::uint32_t field, std::uint64_t v) { return tag(field, 0).raw_varint(v); }
  Pb& fixed32(std::uint32_t field, std::uint32_t v) {
    tag(field, 5);
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Pb& fixed64(std::uint32_t field, std::uint64_t v) {
    tag(field, 1);
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Pb& len(std::uint32_t field, std::string_view payload) {
    tag(field, 2).raw_varint(payload.size());
    bytes_.append(payload);
    return *this;
  }
  Pb& msg(std::uint32_t field, const Pb& inner) { return len(field, inner.bytes_); }
  Pb& packed(std::uint32_t field, const std::vector<std::uint64_t>& values) {
    Pb body;
    for (std::uint64_t v : values) body.raw_varint(v);
    return msg(field, body);
  }
  Pb& raw(std::string_view b) {
    bytes_.append(b);
    return *this;
  }
  const std::string& str() const { return bytes_; }

 private:
  std::string bytes_;
};

Pb tensor(const std::vector<std::int64_t>& dims) {
  Pb t;
  for (std::int64_t d : dims) t.varint(1, static_cast<std::uint64_t>(d));
  return t.len(8, "w");
}

Pb node(std::string_view op = "Relu") { return Pb().len(1, "x").len(4, op); }

Pb model_with_graph(const Pb& graph) { return Pb().varint(1, 9).msg(7, graph); }

// A ModelProto whose innermost message sits at nesting `depth` (>= 3):
// graph (1) -> input ValueInfoProto (2) -> TypeProto (3) -> Sequence (4)
// -> TypeProto (5) -> ... alternating.
std::string nested_to_depth(int depth) {
  Pb inner;
  for (int level = depth; level > 3; --level) {
    const bool parent_is_type = (level - 1) % 2 == 1;
    Pb parent;
    parent.msg(parent_is_type ? 4 : 1, inner);  // sequence_type / elem_type
    inner = parent;
  }
  const Pb value_info = Pb().len(1, "x").msg(2, inner);
  return model_with_graph(Pb().msg(11, value_info)).str();
}

// Unknown groups nested `levels` deep directly inside ModelProto.
std::string nested_groups(int levels) {
  Pb p;
  for (int i = 0; i < levels; ++i) p.tag(100 + static_cast<std::uint32_t>(i), 3);
  p.varint(1, 5);
  for (int i = levels - 1; i >= 0; --i) p.tag(100 + static_cast<std::uint32_t>(i), 4);
  return p.str();
}

struct CountCase {
  std::string name;
  std::string bytes;
  bool has_graph;
  std::uint64_t elements;
  std::uint64_t nodes;
};

std::ostream& operator<<(std::ostream& os, const CountCase& c) { return os << c.name; }

std::vector<CountCase> count_cases() {
  Pb subgraph;
  for (int i = 0; i < 5; ++i) subgraph.msg(1, node());
  const Pb if_node = node("If").msg(5, Pb().len(1, "then_branch").msg(6, subgraph).varint(20, 5));
  const Pb packed_dims = Pb().packed(1, {4096, 4096}).len(8, "w");
  const Pb split_dims = Pb().varint(1, 2).packed(1, {3, 5}).varint(1, 7);
  const Pb sparse = Pb().msg(1, tensor({100})).msg(2, tensor({100})).packed(3, {1000, 1000});
  const std::string gguf_like_raw = std::string("GGUF\xff\xfe\x00", 7);
  const std::uint64_t two_63 = std::uint64_t{1} << 63;

  return {
      {"EmptyFileIsEmptyModel", "", false, 0, 0},
      {"ModelWithoutGraph", Pb().varint(1, 9).len(2, "tool").str(), false, 0, 0},
      {"EmptyGraphIsStillAGraph", Pb().len(7, "").str(), true, 0, 0},
      {"GraphWithoutInitializers", model_with_graph(Pb().msg(1, node()).msg(1, node())).str(),
       true, 0, 2},
      {"ElementsAreSummedOverInitializers",
       model_with_graph(Pb().msg(5, tensor({4096, 4096})).msg(5, tensor({4096}))).str(), true,
       16781312, 0},
      {"ZeroDimensionCountsNothingScalarCountsOne",
       model_with_graph(Pb().msg(5, tensor({0, 10})).msg(5, tensor({}))).str(), true, 1, 0},
      {"PackedDims", model_with_graph(Pb().msg(5, packed_dims)).str(), true, 16777216, 0},
      {"DimsSplitOverPackedAndUnpackedRuns", model_with_graph(Pb().msg(5, split_dims)).str(),
       true, 210, 0},
      {"NegativeDimensionSaturates",
       model_with_graph(Pb().msg(5, tensor({-1})).msg(5, tensor({4}))).str(), true, kMax, 0},
      {"SaturatedProductFallsToZeroOnZeroDim",
       model_with_graph(Pb().msg(5, tensor({-1, 2, 0})).msg(5, tensor({3}))).str(), true, 3, 0},
      {"SumSaturates",
       model_with_graph(Pb().msg(5, tensor({static_cast<std::int64_t>(two_63 - 1), 1}))
                            .msg(5, tensor({2}))
                            .msg(5, tensor({static_cast<std::int64_t>(two_63)}))
                            .msg(5, tensor({0})))
           .str(),
       true, kMax, 0},
      {"SubgraphNodesAreNotCounted",
       model_with_graph(Pb().msg(1, node()).msg(1, if_node).msg(1, node())).str(), true, 0, 3},
      {"SubgraphInitializersAreNotCounted",
       model_with_graph(
           Pb().msg(1, node("If").msg(5, Pb().len(1, "g").msg(6, Pb().msg(5, tensor({9}))))))
           .str(),
       true, 0, 1},
      {"SparseInitializersAreNotCounted",
       model_with_graph(Pb().msg(15, sparse).msg(5, tensor({2}))).str(), true, 2, 0},
      {"FunctionAndTrainingGraphsAreNotCounted",
       Pb().msg(25, Pb().len(1, "f").msg(7, node()).msg(7, node()))
           .msg(20, Pb().msg(1, Pb().msg(1, node()).msg(5, tensor({8}))))
           .msg(7, Pb().msg(1, node()))
           .str(),
       true, 0, 1},
      {"DuplicateGraphFieldsMerge",
       Pb().msg(7, Pb().msg(1, node()).msg(5, tensor({2, 3})))
           .varint(1, 9)
           .msg(7, Pb().msg(1, node()).msg(5, tensor({4})))
           .str(),
       true, 10, 2},
      {"BytesFieldsAreNotCheckedAsText",
       model_with_graph(Pb().msg(5, tensor({2}).len(9, gguf_like_raw))).str(), true, 2, 0},
      {"UnknownFieldsOfEveryWireTypeAreSkipped",
       Pb().varint(99, 1)
           .fixed64(98, 2)
           .fixed32(97, 3)
           .len(96, "\xff\xff")
           .tag(95, 3).varint(1, 1).len(2, "\xff").tag(94, 3).tag(94, 4).tag(95, 4)
           .msg(7, Pb().varint(50, 1)
                       .msg(1, node().fixed32(60, 0))
                       .msg(5, tensor({6}).fixed64(61, 0)))
           .str(),
       true, 6, 1},
      {"UnknownEnumValueIsAccepted",
       model_with_graph(Pb().msg(5, tensor({5}).varint(2, 12345).varint(14, 77))).str(), true, 5,
       0},
      {"FixedWidthFieldsPackedAndUnpacked",
       model_with_graph(Pb().msg(5, tensor({2}).fixed32(4, 0).len(4, std::string(8, '\0'))
                                        .fixed64(10, 0).len(10, std::string(16, '\0'))))
           .str(),
       true, 2, 0},
      {"NestingAtDepth100", nested_to_depth(100), true, 0, 0},
      {"GroupsNestedTo100", nested_groups(100), false, 0, 0},
  };
}

class OnnxCounts : public testing::TestWithParam<CountCase> {};

TEST_P(OnnxCounts, Decodes) {
  const CountCase& c = GetParam();
  const auto summary = decode_onnx_model(c.bytes);
  ASSERT_TRUE(summary.has_value()) << summary.error().text();
  EXPECT_EQ(summary->has_graph, c.has_graph);
  EXPECT_EQ(summary->initializer_elements, c.elements);
  EXPECT_EQ(summary->node_count, c.nodes);
}

INSTANTIATE_TEST_SUITE_P(Onnx, OnnxCounts, testing::ValuesIn(count_cases()),
                         [](const auto& info) { return info.param.name; });

struct ErrorCase {
  std::string name;
  std::string bytes;
  std::string text;  // after "decode ONNX protobuf: "
};

std::ostream& operator<<(std::ostream& os, const ErrorCase& c) { return os << c.name; }

std::vector<ErrorCase> error_cases() {
  const std::string gguf = std::string("GGUF\x03\x00\x00\x00", 8) + std::string(16, '\0');
  return {
      {"GgufBytes", gguf, "invalid wire type 7 at byte 0"},
      {"WireType6", Pb().tag(1, 6).str(), "invalid wire type 6 at byte 0"},
      {"FieldNumberZero", Pb().varint(1, 9).tag(0, 0).raw_varint(1).str(),
       "invalid field number 0 at byte 2"},
      {"FieldNumberTooLarge", Pb().tag(536870912, 0).raw_varint(1).str(),
       "invalid field number 536870912 at byte 0"},
      {"MessageFieldAsVarint", Pb().varint(7, 1).str(),
       "field ModelProto.graph (7) at byte 0 has wire type 0 (varint), expected "
       "length-delimited"},
      {"RepeatedMessageAsFixed32", model_with_graph(Pb().fixed32(1, 0)).str(),
       "field GraphProto.node (1) at byte 4 has wire type 5 (fixed32), expected "
       "length-delimited"},
      {"DimsAsFixed64", model_with_graph(Pb().msg(5, Pb().fixed64(1, 1))).str(),
       "field TensorProto.dims (1) at byte 6 has wire type 1 (fixed64), expected varint or "
       "length-delimited"},
      {"StringAsVarint", Pb().varint(2, 1).str(),
       "field ModelProto.producer_name (2) at byte 0 has wire type 0 (varint), expected "
       "length-delimited"},
      {"SingularVarintPacked", Pb().len(1, "\x09").str(),
       "field ModelProto.ir_version (1) at byte 0 has wire type 2 (length-delimited), "
       "expected varint"},
      {"KnownFieldAsGroup", Pb().tag(7, 3).tag(7, 4).str(),
       "field ModelProto.graph (7) at byte 0 has wire type 3 (start-group), expected "
       "length-delimited"},
      {"KnownFieldAsEndGroup", Pb().tag(1, 4).str(),
       "field ModelProto.ir_version (1) at byte 0 has wire type 4 (end-group), expected "
       "varint"},
      {"FloatAsVarint", model_with_graph(Pb().msg(5, Pb().varint(4, 1))).str(),
       "field TensorProto.float_data (4) at byte 6 has wire type 0 (varint), expected fixed32 "
       "or length-delimited"},
      {"InvalidUtf8String", Pb().len(2, "ok\xc3").str(),
       "string field ModelProto.producer_name (2) at byte 0 is not valid UTF-8"},
      {"InvalidUtf8RepeatedString",  // a UTF-16 surrogate spelled in UTF-8
       model_with_graph(Pb().msg(1, Pb().len(1, "a").len(1, "\xed\xa0\x80"))).str(),
       "string field NodeProto.input (1) at byte 9 is not valid UTF-8"},
      {"InvalidUtf8EntryKey", Pb().msg(14, Pb().len(1, "\xff").len(2, "v")).str(),
       "string field StringStringEntryProto.key (1) at byte 2 is not valid UTF-8"},
      {"LengthPastEndOfInput", Pb().tag(2, 2).raw_varint(5).raw("abc").str(),
       "length 5 of ModelProto.producer_name (2) at byte 0 runs past the end of its message "
       "(3 bytes left)"},
      {"LengthPastEndOfSubmessage",
       Pb().tag(7, 2).raw_varint(3).tag(2, 2).raw_varint(4).raw("g").len(2, "xyz").str(),
       "length 4 of GraphProto.name (2) at byte 2 runs past the end of its message "
       "(1 byte left)"},
      {"HugeLength", Pb().tag(9, 2).raw_varint(kMax).str(),
       "length 18446744073709551615 of unknown field at byte 0 runs past the end of its "
       "message (0 bytes left)"},
      {"TruncatedTag", std::string("\x80", 1), "truncated varint in tag at byte 0"},
      {"TruncatedValue", Pb().tag(1, 0).raw("\xff\xff").str(),
       "truncated varint in ModelProto.ir_version (1) at byte 1"},
      {"ElevenByteVarint", Pb().tag(1, 0).raw(std::string(10, '\xff')).raw("\x01").str(),
       "varint longer than 64 bits in ModelProto.ir_version (1) at byte 1"},
      {"TenthByteAboveOne", Pb().tag(1, 0).raw(std::string(9, '\x80')).raw("\x02").str(),
       "varint longer than 64 bits in ModelProto.ir_version (1) at byte 1"},
      {"TruncatedPackedDims", model_with_graph(Pb().msg(5, Pb().len(1, "\x02\x80"))).str(),
       "truncated varint in packed TensorProto.dims (1) at byte 9"},
      {"PackedFloatsNotMultipleOf4", model_with_graph(Pb().msg(5, Pb().len(4, "abcde"))).str(),
       "packed TensorProto.float_data (4) at byte 6 has length 5, not a multiple of 4"},
      {"TruncatedFixed32", model_with_graph(Pb().msg(5, Pb().tag(4, 5).raw("ab"))).str(),
       "truncated fixed32 value of TensorProto.float_data (4) at byte 6"},
      {"TruncatedUnknownFixed64", Pb().tag(99, 1).raw("1234567").str(),
       "truncated fixed64 value of unknown field at byte 0"},
      // The empty message at depth 101 is the last two bytes: tag, length 0.
      {"NestingAtDepth101", nested_to_depth(101),
       "message nesting deeper than 100 levels at byte " +
           std::to_string(nested_to_depth(101).size() - 2)},
      {"GroupsNestedTo101", nested_groups(101),
       "message nesting deeper than 100 levels at byte 200"},
      {"EndGroupWithoutGroup", Pb().varint(1, 9).tag(50, 4).str(),
       "end-group tag of field 50 at byte 2 without a group to close"},
      {"MismatchedEndGroup", Pb().tag(50, 3).tag(51, 4).str(),
       "end-group tag of field 51 at byte 2 does not close the group of field 50"},
      {"UnclosedGroup", Pb().tag(50, 3).varint(1, 1).str(),
       "group of field 50 at byte 0 has no end-group tag before the end of its message"},
      {"GroupMayNotCrossMessageEnd",
       Pb().msg(7, Pb().tag(50, 3)).tag(50, 4).str(),
       "group of field 50 at byte 2 has no end-group tag before the end of its message"},
  };
}

class OnnxErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(OnnxErrors, Fails) {
  const ErrorCase& c = GetParam();
  const auto summary = decode_onnx_model(c.bytes);
  ASSERT_FALSE(summary.has_value());
  EXPECT_EQ(summary.error().text(), "decode ONNX protobuf: " + c.text);
}

INSTANTIATE_TEST_SUITE_P(Onnx, OnnxErrors, testing::ValuesIn(error_cases()),
                         [](const auto& info) { return info.param.name; });

// Every proper prefix of a valid model either decodes or fails cleanly; a
// cut inside a length-delimited field must never read past the end.
TEST(OnnxDecode, EveryPrefixOfAModelIsHandled) {
  const std::string whole =
      model_with_graph(Pb().msg(1, node()).msg(5, tensor({3, 4}).len(9, std::string(12, 'x'))))
          .str();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    const auto summary = decode_onnx_model(std::string(whole.substr(0, n)));
    if (summary) {
      EXPECT_LE(summary->node_count, 1u) << n;
    }
  }
  const auto full = decode_onnx_model(whole);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->initializer_elements, 12u);
}

class OnnxFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("halvorn-onnx-" + std::to_string(::getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(OnnxFile, ReadsAModelFile) {
  const Pb graph = Pb().msg(1, node()).msg(5, tensor({4096, 4096})).msg(5, tensor({4096}));
  const std::string path = write("m.onnx", model_with_graph(graph).str());
  const auto summary = read_onnx(path);
  ASSERT_TRUE(summary.has_value()) << summary.error().text();
  EXPECT_TRUE(summary->has_graph);
  EXPECT_EQ(summary->initializer_elements, 16781312u);
  EXPECT_EQ(summary->node_count, 1u);
}

TEST_F(OnnxFile, EmptyFileIsAnEmptyModel) {
  const auto summary = read_onnx(write("empty.onnx", ""));
  ASSERT_TRUE(summary.has_value()) << summary.error().text();
  EXPECT_FALSE(summary->has_graph);
  EXPECT_EQ(summary->initializer_elements, 0u);
  EXPECT_EQ(summary->node_count, 0u);
}

TEST_F(OnnxFile, GgufUnderOnnxNameFailsToDecode) {
  const auto summary = read_onnx(write("model.onnx", std::string("GGUF\x03\0\0\0", 8)));
  ASSERT_FALSE(summary.has_value());
  EXPECT_EQ(summary.error().text(), "decode ONNX protobuf: invalid wire type 7 at byte 0");
}

TEST_F(OnnxFile, FileErrorsNameThePath) {
  const std::string missing = (dir_ / "missing.onnx").string();
  const std::string fifo = (dir_ / "pipe.onnx").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A NUL would cut the path short at the system call: "x.gguf" opened
  // while the extension check saw ".onnx".
  const std::string with_nul = (dir_ / "x.gguf").string() + std::string(1, '\0') + ".onnx";
  std::ofstream((dir_ / "x.gguf").string()) << "GGUF";
  const struct {
    std::string path;
    std::string cause;
  } cases[] = {
      {missing, "No such file or directory"},
      {dir_.string(), "Is a directory"},
      {fifo, "not a regular file"},  // must not wait for a writer
      {with_nul, "Invalid argument"},
  };
  for (const auto& c : cases) {
    const auto summary = read_onnx(c.path);
    ASSERT_FALSE(summary.has_value()) << c.path;
    EXPECT_EQ(summary.error().text(), "read ONNX file: " + c.path + ": " + c.cause);
  }
}

}  // namespace
}  // namespace halvorn
