#include "checks/location_trust.h"

#include "platform/text.h"
#include "cli/tool_error.h"

namespace usqz {

std::optional<std::u16string> whyUntrusted(const platform::FileFacts& facts) {
  if (!facts.foreignOwner.empty()) return u"pertence a " + facts.foreignOwner;
  if (facts.foreignWriters.empty()) return std::nullopt;
  std::u16string writers;
  for (const auto& writer : facts.foreignWriters) writers += (writers.empty() ? u"" : u", ") + writer;
  return u"pode ser alterado por " + writers;
}

namespace {

void refuseUntrusted(platform::Platform& p, const std::u16string& path, std::u16string_view advice) {
  const auto facts = p.security.inspect(path);
  if (facts.error == platform::kErrorFileNotFound) return;
  std::optional<std::u16string> why;
  if (facts.error != platform::kOk) {
    why = u"as permissões não puderam ser lidas: " + p.texts.describe(facts.error);
  } else {
    why = whyUntrusted(facts);
  }
  if (why) {
    throw toolError(u"Local não confiável: " + path + u" " + *why +
                    u"; só administradores podem gravar onde a ferramenta atua" + std::u16string(advice));
  }
}

}  // namespace

void checkWhereTheToolActs(platform::Platform& p, const Names& update, const Names& names) {
  // A pin proves the new version's bytes, not who may change the folder,
  // the executable or its backup afterwards: these are checked whatever
  // the options.
  const auto folder = std::u16string(directoryOf(update.pathCurrentBin));
  for (const auto* path : {&folder, &update.pathCurrentBin, &update.pathOldBin}) refuseUntrusted(p, *path, u"");
  if (names.rollback) refuseUntrusted(p, names.pathOldBin, u"");
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
    throw toolError(u"Não foi possível ler a nova versão: " + texts.describe(facts.error));
  }
  if (facts.kind == platform::FileKind::Link) {
    throw toolError(u"A nova versão é um link, não um arquivo: " + names.pathNewBin);
  }
  if (facts.links != 1) {
    throw toolError(u"A nova versão tem outro nome no disco (" + toDecimal(facts.links) +
                    u" links físicos): " + names.pathNewBin);
  }
}

}  // namespace usqz
