#include "common/names.h"

#include "platform/text.h"

namespace usqz {

Names deriveNames(std::u16string_view serviceName, std::u16string_view ownExecutablePath) {
  Names names;
  names.serviceName = serviceName;
  names.itemName = serviceName.size() > 2 ? serviceName.substr(2) : std::u16string_view();
  names.logFilename = u"updateServiceQZ-" + names.serviceName + u".txt";
  const auto stem = std::u16string(directoryOf(ownExecutablePath)) + u"qz_" + names.itemName;
  names.pathCurrentBin = stem + u".exe";
  names.pathNewBin = stem + u".new";
  names.pathOldBin = stem + u".old";
  names.pathJournal = stem + u".journal";
  names.pathCopyBin = stem + u".copy";
  return names;
}

std::u16string versionBeingActivated(const Names& names) {
  return names.rollback ? u"versão anterior (OLD)" : u"nova versão";
}

Names rollbackNames(const Names& names) {
  Names rollback = names;
  const auto stem = names.pathOldBin.substr(0, names.pathOldBin.size() - 4);
  rollback.pathNewBin = names.pathOldBin;
  rollback.pathOldBin = stem + u".rollback";
  rollback.rollback = true;
  return rollback;
}

}  // namespace usqz
