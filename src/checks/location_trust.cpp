#include "checks/location_trust.h"

#include "platform/text.h"
#include "common/tool_error.h"

namespace usqz {

std::optional<std::u16string> whyUntrusted(const platform::FileFacts& facts) {
  if (!facts.foreignOwner.empty()) return u"pertence a " + facts.foreignOwner;
  if (facts.foreignWriters.empty()) return std::nullopt;
  return u"pode ser alterado por " + joined(facts.foreignWriters);
}

namespace {

[[noreturn]] void refuse(const std::u16string& path, const std::u16string& why, std::u16string_view advice = {}) {
  throw toolError(u"Local não confiável: " + path + u" " + why +
                  u"; só administradores podem gravar onde a ferramenta atua" + std::u16string(advice));
}

// `file`: a name the run moves, replaces or deletes, which must be the
// file itself: moving or deleting a link may act on what it points to.
void refuseUntrusted(platform::Platform& p, const std::u16string& path, std::u16string_view advice,
                     bool file = false) {
  const auto facts = p.security.inspect(path);
  if (facts.error == platform::kErrorFileNotFound) return;
  std::optional<std::u16string> why;
  if (facts.error != platform::kOk) {
    why = u"as permissões não puderam ser lidas: " + p.texts.describe(facts.error);
  } else if (file && facts.kind == platform::FileKind::Link) {
    why = u"é um link, não um arquivo";
  } else {
    why = whyUntrusted(facts);
  }
  if (why) refuse(path, *why, advice);
}

}  // namespace

std::u16string displayPath(std::u16string_view path) {
  if (path.rfind(u"\\\\?\\UNC\\", 0) == 0) return u"\\\\" + std::u16string(path.substr(8));
  if (path.rfind(u"\\\\?\\", 0) == 0) return std::u16string(path.substr(4));
  return std::u16string(path);
}

std::vector<std::u16string> foldersAbove(std::u16string_view folder) {
  std::u16string path = displayPath(folder);
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  // The volume's root: "C:\", or "\\server\share\".
  std::size_t root = 0;
  if (path.size() >= 2 && path[1] == u':') {
    root = 3;
  } else if (path.rfind(u"\\\\", 0) == 0) {
    const auto server = path.find(u'\\', 2);
    const auto share = server == std::u16string::npos ? server : path.find(u'\\', server + 1);
    if (share == std::u16string::npos) return {};
    root = share + 1;
  } else {
    return {};
  }
  std::vector<std::u16string> above;
  for (auto cut = path.find_last_of(u'\\'); cut != std::u16string::npos && cut + 1 >= root;
       cut = cut == 0 ? std::u16string::npos : path.find_last_of(u'\\', cut - 1)) {
    above.push_back(path.substr(0, cut + 1));
    if (cut + 1 == root) break;
  }
  return above;
}

void checkFolderChain(platform::Platform& p, const std::u16string& folder) {
  // Judged where it really is: a junction, a link or a substituted drive
  // on the way resolved.
  const auto final = displayPath(p.files.finalPath(folder));
  const auto bare = [](std::u16string_view path) {
    while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    return path;
  };
  if (bare(final) != bare(folder)) refuseUntrusted(p, final, u"");
  // Whoever may rename or replace a folder above it replaces the whole
  // folder: nobody else may delete, rename or re-permission one, or
  // delete what one holds.
  for (const auto& above : foldersAbove(final)) {
    const auto facts = p.security.inspect(above);
    if (facts.error == platform::kErrorFileNotFound) continue;
    if (facts.error != platform::kOk) refuse(above, u"as permissões não puderam ser lidas: " + p.texts.describe(facts.error));
    if (!facts.foreignOwner.empty()) refuse(above, u"pertence a " + facts.foreignOwner);
    if (!facts.foreignRenamers.empty()) {
      refuse(above, u"pode ser renomeada, apagada ou ter as permissões alteradas por " + joined(facts.foreignRenamers));
    }
    if (!facts.foreignChildDeleters.empty()) {
      refuse(above, u"permite que " + joined(facts.foreignChildDeleters) + u" apague ou renomeie o que ela contém");
    }
  }
}

std::optional<std::u16string> whyRunUntrusted(platform::Platform& p, const std::u16string& path) {
  const auto final = displayPath(p.files.finalPath(path));
  const auto folder = std::u16string(directoryOf(final));
  try {
    refuseUntrusted(p, final, u"");
    refuseUntrusted(p, folder, u"");
    checkFolderChain(p, folder);
  } catch (const ToolError& error) {
    return error.message();
  }
  return std::nullopt;
}

void checkWhereTheToolActs(platform::Platform& p, const Names& update, const Names& names) {
  // A pin proves the new version's bytes, not who may change the folder,
  // the executable or its backup afterwards: these are checked whatever
  // the options.
  const auto folder = std::u16string(directoryOf(update.pathCurrentBin));
  refuseUntrusted(p, folder, u"");
  checkFolderChain(p, folder);
  for (const auto* path : {&update.pathCurrentBin, &update.pathOldBin}) refuseUntrusted(p, *path, u"", true);
  if (names.rollback) refuseUntrusted(p, names.pathOldBin, u"", true);
  // Whoever wrote the new version, its name is moved and deleted: it is
  // never a link, not even for a recovery.
  const auto next = p.security.inspect(update.pathNewBin);
  if (next.error == platform::kOk && next.kind == platform::FileKind::Link) {
    throw toolError(u"A nova versão é um link, não um arquivo: " + update.pathNewBin);
  }
}

void checkNewVersionLocation(platform::Platform& p, const Options& options, const Names& names) {
  // Pinned content is copied into the tool's own file before it is used:
  // who could write the new version does not matter then.
  if (options.verifiesNewVersion() && !names.rollback) return;
  refuseUntrusted(p, names.pathNewBin, names.rollback ? u"" : u", ou use --sha256 ou --require-signature");
}

void checkPlainNewVersion(platform::FileSecurity& security, platform::ErrorTexts& texts, const Names& names) {
  const auto facts = security.inspect(names.pathNewBin);
  if (facts.error != platform::kOk) {
    throw toolError(u"Não foi possível ler a " + versionBeingActivated(names) + u": " + texts.describe(facts.error));
  }
  if (facts.kind == platform::FileKind::Link) {
    throw toolError(u"A " + versionBeingActivated(names) + u" é um link, não um arquivo: " + names.pathNewBin);
  }
  if (facts.links != 1) {
    throw toolError(u"A " + versionBeingActivated(names) + u" tem outro nome no disco (" + toDecimal(facts.links) +
                    u" links físicos): " + names.pathNewBin);
  }
}

}  // namespace usqz
