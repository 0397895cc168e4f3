// The GGUF reader over hand-built files: header checks, the key rules and
// their order, every failure chain, and hostile lengths, counts and nesting.
// Every file is read three ways (from memory, from a file with the normal
// buffer and from a file with a 5-byte buffer, so that every value straddles
// a refill) and the three must agree.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.hpp"
#include "model-ir/gguf/byte_source.hpp"
#include "model-ir/gguf/gguf_reader.hpp"
#include "model-ir/gguf/gguf_values.hpp"

namespace halvorn {
namespace {

using T = GgufValueType;
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Little-endian GGUF bytes, written field by field.
class Gguf {
 public:
  Gguf() = default;
  static Gguf header(std::uint64_t kv_count, std::uint32_t version = 3,
                     std::uint64_t tensor_count = 0) {
    Gguf g;
    g.raw("GGUF").u32(version).u64(tensor_count).u64(kv_count);
    return g;
  }
  Gguf& raw(std::string_view bytes) {
    bytes_.append(bytes);
    return *this;
  }
  Gguf& u8(std::uint8_t v) { return le(v, 1); }
  Gguf& u16(std::uint16_t v) { return le(v, 2); }
  Gguf& u32(std::uint32_t v) { return le(v, 4); }
  Gguf& u64(std::uint64_t v) { return le(v, 8); }
  Gguf& str(std::string_view s) { return u64(s.size()).raw(s); }
  // A key and its value type; the value follows.
  Gguf& key(std::string_view k, T type) { return str(k).u32(static_cast<std::uint32_t>(type)); }
  Gguf& key(std::string_view k, std::uint32_t code) { return str(k).u32(code); }
  Gguf& array(T element, std::uint64_t count) {
    return u32(static_cast<std::uint32_t>(element)).u64(count);
  }
  Gguf& kv_u32(std::string_view k, std::uint32_t v) { return key(k, T::Uint32).u32(v); }
  Gguf& kv_str(std::string_view k, std::string_view v) { return key(k, T::String).str(v); }
  std::string bytes() const { return bytes_; }

