// Interruptions the process can see (Ctrl+C, Ctrl+Break): while deferred
// they do not end the process but are remembered, so that a run in the
// middle of a transaction finishes or rolls back first. Closing the window,
// logging off and shutting down cannot be deferred for long; the run's
// journal covers those. Portable header.
#pragma once

namespace usqz::platform {

class Interrupts {
 public:
  virtual ~Interrupts() = default;

  virtual void defer() = 0;
  // Acted on as usual again; one that arrived meanwhile is not raised again.
  virtual void allow() = 0;
  // Whether one arrived while they were deferred.
  virtual bool arrived() = 0;
};

}  // namespace usqz::platform
