#include "run/outcome.h"

namespace usqz {

Outcome outcomeOf(const EndState& end) {
  if (end.dependentsDown || end.restartsSuspended) return Outcome::Down;
  if (end.newVersionConfirmed) return end.runsAtEnd ? Outcome::Updated : Outcome::Down;
  if (!end.touched) return Outcome::Unchanged;
  // A service the run registered has no previous version to fall back on.
  if (end.registered || !end.previousInPlace) return Outcome::Down;
  if (end.runsAtEnd) return Outcome::RolledBack;
  // Found stopped, and stopped again with its files back: as it was.
  return end.wasRunning ? Outcome::Down : Outcome::Unchanged;
}

int exitStatusFor(Outcome outcome, bool exitCodeAsked) {
  if (outcome == Outcome::Escaped) return 1;
  if (!exitCodeAsked) return 0;
  switch (outcome) {
    case Outcome::Updated: return 0;
    case Outcome::Usage: return 2;
    case Outcome::NothingToDo: return 3;
    case Outcome::Unchanged: return 10;
    case Outcome::RolledBack: return 11;
    case Outcome::Down: return 12;
    case Outcome::Busy: return 1618;  // ERROR_INSTALL_ALREADY_RUNNING: try again later
    case Outcome::Escaped: break;
  }
  return 1;
}

}  // namespace usqz
