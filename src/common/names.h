// Every name a run works with, derived from the service name and the
// tool's own path: the executables, the journal, the copy, the result file.
#pragma once

#include <string>
#include <string_view>

namespace usqz {

struct Names {
  std::u16string serviceName;
  std::u16string itemName;
  std::u16string logFilename;
  std::u16string pathCurrentBin;
  std::u16string pathNewBin;
  std::u16string pathOldBin;
  // Beside the executables: how far an update of them got.
  std::u16string pathJournal;
  // Where the tool writes its own copy of the new version before it takes
  // the new version's place.
  std::u16string pathCopyBin;
  // A rollback's names: the backup is the version it activates (at
  // pathNewBin's place in the swap), and the version it replaces waits at
  // pathOldBin, a name of its own, until the rollback is confirmed; then it
  // becomes the backup.
  bool rollback = false;
};

// How the run's messages name the version it activates ("nova versão",
// or a rollback's "versão anterior (OLD)"), without its article.
std::u16string versionBeingActivated(const Names& names);

Names deriveNames(std::u16string_view serviceName, std::u16string_view ownExecutablePath);
// The same executables, seen by a rollback.
Names rollbackNames(const Names& names);

}  // namespace usqz
