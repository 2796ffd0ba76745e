#include "cli/command_line.h"

#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/duration_text.h"
#include "common/option_values.h"
#include "harness.h"

namespace usqz {
namespace {

using ::testing::ElementsAre;

TEST(SplitCommandLine, BlanksAndControlCharactersSeparate) {
  EXPECT_THAT(splitCommandLine(u"tool.exe  a\tb\r\nc\x01" u"d"), ElementsAre(u"tool.exe", u"a", u"b", u"c", u"d"));
  EXPECT_THAT(splitCommandLine(u"   "), ElementsAre());
  EXPECT_THAT(splitCommandLine(u""), ElementsAre());
}

TEST(SplitCommandLine, QuotesAnywhereStartAStretchAndAreDropped) {
  EXPECT_THAT(splitCommandLine(u"\"C:\\Program Files\\t.exe\" x\"y z\"w"),
              ElementsAre(u"C:\\Program Files\\t.exe", u"xy zw"));
  // No escapes: a backslash before a quote is an ordinary character.
  EXPECT_THAT(splitCommandLine(u"t \"a\\\" b"), ElementsAre(u"t", u"a\\", u"b"));
  // An unterminated stretch runs to the end of the line.
  EXPECT_THAT(splitCommandLine(u"t \"a b"), ElementsAre(u"t", u"a b"));
}

TEST(SplitCommandLine, EmptyQuotedPairWhereAnArgumentBeginsYieldsNothing) {
  EXPECT_THAT(splitCommandLine(u"t --service-name \"\" X"), ElementsAre(u"t", u"--service-name", u"X"));
  EXPECT_THAT(splitCommandLine(u"t \"\"\"\" X"), ElementsAre(u"t", u"X"));
  EXPECT_THAT(splitCommandLine(u"t \"\"abc"), ElementsAre(u"t", u"abc"));
  // Inside an argument, the pair is an empty stretch.
  EXPECT_THAT(splitCommandLine(u"t a\"\"b"), ElementsAre(u"t", u"ab"));
  // A lone quote at the end is not a pair, and yields an empty argument.
  EXPECT_THAT(splitCommandLine(u"t \""), ElementsAre(u"t", u""));
}

std::u16string scan(std::initializer_list<std::u16string> arguments) {
  std::vector<std::u16string> all{u"tool.exe"};
  all.insert(all.end(), arguments);
  return scanServiceName(all);
}

TEST(ScanServiceName, TheLastOptionWinsAndItsValueIsExaminedToo) {
  EXPECT_EQ(scan({}), u"");
  EXPECT_EQ(scan({u"--service-name", u"A", u"--service-name", u"B"}), u"B");
  EXPECT_EQ(scan({u"--service-name", u"--service-name", u"B"}), u"B");
  EXPECT_EQ(scan({u"--service-name", u"A", u"--service-name"}), u"");
  EXPECT_EQ(scan({u"/quiet", u"--service-name", u"QZAgent", u"extra"}), u"QZAgent");
}

TEST(ScanServiceName, OtherSpellingsAreNotTheOption) {
  EXPECT_EQ(scan({u"--Service-Name", u"A"}), u"");
  EXPECT_EQ(scan({u"--service-name=A"}), u"");
  EXPECT_EQ(scan({u"-service-name", u"A"}), u"");
  // Argument 0 is the program, never the option.
  EXPECT_EQ(scanServiceName({u"--service-name", u"A"}), u"");
}

TEST(ScanOptions, AnywhereExactlySpelledAndNeverTheServiceNamesValue) {
  const auto both = scanOptions({u"tool", u"--exit-code", u"--service-name", u"QZA", u"--stop-dependents"});
  EXPECT_EQ(both.serviceName, u"QZA");
  EXPECT_TRUE(both.exitCode);
  EXPECT_TRUE(both.stopDependents);
  const auto asName = scanOptions({u"tool", u"--service-name", u"--exit-code", u"--Stop-Dependents"});
  EXPECT_EQ(asName.serviceName, u"--exit-code");
  EXPECT_FALSE(asName.exitCode);
  EXPECT_FALSE(asName.stopDependents);
  EXPECT_TRUE(scanOptions({u"tool", u"--service-name", u"--service-name", u"A", u"--exit-code"}).exitCode);
}

// A safety option mistyped must not run an unchecked update: whatever
// begins with "--" and is no option is refused, naming the option it
// resembles; other arguments and options' values are not judged.
TEST(ScanOptions, WhatLooksLikeAnOptionAndIsNoneIsRefused) {
  const std::u16string options[] = {
      u"--service-name", u"--release", u"--exit-code", u"--stop-dependents", u"--check", u"--no-downgrade",
      u"--rollback", u"--event-log", u"--report", u"--require-signature", u"--check-revocation",
      u"--same-signer", u"--signer", u"--sha256", u"--health-url", u"--health-tcp", u"--health-command",
      u"--health-timeout", u"--watch", u"--health-interval", u"--health-failures"};
  for (const auto& option : options) {
    for (const bool upper : {false, true}) {
      // "--Exit-Code", and "--EXIT-CODE".
      std::u16string variant = option;
      for (std::size_t i = 2; i < variant.size(); ++i) {
        if ((upper || variant[i - 1] == u'-') && variant[i] >= u'a' && variant[i] <= u'z') variant[i] -= 32;
      }
      SCOPED_TRACE(toUtf8(variant));
      EXPECT_EQ(scanOptions({u"tool", u"--service-name", u"QZAgent", variant}).malformed,
                variant + u": opção desconhecida (seria " + option + u"?)");
    }
  }
  struct Case {
    std::vector<std::u16string> arguments;
    const char16_t* malformed;
  };
  const Case cases[] = {
      {{u"--sha265", u"abc"}, u"--sha265: opção desconhecida (seria --sha256?)"},
      {{u"--no-downgrad"}, u"--no-downgrad: opção desconhecida (seria --no-downgrade?)"},
      {{u"--requiresignature"}, u"--requiresignature: opção desconhecida (seria --require-signature?)"},
      {{u"--stop-dependent"}, u"--stop-dependent: opção desconhecida (seria --stop-dependents?)"},
      {{u"--rolback"}, u"--rolback: opção desconhecida (seria --rollback?)"},
      {{u"--wacth", u"5m"}, u"--wacth: opção desconhecida (seria --watch?)"},
      {{u"--Watch=5m"}, u"--Watch=5m: opção desconhecida (seria --watch?)"},
      {{u"--health-failure", u"3"}, u"--health-failure: opção desconhecida (seria --health-failures?)"},
      {{u"--health-intervall", u"5"}, u"--health-intervall: opção desconhecida (seria --health-interval?)"},
      {{u"--sha256=abc"}, u"--sha256=abc: opção desconhecida (seria --sha256?)"},
      {{u"--Health-Url=http://x"}, u"--Health-Url=http://x: opção desconhecida (seria --health-url?)"},
      {{u"--frobnicate"}, u"--frobnicate: opção desconhecida"},
      {{u"--"}, u"--: opção desconhecida"},
      // The first one is named.
      {{u"--exit-codes", u"--sha265", u"x"}, u"--exit-codes: opção desconhecida (seria --exit-code?)"},
      // Not options: ignored as ever.
      {{u"/quiet", u"bare", u"-x", u"-", u"/", u"\u2014", u"-sha265", u"/no-downgrad", u"-service", u"\u2013x"}, u""},
      // Values are not options.
      {{u"--report", u"--odd.json"}, u""},
      {{u"--signer", u"--QZ Publisher"}, u""},
  };
  for (const auto& c : cases) {
    std::vector<std::u16string> all{u"tool", u"--service-name", u"QZAgent"};
    all.insert(all.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(toUtf8(c.arguments.front()));
    EXPECT_EQ(scanOptions(all).malformed, c.malformed);
  }
  // An option's name behind another prefix, as typed or pasted from a
  // document, is that option mistyped: refused, with the prefix it needs.
  for (const auto& option : options) {
    const auto name = option.substr(2);
    std::u16string upper = name;
    for (auto& c : upper) {
      if (c >= u'a' && c <= u'z') c -= 32;
    }
    for (const std::u16string& typed :
         {u"-" + name, u"/" + name, u"/" + upper, u"\u2013" + name, u"\u2014" + name, u"\u2013\u2013" + name,
          u"\u2212" + name, u"-\u2013" + name, u"-" + name + u"=x", u"\u2014" + upper + u"=x"}) {
      SCOPED_TRACE(toUtf8(typed));
      EXPECT_EQ(scanOptions({u"tool", u"--service-name", u"QZAgent", typed}).malformed,
                typed + u": opção sem o prefixo -- (seria " + option + u"?)");
    }
  }
  const Case misprefixed[] = {
      // A typeset dash begins no word of the caller's: a slip after one is
      // an option too.
      {{u"\u2013sha265", u"abc"}, u"\u2013sha265: opção sem o prefixo -- (seria --sha256?)"},
      {{u"\u2014no-downgrad"}, u"\u2014no-downgrad: opção sem o prefixo -- (seria --no-downgrade?)"},
      // The first one is named, whatever its kind.
      {{u"-exit-code", u"--sha265"}, u"-exit-code: opção sem o prefixo -- (seria --exit-code?)"},
      // A value is not judged, whatever it looks like.
      {{u"--report", u"-check"}, u""},
      {{u"--signer", u"\u2014sha256"}, u""},
      // Read as the value, and refused as one.
      {{u"--watch", u"-check"}, u"--watch -check: de 1 s a 24 h"},
  };
  for (const auto& c : misprefixed) {
    std::vector<std::u16string> all{u"tool", u"--service-name", u"QZAgent"};
    all.insert(all.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(toUtf8(c.arguments.front()));
    EXPECT_EQ(scanOptions(all).malformed, c.malformed);
  }
  // The service name's value is the name.
  EXPECT_EQ(scanOptions({u"tool", u"--service-name", u"-check"}).malformed, u"");

  // A service name that begins with "--" is the name.
  const auto named = scanOptions({u"tool", u"--service-name", u"--QZAgent"});
  EXPECT_EQ(named.serviceName, u"--QZAgent");
  EXPECT_EQ(named.malformed, u"");
  EXPECT_EQ(scanOptions({u"tool", u"--release", u"r.json", u"--sha265", u"x"}).malformed,
            u"--sha265: opção desconhecida (seria --sha256?)");
}

// The readers the command line and the release file share: what each takes,
// and the command line's refusal, word for word, for what it does not.
TEST(OptionValues, TakenOrRefusedInTheCommandLinesWords) {
  const auto byOption = [](std::u16string_view option, std::u16string_view value) {
    if (option == u"--sha256") {
      const auto read = sha256Value(value);
      return std::pair{read.value.value_or(u""), read.refused};
    }
    if (option == u"--watch" || option == u"--health-interval" || option == u"--health-failures") {
      const auto read = option == u"--watch"             ? watchValue(value)
                        : option == u"--health-interval" ? healthIntervalValue(value)
                                                         : healthFailuresValue(value);
      return std::pair{read.value ? toDecimal(*read.value) : u"", read.refused};
    }
    const auto read = option == u"--health-url" ? healthUrlValue(value)
                      : option == u"--health-tcp" ? healthTcpValue(value)
                                                  : healthCommandValue(value);
    return std::pair{read.value ? read.value->target + u"|" + toDecimal(read.value->port) : u"", read.refused};
  };
  // What the command line made of it, in the option's own field.
  const auto scanned = [](std::u16string_view option, const Options& o) -> std::u16string {
    if (option == u"--watch") return toDecimal(o.watchSeconds);
    if (option == u"--health-interval") return toDecimal(o.healthIntervalSeconds);
    if (option == u"--health-failures") return toDecimal(o.healthFailures);
    return u"";
  };
  struct Case {
    const char16_t* option;
    const char16_t* value;
    const char16_t* taken;    // the hash, the check's target and port, or the number of seconds or failures
    const char16_t* refused;
  };
  const std::u16string hash(64, u'a');
  const Case cases[] = {
      {u"--sha256", u"AA:aa AA\taa\u200E" u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\uFEFF", hash.c_str(), u""},
      {u"--sha256", u"abc", u"", u"--sha256 abc: não é um SHA-256 (64 dígitos hexadecimais)"},
      {u"--sha256", u"", u"", u"--sha256 : não é um SHA-256 (64 dígitos hexadecimais)"},
      {u"--health-url", u"HTTPS://x", u"HTTPS://x|0", u""},
      {u"--health-url", u"http://", u"", u"--health-url http://: não é um endereço http:// ou https://"},
      {u"--health-url", u"https:/x", u"", u"--health-url https:/x: não é um endereço http:// ou https://"},
      {u"--health-tcp", u"[::1]:8443", u"::1|8443", u""},
      {u"--health-tcp", u"db:65535", u"db|65535", u""},
      {u"--health-tcp", u"::1:80", u"", u"--health-tcp ::1:80: não é host:porta (porta de 1 a 65535; IPv6 entre colchetes)"},
      {u"--health-tcp", u"db:65536", u"", u"--health-tcp db:65536: não é host:porta (porta de 1 a 65535; IPv6 entre colchetes)"},
      {u"--health-tcp", u"[::1]80", u"", u"--health-tcp [::1]80: não é host:porta (porta de 1 a 65535; IPv6 entre colchetes)"},
      {u"--health-command", u" check.cmd ", u" check.cmd |0", u""},
      {u"--health-command", u" \t", u"", u"--health-command sem comando"},
      // Seconds bare or with s, minutes with m, hours with h.
      {u"--watch", u"15", u"15", u""},
      {u"--watch", u"15s", u"15", u""},
      {u"--watch", u"10m", u"600", u""},
      {u"--watch", u"2h", u"7200", u""},
      {u"--watch", u"007s", u"7", u""},
      {u"--watch", u"1", u"1", u""},
      {u"--watch", u"86400", u"86400", u""},
      {u"--watch", u"1440m", u"86400", u""},
      {u"--watch", u"24h", u"86400", u""},
      {u"--watch", u"25h", u"", u"--watch 25h: de 1 s a 24 h"},
      {u"--watch", u"86401", u"", u"--watch 86401: de 1 s a 24 h"},
      {u"--watch", u"1441m", u"", u"--watch 1441m: de 1 s a 24 h"},
      {u"--watch", u"0", u"", u"--watch 0: de 1 s a 24 h"},
      {u"--watch", u"0h", u"", u"--watch 0h: de 1 s a 24 h"},
      {u"--watch", u"", u"", u"--watch : de 1 s a 24 h"},
      {u"--watch", u"s", u"", u"--watch s: de 1 s a 24 h"},
      {u"--watch", u"10x", u"", u"--watch 10x: de 1 s a 24 h"},
      {u"--watch", u"-5", u"", u"--watch -5: de 1 s a 24 h"},
      {u"--watch", u"+5", u"", u"--watch +5: de 1 s a 24 h"},
      {u"--watch", u"10M", u"", u"--watch 10M: de 1 s a 24 h"},
      {u"--watch", u"10 m", u"", u"--watch 10 m: de 1 s a 24 h"},
      {u"--watch", u" 10", u"", u"--watch  10: de 1 s a 24 h"},
      {u"--watch", u"1.5h", u"", u"--watch 1.5h: de 1 s a 24 h"},
      {u"--watch", u"1h30m", u"", u"--watch 1h30m: de 1 s a 24 h"},
      {u"--watch", u"10ms", u"", u"--watch 10ms: de 1 s a 24 h"},
      {u"--watch", u"10min", u"", u"--watch 10min: de 1 s a 24 h"},
      {u"--watch", u"99999999999m", u"", u"--watch 99999999999m: de 1 s a 24 h"},
      {u"--watch", u"4294967297", u"", u"--watch 4294967297: de 1 s a 24 h"},
      // 1193047 h is 1904 s more than 32 bits hold: never wrapped into range.
      {u"--watch", u"1193047h", u"", u"--watch 1193047h: de 1 s a 24 h"},
      {u"--watch", u"999999999h", u"", u"--watch 999999999h: de 1 s a 24 h"},
      {u"--health-interval", u"30s", u"30", u""},
      {u"--health-interval", u"1", u"1", u""},
      {u"--health-interval", u"3600", u"3600", u""},
      {u"--health-interval", u"60m", u"3600", u""},
      {u"--health-interval", u"1h", u"3600", u""},
      {u"--health-interval", u"3601", u"", u"--health-interval 3601: de 1 s a 1 h"},
      {u"--health-interval", u"61m", u"", u"--health-interval 61m: de 1 s a 1 h"},
      {u"--health-interval", u"2h", u"", u"--health-interval 2h: de 1 s a 1 h"},
      {u"--health-interval", u"0s", u"", u"--health-interval 0s: de 1 s a 1 h"},
      {u"--health-interval", u"", u"", u"--health-interval : de 1 s a 1 h"},
      {u"--health-interval", u"5x", u"", u"--health-interval 5x: de 1 s a 1 h"},
      {u"--health-failures", u"1", u"1", u""},
      {u"--health-failures", u"100", u"100", u""},
      {u"--health-failures", u"005", u"5", u""},
      {u"--health-failures", u"0", u"", u"--health-failures 0: de 1 a 100 falhas seguidas"},
      {u"--health-failures", u"101", u"", u"--health-failures 101: de 1 a 100 falhas seguidas"},
      {u"--health-failures", u"-1", u"", u"--health-failures -1: de 1 a 100 falhas seguidas"},
      {u"--health-failures", u"3s", u"", u"--health-failures 3s: de 1 a 100 falhas seguidas"},
      {u"--health-failures", u"1e2", u"", u"--health-failures 1e2: de 1 a 100 falhas seguidas"},
      {u"--health-failures", u"", u"", u"--health-failures : de 1 a 100 falhas seguidas"},
      {u"--health-failures", u"99999999999", u"", u"--health-failures 99999999999: de 1 a 100 falhas seguidas"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(std::u16string(c.option) + u" " + c.value));
    EXPECT_EQ(byOption(c.option, c.value), (std::pair<std::u16string, std::u16string>{c.taken, c.refused}));
    // A watch, for the options that need one; the one under test comes
    // after it, and is the one read.
    const auto o = scanOptions({u"tool", u"--service-name", u"QZAgent", u"--watch", u"1m", c.option, c.value});
    EXPECT_EQ(o.malformed, c.refused);
    if (*c.refused == u'\0' && !scanned(c.option, o).empty()) {
      EXPECT_EQ(scanned(c.option, o), c.taken);
    }
  }
}

// The watch's tuning means nothing without a watch, and a rollback puts
// back a version already known: either is refused as a mistake. Without
// the options, nothing changes.
TEST(ScanOptions, WatchTuningOnlyWithAWatchAndNoWatchOfARollback) {
  struct Case {
    std::vector<std::u16string> arguments;  // after the program's name
    const char16_t* malformed;
    std::uint32_t watch, interval, failures;
  };
  const Case cases[] = {
      {{u"--service-name", u"QZAgent"}, u"", 0, 10, 3},
      {{u"--service-name", u"QZAgent", u"--watch", u"10m"}, u"", 600, 10, 3},
      {{u"--service-name", u"QZAgent", u"--watch", u"2h", u"--health-interval", u"30s", u"--health-failures", u"5"},
       u"", 7200, 30, 5},
      // Anywhere on the line, the last of each read.
      {{u"--health-failures", u"1", u"--health-interval", u"1m", u"--service-name", u"QZAgent", u"--watch", u"90",
        u"--watch", u"15"},
       u"", 15, 60, 1},
      {{u"--service-name", u"QZAgent", u"--watch", u"5m", u"--check", u"--health-interval", u"5"}, u"", 300, 5, 3},
      // One window for the whole release.
      {{u"--release", u"r.json", u"--watch", u"10m", u"--health-failures", u"2"}, u"", 600, 10, 2},
      {{u"--service-name", u"QZAgent", u"--health-interval", u"30"}, u"--health-interval sem --watch", 0, 30, 3},
      {{u"--service-name", u"QZAgent", u"--health-failures", u"5"}, u"--health-failures sem --watch", 0, 10, 5},
      {{u"--release", u"r.json", u"--health-failures", u"5"}, u"--health-failures sem --watch", 0, 10, 5},
      // The first one given is named.
      {{u"--service-name", u"QZAgent", u"--health-failures", u"5", u"--health-interval", u"30"},
       u"--health-failures sem --watch", 0, 30, 5},
      {{u"--service-name", u"QZAgent", u"--watch", u"5m", u"--rollback"}, u"--watch e --rollback: use um ou outro",
       300, 10, 3},
      {{u"--rollback", u"--service-name", u"QZAgent", u"--watch", u"5m"}, u"--watch e --rollback: use um ou outro",
       300, 10, 3},
      {{u"--service-name", u"QZAgent", u"--rollback", u"--health-interval", u"5"}, u"--health-interval sem --watch", 0,
       5, 3},
      // A value refused is named before what it leaves out.
      {{u"--service-name", u"QZAgent", u"--watch", u"0", u"--health-interval", u"5"}, u"--watch 0: de 1 s a 24 h", 0,
       5, 3},
      {{u"--service-name", u"QZAgent", u"--watch", u"1m", u"--watch", u"25h"}, u"--watch 25h: de 1 s a 24 h", 60, 10,
       3},
      // The next argument is the value, whatever it says.
      {{u"--service-name", u"QZAgent", u"--watch"}, u"--watch : de 1 s a 24 h", 0, 10, 3},
      {{u"--service-name", u"QZAgent", u"--watch", u"--exit-code"}, u"--watch --exit-code: de 1 s a 24 h", 0, 10, 3},
      {{u"--service-name", u"QZAgent", u"--health-failures", u"--watch", u"5m"},
       u"--health-failures --watch: de 1 a 100 falhas seguidas", 0, 10, 3},
  };
  for (const auto& c : cases) {
    std::vector<std::u16string> all{u"tool"};
    all.insert(all.end(), c.arguments.begin(), c.arguments.end());
    std::u16string line;
    for (const auto& argument : c.arguments) line += argument + u" ";
    SCOPED_TRACE(toUtf8(line));
    const auto o = scanOptions(all);
    EXPECT_EQ(o.malformed, c.malformed);
    EXPECT_EQ(o.watchSeconds, c.watch);
    EXPECT_EQ(o.healthIntervalSeconds, c.interval);
    EXPECT_EQ(o.healthFailures, c.failures);
    EXPECT_FALSE(o.exitCode);
  }
}

// Refused as any malformed command line: status 2, the reason on the
// console, nothing touched and no result file, for one service or a
// release alike.
TEST(ScanOptions, AWatchMistakeIsRefusedBeforeAnythingIsTouched) {
  using namespace usqz::testing;
  struct Case {
    const char16_t* arguments;
    const char* said;
  };
  const Case cases[] = {
      {u"--service-name QZAgent --exit-code --health-failures 5", "--health-failures sem --watch"},
      {u"--service-name QZAgent --exit-code --rollback --watch 10m", "--watch e --rollback: use um ou outro"},
      {u"--service-name QZAgent --exit-code --watch 25h", "--watch 25h: de 1 s a 24 h"},
      {u"--release C:\\svc\\release.json --exit-code --health-interval 5", "--health-interval sem --watch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.arguments));
    Harness h;
    h.os.putFile(kNew, kV2);
    h.os.putFile(kResult, "anterior\r\n");
    EXPECT_EQ(h.run(c.arguments), 2);
    EXPECT_EQ(h.out(), lines({std::string("Erro: Op\xE7\xE3o inv\xE1lida: ") + c.said}));
    EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
    EXPECT_EQ(h.os.contents(kResult), "anterior\r\n");
    EXPECT_EQ(h.os.contents(kNew), kV2);
  }
}

TEST(DurationText, HoursMinutesAndSecondsEachOnlyWhenNotZero) {
  const std::pair<std::uint32_t, const char16_t*> cases[] = {
      {0, u"0 s"},           {1, u"1 s"},          {15, u"15 s"},
      {59, u"59 s"},         {60, u"1 min"},       {90, u"1 min 30 s"},
      {600, u"10 min"},      {3599, u"59 min 59 s"}, {3600, u"1 h"},
      {3605, u"1 h 5 s"},    {3660, u"1 h 1 min"}, {3661, u"1 h 1 min 1 s"},
      {3900, u"1 h 5 min"},  {7200, u"2 h"},       {86400, u"24 h"},
      {90000, u"25 h"},      {4294967295u, u"1193046 h 28 min 15 s"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(durationText(seconds), text) << seconds;
}

TEST(DeriveNames, FromTheServiceNameAndTheToolsOwnDirectory) {
  const auto names = deriveNames(u"QZAgent", u"C:\\svc\\UpdateServiceQZ.exe");
  EXPECT_EQ(names.serviceName, u"QZAgent");
  EXPECT_EQ(names.itemName, u"Agent");
  EXPECT_EQ(names.logFilename, u"updateServiceQZ-QZAgent.txt");
  EXPECT_EQ(names.pathCurrentBin, u"C:\\svc\\qz_Agent.exe");
  EXPECT_EQ(names.pathNewBin, u"C:\\svc\\qz_Agent.new");
  EXPECT_EQ(names.pathOldBin, u"C:\\svc\\qz_Agent.old");
}

TEST(DeriveNames, EdgesOfTheNameAndThePath) {
  EXPECT_EQ(deriveNames(u"QZ", u"C:\\t.exe").pathCurrentBin, u"C:\\qz_.exe");
  EXPECT_EQ(deriveNames(u"Q", u"C:\\t.exe").itemName, u"");
  // Only the extension appended changes.
  const auto dotted = deriveNames(u"QZa.exe", u"C:\\a.exe\\t.exe");
  EXPECT_EQ(dotted.pathNewBin, u"C:\\a.exe\\qz_a.exe.new");
  EXPECT_EQ(dotted.pathOldBin, u"C:\\a.exe\\qz_a.exe.old");
  // Letter case stays; special characters pass through unchecked.
  const auto odd = deriveNames(u"qza\\b:c", u"D:t.exe");
  EXPECT_EQ(odd.logFilename, u"updateServiceQZ-qza\\b:c.txt");
  EXPECT_EQ(odd.pathCurrentBin, u"D:qz_a\\b:c.exe");
  EXPECT_EQ(deriveNames(u"QZAgent", u"tool.exe").pathCurrentBin, u"qz_Agent.exe");
}

TEST(DeriveNames, FileNameOfTheToolForReports) {
  EXPECT_EQ(fileNameOf(u"C:\\svc\\UpdateServiceQZ.exe"), u"UpdateServiceQZ.exe");
  EXPECT_EQ(fileNameOf(u"UpdateServiceQZ.exe"), u"UpdateServiceQZ.exe");
}

}  // namespace
}  // namespace usqz
