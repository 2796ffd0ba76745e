#include "run/transaction/own_copy.h"

#include "checks/location_trust.h"
#include "checks/sha256.h"
#include "common/tool_error.h"
#include "common/private_file.h"

namespace usqz {

namespace {

// Large enough that a 256 MB executable takes a few hundred reads, small
// enough to stay out of the way of a loaded machine's memory.
constexpr std::size_t kCopyBlock = 1024 * 1024;

}  // namespace

std::u16string copyIntoOwnFile(platform::FileAndProcess& files, platform::FileSecurity& security,
                               platform::ErrorTexts& texts, platform::FileHandle source,
                               const std::u16string& copyPath, const std::u16string& model) {
  const auto fail = [&](platform::OsError error) {
    return toolError(u"Não foi possível copiar a nova versão para " + copyPath + u": " + texts.describe(error));
  };
  const auto created = createRunnableFileAnew(files, security, copyPath, model);
  if (created.someoneElses) {
    throw toolError(u"Não foi possível copiar a nova versão: " + copyPath + u" existe e não é da ferramenta");
  }
  if (created.opened.error != platform::kOk) throw fail(created.opened.error);
  platform::OwnedFileHandle copy(files, created.opened.handle);
  Sha256 hash;
  platform::OsError error = platform::kOk;
  for (std::uint64_t offset = 0;;) {
    const auto read = files.readAt(source, offset, kCopyBlock);
    if (read.error != platform::kOk) {
      error = read.error;
      break;
    }
    if (read.bytes.empty()) break;
    hash.update(read.bytes);
    if ((error = files.writeBytes(copy.get(), read.bytes)) != platform::kOk) break;
    offset += read.bytes.size();
  }
  if (error == platform::kOk) error = files.flushFile(copy.get());
  const auto closed = files.closeFile(copy.release());
  if (error == platform::kOk) error = closed;
  if (error != platform::kOk) {
    files.removeFile(copyPath);
    throw fail(error);
  }
  // What the run trusts the copy for is that only administrators may
  // change it: a folder that would pass on more than the tool asked for
  // refuses it.
  const auto facts = security.inspect(copyPath);
  std::optional<std::u16string> why;
  if (facts.error != platform::kOk) {
    why = u"as permissões não puderam ser lidas: " + texts.describe(facts.error);
  } else if (facts.kind != platform::FileKind::File) {
    why = u"não é um arquivo";
  } else {
    why = whyUntrusted(facts);
  }
  if (why) {
    files.removeFile(copyPath);
    throw toolError(u"Não foi possível copiar a nova versão: a cópia " + copyPath + u" " + *why);
  }
  return hash.finishHex();
}

}  // namespace usqz
