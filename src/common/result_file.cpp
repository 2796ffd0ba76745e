#include "common/result_file.h"

#include "common/contained_path.h"
#include "common/private_file.h"
#include "common/tool_error.h"

namespace usqz {

namespace {

// Why what stands at the name is not a result file the tool may replace or
// delete: deleting or replacing a link may act on what it leads to, and a
// file with another name or another owner is someone else's.
std::optional<std::u16string> whyNotTheResultFile(const platform::FileFacts& facts) {
  if (facts.kind == platform::FileKind::Link) return u"é um link, não um arquivo";
  if (facts.kind == platform::FileKind::Directory) return u"é uma pasta, não um arquivo";
  if (facts.links != 1) return u"tem outro nome no disco";
  if (!facts.foreignOwner.empty()) return u"pertence a " + facts.foreignOwner;
  return std::nullopt;
}

// Empty when written, else why not.
std::u16string writeResultFile(platform::Platform& p, std::u16string_view name, std::u16string_view text) {
  // A name that leaves its folder or names a stream is never touched.
  if (!staysInFolder(name) || name.size() > kMaxResultFilenameLength) return inOutErrorMessage(kInvalidFilename);
  const auto facts = p.security.inspect(name);
  if (facts.error == platform::kOk) {
    if (const auto why = whyNotTheResultFile(facts)) return *why;
  } else if (facts.error != platform::kErrorFileNotFound) {
    return inOutErrorMessage(facts.error);
  }
  const auto bytes = p.files.toNarrow(text, platform::CodePage::Ansi) + "\r\n";
  if (const auto error = writeAnew(p.files, p.processes, std::u16string(name), bytes, Readers::AsTheFolderSays)) {
    return inOutErrorMessage(error);
  }
  return {};
}

}  // namespace

std::optional<std::u16string> SaveResultQuietly(platform::Platform& p, std::u16string_view pFilename,
                                                std::u16string_view pResult) {
  const auto why = writeResultFile(p, pFilename, pResult);
  if (why.empty()) return std::nullopt;
  std::u16string line = u"Ocorreu um erro ao tentar salvar resultado no arquivo ";
  line += pFilename;
  line += u". Erro: ";
  line += why;
  return line;
}

void SaveResult(platform::Platform& p, Console& console, std::u16string_view pFilename, std::u16string_view pResult) {
  if (const auto failure = SaveResultQuietly(p, pFilename, pResult)) console.writeLine(*failure);
}

namespace {

// What stands at the result file's name: whether anything does, and why
// it is not a file this run may replace.
struct AtTheName {
  bool present = false;
  std::optional<std::u16string> why;
};

AtTheName lookAt(platform::Platform& p, std::u16string_view pFilename) {
  // Such a name is never written either: no outcome could be mistaken.
  if (!staysInFolder(pFilename)) return {};
  const auto facts = p.security.inspect(pFilename);
  if (facts.error == platform::kErrorFileNotFound || facts.error == platform::kErrorPathNotFound) return {};
  // What cannot be looked at may be anything.
  if (facts.error != platform::kOk) return {true, u"não pôde ser examinado: " + p.texts.describe(facts.error)};
  return {true, whyNotTheResultFile(facts)};
}

}  // namespace

std::optional<std::u16string> whyTheResultCannotBeReplaced(platform::Platform& p, std::u16string_view pFilename) {
  return lookAt(p, pFilename).why;
}

std::optional<std::u16string> RemoveResult(platform::Platform& p, std::u16string_view pFilename) {
  const auto found = lookAt(p, pFilename);
  if (found.why) return found.why;
  // A failed deletion shows up when the result is written, if it matters.
  if (found.present) p.files.removeFile(pFilename);
  return std::nullopt;
}

}  // namespace usqz
