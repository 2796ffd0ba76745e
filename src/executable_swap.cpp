#include "executable_swap.h"

#include "held_files.h"
#include "tool_error.h"

namespace usqz {

using platform::OsError;

ExecutableSwap::ExecutableSwap(platform::FileAndProcess& os, platform::ErrorTexts& texts, Console& console,
                               const Names& names)
    : os_(os), texts_(texts), console_(console), names_(names) {}

void ExecutableSwap::checkOlderBackupRemovable() {
  const auto error = retryWhileHeld(os_, [&] { return os_.probeDeletable(names_.pathOldBin); });
  if (error == platform::kOk || error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
    return;
  }
  const auto why = error == platform::kErrorDirectory ? std::u16string(u"é uma pasta") : texts_.describe(error);
  throw toolError(u"O backup antigo não pode ser removido: " + names_.pathOldBin + u": " + why);
}

// With no current executable (a service registered before its executable
// was placed, or an update cut short after the backup) there is nothing to
// back up, and an existing backup is kept.
void ExecutableSwap::swap() {
  if (os_.fileExists(names_.pathCurrentBin)) {
    if (os_.fileExists(names_.pathOldBin)) {
      console_.writeLine(u"  -> Removendo versão antiga (OLD)");
      os_.removeFile(names_.pathOldBin);
    }
    console_.writeLine(u"  -> Fazendo backup da versao atual: EXE -> OLD");
    if (const auto error = moveRetrying(names_.pathCurrentBin, names_.pathOldBin)) {
      throw toolError(u"Erro ao fazer backup da versão atual: " + texts_.describe(error));
    }
    backedUp_ = true;
  }
  console_.writeLine(u"  -> Ativando nova versão: NEW -> EXE");
  if (const auto error = moveRetrying(names_.pathNewBin, names_.pathCurrentBin)) {
    throw toolError(u"Erro ao ativar a nova versão: " + texts_.describe(error));
  }
  activated_ = true;
}

std::u16string ExecutableSwap::restoreBackup() {
  if (!backedUp_ || activated_) return {};
  if (const auto error = moveRetrying(names_.pathOldBin, names_.pathCurrentBin)) {
    return u"Não foi possível restaurar o backup (" + texts_.describe(error) + u"); a versão atual está em " +
           names_.pathOldBin;
  }
  backedUp_ = false;
  return {};
}

std::u16string ExecutableSwap::rollBack() {
  if (!backedUp_ || !activated_) return {};
  console_.writeLineIfPossible(u"  -> Devolvendo a nova versão: EXE -> NEW");
  if (const auto error = moveRetrying(names_.pathCurrentBin, names_.pathNewBin)) {
    return u"Reversão falhou ao devolver a nova versão (" + texts_.describe(error) + u"); a nova versão está em " +
           names_.pathCurrentBin + u" e a anterior em " + names_.pathOldBin;
  }
  activated_ = false;
  console_.writeLineIfPossible(u"  -> Restaurando versão anterior: OLD -> EXE");
  if (const auto error = moveRetrying(names_.pathOldBin, names_.pathCurrentBin)) {
    return u"Reversão falhou ao restaurar a versão anterior (" + texts_.describe(error) +
           u"); a versão anterior está em " + names_.pathOldBin + u" e a nova em " + names_.pathNewBin;
  }
  backedUp_ = false;
  return {};
}

OsError ExecutableSwap::moveRetrying(const std::u16string& from, const std::u16string& to) {
  return retryWhileHeld(os_, [&] { return os_.moveNoReplace(from, to); });
}

}  // namespace usqz
