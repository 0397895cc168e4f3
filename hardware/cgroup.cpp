// The CPU quota of the process's control group.  The group's directory is
// found the way the kernel describes it: /proc/self/cgroup names the group
// within each hierarchy, /proc/self/mountinfo says where each hierarchy (or
// a part of it) is mounted.
#include <limits>
#include <vector>

#include "core/text.hpp"
#include "hardware/detect.hpp"
#include "hardware/small_file.hpp"

namespace halvorn {
namespace {

namespace fs = std::filesystem;

struct CgroupEntry {
  bool unified = false;  // the v2 line "0::path"
  std::vector<std::string_view> controllers;
  std::string_view path;
};

// "hierarchy-id:controller-list:path"; the path may itself contain ':'.
std::vector<CgroupEntry> parse_cgroup_file(std::string_view text) {
  std::vector<CgroupEntry> entries;
  for (std::string_view line : split_lines(text)) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    CgroupEntry entry;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    entry.path = line.substr(second + 1);
    entry.unified = id == "0" && controllers.empty();
    if (!controllers.empty()) entry.controllers = split(controllers, ',');
    entries.push_back(entry);
  }
  return entries;
}

struct Mount {
  std::string root;         // the part of the hierarchy that is mounted
  std::string mount_point;  // where it is mounted
  std::string_view fs_type;
  std::vector<std::string_view> super_options;
};

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape_octal(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      const bool octal = digits.find_first_not_of("01234567") == std::string_view::npos;
      if (octal) {
        out.push_back(static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                        (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// "id parent major:minor root mount-point options [optional...] - type source super-options"
std::vector<Mount> parse_mountinfo(std::string_view text) {
  std::vector<Mount> mounts;
  for (std::string_view line : split_lines(text)) {
    const std::vector<std::string_view> fields = split(line, ' ');
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 1 >= fields.size()) continue;  // no file-system type
    Mount mount;
    mount.root = unescape_octal(fields[3]);
    mount.mount_point = unescape_octal(fields[4]);
    mount.fs_type = fields[dash + 1];
    if (dash + 3 < fields.size()) mount.super_options = split(fields[dash + 3], ',');
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

bool contains(const std::vector<std::string_view>& list, std::string_view item) {
  for (std::string_view x : list) {
    if (x == item) return true;
  }
  return false;
}

// The group's directory under `root`, when `mount` holds the group.
std::optional<fs::path> group_directory(const fs::path& root, const Mount& mount,
                                        std::string_view group) {
  std::string_view rest;
  if (mount.root == "/") {
    rest = group;
  } else if (group == mount.root) {
    rest = {};
  } else if (group.starts_with(mount.root) && group.size() > mount.root.size() &&
             group[mount.root.size()] == '/') {
    rest = group.substr(mount.root.size());
  } else {
    return std::nullopt;
  }
  fs::path dir = root / fs::path(mount.mount_point).relative_path();
  const fs::path tail = fs::path(rest).relative_path();
  if (!tail.empty()) dir /= tail;
  return dir;
}

std::optional<std::string> read_trimmed(const fs::path& file) {
  auto text = read_text_file(file, 4096);
  if (!text) return std::nullopt;
  return std::string(trim(*text));
}

std::uint32_t ceil_ratio(std::uint64_t quota, std::uint64_t period) {
  const std::uint64_t whole = quota / period + (quota % period != 0 ? 1 : 0);
  return whole > std::numeric_limits<std::uint32_t>::max()
             ? std::numeric_limits<std::uint32_t>::max()
             : static_cast<std::uint32_t>(whole);
}

std::optional<std::uint32_t> ratio_if_limited(std::optional<std::uint64_t> quota,
                                              std::optional<std::uint64_t> period) {
  // A zero quota or period is not a limit the kernel would accept; reading
  // it as one would leave the process with no CPU at all.
  if (!quota || !period || *quota == 0 || *period == 0) return std::nullopt;
  return ceil_ratio(*quota, *period);
}

// cpu.max: "max PERIOD" (no quota) or "QUOTA PERIOD".
std::optional<std::uint32_t> limit_from_cpu_max(std::string_view text) {
  const auto words = split_whitespace(text);
  if (words.size() < 2 || words[0] == "max") return std::nullopt;
  return ratio_if_limited(parse_u64(words[0]), parse_u64(words[1]));
}

}  // namespace

std::optional<std::uint32_t> cgroup_cpu_limit(const fs::path& root) {
  const auto cgroup_text = read_text_file(root / "proc/self/cgroup");
  const auto mountinfo_text = read_text_file(root / "proc/self/mountinfo");
  if (!cgroup_text || !mountinfo_text) return std::nullopt;
  const std::vector<CgroupEntry> groups = parse_cgroup_file(*cgroup_text);
  const std::vector<Mount> mounts = parse_mountinfo(*mountinfo_text);

  // Version 2: one unified hierarchy.  A readable cpu.max settles it.
  for (const CgroupEntry& group : groups) {
    if (!group.unified) continue;
    for (const Mount& mount : mounts) {
      if (mount.fs_type != "cgroup2") continue;
      const auto dir = group_directory(root, mount, group.path);
      if (!dir) continue;
      if (const auto cpu_max = read_trimmed(*dir / "cpu.max")) {
        return limit_from_cpu_max(*cpu_max);
      }
    }
  }

  // Version 1: the hierarchy that carries the cpu controller.
  for (const CgroupEntry& group : groups) {
    if (group.unified || !contains(group.controllers, "cpu")) continue;
    for (const Mount& mount : mounts) {
      if (mount.fs_type != "cgroup" || !contains(mount.super_options, "cpu")) continue;
      const auto dir = group_directory(root, mount, group.path);
      if (!dir) continue;
      const auto quota = read_trimmed(*dir / "cpu.cfs_quota_us");
      if (!quota) continue;
      // "-1" (or anything that is not a positive count) means no quota.
      const auto period = read_trimmed(*dir / "cpu.cfs_period_us");
      return ratio_if_limited(parse_u64(*quota), period ? parse_u64(*period) : std::nullopt);
    }
  }
  return std::nullopt;
}

}  // namespace halvorn
