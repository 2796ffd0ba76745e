#include "cli/command_line.h"

#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/option_values.h"

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
      u"--health-timeout"};
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
    const auto read = option == u"--health-url" ? healthUrlValue(value)
                      : option == u"--health-tcp" ? healthTcpValue(value)
                                                  : healthCommandValue(value);
    return std::pair{read.value ? read.value->target + u"|" + toDecimal(read.value->port) : u"", read.refused};
  };
  struct Case {
    const char16_t* option;
    const char16_t* value;
    const char16_t* taken;    // the hash, or the check's target and port
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(std::u16string(c.option) + u" " + c.value));
    EXPECT_EQ(byOption(c.option, c.value), (std::pair<std::u16string, std::u16string>{c.taken, c.refused}));
    EXPECT_EQ(scanOptions({u"tool", u"--service-name", u"QZAgent", c.option, c.value}).malformed, c.refused);
  }
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
