#include "optimizer/lib/cache.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <system_error>
#include <thread>
#include <vector>

#include "core/json_reader.hpp"
#include "core/json_writer.hpp"
#include "core/record_json.hpp"
#include "core/text.hpp"
#include "runtime/process/process.hpp"

namespace halvorn {
namespace {

// Cache entries are a few hundred bytes; anything far larger is not ours.
constexpr std::uintmax_t kMaxEntryBytes = 1 << 20;

std::string hex_digest_sha256(std::string_view bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0x0F]);
  }
  return out;
}

std::uint64_t seconds_since_epoch() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

Result<CachedResult> read_cached_result(JsonReader& reader) {
  static constexpr std::array<JsonField, 3> kFields = {
      JsonField{"result"}, JsonField{"model_path"}, JsonField{"created_at"}};
  CachedResult entry;
  auto status = reader.read_record("CachedResult", kFields, [&](std::size_t i) -> Status {
    switch (i) {
      case 0: return store(entry.result, read_optimization_result(reader));
      case 1: return store(entry.model_path, reader.read_string());
      default: return store(entry.created_at, reader.read_u64());
    }
  });
  if (!status) return std::unexpected(std::move(status).error());
  return entry;
}

std::optional<std::string> read_small_file(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxEntryBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<std::size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (static_cast<std::size_t>(in.gcount()) != text.size()) return std::nullopt;
  return text;
}

// Writes `bytes` to a fresh file beside `target` and renames it over
// `target`, so that readers see either the old entry or the new one.
Status replace_file(const std::filesystem::path& target, std::string_view bytes) {
  // Unique among writers: process, thread and the moment, with O_EXCL
  // catching the unlikely clash.
  const auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    temporary = cat(target.string(), ".", static_cast<std::int64_t>(getpid()), "-", thread, "-",
                    static_cast<std::int64_t>(now), "-", attempt, ".tmp");
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return fail(os_error_text(errno));
  }
  if (fd < 0) return fail(os_error_text(EEXIST));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      return fail(os_error_text(saved));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    return fail(os_error_text(saved));
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    return fail(os_error_text(saved));
  }
  return {};
}

}  // namespace

void write_json(JsonWriter& writer, const CachedResult& entry) {
  writer.begin_object();
  writer.key("result");
  write_json(writer, entry.result);
  writer.key("model_path");
  writer.string(entry.model_path);
  writer.key("created_at");
  writer.u64(entry.created_at);
  writer.end_object();
}

std::optional<std::string> cache_key_text(const HardwareProfile& hardware,
                                          const std::string& model_path) {
  // A path with a NUL byte would name a different file to the system.
  if (model_path.find('\0') != std::string::npos) return std::nullopt;
  struct stat info{};
  if (::stat(model_path.c_str(), &info) != 0) return std::nullopt;
  const std::uint64_t mtime = info.st_mtim.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(info.st_mtim.tv_sec);
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  return cat(mtime, "_", size, "_", to_json_compact(hardware));
}

std::optional<std::string> cache_key(const HardwareProfile& hardware,
                                     const std::string& model_path) {
  auto text = cache_key_text(hardware, model_path);
  if (!text) return std::nullopt;
  return hex_digest_sha256(*text);
}

std::optional<std::filesystem::path> cache_file_path(const std::string& key) {
  auto home = home_directory();
  if (!home) return std::nullopt;
  return std::filesystem::path(*home) / ".cindrel" / "cache" / (key + ".json");
}

std::string serialize_cached_result(const CachedResult& entry) { return to_json_compact(entry); }

Result<CachedResult> parse_cached_result(std::string_view text) {
  return parse_json_document(text, read_cached_result);
}

std::optional<OptimizationResult> load_cached(const HardwareProfile& hardware,
                                              const ModelInfo& model) {
  const auto key = cache_key(hardware, model.path);
  if (!key) return std::nullopt;
  const auto path = cache_file_path(*key);
  if (!path) return std::nullopt;
  const auto text = read_small_file(*path);
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  auto entry = parse_cached_result(*text);
  if (!entry) return std::nullopt;
  return entry->result;
}

Status store_cached(const HardwareProfile& hardware, const ModelInfo& model,
                    const OptimizationResult& result) {
  const auto key = cache_key(hardware, model.path);
  if (!key) return fail("could not compute cache key");
  const auto path = cache_file_path(*key);
  if (!path) return fail("could not resolve cache directory");
  std::error_code ec;
  std::filesystem::create_directories(path->parent_path(), ec);
  if (ec) return fail(ec.message());
  const CachedResult entry{result, utf8_replace_invalid(model.path), seconds_since_epoch()};
  return replace_file(*path, serialize_cached_result(entry));
}

}  // namespace halvorn
