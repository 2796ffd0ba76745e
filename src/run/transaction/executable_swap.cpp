#include "run/transaction/executable_swap.h"

#include "common/tool_error.h"
#include "platform/held_files.h"

namespace usqz {

using platform::OsError;

ExecutableSwap::ExecutableSwap(platform::FileAndProcess& files, platform::Clock& clock, platform::ErrorTexts& texts,
                               platform::Trust& trust, Console& console, const Names& names)
    : files_(files), clock_(clock), texts_(texts), trust_(trust), console_(console), names_(names) {}

void ExecutableSwap::checkOlderBackupRemovable() {
  // A rollback never removes a file it did not put there: one at its own
  // name is what a rollback that could not finish left.
  if (names_.rollback) {
    if (files_.fileExists(names_.pathOldBin)) {
      throw toolError(u"Há um arquivo de uma reversão anterior em " + names_.pathOldBin +
                      u": confira qual versão ele contém e remova-o para prosseguir");
    }
    // The swap needs the name free: anything else there (a folder) would
    // fail it once the service is down.
    const auto error = files_.probeDeletable(names_.pathOldBin);
    if (error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound) {
      throw toolError(u"O nome " + names_.pathOldBin + u", de que a reversão precisa, está ocupado: " +
                      (error == platform::kErrorDirectory ? std::u16string(u"é uma pasta") : texts_.describe(error)));
    }
    return;
  }
  const auto error = retryWhileHeld(clock_, [&] { return files_.probeDeletable(names_.pathOldBin); });
  if (error == platform::kOk || error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
    return;
  }
  const auto why = error == platform::kErrorDirectory ? std::u16string(u"é uma pasta") : texts_.describe(error);
  throw toolError(u"O backup antigo não pode ser removido: " + names_.pathOldBin + u": " + why);
}

void ExecutableSwap::checkCurrentMovable() {
  if (!files_.fileExists(names_.pathCurrentBin)) {
    // A folder at the executable's name would block the activation once
    // the service is down.
    if (files_.probeDeletable(names_.pathCurrentBin) == platform::kErrorDirectory) {
      throw toolError(u"A versão atual não poderia ser substituída: " + names_.pathCurrentBin + u" é uma pasta");
    }
    return;
  }
  const auto error = retryWhileHeld(clock_, [&] { return files_.probeMovable(names_.pathCurrentBin); });
  if (error == platform::kErrorSharingViolation) {
    throw toolError(u"A versão atual está em uso por outro processo e não poderia ser movida: " +
                    names_.pathCurrentBin);
  }
  if (error != platform::kOk && error != platform::kErrorFileNotFound) {
    throw toolError(u"A versão atual não poderia ser movida: " + names_.pathCurrentBin + u": " +
                    texts_.describe(error));
  }
  identityOf(names_.pathCurrentBin);
}

std::optional<platform::FileIdentity> ExecutableSwap::readIdentity(const std::u16string& path,
                                                                    platform::OsError& error) {
  error = platform::kOk;
  if (!files_.fileExists(path)) return std::nullopt;
  // Asked again when it fails once: a scanner may hold it for a moment.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto found = files_.fileIdentity(path);
    error = found.error;
    if (error == platform::kOk) return found.identity;
    if (error == platform::kErrorFileNotFound) break;
  }
  if (error == platform::kErrorFileNotFound) error = platform::kOk;
  return std::nullopt;
}

std::optional<platform::FileIdentity> ExecutableSwap::identityOf(const std::u16string& path) {
  platform::OsError error = platform::kOk;
  auto identity = readIdentity(path, error);
  if (error != platform::kOk) {
    throw toolError(u"Não foi possível identificar o arquivo " + path + u": " + texts_.describe(error));
  }
  return identity;
}

