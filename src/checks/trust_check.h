// Only a trusted new version runs as the service: when the options ask, the
// new version's SHA-256 must be the one given, and its Authenticode
// signature valid, reaching a root this machine trusts, by a signer the
// options name or by the current version's own publisher. Checked on the
// new version held open, the same file that is then activated. Each
// refusal is an error that leaves the service and the files as they were.
#pragma once

#include "common/names.h"
#include "common/options.h"
#include "platform/platform.h"

namespace usqz {

// `sha256`: the new version's, when a copy of it has just been hashed;
// empty to read it here.
void checkTrust(platform::Platform& platform, const Options& options, platform::FileHandle newVersion,
                const Names& names, const std::u16string& sha256 = {});

}  // namespace usqz
