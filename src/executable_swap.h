// The executables' moves: the backup of the current version, the activation
// of the new one, and putting them back when the update cannot go on. Every
// executable present before the run is, after it, at one of the three paths;
// a move that cannot be made is said, never passed over.
#pragma once

#include <string>

#include "command_line.h"
#include "console.h"
#include "platform/error_text.h"
#include "platform/file_and_process.h"

namespace usqz {

class ExecutableSwap {
 public:
  ExecutableSwap(platform::FileAndProcess& os, platform::ErrorTexts& texts, Console& console, const Names& names);

  // Before the stop: an older backup must be a file the swap can remove.
  // Held files are waited for as moves are; an error otherwise.
  void checkOlderBackupRemovable();

  // Removes an older backup, backs the current version up (when there is
  // one) and activates the new one, a line for each; an error when a move
  // fails.
  void swap();
  bool backedUp() const { return backedUp_; }
  bool activated() const { return activated_; }
  // Whether the executables stand as they did before the run.
  bool asTheyWere() const { return !backedUp_ && !activated_; }

  // Before the activation: the backup back in place. Empty when done (or
  // nothing to do), else what the result must say of it.
  std::u16string restoreBackup();
  // After the activation: the new version back at its own name and the
  // backup back in place, a line for each. Empty when done, else what the
  // result must say, naming where each version now is.
  std::u16string rollBack();

 private:
  platform::OsError moveRetrying(const std::u16string& from, const std::u16string& to);

  platform::FileAndProcess& os_;
  platform::ErrorTexts& texts_;
  Console& console_;
  const Names& names_;
  bool backedUp_ = false;
  bool activated_ = false;
};

}  // namespace usqz
