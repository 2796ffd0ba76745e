// A release of four services against four single updates of them run one
// after the other, side by side in each round: the wall time of the tool's
// runs, and each service's downtime (from its stop request to its new
// version started). The second service depends on the first. Prints
// figures only; it asserts nothing about them. USQZ_BENCH_SHOW=1 prints
// each release's transcript and the services' log as well.
//   release ROUNDS TOOL V1 V2
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/windows_api.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "measures.h"

namespace usqz::bench {
namespace {

constexpr std::size_t kServices = 4;

struct Round {
  bool ok = false;
  double wallMs = 0;
  std::vector<double> downMs = std::vector<double>(kServices, 0);
};

Round runRound(const std::u16string& tool, const std::u16string& v1, const std::u16string& v2, bool asRelease) {
  testing::ScratchDirectory folder;
  testing::ServiceNames names;
  std::vector<std::u16string> services;
  std::string release = "{\"services\": [";
  // Each service as real ones are: some time to stop, some to start.
  testing::writeFile(folder / u"test_service.cfg", "stop_ms=300\nstart_pending_ms=300\n");
  for (std::size_t i = 0; i < kServices; ++i) {
    services.push_back(names.make(u"QZRel"));
    const auto item = services.back().substr(2);
    testing::copyFile(v1, folder / (u"qz_" + item + u".exe"));
    testing::copyFile(v2, folder / (u"qz_" + item + u".new"));
    testing::installService(services.back(), folder / (u"qz_" + item + u".exe"), true, i == 1 ? services[0] : u"");
    release += std::string(i ? ", " : "") + "{\"name\": \"" + toUtf8(services.back()) + "\"}";
  }
  testing::writeFile(folder / u"release.json", release + "]}");
  testing::copyFile(tool, folder / u"UpdateServiceQZ.exe");
  const auto command = u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --exit-code ";
  Round round;
  round.ok = true;
  const ULONGLONG before = GetTickCount64();
  if (asRelease) {
    const auto result = testing::runProcess(command + u"--release release.json", folder.path());
    round.ok = result.exitStatus == 0;
    if (std::getenv("USQZ_BENCH_SHOW")) std::printf("%s\n%s\n", result.out.c_str(), testing::readFile(folder / u"events.log").c_str());
    if (!round.ok) std::printf("  (release failed: exit %u)\n%s\n", result.exitStatus, result.out.c_str());
  } else {
    for (const auto& name : services) {
      const auto result = testing::runProcess(command + u"--service-name " + name, folder.path());
      round.ok = round.ok && result.exitStatus == 0;
      if (result.exitStatus != 0) std::printf("  (update failed: exit %u)\n%s\n", result.exitStatus, result.out.c_str());
    }
  }
  round.wallMs = static_cast<double>(GetTickCount64() - before);
  for (std::size_t i = 0; i < kServices; ++i) {
    const auto log = testing::readFile(folder / (u"events-qz_" + services[i].substr(2) + u".exe.log"));
    double stop = 0, started = 0;
    round.ok = round.ok && eventTick(log, "v1 stop requested", stop) && eventTick(log, "v2 started", started);
    round.downMs[i] = started - stop;
  }
  return round;
}

}  // namespace
}  // namespace usqz::bench

int main(int argc, char* argv[]) {
  using namespace usqz;
  if (argc != 5) {
    std::fprintf(stderr, "usage: release ROUNDS TOOL V1 V2\n");
    return 2;
  }
  const unsigned rounds = static_cast<unsigned>(std::atoi(argv[1]));
  const auto tool = testing::windowsPath(argv[2]);
  const auto v1 = testing::windowsPath(argv[3]);
  const auto v2 = testing::windowsPath(argv[4]);
  std::vector<bench::Round> releases, singles;
  for (unsigned r = 0; r < rounds; ++r) {
    // Side by side, alternating which goes first.
    for (const bool asRelease : {r % 2 == 0, r % 2 != 0}) {
      auto round = bench::runRound(tool, v1, v2, asRelease);
      if (round.ok) (asRelease ? releases : singles).push_back(round);
    }
  }
  const auto column = [](const std::vector<bench::Round>& rounds, auto field) {
    std::vector<double> values;
    for (const auto& round : rounds) values.push_back(field(round));
    return bench::median(values);
  };
  std::printf("%u rounds (%zu and %zu passed); medians, in ms; service 2 depends on service 1\n", rounds,
              releases.size(), singles.size());
  std::printf("%-22s %12s %18s\n", "", "release", "4 single updates");
  std::printf("%-22s %12.0f %18.0f\n", "wall time", column(releases, [](const auto& r) { return r.wallMs; }),
              column(singles, [](const auto& r) { return r.wallMs; }));
  for (std::size_t i = 0; i < bench::kServices; ++i) {
    std::printf("service %zu down %13s %12.0f %18.0f\n", i + 1, "",
                column(releases, [i](const auto& r) { return r.downMs[i]; }),
                column(singles, [i](const auto& r) { return r.downMs[i]; }));
  }
  return 0;
}