std::u16string ExecutableSwap::sha256Of(const std::u16string& path, platform::FileHandle held) {
  if (held) {
    const auto hash = trust_.sha256(held);
    return hash.error == platform::kOk ? hash.sha256 : std::u16string();
  }
  platform::FileOpenResult opened;
  const auto error = retryWhileHeld(clock_, [&] {
    opened = files_.openToRead(path);
    return opened.error;
  });
  if (error != platform::kOk) return {};
  const platform::OwnedFileHandle file(files_, opened.handle);
  const auto hash = trust_.sha256(file.get());
  return hash.error == platform::kOk ? hash.sha256 : std::u16string();
}

std::u16string ExecutableSwap::knownSha256Of(const std::u16string& path) {
  const auto identity = files_.fileIdentity(path);
  if (identity.error == platform::kOk) {
    for (const auto& [file, sha256] : known_) {
      if (file == identity.identity) return sha256;
    }
  }
  auto sha256 = sha256Of(path);
  if (identity.error == platform::kOk && !sha256.empty()) known_.emplace_back(identity.identity, sha256);
  return sha256;
}

void ExecutableSwap::rememberSha256(const std::u16string& path, const std::u16string& sha256) {
  const auto identity = files_.fileIdentity(path);
  if (identity.error == platform::kOk && !sha256.empty()) known_.emplace_back(identity.identity, sha256);
}

std::u16string ExecutableSwap::notFound(const JournalRecord& record, const Placement& placement) const {
  const bool previousLost = record.previous && !placement.previous;
  return std::u16string(previousLost ? u"a versão anterior não foi encontrada" : u"a nova versão não foi encontrada") +
         u" em " + names_.pathCurrentBin + u", " + names_.pathNewBin + u" nem " + names_.pathOldBin;
}

Placement ExecutableSwap::locate(const JournalRecord& record) {
  Placement placement;
  std::vector<Slot> unclaimed;
  for (const auto slot : {Slot::Current, Slot::New, Slot::Old}) {
    // One that cannot be told apart may still be found by its content.
    platform::OsError error = platform::kOk;
    const auto identity = readIdentity(pathOf(slot), error);
    if (!identity) {
      if (error != platform::kOk) unclaimed.push_back(slot);
      continue;
    }
    if (record.previous && *identity == *record.previous) {
      placement.previous = slot;
    } else if (*identity == record.next) {
      placement.next = slot;
    } else {
      unclaimed.push_back(slot);
    }
  }
  // Copied again, a version keeps its bytes and loses its identity.
  const auto byContent = [&](std::optional<Slot>& found, const std::u16string& sha256) {
    if (found || sha256.empty()) return;
    for (auto it = unclaimed.begin(); it != unclaimed.end(); ++it) {
      if (sha256Of(pathOf(*it)) == sha256) {
        found = *it;
        unclaimed.erase(it);
        return;
      }
    }
  };
  if (record.previous) byContent(placement.previous, record.previousSha256);
  byContent(placement.next, record.nextSha256);
  return placement;
}

// With no current executable (a service registered before its executable
// was placed, or an update undone after the backup) there is nothing to
// back up, and an existing backup is kept.
void ExecutableSwap::swap(platform::FileHandle held) {
  if (names_.rollback) {
    checkOlderBackupRemovable();
    if (files_.fileExists(names_.pathCurrentBin)) {
      console_.writeLine(u"  -> Guardando a versão atual: EXE -> ROLLBACK");
      if (const auto error = moveRetrying(names_.pathCurrentBin, names_.pathOldBin)) {
        throw toolError(u"Erro ao guardar a versão atual: " + texts_.describe(error));
      }
    }
    console_.writeLine(u"  -> Reativando a versão anterior: OLD -> EXE");
  } else {
    if (files_.fileExists(names_.pathCurrentBin)) {
      if (files_.fileExists(names_.pathOldBin)) {
        console_.writeLine(u"  -> Removendo versão antiga (OLD)");
        if (const auto error = removeRetrying(names_.pathOldBin)) {
          throw toolError(u"Erro ao remover a versão antiga (OLD): " + texts_.describe(error));
        }
      }
      console_.writeLine(u"  -> Fazendo backup da versao atual: EXE -> OLD");
      if (const auto error = moveRetrying(names_.pathCurrentBin, names_.pathOldBin)) {
        throw toolError(u"Erro ao fazer backup da versão atual: " + texts_.describe(error));
      }
    }
    console_.writeLine(u"  -> Ativando nova versão: NEW -> EXE");
  }
  const auto error = held ? retryWhileHeld(clock_, [&] { return files_.renameOpenFile(held, names_.pathCurrentBin); })
                          : moveRetrying(names_.pathNewBin, names_.pathCurrentBin);
  if (error) {
    throw toolError(u"Erro ao ativar a nova versão: " + texts_.describe(error));
  }
}

