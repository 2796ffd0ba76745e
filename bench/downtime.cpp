// How long a service is down while its executable is swapped: from the old
// version's stop request to the new version reporting running, as the test
// service itself logs them. Three ways of doing the same swap, several
// rounds each, side by side:
//   tool   UpdateServiceQZ.exe --service-name NAME
//   floor  floor_swap.exe: stop, poll flat out, two moves, start
//   batch  what administrators write by hand: sc stop, sc query once a
//          second until STOPPED, two moves, sc start
// Prints figures only; it asserts nothing about them.
//   downtime ROUNDS STOP_MS TOOL FLOOR SERVICE_V1 SERVICE_V2 [SIZE_OF ...]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"
#include "support/test_services.h"
#include "support/tool_process.h"
#include "measures.h"
#include "platform/text.h"

namespace usqz::bench {
namespace {

using testing::ProcessResult;
using testing::ScratchDirectory;
using testing::ServiceNames;

struct Round {
  bool ok = false;
  double downtimeMs = 0;
  double runMs = 0;  // the whole run of the method's process
  double cpuMs = 0;  // the processor time it used
};

struct Programs {
  std::u16string tool, floor, v1, v2;
};

std::string narrow(const std::u16string& text) { return toUtf8(text); }

Round runRound(const std::string& method, const Programs& programs, unsigned stopMs) {
  ScratchDirectory folder;
  ServiceNames names;
  const auto name = names.make(u"QZBench");
  const auto item = name.substr(2);
  const auto current = folder / (u"qz_" + item + u".exe");
  const auto fresh = folder / (u"qz_" + item + u".new");
  const auto backup = folder / (u"qz_" + item + u".old");
  testing::copyFile(programs.v1, current);
  testing::copyFile(programs.v2, fresh);
  testing::writeFile(folder / u"test_service.cfg", "stop_ms=" + std::to_string(stopMs) + "\n");
  testing::installService(name, current, true);

  std::u16string commandLine;
  if (method == "tool") {
    testing::copyFile(programs.tool, folder / u"UpdateServiceQZ.exe");
    commandLine = u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name;
  } else if (method == "floor") {
    commandLine = u"\"" + programs.floor + u"\" " + name + u" \"" + current + u"\" \"" + fresh + u"\" \"" + backup +
                  u"\"";
  } else {
    // ping stands in for timeout, which Wine lacks. Wine 8's findstr is a
    // stub that finds nothing and always succeeds; its find works.
    const std::string batch = "@echo off\r\n"
                              "sc stop " + narrow(name) + " >nul\r\n"
                              ":wait\r\n"
                              "sc query " + narrow(name) + " | find \"STOPPED\" >nul\r\n"
                              "if errorlevel 1 (\r\n"
                              "  ping -n 2 127.0.0.1 >nul\r\n"
                              "  goto wait\r\n"
                              ")\r\n"
                              "move \"" + narrow(current) + "\" \"" + narrow(backup) + "\" >nul\r\n"
                              "move \"" + narrow(fresh) + "\" \"" + narrow(current) + "\" >nul\r\n"
                              "sc start " + narrow(name) + " >nul\r\n";
    testing::writeFile(folder / u"update.bat", batch);
    commandLine = u"cmd.exe /c update.bat";
  }

  Round round;
  const ULONGLONG before = GetTickCount64();
  const ProcessResult result = testing::runProcess(commandLine, folder.path());
  round.runMs = static_cast<double>(GetTickCount64() - before);
  round.cpuMs = result.cpuMs;

  // The new version may still be on its way up when the method returns.
  double stopRequested = 0;
  double started = 0;
  for (int pass = 0; pass < 100; ++pass) {
    const auto log = testing::readFile(folder / u"events.log");
    if (eventTick(log, "v1 stop requested", stopRequested) && eventTick(log, "v2 started", started)) {
      round.ok = true;
      break;
    }
    Sleep(50);
  }
  round.downtimeMs = started - stopRequested;
  if (!round.ok) std::printf("  (%s round failed: exit %u)\n", method.c_str(), result.exitStatus);
  return round;
}

struct Summary {
  double median = 0, low = 0, high = 0;
  unsigned samples = 0;
};

Summary summarize(std::vector<double> values) {
  Summary summary;
  if (values.empty()) return summary;
  std::sort(values.begin(), values.end());
  const auto n = values.size();
  summary.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  summary.low = values.front();
  summary.high = values.back();
  summary.samples = static_cast<unsigned>(n);
  return summary;
}

}  // namespace
}  // namespace usqz::bench

