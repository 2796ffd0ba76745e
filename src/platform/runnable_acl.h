// The access list a runnable copy of an executable is given: what the
// current executable has (or, for a first registration, what its folder
// passes on to files), with every right to change the file taken from
// anyone but SYSTEM, Administrators and TrustedInstaller, in the order
// Windows itself keeps an access list. Portable: win32/ reads the lists
// and writes the result; the decision is made here, where it can be
// tested without Windows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace usqz::platform::acl {

// Entry types, entry flags and file rights, as Windows numbers them.
inline constexpr std::uint8_t kAllowed = 0x00;
inline constexpr std::uint8_t kDenied = 0x01;
inline constexpr std::uint8_t kDeniedObject = 0x06;
inline constexpr std::uint8_t kDeniedCallback = 0x0A;
inline constexpr std::uint8_t kDeniedCallbackObject = 0x0C;

inline constexpr std::uint8_t kObjectInherit = 0x01;
inline constexpr std::uint8_t kContainerInherit = 0x02;
inline constexpr std::uint8_t kNoPropagate = 0x04;
inline constexpr std::uint8_t kInheritOnly = 0x08;
inline constexpr std::uint8_t kInherited = 0x10;

inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kGenericExecute = 0x20000000u;
inline constexpr std::uint32_t kGenericAll = 0x10000000u;
inline constexpr std::uint32_t kFileGenericRead = 0x00120089u;
inline constexpr std::uint32_t kFileGenericWrite = 0x00120116u;
inline constexpr std::uint32_t kFileGenericExecute = 0x001200A0u;
inline constexpr std::uint32_t kFileAllAccess = 0x001F01FFu;
// Every right that changes a file: writing or appending to it, its
// attributes, deleting it, its rights and its owner.
inline constexpr std::uint32_t kChangeFile = 0x0002u /* write data */ | 0x0004u /* append data */ |
                                             0x0010u /* write extended attributes */ | 0x0040u /* delete child */ |
                                             0x0100u /* write attributes */ | 0x00010000u /* delete */ |
                                             0x00040000u /* write DAC */ | 0x00080000u /* write owner */ |
                                             kGenericWrite | kGenericAll;

// Whom an entry is for, as far as the trimming cares.
enum class Who {
  Anyone,        // anyone else: may read and run the file, never change it
  MayChange,     // SYSTEM, Administrators, TrustedInstaller
  CreatorOwner,  // in a folder's list: whoever will own the file
  CreatorGroup,  // in a folder's list: the group of whoever creates it
};

struct Ace {
  std::uint8_t type = kAllowed;
  std::uint8_t flags = 0;
  std::uint32_t mask = 0;         // allowed and denied entries
  std::vector<std::uint8_t> sid;  // as the system holds it; not read here
  Who who = Who::Anyone;
  std::vector<std::uint8_t> raw;  // an entry of another kind, whole (runnableAcl sets its header's flags to `flags`)
  bool operator==(const Ace&) const = default;
};

// An object's access list as read: `present` false for none at all (which
// lets everyone do anything).
struct Dacl {
  bool present = true;
  bool isProtected = false;
  std::vector<Ace> entries;
};

// The accounts the trimming puts in entries of its own.
struct Sids {
  std::vector<std::uint8_t> administrators;  // the file's owner
  std::vector<std::uint8_t> everyone;
};

struct RunnableAcl {
  std::vector<Ace> entries;  // in the order they are to be written
  bool isProtected = false;  // inherits nothing from the folder
  bool operator==(const RunnableAcl&) const = default;
};

// A generic right stands for the file rights it means.
std::uint32_t mappedMask(std::uint32_t mask);

// Whether the copy of `model` (nothing: there is none) takes anything from
// its folder, so that the folder's list must be read.
bool needsFolder(const std::optional<Dacl>& model);

// The copy's list: the model's explicit entries (all of them when its list
// is protected), then what the folder passes on to files, as inherited
// entries; when one of those would let someone else change the file, every
// entry becomes explicit and the list protected. Entries that could allow
// a change they do not name (conditional or object entries) are left out.
// Ordered as Windows orders a list: explicit denies, explicit allows, then
// the inherited ones, the folder's own (denies first) before what the
// folder inherits itself, kept in the folder's order (its generations,
// nearest first); made explicit, they keep that order, the one in which
// they applied. `folder` is read only when needsFolder(model).
RunnableAcl runnableAcl(const std::optional<Dacl>& model, const std::optional<Dacl>& folder, const Sids& sids);

}  // namespace usqz::platform::acl
