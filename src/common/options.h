// What the command line asks of a run, once read: the options every part
// of the tool consults. Reading them is cli/'s, their values
// common/option_values.h's; what they mean is here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usqz {

// A health check the new version must pass before it counts as updated.
struct HealthCheck {
  enum class Kind { Url, Tcp, Command } kind = Kind::Url;
  std::u16string target;   // the URL, the host (brackets off an IPv6 address) or the command line
  std::uint16_t port = 0;  // for Tcp
  // For Command, once resolved: the program that runs, and its whole
  // command line.
  std::u16string program;
  std::u16string commandLine;
  // The script it runs, for .cmd, .bat and .ps1.
  std::u16string script;
};

// The options besides the service name; none changes a run that does not
// ask for it.
struct Options {
  std::u16string serviceName;
  bool exitCode = false;        // --exit-code: a status per outcome
  bool stopDependents = false;  // --stop-dependents: stop and restart them
  bool checkOnly = false;       // --check: every check, what the run would do, no change
  // What the new version must be before anything is stopped.
  bool requireSignature = false;  // --require-signature (implied by the two below)
  bool sameSigner = false;        // --same-signer: the current version's publisher
  // --check-revocation: the signer's chain checked for revocation, online.
  bool checkRevocation = false;
  // --signer, as often as given: a certificate's SHA-256 (lower-case hex,
  // 64 digits) or a subject's common name, exactly.
  std::vector<std::u16string> signers;
  std::u16string sha256;  // --sha256: the file's, lower-case hex; empty: not asked
  // --no-downgrade: the new version's file version must not be lower than
  // the current one's.
  bool noDowngrade = false;
  // --rollback: the backup becomes the running version, and the version it
  // replaces the backup; the new version is not touched.
  bool rollback = false;
  // --report <file>: what the run did, as JSON.
  std::u16string reportPath;
  // --event-log: the outcome as one event in the Application log.
  bool eventLog = false;
  // --health-url, --health-tcp, --health-command, in the order given; all
  // must pass within --health-timeout seconds.
  std::vector<HealthCheck> health;
  std::uint32_t healthTimeoutSeconds = 30;
  // --watch <duration>: once started, the new version must go on running
  // as the same process (and, with health checks, keep passing them) this
  // many seconds before the update counts; 0: not asked, the start's own
  // short watch only.
  std::uint32_t watchSeconds = 0;
  // Through the watch: the checks are tried every --health-interval
  // seconds, and the watch fails only after --health-failures rounds in a
  // row failed.
  std::uint32_t healthIntervalSeconds = 10;
  std::uint32_t healthFailures = 3;
  // --release <file>: the services of the file updated as one, instead of
  // --service-name's one.
  std::u16string releasePath;
  // Why the command line cannot be run as it stands; empty when it can.
  std::u16string malformed;

  bool verifiesNewVersion() const { return requireSignature || !sha256.empty(); }
};

}  // namespace usqz
