#include "platform/runnable_acl.h"

#include <algorithm>

namespace usqz::platform::acl {

namespace {

bool denies(const Ace& ace) { return ace.type != kAllowed; }

// An entry as the copy holds it; nothing for one that would give nothing
// or could give what it does not name.
std::optional<Ace> trimmed(Ace ace, bool fromFolder, const Sids& sids) {
  if (ace.type == kAllowed || ace.type == kDenied) {
    if (fromFolder && ace.who == Who::CreatorOwner) {
      ace.sid = sids.administrators;
      ace.who = Who::MayChange;
    } else if (fromFolder && ace.who == Who::CreatorGroup) {
      return std::nullopt;
    }
    ace.mask = mappedMask(ace.mask);
    ace.raw.clear();
    if (ace.type == kAllowed && ace.who != Who::MayChange) {
      ace.mask &= ~kChangeFile;
      if (ace.mask == 0) return std::nullopt;
    }
    return ace;
  }
  // A conditional or object entry that allows could allow a change: left
  // out. One that denies only ever takes away: kept.
  if (ace.type == kDeniedObject || ace.type == kDeniedCallback || ace.type == kDeniedCallbackObject) return ace;
  return std::nullopt;
}

// Where an entry goes in a list Windows would keep: explicit entries
// first, then those the folder passes on of its own, denies before allows
// within each, then those it passes on from above, in the order the
// folder has them (already each generation's denies first, nearest
// first): moving an older generation's deny before a nearer one's allow
// would take from the service what its folders give it.
struct Placed {
  Ace ace;
  int generation = 0;
};

int rank(const Placed& placed) {
  if (placed.generation >= 2) return 4;
  return placed.generation * 2 + (denies(placed.ace) ? 0 : 1);
}

}  // namespace

std::uint32_t mappedMask(std::uint32_t mask) {
  std::uint32_t mapped = mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (mask & kGenericRead) mapped |= kFileGenericRead;
  if (mask & kGenericWrite) mapped |= kFileGenericWrite;
  if (mask & kGenericExecute) mapped |= kFileGenericExecute;
  if (mask & kGenericAll) mapped |= kFileAllAccess;
  return mapped;
}

bool needsFolder(const std::optional<Dacl>& model) {
  return !model || (model->present && !model->isProtected);
}

RunnableAcl runnableAcl(const std::optional<Dacl>& model, const std::optional<Dacl>& folder, const Sids& sids) {
  RunnableAcl result;
  std::vector<Placed> placed;
  if (model) {
    if (!model->present) {
      // No list at all lets everyone do anything: everyone may read and
      // run the copy, and nothing more.
      result.isProtected = true;
      result.entries.push_back({kAllowed, 0, kFileGenericRead | kFileGenericExecute, sids.everyone, Who::Anyone, {}});
      return result;
    }
    result.isProtected = model->isProtected;
    for (const auto& ace : model->entries) {
      // The folder passes them on again, as it stands now.
      if ((ace.flags & kInherited) != 0 && !model->isProtected) continue;
      if (auto entry = trimmed(ace, false, sids)) {
        entry->flags = static_cast<std::uint8_t>(entry->flags & ~kInherited);
        placed.push_back({std::move(*entry), 0});
      }
    }
  }
  if (needsFolder(model) && folder && folder->present) {
    bool trimmedAny = false;
    std::vector<Placed> passed;
    for (const auto& ace : folder->entries) {
      if ((ace.flags & kObjectInherit) == 0) continue;
      auto entry = trimmed(ace, true, sids);
      if (ace.type == kAllowed) {
        if (!entry || entry->mask != mappedMask(ace.mask)) trimmedAny = true;
      } else if (!entry && ace.type != kDenied) {
        trimmedAny = true;  // an allowed entry that cannot be trimmed
      }
      if (!entry) continue;
      // A file passes nothing on.
      entry->flags = kInherited;
      passed.push_back({std::move(*entry), (ace.flags & kInherited) != 0 ? 2 : 1});
    }
    // One that would let someone else change the file: the file inherits
    // nothing, so that no later change of the folder gives it back, and
    // what the folder gave is written as its own.
    // Their order stays the one they were inherited in, which is what the
    // service was given.
    if (trimmedAny) {
      result.isProtected = true;
      for (auto& entry : passed) entry.ace.flags = 0;
    }
    for (auto& entry : passed) placed.push_back(std::move(entry));
  }
  std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return rank(a) < rank(b); });
  for (auto& entry : placed) {
    // An entry of another kind carries its flags in its own header.
    if (entry.ace.raw.size() >= 2) entry.ace.raw[1] = entry.ace.flags;
    result.entries.push_back(std::move(entry.ace));
  }
  return result;
}

}  // namespace usqz::platform::acl
