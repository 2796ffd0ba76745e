// The copy's access list as Windows would be given it, over tables of the
// lists the current executable and its folder hold.
#include "platform/runnable_acl.h"

#include <gtest/gtest.h>

#include <string>

namespace usqz::platform::acl {
namespace {

// Accounts as the trimming sees them: bytes it does not read, and whom
// they stand for.
const std::vector<std::uint8_t> kSystem{1}, kAdministrators{2}, kUsers{3}, kCreatorOwner{4}, kCreatorGroup{5},
    kAlice{6}, kGuest{7}, kEveryone{9};
const Sids kSids{kAdministrators, kEveryone};

Who whoIs(const std::vector<std::uint8_t>& sid) {
  if (sid == kSystem || sid == kAdministrators) return Who::MayChange;
  if (sid == kCreatorOwner) return Who::CreatorOwner;
  if (sid == kCreatorGroup) return Who::CreatorGroup;
  return Who::Anyone;
}

Ace allow(const std::vector<std::uint8_t>& sid, std::uint32_t mask, std::uint8_t flags = 0) {
  return {kAllowed, flags, mask, sid, whoIs(sid), {}};
}
Ace deny(const std::vector<std::uint8_t>& sid, std::uint32_t mask, std::uint8_t flags = 0) {
  return {kDenied, flags, mask, sid, whoIs(sid), {}};
}
// An entry of another kind, whole: its header's type, flags and size, then
// what the trimming never reads.
Ace other(std::uint8_t type, std::uint8_t flags) { return {type, flags, 0, {}, Who::Anyone, {type, flags, 8, 0, 1, 2, 3, 4}}; }

constexpr std::uint32_t kFull = 0x001F01FF;         // FA
constexpr std::uint32_t kReadRun = 0x001200A9;      // RX
constexpr std::uint32_t kWrite = 0x00000002;        // write data
constexpr std::uint32_t kReadControl = 0x00120000;  // read control and synchronize
constexpr std::uint8_t kOI = kObjectInherit, kCI = kContainerInherit, kIO = kInheritOnly, kID = kInherited;

Dacl explicitList(std::vector<Ace> entries, bool isProtected = false) { return {true, isProtected, std::move(entries)}; }

TEST(RunnableAcl, TakesTheRightToChangeFromAnyoneElseAndKeepsWindowsOrder) {
  struct Case {
    const char* what;
    std::optional<Dacl> model;  // nothing: no current executable
    std::optional<Dacl> folder;
    RunnableAcl expected;
  };
  const Dacl readingFolder = explicitList({allow(kAdministrators, kFull, kOI | kCI), allow(kUsers, kReadRun, kOI | kCI)});
  const Case cases[] = {
      {"inherited read stays inherited",
       explicitList({allow(kAdministrators, kFull, kID), allow(kUsers, kReadRun, kID)}), readingFolder,
       {{allow(kAdministrators, kFull, kID), allow(kUsers, kReadRun, kID)}, false}},
      {"an explicit full control becomes read and run",
       explicitList({allow(kAlice, kFull)}), readingFolder,
       {{allow(kAlice, kReadRun), allow(kAdministrators, kFull, kID), allow(kUsers, kReadRun, kID)}, false}},
      {"generic rights are the file rights they stand for",
       explicitList({allow(kAlice, kGenericAll), allow(kGuest, kGenericWrite), allow(kSystem, kGenericAll)}),
       explicitList({}),
       {{allow(kAlice, kReadRun), allow(kGuest, kReadControl), allow(kSystem, kFull)}, false}},
      {"an entry left with nothing is dropped", explicitList({allow(kAlice, kWrite)}), explicitList({}), {{}, false}},
      {"explicit denies before explicit allows, then the inherited",
       explicitList({allow(kAlice, kReadRun), deny(kGuest, kWrite), allow(kUsers, kReadRun, kID)}), readingFolder,
       {{deny(kGuest, kWrite), allow(kAlice, kReadRun), allow(kAdministrators, kFull, kID),
         allow(kUsers, kReadRun, kID)},
        false}},
      // What the folder inherits comes from several generations, nearest
      // first: an older one's deny moved before a nearer one's allow would
      // take away what the nearer one gives.
      {"the folder's own entries before those it inherits, denies first among its own, the rest in its order",
       explicitList({}),
       explicitList({allow(kUsers, kReadRun, kOI), deny(kGuest, kWrite, kOI), allow(kAdministrators, kFull, kOI | kID),
                     deny(kAlice, kWrite, kOI | kID), allow(kSystem, kFull, kOI | kID)}),
       {{deny(kGuest, kWrite, kID), allow(kUsers, kReadRun, kID), allow(kAdministrators, kFull, kID),
         deny(kAlice, kWrite, kID), allow(kSystem, kFull, kID)},
        false}},
      {"a folder passing write on: every entry explicit, the list protected, in the order they applied",
       explicitList({allow(kAlice, kReadRun), deny(kGuest, kWrite)}),
       explicitList({allow(kUsers, kFull, kOI | kCI), deny(kAlice, kWrite, kOI | kID), other(kDeniedCallback, kOI)}),
       {{deny(kGuest, kWrite), allow(kAlice, kReadRun),
         {kDeniedCallback, 0, 0, {}, Who::Anyone, {kDeniedCallback, 0, 8, 0, 1, 2, 3, 4}}, allow(kUsers, kReadRun),
         deny(kAlice, kWrite)},
        true}},
      {"a protected model: its entries explicit, none left marked inherited",
       explicitList({allow(kUsers, kReadRun, kID), other(kDeniedObject, kID), allow(kAlice, kFull),
                     deny(kGuest, kWrite, kID)},
                    true),
       readingFolder,
       {{{kDeniedObject, 0, 0, {}, Who::Anyone, {kDeniedObject, 0, 8, 0, 1, 2, 3, 4}}, deny(kGuest, kWrite),
         allow(kUsers, kReadRun), allow(kAlice, kReadRun)},
        true}},
      {"no list at all: everyone reads and runs", Dacl{false, false, {}}, readingFolder,
       {{allow(kEveryone, kReadRun)}, true}},
      {"no model: the folder's entries for files, inherited", std::nullopt,
       explicitList({allow(kUsers, kReadRun, kCI), allow(kAlice, kReadRun, kOI | kIO), allow(kGuest, kReadRun, kOI)}),
       {{allow(kAlice, kReadRun, kID), allow(kGuest, kReadRun, kID)}, false}},
      {"the creator owner is the file's owner, Administrators", std::nullopt,
       explicitList({allow(kCreatorOwner, kFull, kOI | kCI | kIO)}), {{allow(kAdministrators, kFull, kID)}, false}},
      {"the creator's group could be anyone's: nothing is inherited", std::nullopt,
       explicitList({allow(kCreatorGroup, kReadRun, kOI), allow(kUsers, kReadRun, kOI)}),
       {{allow(kUsers, kReadRun)}, true}},
      {"a denial for the creator's group denies nobody in particular", std::nullopt,
       explicitList({deny(kCreatorGroup, kWrite, kOI), allow(kUsers, kReadRun, kOI)}),
       {{allow(kUsers, kReadRun, kID)}, false}},
      {"a conditional allow is left out of the model's", explicitList({other(0x09, 0), allow(kAlice, kReadRun)}),
       explicitList({}), {{allow(kAlice, kReadRun)}, false}},
      {"a conditional allow the folder passes on cannot be trimmed: nothing is inherited", std::nullopt,
       explicitList({other(0x09, kOI), allow(kUsers, kReadRun, kOI)}), {{allow(kUsers, kReadRun)}, true}},
      {"a folder with no list passes nothing on", explicitList({allow(kAlice, kReadRun)}), Dacl{false, false, {}},
       {{allow(kAlice, kReadRun)}, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto made = runnableAcl(c.model, c.folder, kSids);
    EXPECT_EQ(made.isProtected, c.expected.isProtected);
    ASSERT_EQ(made.entries.size(), c.expected.entries.size());
    for (std::size_t i = 0; i < made.entries.size(); ++i) {
      SCOPED_TRACE("entry " + std::to_string(i));
      EXPECT_EQ(made.entries[i].type, c.expected.entries[i].type);
      EXPECT_EQ(made.entries[i].flags, c.expected.entries[i].flags);
      EXPECT_EQ(made.entries[i].mask, c.expected.entries[i].mask);
      EXPECT_EQ(made.entries[i].sid, c.expected.entries[i].sid);
      EXPECT_EQ(made.entries[i].raw, c.expected.entries[i].raw);
    }
    // Whatever the lists, nobody else may change the copy, and no entry
    // marked inherited stands in a list that inherits nothing.
    for (const auto& entry : made.entries) {
      if (entry.type == kAllowed && entry.who != Who::MayChange) {
        EXPECT_EQ(entry.mask & kChangeFile, 0u);
      }
      if (made.isProtected) {
        EXPECT_EQ(entry.flags & kInherited, 0);
      }
      if (!entry.raw.empty()) {
        EXPECT_EQ(entry.raw[1], entry.flags);
      }
    }
  }
}

TEST(RunnableAcl, TheFolderIsReadOnlyWhenTheCopyInheritsFromIt) {
  EXPECT_TRUE(needsFolder(std::nullopt));
  EXPECT_TRUE(needsFolder(Dacl{true, false, {}}));
  EXPECT_FALSE(needsFolder(Dacl{true, true, {}}));
  EXPECT_FALSE(needsFolder(Dacl{false, false, {}}));
}

}  // namespace
}  // namespace usqz::platform::acl
