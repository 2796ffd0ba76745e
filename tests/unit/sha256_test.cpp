// The tool's own SHA-256 against the standard's vectors, whatever the sizes
// the bytes are handed over in (a copy hands them over in its own blocks).
#include <gtest/gtest.h>

#include <string>

#include "checks/sha256.h"
#include "platform/text.h"

namespace usqz {
namespace {

struct Vector {
  std::string bytes;
  const char* sha256;
};

TEST(Sha256, MatchesTheStandardsVectorsInAnyPieces) {
  const std::vector<Vector> vectors = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},  // padding fits one block
      {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
  };
  // The processor's SHA extensions where it has them, and the portable
  // rounds.
  for (const bool extensions : {true, false}) {
    Sha256::useProcessorExtensions(extensions);
    SCOPED_TRACE(Sha256::processorExtensionsInUse() ? "with the processor's SHA extensions" : "portable");
    for (const auto& v : vectors) {
      const auto whole = Sha256::of(v.bytes);
      EXPECT_EQ(toUtf8(whole), v.sha256) << v.bytes.size();
      for (const std::size_t piece : {1u, 3u, 63u, 64u, 65u, 4096u}) {
        Sha256 hash;
        for (std::size_t at = 0; at < v.bytes.size(); at += piece) {
          hash.update(std::string_view(v.bytes).substr(at, piece));
        }
        EXPECT_EQ(hash.finishHex(), whole) << v.bytes.size() << " in pieces of " << piece;
      }
    }
  }
  Sha256::useProcessorExtensions(true);
}

}  // namespace
}  // namespace usqz
