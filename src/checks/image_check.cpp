#include "checks/image_check.h"

#include <algorithm>

#include "platform/text.h"

namespace usqz {

namespace {

// Offsets and values of the PE/COFF format.
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kNewHeaderOffsetField = 0x3C;
constexpr std::size_t kSignatureSize = 4;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kExecutableImage = 0x0002;
constexpr std::uint16_t kDll = 0x2000;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// Where SizeOfHeaders lies in both optional header formats.
constexpr std::size_t kSizeOfHeadersField = 60;

const auto little = littleEndian;

std::u16string machineName(std::uint16_t machine) {
  switch (machine) {
    case kMachineX86: return u"x86";
    case kMachineX64: return u"x64";
    case kMachineArm: return u"ARM";
    case kMachineArm64: return u"ARM64";
    default: break;
  }
  return u"a máquina 0x" + toHex(machine, 4, true);
}

}  // namespace

std::optional<std::u16string> imageDefect(std::string_view head, std::uint64_t fileSize,
                                          const std::vector<std::uint16_t>& runnable) {
  const std::u16string truncated = u"arquivo truncado";
  // What was read may be less than the file: every header must lie in both.
  const auto fits = [&](std::uint64_t end) { return end <= head.size() && end <= fileSize; };

  if (fileSize == 0) return u"arquivo vazio";
  if (!fits(kDosHeaderSize)) return truncated;
  if (head[0] != 'M' || head[1] != 'Z') return u"sem a assinatura MZ";
  const std::uint64_t pe = little(head, kNewHeaderOffsetField, 4);
  if (!fits(pe + kSignatureSize + kFileHeaderSize)) return fileSize < pe + 24 ? truncated : u"sem a assinatura PE";
  if (head.substr(static_cast<std::size_t>(pe), kSignatureSize) != std::string_view("PE\0\0", 4)) {
    return u"sem a assinatura PE";
  }
  const auto fileHeader = static_cast<std::size_t>(pe + kSignatureSize);
  const std::uint32_t sections = little(head, fileHeader + 2, 2);
  // A COFF symbol table (left in by builds that were not stripped) lies
  // after the sections; running does not need it, but a copy cut into it
  // was still cut short.
  const std::uint64_t symbols = little(head, fileHeader + 8, 4);
  if (symbols != 0 && symbols + std::uint64_t{little(head, fileHeader + 12, 4)} * 18 > fileSize) return truncated;
  const std::uint32_t optionalSize = little(head, fileHeader + 16, 2);
  const auto characteristics = static_cast<std::uint16_t>(little(head, fileHeader + 18, 2));
  if ((characteristics & kDll) != 0) return u"é uma DLL";
  if ((characteristics & kExecutableImage) == 0) return u"não é uma imagem executável";
  // A build for another processor would be swapped in only to fail its
  // start and be rolled back.
  const auto machine = static_cast<std::uint16_t>(little(head, fileHeader, 2));
  if (!runnable.empty() && std::find(runnable.begin(), runnable.end(), machine) == runnable.end()) {
    return u"feita para " + machineName(machine) + u", que esta máquina não executa";
  }

  const std::size_t optional = fileHeader + kFileHeaderSize;
  if (optionalSize < kSizeOfHeadersField + 4 || !fits(optional + optionalSize)) {
    return fits(optional + 2) ? u"cabeçalho opcional incompleto" : truncated;
  }
  const std::uint32_t magic = little(head, optional, 2);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return u"formato de cabeçalho desconhecido";
  if (little(head, optional + kSizeOfHeadersField, 4) > fileSize) return truncated;

  const std::size_t table = optional + optionalSize;
  if (!fits(table + std::uint64_t{sections} * kSectionHeaderSize)) {
    return fileSize < table + std::uint64_t{sections} * kSectionHeaderSize ? truncated : u"cabeçalhos grandes demais";
  }
  for (std::uint32_t i = 0; i < sections; ++i) {
    const std::size_t section = table + i * kSectionHeaderSize;
    const std::uint64_t rawSize = little(head, section + 16, 4);
    const std::uint64_t rawStart = little(head, section + 20, 4);
    if (rawSize != 0 && rawStart + rawSize > fileSize) return truncated;
  }
  return std::nullopt;
}

}  // namespace usqz
