#include "common/private_file.h"

#include "platform/text.h"

namespace usqz {

namespace {

template <typename Create>
PrivateFileResult createAnew(platform::FileAndProcess& files, platform::FileSecurity& security,
                             const std::u16string& path, const Create& create) {
  auto created = create();
  if (created.error != platform::kErrorFileExists) return {created, false};
  const auto facts = security.inspect(path);
  if (facts.error != platform::kOk) return {{{}, facts.error}, false};
  if (facts.kind != platform::FileKind::File || facts.links != 1 || !facts.trusted()) {
    return {{{}, platform::kErrorFileExists}, true};
  }
  if (const auto error = files.removeFile(path)) return {{{}, error}, false};
  return {create(), false};
}

}  // namespace

PrivateFileResult createPrivateFileAnew(platform::FileAndProcess& files, platform::FileSecurity& security,
                                        const std::u16string& path) {
  return createAnew(files, security, path, [&] { return files.createPrivateFile(path); });
}

PrivateFileResult createRunnableFileAnew(platform::FileAndProcess& files, platform::FileSecurity& security,
                                         const std::u16string& path, const std::u16string& model) {
  return createAnew(files, security, path, [&] { return files.createRunnableFile(path, model); });
}

platform::OsError putInPlace(platform::FileAndProcess& files, platform::FileHandle file,
                             const std::u16string& temporary, const std::u16string& path, std::string_view bytes) {
  auto error = files.writeBytes(file, bytes);
  if (error == platform::kOk) error = files.flushFile(file);
  const auto closed = files.closeFile(file);
  if (error == platform::kOk) error = closed;
  if (error == platform::kOk) error = files.replaceFile(temporary, path);
  if (error != platform::kOk) files.removeFile(temporary);
  return error;
}

platform::OsError writeAnew(platform::FileAndProcess& files, platform::Processes& processes,
                            const std::u16string& path, std::string_view bytes, Readers readers) {
  platform::FileOpenResult created{{}, platform::kErrorFileExists};
  std::u16string temporary;
  for (int attempt = 0; attempt < 3 && created.error == platform::kErrorFileExists; ++attempt) {
    temporary = path + u"." + toHex(processes.unpredictableNumber(), 16, false) + u".tmp";
    created = readers == Readers::Administrators ? files.createPrivateFile(temporary) : files.createNewFile(temporary);
  }
  if (created.error != platform::kOk) return created.error;
  return putInPlace(files, created.handle, temporary, path, bytes);
}

}  // namespace usqz
