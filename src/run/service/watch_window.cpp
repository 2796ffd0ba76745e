#include "run/service/watch_window.h"

#include <algorithm>

#include "platform/text.h"

namespace usqz {

namespace {

// How often every process is looked at, at most; the first service's is
// waited on meanwhile, so that its end is seen at once.
constexpr std::uint64_t kTickMs = 1'000;
constexpr std::uint64_t kMinuteMs = 60'000;
// A round's check gets at most this long, and no longer than the interval.
constexpr std::uint32_t kRoundTryMs = 5'000;

std::u16string counted(unsigned n, std::u16string_view one, std::u16string_view many) {
  return toDecimal(n) + u" " + std::u16string(n == 1 ? one : many);
}

}  // namespace

WatchResult watchWindow(platform::Platform& p, Console& console, const std::vector<Watched>& services,
                        const WatchTerms& terms, std::uint32_t seconds, bool rest) {
  WatchResult result;
  const std::uint64_t windowMs = std::uint64_t{seconds} * 1000;
  const std::uint64_t intervalMs = std::uint64_t{terms.intervalSeconds} * 1000;
  const bool checks = std::any_of(services.begin(), services.end(),
                                  [](const Watched& watched) { return watched.health && watched.health->asked(); });
  console.writeLine(u"Observando a nova versão por " + durationText(seconds) +
                    (rest ? u" (o restante da observação interrompida) ..." : u" ..."));
  // A console written to a file would keep these lines for the window's end,
  // or lose them with a run ended in it.
  console.flushQuietly();
  const auto started = p.clock.monotonicMilliseconds();
  std::uint64_t nextRound = intervalMs;
  std::uint64_t nextMinute = kMinuteMs;
  std::vector<unsigned> inARow(services.size(), 0);
  const auto when = [&] { return u", após " + durationText(static_cast<std::uint32_t>(result.watchedMs / 1000)); };
  const auto fail = [&](std::size_t i, std::u16string why) {
    result.failed = i;
    result.why = std::move(why);
  };
  const auto lookAtEach = [&]() {
    for (std::size_t i = 0; i < services.size(); ++i) {
      if (auto why = services[i].waits->stillRunsAsStarted(true, when())) return fail(i, std::move(*why)), false;
      if (services[i].alsoRuns) {
        if (auto why = services[i].alsoRuns()) return fail(i, *why + u" (durante a observação" + when() + u")"), false;
      }
    }
    return true;
  };
  for (;;) {
    result.watchedMs = p.clock.monotonicMilliseconds() - started;
    if (result.watchedMs >= windowMs) break;
    if (result.watchedMs >= nextMinute) {
      const auto left = (windowMs - result.watchedMs + 999) / 1000;
      console.writeLine(u"Observação: faltam " + durationText(static_cast<std::uint32_t>(left)));
      console.flushQuietly();
      while (nextMinute <= result.watchedMs) nextMinute += kMinuteMs;
    }
    if (checks && result.watchedMs >= nextRound) {
      ++result.rounds;
      bool roundFailed = false;
      for (std::size_t i = 0; i < services.size() && !result.failed; ++i) {
        auto* health = services[i].health;
        if (!health || !health->asked()) continue;
        const auto why = health->oneRound(static_cast<std::uint32_t>(std::min<std::uint64_t>(kRoundTryMs, intervalMs)));
        if (!why) {
          inARow[i] = 0;
          continue;
        }
        roundFailed = true;
        if (++inARow[i] >= terms.failuresInARow) {
          fail(i, u"A verificação de saúde falhou " + counted(inARow[i], u"vez", u"vezes seguidas") +
                      u" durante a observação" + when() + u": " + *why);
        }
      }
      if (roundFailed) ++result.failures;
      if (result.failed) return result;
      result.watchedMs = p.clock.monotonicMilliseconds() - started;
      while (nextRound <= result.watchedMs) nextRound += intervalMs;
      continue;
    }
    std::uint64_t wait = std::min({kTickMs, windowMs - result.watchedMs, nextMinute - result.watchedMs});
    if (checks) wait = std::min(wait, nextRound - result.watchedMs);
    services.front().waits->exitsWithin(static_cast<std::uint32_t>(wait));
    result.watchedMs = p.clock.monotonicMilliseconds() - started;
    if (!lookAtEach()) return result;
  }
  result.watchedMs = std::max(result.watchedMs, windowMs);
  if (!lookAtEach()) return result;
  console.writeLine(u"Observação concluída: " + durationText(seconds) +
                    (checks ? u", " + counted(result.rounds, u"rodada", u"rodadas") + u" de verificação de saúde, " +
                                  counted(result.failures, u"falha", u"falhas")
                            : u" sem falhas"));
  return result;
}

}  // namespace usqz
