// The checks the run makes before it stops anything: that the new version is
// a complete executable nobody is still writing, that the service runs the
// executable the run is about to swap and can be started again, and that no
// other service runs it. Each refusal is an error that leaves the service
// and the files as they were.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/names.h"
#include "common/options.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/service_control.h"

namespace usqz {

// Reads the new version's headers, waiting a moment for a writer to let go.
void checkNewVersion(platform::FileAndProcess& os, platform::Clock& clock, platform::ErrorTexts& texts,
                     const Names& names);
// `path` held as the new version is (others may only read it), waiting a
// moment for a writer to let go.
platform::FileOpenResult openToActivateWaiting(platform::FileAndProcess& os, platform::Clock& clock,
                                               const std::u16string& path);
// Opens the new version to be checked and then activated through the same
// handle, so that nobody can change it in between, waiting a moment for a
// writer to let go; checks its headers.
platform::FileHandle holdNewVersion(platform::FileAndProcess& os, platform::Clock& clock, platform::ErrorTexts& texts,
                                    const Names& names);

// The program a registered command line names: the quoted part, or, when it
// is not quoted, every stretch up to a blank (Windows tries each in turn).
std::vector<std::u16string> programCandidates(std::u16string_view commandLine);

// Whether a registered command line runs `path`: environment variables
// expanded, full and long names, without regard to case. The folder and the
// file name are also compared apart, so that a registration by short name
// still matches while the file itself is missing (an update undone after
// its backup).
bool runsExecutable(platform::FileAndProcess& os, std::u16string_view commandLine, std::u16string_view path);

// An opened service: it must run pathCurrentBin and not be disabled.
void checkRegistration(platform::FileAndProcess& os, platform::ServiceControl& services,
                       platform::ErrorTexts& texts, platform::ServiceHandle service, const Names& names);

// Before registering: no registered service may run pathCurrentBin already.
void refuseSecondService(platform::FileAndProcess& os, platform::ServiceControl& services,
                         platform::ErrorTexts& texts, platform::ServiceHandle manager, const Names& names);

}  // namespace usqz
