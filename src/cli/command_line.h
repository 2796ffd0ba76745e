// Reading the command line: splitting it into arguments, finding the service
// name, and deriving every name the run works with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_and_process.h"
#include "platform/text.h"

namespace usqz {

// Splits a whole command line; the result starts with the program's name.
// Blanks and control characters (code 32 or below) separate arguments. A
// double quote anywhere starts a stretch that runs to the next one or to the
// end; the quotes are dropped. There is no escape character, and a pair of
// quotes with nothing between them where an argument would begin yields no
// argument.
std::vector<std::u16string> splitCommandLine(std::u16string_view commandLine);

// The arguments with the program's name first, however the platform gives them.
std::vector<std::u16string> programArguments(const platform::CommandLine& commandLine);

// The value after the last "--service-name" (the empty text when that option
// is the last argument); every other argument is ignored.
std::u16string scanServiceName(const std::vector<std::u16string>& arguments);

// The options besides the service name, each spelled exactly so and
// anywhere on the command line; a value taken by "--service-name" is a
// name, not an option. Neither changes a run that does not ask for it.
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
  // Why the command line cannot be run as it stands; empty when it can.
  std::u16string malformed;

  bool verifiesNewVersion() const { return requireSignature || !sha256.empty(); }
};

Options scanOptions(const std::vector<std::u16string>& arguments);

// A hash as administrators copy it (any case, blanks, colons and the
// invisible marks some certificate dialogs add): its lower-case hex digits
// when they are `digits` of them, else nothing.
std::optional<std::u16string> normalizedHex(std::u16string_view text, std::size_t digits);

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
