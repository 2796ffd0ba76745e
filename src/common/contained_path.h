// Whether a name built from the command line stays in the folder it is meant
// for. The service name is taken as it stands, and the tool deletes, moves
// and writes files under names derived from it, as an administrator: a name
// with "..\" in it, a rooted one, a drive or an NTFS stream ("a:b") must not
// reach files elsewhere. Portable: the rules are the Windows path rules,
// checked on the text alone.
#pragma once

#include <string_view>

namespace usqz {

// `relativeName` is taken relative to a folder (the working directory, or
// the tool's own). True when it names something inside that folder or below
// it: no colon, no leading separator, and no ".." that climbs above the start.
// A component made only of dots and blanks other than "." and ".." counts as
// leaving, since Windows trims trailing dots and blanks from names.
bool staysInFolder(std::u16string_view relativeName);

}  // namespace usqz
