#include "executable_swap.h"

#include "tool_error.h"

namespace usqz {

namespace {

using platform::OsError;

// Files held by a virus scanner or by a service process still exiting are
// let go within moments; anything else will not change by waiting.
constexpr std::uint32_t kPollMs = 100;
constexpr std::uint64_t kLetGoMs = 5'000;

bool isTransient(OsError error) {
  return error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied;
}

}  // namespace

ExecutableSwap::ExecutableSwap(platform::FileAndProcess& os, platform::ErrorTexts& texts, Console& console,
                               const Names& names)
    : os_(os), texts_(texts), console_(console), names_(names) {}

void ExecutableSwap::checkOlderBackupRemovable() {
  const auto started = os_.monotonicMilliseconds();
  for (;;) {
    const auto error = os_.probeDeletable(names_.pathOldBin);
    if (error == platform::kOk || error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
      return;
    }
    if (!isTransient(error) || os_.monotonicMilliseconds() - started >= kLetGoMs) {
      const auto why = error == platform::kErrorDirectory ? std::u16string(u"é uma pasta") : texts_.describe(error);
      throw toolError(u"O backup antigo não pode ser removido: " + names_.pathOldBin + u": " + why);
    }
    os_.pause(kPollMs);
  }
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
  const auto started = os_.monotonicMilliseconds();
  for (;;) {
    const auto error = os_.moveNoReplace(from, to);
    if (!isTransient(error) || os_.monotonicMilliseconds() - started >= kLetGoMs) return error;
    os_.pause(kPollMs);
  }
}

}  // namespace usqz
