// What the size of an executable costs a run: for each pair of builds of
// one size, the tool's run before the service's stop and in all, plain and
// with --sha256 --report, beside what one `openssl dgst -sha256` of the
// same file took (measured by bench/size, passed in). Prints figures only;
// it asserts nothing about them.
//   size ROUNDS TOOL (V1 V2 SHA256_OF_V2 OPENSSL_MS)...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/windows_api.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "measures.h"

namespace usqz::bench {
namespace {

struct Round {
  bool ok = false;
  double beforeStopMs = 0;  // from the tool's start to the stop request
  double runMs = 0;         // the tool's whole run
};

Round runRound(const std::u16string& tool, const std::u16string& v1, const std::u16string& v2,
               const std::u16string& options) {
  testing::ScratchDirectory folder;
  testing::ServiceNames names;
  const auto name = names.make(u"QZSize");
  const auto item = name.substr(2);
  const auto current = folder / (u"qz_" + item + u".exe");
  testing::copyFile(v1, current);
  testing::copyFile(v2, folder / (u"qz_" + item + u".new"));
  testing::copyFile(tool, folder / u"UpdateServiceQZ.exe");
  testing::installService(name, current, true);
  Round round;
  const ULONGLONG before = GetTickCount64();
  const auto result = testing::runProcess(
      u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name + u" --exit-code" + options,
      folder.path());
  round.runMs = static_cast<double>(GetTickCount64() - before);
  double stopRequested = 0;
  round.ok = result.exitStatus == 0 && eventTick(testing::readFile(folder / u"events.log"), "v1 stop requested",
                                                 stopRequested);
  round.beforeStopMs = stopRequested - static_cast<double>(before);
  if (!round.ok) std::printf("  (round failed: exit %u)\n%s\n", result.exitStatus, result.out.c_str());
  return round;
}

}  // namespace
}  // namespace usqz::bench

int main(int argc, char* argv[]) {
  using namespace usqz;
  if (argc < 7 || (argc - 3) % 4 != 0) {
    std::fprintf(stderr, "usage: size ROUNDS TOOL (V1 V2 SHA256_OF_V2 OPENSSL_MS)...\n");
    return 2;
  }
  const unsigned rounds = static_cast<unsigned>(std::atoi(argv[1]));
  const auto tool = testing::windowsPath(argv[2]);
  std::printf("%8s  %-22s %14s %10s %16s %18s\n", "size MB", "run", "before stop ms", "all ms",
              "openssl sha ms", "extra / openssl");
  double plainSmall = -1, toldSmall = -1;
  for (int i = 3; i + 3 < argc; i += 4) {
    const auto v1 = testing::windowsPath(argv[i]);
    const auto v2 = testing::windowsPath(argv[i + 1]);
    const auto pin = fromUtf8(argv[i + 2]);
    const double openssl = std::strtod(argv[i + 3], nullptr);
    const double megabytes = static_cast<double>(bench::fileSize(v2)) / (1024.0 * 1024.0);
    for (const bool told : {false, true}) {
      std::vector<double> beforeStop, all;
      for (unsigned round = 0; round < rounds; ++round) {
        const auto result =
            bench::runRound(tool, v1, v2, told ? u" --sha256 " + pin + u" --report report.json" : u"");
        if (!result.ok) continue;
        beforeStop.push_back(result.beforeStopMs);
        all.push_back(result.runMs);
      }
      const double whole = bench::median(all);
      double& small = told ? toldSmall : plainSmall;
      if (small < 0) small = whole;
      std::printf("%8.0f  %-22s %14.0f %10.0f %16.0f %18.1f\n", megabytes,
                  told ? "--sha256 --report" : "plain", bench::median(beforeStop), whole, openssl,
                  openssl > 0 ? (whole - small) / openssl : 0.0);
    }
  }
  std::printf("\n\"extra / openssl\": the run's time over the smallest size's, in openssl SHA-256s of the file\n");
  return 0;
}