 private:
  Gguf& le(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return *this;
  }
  std::string bytes_;
};

std::string field(const std::optional<std::uint64_t>& v) {
  return v ? to_decimal(*v) : std::string("-");
}

// One line per outcome, so that a mismatch shows every field at once.
std::string describe(const Result<GgufSummary>& r) {
  if (!r) return "error: " + r.error().text();
  const GgufSummary& s = *r;
  return cat("arch=", s.architecture ? "'" + *s.architecture + "'" : std::string("-"),
             " params=", field(s.parameter_count), " blocks=", field(s.block_count),
             " ctx=", field(s.context_length), " embd=", field(s.embedding_length),
             " heads=", field(s.head_count), " kv_heads=", field(s.head_count_kv),
             " ff=", field(s.feed_forward_length), " vocab=", field(s.vocab_size));
}

std::string describe(const GgufSummary& s) { return describe(Result<GgufSummary>(s)); }

// A file in the test's temporary directory, removed afterwards.
class TempFile {
 public:
  explicit TempFile(std::string_view bytes) {
    std::string pattern = testing::TempDir() + "gguf-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    EXPECT_GE(fd, 0);
    path_ = pattern;
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Reads `bytes` from memory and from files with two buffer sizes; fails the
// test if they disagree and returns the common description.
std::string read_every_way(const std::string& bytes) {
  const std::string from_memory = describe(read_gguf_bytes(bytes));
  TempFile file(bytes);
  EXPECT_EQ(describe(read_gguf(file.path())), from_memory) << "file, default buffer";
  auto tiny = ByteSource::open_file(file.path(), 5);
  EXPECT_TRUE(tiny.has_value());
  if (tiny) {
    EXPECT_EQ(describe(read_gguf_from(*tiny)), from_memory) << "file, 5-byte buffer";
  }
  return from_memory;
}

struct ReadCase {
  const char* name;
  std::string bytes;
  std::string expected;  // describe() of the outcome
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

GgufSummary summary_with(auto&& set) {
  GgufSummary s;
  set(s);
  return s;
}

const std::string kEmpty = describe(GgufSummary{});

std::string short_read(std::string_view chain) { return cat("error: ", chain, ": failed to fill whole buffer"); }

// `levels` arrays, each the only element of the one around it.
Gguf nested_arrays(std::string_view key, unsigned levels) {
  Gguf g = Gguf::header(1);
  g.key(key, T::Array);
  for (unsigned i = 1; i < levels; ++i) g.array(T::Array, 1);
  g.array(T::Uint8, 0);
  return g;
}

std::string repeat(std::string_view piece, unsigned times) {
  std::string out;
  for (unsigned i = 0; i < times; ++i) out.append(piece);
  return out;
}

std::vector<ReadCase> header_cases() {
  return {
      {"three_bytes", "GGU", short_read("read GGUF magic")},
      {"zip_magic", "PK\x03\x04rest-of-zip", "error: not a GGUF file (bad magic: [80, 75, 3, 4])"},
      {"version_0", Gguf::header(0, 0).bytes(), "error: unsupported GGUF version 0; expected 1\u20133"},
      {"version_4", Gguf::header(0, 4).bytes(), "error: unsupported GGUF version 4; expected 1\u20133"},
      {"version_cut", "GGUF\x03\x00", short_read("read GGUF version")},
      {"tensor_count_cut", Gguf().raw("GGUF").u32(3).u32(0).bytes(), short_read("read tensor_count")},
      {"kv_count_cut", Gguf().raw("GGUF").u32(2).u64(0).u16(1).bytes(), short_read("read kv_count")},
      {"kv_count_0", Gguf::header(0).bytes(), kEmpty},
      {"kv_count_larger_than_file", Gguf::header(kMax64).kv_u32("a.b", 1).bytes(),
       short_read("read KV key")},
      {"version_1", Gguf::header(1, 1).kv_u32("llama.block_count", 7).bytes(),
       describe(summary_with([](auto& s) { s.block_count = 7; }))},
      {"version_2", Gguf::header(1, 2).kv_u32("llama.block_count", 7).bytes(),
       describe(summary_with([](auto& s) { s.block_count = 7; }))},
      // Tensor infos and data are never read, whatever they hold.
      {"tensor_data_missing", Gguf::header(2, 3, 291).kv_u32("llama.block_count", 7)
                                  .kv_str("general.architecture", "llama").raw("\x05").bytes(),
       describe(summary_with([](auto& s) {
         s.block_count = 7;
         s.architecture = "llama";
       }))},
  };
}

std::vector<ReadCase> key_rule_cases() {
  return {
      {"architecture_replaced_by_later",
       Gguf::header(2).kv_str("general.architecture", "llama").kv_str("general.architecture", "qwen2").bytes(),
       describe(summary_with([](auto& s) { s.architecture = "qwen2"; }))},
      {"architecture_int32_skipped",
       Gguf::header(2).key("general.architecture", T::Int32).u32(5).kv_u32("llama.context_length", 9).bytes(),
       describe(summary_with([](auto& s) { s.context_length = 9; }))},
      {"parameter_count_replaced_by_later",
       Gguf::header(2).key("general.parameter_count", T::Uint64).u64(7000000000)
           .key("general.parameter_count", T::Int8).u8(0xff).bytes(),
       describe(summary_with([](auto& s) { s.parameter_count = 255; }))},
      {"block_count_first_wins",
       Gguf::header(2).kv_u32("llama.block_count", 32).kv_u32("clip.vision.block_count", 24).bytes(),
       describe(summary_with([](auto& s) { s.block_count = 32; }))},
      {"head_count_last_wins",
       Gguf::header(2).kv_u32("llama.attention.head_count", 32)
           .kv_u32("clip.vision.attention.head_count", 16).bytes(),
       describe(summary_with([](auto& s) { s.head_count = 16; }))},
      {"kv_heads_and_ff_last_wins",
       Gguf::header(4).kv_u32("a.attention.head_count_kv", 8).kv_u32("b.attention.head_count_kv", 4)
           .kv_u32("a.feed_forward_length", 100).kv_u32("b.feed_forward_length", 200).bytes(),
       describe(summary_with([](auto& s) {
         s.head_count_kv = 4;
         s.feed_forward_length = 200;
       }))},
      {"any_prefix_feeds_first_wins",
       Gguf::header(3).kv_u32("general.context_length", 1).kv_u32("x.y.z.embedding_length", 2)
           .kv_u32(".block_count", 3).bytes(),
       describe(summary_with([](auto& s) {
         s.context_length = 1;
         s.embedding_length = 2;
         s.block_count = 3;
       }))},
      {"near_misses_skipped",
       Gguf::header(5).kv_u32("block_count", 1).kv_u32("llama.block_count_extra", 2)
           .kv_u32("llama.head_count", 3).kv_u32("llama.attention.Head_count", 4)
           .kv_u32("feed_forward_length", 5).bytes(),
       kEmpty},
      // A value of another type is passed over and the field stays open for
      // a later key.
      {"float_context_length_then_integer",
       Gguf::header(3).key("llama.context_length", T::Float32).u32(0x45800000)
           .kv_u32("llama.block_count", 4).kv_u32("clip.context_length", 77).bytes(),
       describe(summary_with([](auto& s) {
         s.block_count = 4;
         s.context_length = 77;
       }))},
      {"non_integers_under_last_wins_keys_skipped",
       Gguf::header(5).kv_u32("a.attention.head_count", 8).key("b.attention.head_count", T::Bool).u8(1)
           .key("c.attention.head_count", T::String).str("sixteen")
           .key("d.attention.head_count", T::Array).array(T::Uint32, 2).u32(1).u32(2)
           .key("e.attention.head_count", T::Float64).u64(0).bytes(),
       describe(summary_with([](auto& s) { s.head_count = 8; }))},
      {"int16_minus_one_sign_extended",
       Gguf::header(1).key("llama.context_length", T::Int16).u16(0xffff).bytes(),
       describe(summary_with([](auto& s) { s.context_length = 18446744073709551615ULL; }))},
      {"int8_minus_one_taken_as_byte",
       Gguf::header(1).key("llama.context_length", T::Int8).u8(0xff).bytes(),
       describe(summary_with([](auto& s) { s.context_length = 255; }))},
      {"every_integer_width",
       Gguf::header(8).key("a.attention.head_count", T::Uint8).u8(200)
           .key("a.attention.head_count_kv", T::Uint16).u16(60000)
           .key("a.feed_forward_length", T::Int32).u32(0xfffffffe)
           .key("a.block_count", T::Uint64).u64(kMax64 - 1)
           .key("a.context_length", T::Int64).u64(0x8000000000000000ULL)
           .key("a.embedding_length", T::Uint32).u32(4096)
           .key("general.parameter_count", T::Int16).u16(0x7fff)
           .key("b.attention.head_count", T::Uint32).u32(0x80000000).bytes(),
       describe(summary_with([](auto& s) {
         s.head_count = 0x80000000ULL;
         s.head_count_kv = 60000;
         s.feed_forward_length = kMax64 - 1;
         s.block_count = kMax64 - 1;
         s.context_length = 0x8000000000000000ULL;
         s.embedding_length = 4096;
         s.parameter_count = 0x7fff;
       }))},
      // Replacement of the bad byte leaves the dotted suffix intact.
      {"invalid_utf8_key_matched",
       Gguf::header(1).kv_u32("\xff\xfe.block_count", 12).bytes(),
       describe(summary_with([](auto& s) { s.block_count = 12; }))},
      {"invalid_utf8_architecture_replaced",
       Gguf::header(1).kv_str("general.architecture", "ll\xc3\x28ma").bytes(),
       describe(summary_with([](auto& s) { s.architecture = "ll\xef\xbf\xbd(ma"; }))},
      // Every type passed over under an unrelated key keeps the pairs after
      // it in step.
      {"every_type_skipped",
       Gguf::header(15).key("x.u8", T::Uint8).u8(1).key("x.i8", T::Int8).u8(1)
           .key("x.u16", T::Uint16).u16(1).key("x.i16", T::Int16).u16(1)
           .key("x.u32", T::Uint32).u32(1).key("x.i32", T::Int32).u32(1)
           .key("x.f32", T::Float32).u32(1).key("x.bool", T::Bool).u8(1)
           .key("x.str", T::String).str("text").key("x.u64", T::Uint64).u64(1)
           .key("x.i64", T::Int64).u64(1).key("x.f64", T::Float64).u64(1)
           .key("x.nested", T::Array).array(T::Array, 2).array(T::String, 2).str("a").str("bc")
           .array(T::Uint16, 3).u16(1).u16(2).u16(3)
           .key("x.empty", T::Array).array(T::Float64, 0)
           .kv_u32("llama.embedding_length", 4096).bytes(),
       describe(summary_with([](auto& s) { s.embedding_length = 4096; }))},
      {"vocab_size_from_tokens",
       Gguf::header(2).key("tokenizer.ggml.tokens", T::Array).array(T::String, 3).str("<s>").str("a").str("")
           .kv_u32("llama.block_count", 2).bytes(),
       describe(summary_with([](auto& s) {
         s.vocab_size = 3;
         s.block_count = 2;
       }))},
      {"tokens_not_strings_no_vocab",
       Gguf::header(1).key("tokenizer.ggml.tokens", T::Array).array(T::Uint32, 2).u32(0).u32(1).bytes(),
       kEmpty},
      {"tokens_not_array_no_vocab", Gguf::header(1).kv_str("tokenizer.ggml.tokens", "abc").bytes(), kEmpty},
      // The data ending inside an integer of a shape field is passed over.
      {"shape_value_cut_at_end",
       Gguf::header(2).kv_u32("llama.block_count", 3).key("llama.context_length", T::Uint64).u32(1).bytes(),
       describe(summary_with([](auto& s) { s.block_count = 3; }))},
      {"shape_value_cut_then_more_pairs",
       Gguf::header(3).kv_u32("llama.block_count", 3).key("llama.attention.head_count", T::Uint32).u16(1).bytes(),
       short_read("read KV key")},
  };
}

std::vector<ReadCase> failure_cases() {
  const std::string big_key_length = Gguf::header(1).u64(std::uint64_t{1} << 62).raw("abc").bytes();
  return {
      {"key_length_cut", Gguf::header(1).u32(5).bytes(), short_read("read KV key")},
      // A length beyond the file fails before anything is allocated.
      {"key_length_beyond_file", big_key_length, short_read("read KV key")},
      {"key_length_max", Gguf::header(1).u64(kMax64).bytes(), short_read("read KV key")},
      {"value_type_cut", Gguf::header(1).str("a.b").u16(4).bytes(), short_read("read KV value type")},
      {"value_type_13", Gguf::header(1).key("llama.block_count", 13u).u32(1).bytes(),
       "error: unknown value type 13 for key 'llama.block_count'"},
      {"value_type_huge_on_architecture", Gguf::header(1).key("general.architecture", 0xffffffffu).bytes(),
       "error: unknown value type 4294967295 for key 'general.architecture'"},
      {"value_type_13_invalid_utf8_key", Gguf::header(1).key("k\x80", 13u).bytes(),
       "error: unknown value type 13 for key 'k\xef\xbf\xbd'"},
      {"architecture_cut", Gguf::header(1).key("general.architecture", T::String).u64(10).raw("lla").bytes(),
       short_read("read general.architecture value")},
      {"architecture_length_beyond_file",
       Gguf::header(1).key("general.architecture", T::String).u64(kMax64 / 2).bytes(),
       short_read("read general.architecture value")},
      {"architecture_array_cut", Gguf::header(1).key("general.architecture", T::Array).u16(8).bytes(),
       short_read("skip general.architecture (unexpected type): array element type")},
      {"parameter_count_float32", Gguf::header(1).key("general.parameter_count", T::Float32).u32(0).bytes(),
       "error: read general.parameter_count (type=Float32): cannot coerce value type Float32 to u64"},
      {"parameter_count_array", Gguf::header(1).key("general.parameter_count", T::Array).array(T::Uint8, 0).bytes(),
       "error: read general.parameter_count (type=Array): cannot coerce value type Array to u64"},
      {"parameter_count_cut", Gguf::header(1).key("general.parameter_count", T::Int32).u16(7).bytes(),
       short_read("read general.parameter_count (type=Int32): read int32 value (reinterp)")},
      {"token_string_cut",
       Gguf::header(1).key("tokenizer.ggml.tokens", T::Array).array(T::String, 3).str("a").str("b").u32(1).bytes(),
       short_read("skip key 'tokenizer.ggml.tokens': skip array element: string length in skip")},
      {"array_element_type_cut", Gguf::header(1).key("x.y", T::Array).u16(1).bytes(),
       short_read("skip key 'x.y': array element type")},
      {"array_element_count_cut", Gguf::header(1).key("x.y", T::Array).u32(0).u32(1).bytes(),
       short_read("skip key 'x.y': array element count")},
      {"array_element_type_13", Gguf::header(1).key("x.y", T::Array).u32(13).u64(0).bytes(),
       "error: skip key 'x.y': unknown array element type 13"},
      {"nested_array_element_type_13",
       Gguf::header(1).key("x.y", T::Array).array(T::Array, 1).u32(99).u64(0).bytes(),
       "error: skip key 'x.y': skip array element: unknown array element type 99"},
      {"shape_key_array_unskippable",
       Gguf::header(1).key("llama.block_count", T::Array).array(T::String, 1).u32(3).bytes(),
       "error: skip key 'llama.block_count': skip array element: string length in skip: "
       "failed to fill whole buffer"},
      {"nesting_64_levels_accepted", nested_arrays("k", 64).bytes(), kEmpty},
      {"nesting_65_levels_refused", nested_arrays("k", 65).bytes(),
       "error: skip key 'k': " + repeat("skip array element: ", 64) + "array nesting deeper than 64 levels"},
      {"nesting_100000_levels_refused", nested_arrays("k", 100000).bytes(),
       "error: skip key 'k': " + repeat("skip array element: ", 64) + "array nesting deeper than 64 levels"},
      // A count near 2^64 is one saturated seek, refused like an offset
      // beyond any file, rather than a loop of 2^64 steps.
      {"fixed_array_count_max",
       Gguf::header(1).key("x.y", T::Array).array(T::Uint64, kMax64).bytes(),
       "error: skip key 'x.y': skip array element: seek past scalar value: Invalid argument"},
      {"fixed_array_count_overflows_64_bits",
       Gguf::header(1).key("x.y", T::Array).array(T::Uint32, std::uint64_t{1} << 62).bytes(),
       "error: skip key 'x.y': skip array element: seek past scalar value: Invalid argument"},
      {"string_length_beyond_any_offset",
       Gguf::header(1).key("x.y", T::String).u64(0x8000000000000000ULL).bytes(),
       "error: skip key 'x.y': seek past string value: Invalid argument"},
      // Seeking past the end is no error in itself: only a later read is.
      {"fixed_array_past_end_last_pair",
       Gguf::header(1).key("x.y", T::Array).array(T::Uint8, std::uint64_t{1} << 40).bytes(), kEmpty},
      {"string_past_end_last_pair", Gguf::header(1).key("x.y", T::String).u64(1000).raw("ab").bytes(), kEmpty},
      {"fixed_array_past_end_then_pair",
       Gguf::header(2).key("x.y", T::Array).array(T::Uint8, std::uint64_t{1} << 40).kv_u32("a.b", 1).bytes(),
       short_read("read KV key")},
      {"scalar_past_end_then_pair", Gguf::header(2).key("x.y", T::Float64).u32(0).bytes(), short_read("read KV key")},
  };
}

class ReadGguf : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadGguf, ReadsTheSameFromEverySource) {
  EXPECT_EQ(read_every_way(GetParam().bytes), GetParam().expected);
}

std::string case_name(const testing::TestParamInfo<ReadCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Header, ReadGguf, testing::ValuesIn(header_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(KeyRules, ReadGguf, testing::ValuesIn(key_rule_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Failures, ReadGguf, testing::ValuesIn(failure_cases()), case_name);

TEST(ReadGgufFile, MissingFileNamesThePath) {
  const std::string path = testing::TempDir() + "no-such-dir/x.gguf";
  EXPECT_EQ(describe(read_gguf(path)),
            "error: open GGUF file: " + path + ": No such file or directory");
}

TEST(ReadGgufFile, DirectoryFailsAtTheFirstRead) {
  EXPECT_EQ(describe(read_gguf(testing::TempDir())), "error: read GGUF magic: Is a directory");
}

// A vocabulary-sized array of strings passed over from a file: the element
// count is noted and the pair after it is read in step.
TEST(ReadGgufFile, LargeVocabularyIsPassedOver) {
  Gguf g = Gguf::header(3);
  g.key("tokenizer.ggml.tokens", T::Array).array(T::String, 50000);
  for (int i = 0; i < 50000; ++i) g.str(cat("tok", i));
  g.key("tokenizer.ggml.scores", T::Array).array(T::Float32, 50000);
  g.raw(std::string(50000 * 4, '\0'));
  g.kv_u32("llama.block_count", 26);
  EXPECT_EQ(read_every_way(g.bytes()), describe(summary_with([](auto& s) {
              s.vocab_size = 50000;
              s.block_count = 26;
            })));
}

// Strings of every length from 0 to 40 against windows of sizes that put the
// edge at every offset inside a length or a text, and windows smaller than
// one string; a file cut short inside the array must fail the same way too.
TEST(ReadGgufFile, StringArraysAcrossBufferEdges) {
  Gguf g = Gguf::header(2);
  g.key("tokenizer.ggml.tokens", T::Array).array(T::String, 300);
  for (int i = 0; i < 300; ++i) g.str(std::string(static_cast<std::size_t>(i % 41), 'x'));
  g.kv_u32("llama.block_count", 9);
  const std::string whole = g.bytes();
  for (const std::string& bytes : {whole, whole.substr(0, whole.size() / 2)}) {
    const std::string expected = describe(read_gguf_bytes(bytes));
    TempFile file(bytes);
    for (std::size_t buffer : {1, 8, 9, 16, 23, 40, 64, 100, 4096}) {
      auto source = ByteSource::open_file(file.path(), buffer);
      ASSERT_TRUE(source.has_value());
      EXPECT_EQ(describe(read_gguf_from(*source)), expected) << "buffer " << buffer;
    }
  }
  EXPECT_EQ(describe(read_gguf_bytes(whole)), describe(summary_with([](auto& s) {
              s.vocab_size = 300;
              s.block_count = 9;
            })));
}

// --- the value codecs on their own -------------------------------------

TEST(ReadValueAsU64, TypesThatAreNotIntegersConsumeNothing) {
  for (T type : {T::Float32, T::Bool, T::String, T::Array, T::Float64}) {
    const std::string bytes(16, '\x01');
    ByteSource source = ByteSource::over_memory(bytes);
    auto value = read_value_as_u64(source, type);
    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error().text(), cat("cannot coerce value type ", gguf_type_name(type), " to u64"));
    EXPECT_EQ(source.position(), 0u);
  }
}

TEST(ReadValueAsU64, ShortReadNamesTheType) {
  const struct {
    T type;
    const char* context;
  } cases[] = {
      {T::Uint8, "read uint8 value"},   {T::Int8, "read int8 value (reinterp)"},
      {T::Uint16, "read uint16 value"}, {T::Int16, "read int16 value (reinterp)"},
      {T::Uint32, "read uint32 value"}, {T::Int32, "read int32 value (reinterp)"},
      {T::Uint64, "read uint64 value"}, {T::Int64, "read int64 value (reinterp)"},
  };
  for (const auto& c : cases) {
    ByteSource source = ByteSource::over_memory(std::string_view(gguf_fixed_size(c.type) > 1 ? "\x01" : ""));
    auto value = read_value_as_u64(source, c.type);
    ASSERT_FALSE(value.has_value()) << c.context;
    EXPECT_EQ(value.error().text(), cat(c.context, ": failed to fill whole buffer"));
  }
}

TEST(SkipGgufValue, FixedSizesMoveByTheirWidth) {
  const struct {
    T type;
    std::uint64_t size;
  } cases[] = {{T::Uint8, 1}, {T::Int8, 1},    {T::Bool, 1},   {T::Uint16, 2}, {T::Int16, 2},
               {T::Uint32, 4}, {T::Int32, 4},  {T::Float32, 4}, {T::Uint64, 8}, {T::Int64, 8},
               {T::Float64, 8}};
  for (const auto& c : cases) {
    ByteSource source = ByteSource::over_memory("");
    ASSERT_TRUE(skip_gguf_value(source, c.type).has_value());
    EXPECT_EQ(source.position(), c.size) << gguf_type_name(c.type);
  }
}

TEST(SkipGgufValue, ReportsTheOutermostArrayShape) {
  const std::string bytes = Gguf().array(T::Array, 2).array(T::Uint8, 1).u8(0).array(T::Uint8, 0).bytes();
  ByteSource source = ByteSource::over_memory(bytes);
  GgufArrayShape shape;
  ASSERT_TRUE(skip_gguf_value(source, T::Array, &shape).has_value());
  EXPECT_EQ(shape.element_type, T::Array);
  EXPECT_EQ(shape.count, 2u);
  EXPECT_EQ(source.position(), bytes.size());
}

// --- the byte source ----------------------------------------------------

TEST(ByteSource, FileReadsAcrossRefillsAndSkips) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>(i * 7));
  TempFile file(bytes);
  for (std::size_t buffer : {std::size_t{1}, std::size_t{3}, std::size_t{64}, std::size_t{4096}}) {
    SCOPED_TRACE(buffer);
    auto source = ByteSource::open_file(file.path(), buffer);
    ASSERT_TRUE(source.has_value());
    std::string got(10, '\0');
    ASSERT_TRUE(source->read(got.data(), 10).has_value());
    EXPECT_EQ(got, bytes.substr(0, 10));
    ASSERT_TRUE(source->skip(2).has_value());   // likely inside the window
    ASSERT_TRUE(source->skip(500).has_value());  // beyond it
    auto text = source->read_string(300);        // larger than small buffers
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, bytes.substr(512, 300));
    EXPECT_EQ(source->remaining(), std::optional<std::uint64_t>(188));
    std::string rest(189, '\0');
    auto too_far = source->read(rest.data(), rest.size());
    ASSERT_FALSE(too_far.has_value());
    EXPECT_EQ(too_far.error().text(), kShortReadText);
    // A failed read leaves the position where it was.
    EXPECT_EQ(source->position(), 812u);
    ASSERT_TRUE(source->read(rest.data(), 188).has_value());
    EXPECT_EQ(rest.substr(0, 188), bytes.substr(812));
  }
}

TEST(ByteSource, SkipStopsAtTheLargestOffset) {
  ByteSource source = ByteSource::over_memory("abc");
  ASSERT_TRUE(source.skip(ByteSource::kMaxOffset - 1).has_value());
  ASSERT_TRUE(source.skip(1).has_value());
  auto beyond = source.skip(1);
  ASSERT_FALSE(beyond.has_value());
  EXPECT_EQ(beyond.error().text(), "Invalid argument");
  EXPECT_EQ(source.position(), ByteSource::kMaxOffset);
  EXPECT_EQ(source.remaining(), std::optional<std::uint64_t>(0));
}

// A character device has no size to trust: strings are read in pieces, and
// the source still serves exactly the bytes asked for.
TEST(ByteSource, DeviceWithoutSizeReadsStringsInPieces) {
  const int fd = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto source = ByteSource::adopt_fd(fd, 7);
  ASSERT_TRUE(source.has_value());
  EXPECT_FALSE(source->remaining().has_value());
  auto text = source->read_string(200000);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, std::string(200000, '\0'));
  EXPECT_EQ(source->position(), 200000u);
}

}  // namespace
}  // namespace halvorn
