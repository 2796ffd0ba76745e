// SHA-256 (FIPS 180-4) computed by the tool itself, so that one pass over a
// file can both copy and hash it, on every platform and without loading a
// crypto library for the default run.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace usqz {

class Sha256 {
 public:
  Sha256();
  void update(std::string_view bytes);
  // Lower-case hex of the digest; the hasher is spent afterwards.
  std::u16string finishHex();

  // Whether blocks go through the processor's SHA extensions (where it has
  // them); tests turn them off to check the portable rounds too.
  static bool processorExtensionsInUse();
  static void useProcessorExtensions(bool use);

  static std::u16string of(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finishHex();
  }

 private:
  void block(const unsigned char* data);

  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

}  // namespace usqz
