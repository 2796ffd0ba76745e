// The release file: the services a release updates as one, each with what
// the command line would say of it alone (its pin and its health checks).
// It is input to an elevated run like the executables themselves: only an
// administrator may have written it, and it is read strictly (no unknown
// key, no service twice, no two services on one executable).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/options.h"
#include "platform/platform.h"

namespace usqz {

// More would be a fleet, not a release; and one run holds a lock for each.
inline constexpr std::size_t kMostServicesInARelease = 64;
// A release names at most 64 services with a few checks each.
inline constexpr std::size_t kLargestReleaseFile = 1024 * 1024;

// One service of the release, as its own run would take it.
struct ReleaseService {
  std::u16string name;
  std::u16string sha256;             // lower-case hex, or empty
  std::vector<HealthCheck> health;   // unresolved, as the options give them
};

struct ReleaseRead {
  // Malformed: status 2, nothing touched; Untrusted: status 10.
  enum class Kind { Read, Malformed, Untrusted } kind = Kind::Read;
  std::u16string why;
  std::vector<ReleaseService> services;
};

// The file's bytes, read: its services in the file's order, or why it
// cannot be run. UTF-8, with or without a byte-order mark, or UTF-16 (LE or
// BE) with one, as Windows PowerShell 5.1 writes files; anything else is
// refused saying where and, when it can tell, in what the file seems to be
// written. `files` compares names the way the system does.
ReleaseRead parseRelease(platform::FileAndProcess& files, std::string_view bytes, std::u16string_view ownPath);

// The file at `path` (absolute, or relative to the working folder), judged
// and read through one handle, its folders judged as a health command's.
ReleaseRead readRelease(platform::Platform& platform, std::u16string_view path, std::u16string_view ownPath);

// The options of one service's part in the release: the command line's,
// with its name, its pin and its health checks.
Options memberOptions(const Options& release, const ReleaseService& service);

}  // namespace usqz
