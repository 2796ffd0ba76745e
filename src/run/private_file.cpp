#include "run/private_file.h"

#include "checks/location_trust.h"

namespace usqz {

PrivateFileResult createPrivateFileAnew(platform::FileAndProcess& files, platform::FileSecurity& security,
                                        const std::u16string& path) {
  auto created = files.createPrivateFile(path);
  if (created.error != platform::kErrorFileExists) return {created, false};
  const auto facts = security.inspect(path);
  if (facts.error != platform::kOk) return {{{}, facts.error}, false};
  if (facts.kind != platform::FileKind::File || facts.links != 1 || whyUntrusted(facts)) {
    return {{{}, platform::kErrorFileExists}, true};
  }
  if (const auto error = files.removeFile(path)) return {{{}, error}, false};
  return {files.createPrivateFile(path), false};
}

}  // namespace usqz
