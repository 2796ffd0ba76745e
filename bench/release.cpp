// What a release costs against single updates, under Wine, in each round:
//  - four services, the second depending on the first, as one release and
//    as four single updates one after the other: the wall time of the
//    tool's runs, and each service's downtime (from its stop request to
//    its new version started);
//  - releases of 1, 4 and 16 services that depend on none: the wall time
//    and the longest downtime, beside one single update's downtime.
// Every service takes 300 ms to stop and 300 ms to start. Prints figures
// only; it asserts nothing about them. USQZ_BENCH_SHOW=1 prints each
// release's transcript and the services' log as well.
//   release ROUNDS TOOL V1 V2
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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
constexpr std::size_t kWidths[] = {1, 4, 16};

struct Round {
  bool ok = false;
  double wallMs = 0;
  std::vector<double> downMs;
  double longestDownMs() const { return downMs.empty() ? 0 : *std::max_element(downMs.begin(), downMs.end()); }
};

struct Programs {
  std::u16string tool, v1, v2;
};

// `count` services in a folder of their own, the second depending on the
// first when `chained`, updated as one release or one after the other.
Round runRound(const Programs& programs, std::size_t count, bool chained, bool asRelease) {
  testing::ScratchDirectory folder;
  testing::ServiceNames names;
  std::vector<std::u16string> services;
  std::string release = "{\"services\": [";
  // Each service as real ones are: some time to stop, some to start.
  testing::writeFile(folder / u"test_service.cfg", "stop_ms=300\nstart_pending_ms=300\n");
  for (std::size_t i = 0; i < count; ++i) {
    services.push_back(names.make(u"QZRel"));
    const auto item = services.back().substr(2);
    testing::copyFile(programs.v1, folder / (u"qz_" + item + u".exe"));
    testing::copyFile(programs.v2, folder / (u"qz_" + item + u".new"));
    testing::installService(services.back(), folder / (u"qz_" + item + u".exe"), true,
                            chained && i == 1 ? services[0] : u"");
    release += std::string(i ? ", " : "") + "{\"name\": \"" + toUtf8(services.back()) + "\"}";
  }
  testing::writeFile(folder / u"release.json", release + "]}");
  testing::copyFile(programs.tool, folder / u"UpdateServiceQZ.exe");
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
  for (const auto& service : services) {
    const auto log = testing::readFile(folder / (u"events-qz_" + service.substr(2) + u".exe.log"));
    double stop = 0, started = 0;
    round.ok = round.ok && eventTick(log, "v1 stop requested", stop) && eventTick(log, "v2 started", started);
    round.downMs.push_back(started - stop);
  }
  return round;
}

template <typename Field>
double medianOf(const std::vector<Round>& rounds, Field field) {
  std::vector<double> values;
  for (const auto& round : rounds) values.push_back(field(round));
  return median(values);
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
  const bench::Programs programs{testing::windowsPath(argv[2]), testing::windowsPath(argv[3]),
                                 testing::windowsPath(argv[4])};
  std::vector<bench::Round> releases, singles, alone;
  std::vector<std::vector<bench::Round>> wide(std::size(bench::kWidths));
  for (unsigned r = 0; r < rounds; ++r) {
    // Side by side, alternating which goes first.
    for (const bool asRelease : {r % 2 == 0, r % 2 != 0}) {
      auto round = bench::runRound(programs, bench::kServices, true, asRelease);
      if (round.ok) (asRelease ? releases : singles).push_back(round);
    }
    if (auto round = bench::runRound(programs, 1, false, false); round.ok) alone.push_back(round);
    for (std::size_t w = 0; w < std::size(bench::kWidths); ++w) {
      if (auto round = bench::runRound(programs, bench::kWidths[w], false, true); round.ok) wide[w].push_back(round);
    }
  }
  const auto wall = [](const bench::Round& r) { return r.wallMs; };
  std::printf("%u rounds (%zu and %zu passed); medians, in ms; service 2 depends on service 1\n", rounds,
              releases.size(), singles.size());
  std::printf("%-30s %12s %18s\n", "", "release", "4 single updates");
  std::printf("%-30s %12.0f %18.0f\n", "wall time", bench::medianOf(releases, wall), bench::medianOf(singles, wall));
  for (std::size_t i = 0; i < bench::kServices; ++i) {
    const auto down = [i](const bench::Round& r) { return r.downMs[i]; };
    const auto label = "service " + std::to_string(i + 1) + " down" + (i == 1 ? " (depends on 1)" : "");
    std::printf("%-30s %12.0f %18.0f\n", label.c_str(), bench::medianOf(releases, down),
                bench::medianOf(singles, down));
  }

  const auto longest = [](const bench::Round& r) { return r.longestDownMs(); };
  const auto aloneDown = bench::medianOf(alone, [](const bench::Round& r) { return r.downMs[0]; });
  std::printf("\nreleases of services that depend on none; medians, in ms (one single update: %zu of %u passed)\n",
              alone.size(), rounds);
  std::printf("%-10s %8s %12s %14s %24s\n", "services", "passed", "wall time", "longest down", "one single update down");
  for (std::size_t w = 0; w < std::size(bench::kWidths); ++w) {
    std::printf("%-10zu %8zu %12.0f %14.0f %24.0f\n", bench::kWidths[w], wide[w].size(), bench::medianOf(wide[w], wall),
                bench::medianOf(wide[w], longest), aloneDown);
  }
  return 0;
}