int main(int argc, char* argv[]) {
  using namespace usqz;
  if (argc < 7) {
    std::fprintf(stderr, "usage: downtime ROUNDS STOP_MS TOOL FLOOR SERVICE_V1 SERVICE_V2 [SIZE_OF ...]\n");
    return 2;
  }
  const unsigned rounds = static_cast<unsigned>(std::atoi(argv[1]));
  const unsigned stopMs = static_cast<unsigned>(std::atoi(argv[2]));
  const bench::Programs programs{testing::windowsPath(argv[3]), testing::windowsPath(argv[4]),
                                 testing::windowsPath(argv[5]), testing::windowsPath(argv[6])};

  // The tool polls every 100 ms and the batch file every second: a stop
  // time that always falls at the same distance from their queries would
  // favour or punish one of them. Round by round the stop time moves on by
  // a little more than a tenth of a second, so that the rounds fall evenly
  // over both periods; each round times all three methods with it.
  const auto stopTime = [&](unsigned round) { return stopMs + round * 1100 / rounds; };
  std::printf("Downtime of a service that takes %u to %u ms to stop, %u rounds each (interleaved)\n", stopTime(0),
              stopTime(rounds - 1), rounds);
  const char* methods[] = {"tool", "floor", "batch"};
  std::vector<double> downtime[3];
  std::vector<double> toolRun;
  std::vector<double> cpu[3];
  for (unsigned round = 0; round < rounds; ++round) {
    bench::Round results[3];
    for (int m = 0; m < 3; ++m) results[m] = bench::runRound(methods[m], programs, stopTime(round));
    // A round counts only when all three methods got through it.
    if (!results[0].ok || !results[1].ok || !results[2].ok) continue;
    for (int m = 0; m < 3; ++m) {
      downtime[m].push_back(results[m].downtimeMs);
      cpu[m].push_back(results[m].cpuMs);
    }
    toolRun.push_back(results[0].runMs);
  }

  bench::Summary summary[3];
  std::printf("\n%-8s %10s %10s %10s %8s %14s\n", "method", "median ms", "min ms", "max ms", "rounds",
              "cpu ms/run");
  for (int m = 0; m < 3; ++m) {
    summary[m] = bench::summarize(downtime[m]);
    // The batch file's figure is cmd.exe's own; sc and find run in processes of their own.
    const auto used = bench::summarize(cpu[m]);
    std::printf("%-8s %10.0f %10.0f %10.0f %8u %14.1f\n", methods[m], summary[m].median, summary[m].low,
                summary[m].high, summary[m].samples, used.median);
  }
  // Round by round, each method met the same stop time.
  std::vector<double> toolOverFloor;
  std::vector<double> batchOverFloor;
  std::vector<double> toolOfBatch;
  for (std::size_t i = 0; i < downtime[0].size(); ++i) {
    toolOverFloor.push_back(downtime[0][i] - downtime[1][i]);
    batchOverFloor.push_back(downtime[2][i] - downtime[1][i]);
    toolOfBatch.push_back(downtime[0][i] / downtime[2][i]);
  }
  const auto over = bench::summarize(toolOverFloor);
  const auto batchOver = bench::summarize(batchOverFloor);
  const auto ratio = bench::summarize(toolOfBatch);
  std::printf("\ntool over floor:  %+6.0f ms median (%+.0f to %+.0f)\n", over.median, over.low, over.high);
  std::printf("batch over floor: %+6.0f ms median (%+.0f to %+.0f)\n", batchOver.median, batchOver.low,
              batchOver.high);
  std::printf("tool / batch:     %6.2f median (%.2f to %.2f)\n", ratio.median, ratio.low, ratio.high);
  // What starting and ending a process costs under Wine, without a wait: a
  // run that finds no new version. The rest of a full run's figure is the
  // processor time its waits used.
  std::vector<double> idleCpu;
  for (unsigned i = 0; i < rounds; ++i) {
    testing::ScratchDirectory folder;
    testing::copyFile(programs.tool, folder / u"UpdateServiceQZ.exe");
    idleCpu.push_back(
        testing::runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name QZNone", folder.path()).cpuMs);
  }
  const auto idle = bench::summarize(idleCpu);
  const auto used = bench::summarize(cpu[0]);
  std::printf("tool's processor time: %.1f ms a run, %.1f ms of it starting and ending the process (a run with "
              "nothing to do)\n",
              used.median, idle.median);
  const auto run = bench::summarize(toolRun);
  std::printf("tool's whole run, start confirmation included: %.0f ms median (%.0f to %.0f)\n", run.median, run.low,
              run.high);
  std::printf("\nexecutable sizes:\n");
  for (int i = 7; i < argc; ++i) {
    std::printf("  %8lld bytes  %s\n", bench::fileSize(testing::windowsPath(argv[i])), argv[i]);
  }
  return 0;
}
