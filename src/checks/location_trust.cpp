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

void checkLocation(platform::Platform& p, const Options& options, const Names& names) {
  // Pinned content is checked on the file held open until it moves: who
  // could write it before does not matter.
  if (options.verifiesNewVersion()) return;
  const auto folder = std::u16string(directoryOf(names.pathCurrentBin));
  for (const auto* path : {&folder, &names.pathNewBin, &names.pathCurrentBin, &names.pathOldBin}) {
    const auto facts = p.security.inspect(*path);
    if (facts.error == platform::kErrorFileNotFound) continue;
    std::optional<std::u16string> why;
    if (facts.error != platform::kOk) {
      why = u"as permissões não puderam ser lidas: " + p.texts.describe(facts.error);
    } else {
      why = whyUntrusted(facts);
    }
    if (why) {
      throw toolError(u"Local não confiável: " + *path + u" " + *why +
                      u"; só administradores podem gravar onde a ferramenta atua, ou use --sha256 ou "
                      u"--require-signature");
    }
  }
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
