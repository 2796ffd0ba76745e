// The executables' moves: the backup of the current version, the activation
// of the new one, and putting them back when the update cannot go on. Every
// executable present before the run is, after it, at one of the three paths;
// a move that cannot be made is said, never passed over.
//
// Where each version is, is read from the disk by its identity rather than
// remembered: the same reading serves a run undoing its own failed update
// and a run undoing one that died halfway.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/trust.h"
#include "run/transaction/run_journal.h"

namespace usqz {

enum class Slot { Current, New, Old };

// Where the versions of a journal are now; nothing where one is at none of
// the three paths.
struct Placement {
  std::optional<Slot> previous;
  std::optional<Slot> next;

  // Each version found is where it was before the update began: nothing
  // to move back.
  bool inPlace() const {
    return (!next || *next == Slot::New) && (!previous || *previous == Slot::Current);
  }
};

class ExecutableSwap {
 public:
  ExecutableSwap(platform::FileAndProcess& files, platform::Clock& clock, platform::ErrorTexts& texts,
                 platform::Trust& trust, Console& console, const Names& names);

  // Before the stop: an older backup must be a file the swap can remove.
  // Held files are waited for as moves are; an error otherwise.
  void checkOlderBackupRemovable();

  // Before the stop: the current version must be a file the swap can
  // move (nobody holds it without sharing its deletion, after the usual
  // wait) and tell apart; an error otherwise.
  void checkCurrentMovable();

  // The identity of the file at `path`; nothing when there is none, an
  // error when there is one that cannot be told apart (a version taken
  // for missing would never be put back).
  std::optional<platform::FileIdentity> identityOf(const std::u16string& path);
  // The SHA-256 of the file at `path` (read through `held` when given);
  // empty when it cannot be read.
  std::u16string sha256Of(const std::u16string& path, platform::FileHandle held = {});
  // The same, read at most once a run: a file whose identity this run has
  // hashed or written already is not read again (an executable of hundreds
  // of megabytes is read once, not once for each thing that asks). Never
  // for a recovery, which checks bytes afresh.
  std::u16string knownSha256Of(const std::u16string& path);
  // `sha256` is the hash of the file now at `path`, which the run wrote.
  void rememberSha256(const std::u16string& path, const std::u16string& sha256);
  // By identity, and by content where a version's identity is at none of
  // the paths (a copy of the same bytes put there again).
  Placement locate(const JournalRecord& record);
  const std::u16string& pathOf(Slot slot) const;
  // Removes a file, waiting for a holder to let go; an error code when it
  // stays.
  platform::OsError removeRetrying(const std::u16string& path);

  // Removes an older backup, backs the current version up (when there is
  // one) and activates the new one, a line for each; an error when a step
  // fails. `held`: the new version open since its check, activated by
  // renaming that very file.
  void swap(platform::FileHandle held = {});

  // The new version back at its own name and the previous one back in
  // place, from wherever they are: an activated version's return is said,
  // and so is the previous version's when `announceRestore` or when the new
  // one was active. Empty when done (or nothing to do), else what the
  // result must say, naming where each version now is.
  std::u16string putBack(const Placement& placement, bool announceRestore);
  // A confirmed rollback: the version it replaced becomes the backup.
  // Empty when done, else where that version stays and why.
  std::u16string keepReplacedAsBackup();
  // What the result says of a version of the journal that is at none of
  // the three paths.
  std::u16string notFound(const JournalRecord& record, const Placement& placement) const;

 private:
  platform::OsError moveRetrying(const std::u16string& from, const std::u16string& to);
  std::optional<platform::FileIdentity> readIdentity(const std::u16string& path, platform::OsError& error);

  std::vector<std::pair<platform::FileIdentity, std::u16string>> known_;
  platform::FileAndProcess& files_;
  platform::Clock& clock_;
  platform::ErrorTexts& texts_;
  platform::Trust& trust_;
  Console& console_;
  const Names& names_;
};

}  // namespace usqz