std::u16string ExecutableSwap::keepReplacedAsBackup() {
  if (!files_.fileExists(names_.pathOldBin)) return {};
  if (files_.fileExists(names_.pathNewBin)) {
    return u"A versão substituída ficou em " + names_.pathOldBin + u": " + names_.pathNewBin +
           u" está ocupado por outro arquivo";
  }
  console_.writeLine(u"  -> Guardando a versão substituída como backup: ROLLBACK -> OLD");
  if (const auto error = moveRetrying(names_.pathOldBin, names_.pathNewBin)) {
    return u"A versão substituída ficou em " + names_.pathOldBin + u": " + texts_.describe(error);
  }
  return {};
}

std::u16string ExecutableSwap::putBack(const Placement& placement, bool announceRestore) {
  const bool wasActive = placement.next == Slot::Current;
  if (placement.next && *placement.next != Slot::New) {
    const auto& from = pathOf(*placement.next);
    if (wasActive) {
      console_.writeLine(names_.rollback ? u"  -> Devolvendo o backup: EXE -> OLD"
                                         : u"  -> Devolvendo a nova versão: EXE -> NEW");
    }
    if (const auto error = moveRetrying(from, names_.pathNewBin)) {
      std::u16string said = u"Reversão falhou ao devolver a nova versão (" + texts_.describe(error) +
                            u"); a nova versão está em " + from;
      if (placement.previous) said += u" e a anterior em " + pathOf(*placement.previous);
      return said;
    }
  }
  if (placement.previous && *placement.previous != Slot::Current) {
    const auto& from = pathOf(*placement.previous);
    if (wasActive || announceRestore) {
      console_.writeLine(names_.rollback ? u"  -> Restaurando a versão que executava: ROLLBACK -> EXE"
                                         : u"  -> Restaurando versão anterior: OLD -> EXE");
    }
    if (const auto error = moveRetrying(from, names_.pathCurrentBin)) {
      if (!wasActive) {
        return u"Não foi possível restaurar o backup (" + texts_.describe(error) + u"); a versão atual está em " +
               from;
      }
      return u"Reversão falhou ao restaurar a versão anterior (" + texts_.describe(error) +
             u"); a versão anterior está em " + from + u" e a nova em " + names_.pathNewBin;
    }
  }
  return {};
}

const std::u16string& ExecutableSwap::pathOf(Slot slot) const {
  switch (slot) {
    case Slot::Current: return names_.pathCurrentBin;
    case Slot::New: return names_.pathNewBin;
    case Slot::Old: break;
  }
  return names_.pathOldBin;
}

OsError ExecutableSwap::moveRetrying(const std::u16string& from, const std::u16string& to) {
  return retryWhileHeld(clock_, [&] { return files_.moveNoReplace(from, to); });
}

// A file deleted while another process holds it (sharing its deletion)
// stays until that process lets go, and blocks the name meanwhile: the
// removal counts once the name is free. A read-only file, which Windows
// will not delete, is removed all the same.
OsError ExecutableSwap::removeRetrying(const std::u16string& path) {
  return retryWhileHeld(clock_, [&] {
    if (const auto error = files_.clearReadOnly(path); error != platform::kErrorFileNotFound && error != platform::kOk) {
      return error;
    }
    const auto error = files_.removeFile(path);
    if (error == platform::kErrorFileNotFound) return platform::kOk;
    if (error == platform::kOk && files_.fileExists(path)) return platform::kErrorAccessDenied;
    return error;
  });
}

}  // namespace usqz
