// A release: its file read strictly, its services stopped, swapped and
// started in their dependencies' order, all or none, and a release killed at
// any platform call recovered as a whole by the next run that touches any of
// its services.
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "release_scene.h"
#include "run/release/release_file.h"
#include "run/release/release_order.h"
#include "run/run_lock.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

const std::string kOk = "Atualizado com sucesso!\r\n";

// UTF-16 code units as a file holds them, little- or big-endian.
std::string utf16Bytes(std::u16string_view units, bool bigEndian) {
  std::string bytes;
  for (const char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += bigEndian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

// What a read says of its services, to compare two reads whole.
std::string servicesOf(const ReleaseRead& read) {
  std::string all;
  for (const auto& service : read.services) {
    all += toUtf8(service.name) + " sha256=" + toUtf8(service.sha256);
    for (const auto& check : service.health) {
      all += " check=" + std::to_string(static_cast<int>(check.kind)) + ":" + toUtf8(check.target) + ":" +
             std::to_string(check.port);
    }
    all += "\n";
  }
  return all;
}

// -- the order ---------------------------------------------------------------

TEST(ReleaseOrder, StartsWhatIsDependedOnFirstAndKeepsTheFilesOrderOtherwise) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::size_t>> dependsOn;
    std::vector<std::size_t> start;
    std::vector<std::size_t> cycle;
  };
  const Case cases[] = {
      {"no dependencies", {{}, {}, {}}, {0, 1, 2}, {}},
      {"the first depends on the second", {{1}, {}, {}}, {1, 0, 2}, {}},
      {"a chain backwards", {{1}, {2}, {}}, {2, 1, 0}, {}},
      {"two depend on the last", {{2}, {2}, {}}, {2, 0, 1}, {}},
      {"a diamond", {{1, 2}, {3}, {3}, {}}, {3, 1, 2, 0}, {}},
      {"itself", {{}, {1}, {}}, {}, {1}},
      {"two on each other", {{}, {2}, {1}}, {}, {1, 2}},
      {"three round, one outside", {{1}, {2}, {3}, {1}}, {}, {1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto order = startOrder(c.dependsOn);
    EXPECT_EQ(order.start, c.start);
    EXPECT_EQ(order.cycle, c.cycle);
  }
}

// -- the file ----------------------------------------------------------------

TEST(ReleaseFile, ReadsWhatTheCommandLineWouldSayOfEachService) {
  Harness h;
  const std::string hash(64, 'A');
  const auto read = parseRelease(h.os,
                                 "\xEF\xBB\xBF{\"services\": [{\"name\": \"QZAgent\", \"sha256\": \"" + hash +
                                     "\", \"healthUrl\": [\"http://127.0.0.1:8080/health\"], \"healthTcp\": "
                                     "[\"127.0.0.1:8081\"], \"healthCommand\": [\"C:\\\\svc\\\\check.cmd\"]},"
                                     " {\"name\": \"QZSync\u00e7\"}]}",
                                 kToolPath);
  ASSERT_EQ(read.kind, ReleaseRead::Kind::Read) << toUtf8(read.why);
  ASSERT_EQ(read.services.size(), 2u);
  EXPECT_EQ(read.services[0].name, u"QZAgent");
  EXPECT_EQ(read.services[0].sha256, std::u16string(64, u'a'));
  ASSERT_EQ(read.services[0].health.size(), 3u);
  EXPECT_EQ(read.services[0].health[1].port, 8081);
  EXPECT_EQ(read.services[0].health[2].target, u"C:\\svc\\check.cmd");
  EXPECT_EQ(read.services[1].name, u"QZSync\u00e7");
  EXPECT_TRUE(read.services[1].health.empty());
}

TEST(ReleaseFile, ReadsUtf8WithOrWithoutAMarkAndUtf16WithOne) {
  const std::string text =
      "{\r\n  \"services\": [\r\n    {\"name\": \"QZSync\u00e7\", \"healthCommand\": "
      "[\"C:\\\\svc\\\\verifica\u00e7\u00e3o \U0001F600.cmd\"]},\r\n    {\"name\": \"QZAgent\", \"sha256\": \"" +
      std::string(64, 'B') + "\", \"healthTcp\": [\"127.0.0.1:8081\"]}\r\n  ]\r\n}\r\n";
  Harness h;
  const auto plain = parseRelease(h.os, text, kToolPath);
  ASSERT_EQ(plain.kind, ReleaseRead::Kind::Read) << toUtf8(plain.why);
  EXPECT_EQ(servicesOf(plain), "QZSync\u00e7 sha256= check=2:C:\\svc\\verifica\u00e7\u00e3o \U0001F600.cmd:0\n"
                               "QZAgent sha256=" + std::string(64, 'b') + " check=1:127.0.0.1:8081\n");
  const std::pair<const char*, std::string> encodings[] = {
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + text},
      {"UTF-16 LE with a mark", utf16Bytes(u"\uFEFF" + fromUtf8(text), false)},
      {"UTF-16 BE with a mark", utf16Bytes(u"\uFEFF" + fromUtf8(text), true)},
  };
  for (const auto& [what, bytes] : encodings) {
    SCOPED_TRACE(what);
    const auto read = parseRelease(h.os, bytes, kToolPath);
    ASSERT_EQ(read.kind, ReleaseRead::Kind::Read) << toUtf8(read.why);
    EXPECT_EQ(servicesOf(read), servicesOf(plain));
  }
}

// Out-File and ">" in Windows PowerShell 5.1 write UTF-16 LE with a mark.
TEST(ReleaseFile, AFileWindowsPowerShellWroteIsRunAsAnyOther) {
  Harness h;
  setUpReleaseScene(h, utf16Bytes(u"\uFEFF" + fromUtf8(kReleaseText) + u"\r\n", false));
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
  expectAllOn(h, "v2");
}

TEST(ReleaseFile, AnythingUnexpectedIsRefusedWithItsReason) {
  std::string many = "{\"services\": [";
  for (int i = 0; i < 65; ++i) many += (i ? ", " : "") + std::string("{\"name\": \"QZS") + std::to_string(i) + "\"}";
  many += "]}";
  const std::string name = "{\"services\": [{\"name\": \"QZAgent\"}, {\"name\": \"";
  const std::string powerShell = utf16Bytes(u"\uFEFF" + fromUtf8(kReleaseText), false);
  std::vector<std::pair<std::string, std::string>> cases = {
      // The text: where it goes wrong, and how.
      {"", "n\xE3o \xE9 um JSON v\xE1lido: o arquivo est\xE1 vazio\r\n"},
      {"\xEF\xBB\xBF \r\n", "n\xE3o \xE9 um JSON v\xE1lido: o arquivo est\xE1 vazio\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\"}]",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 35: o arquivo termina antes do fim do JSON\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 35: o arquivo termina dentro de um texto entre aspas\r\n"},
      {"{\n  \"services\": [\n    {\"name\": \"QZAgent\"},\n  ]\n}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 4, coluna 3: esperava-se um valor, n\xE3o \"]\"\r\n"},
      {"{\r\n\"services\": [{\"name\" \"QZAgent\"}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 2, coluna 30: esperava-se \":\", n\xE3o um texto\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\"} {\"name\": \"QZSync\"}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 35: esperava-se \",\" ou \"]\", n\xE3o \"{\"\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\",}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 34: esperava-se uma chave entre aspas, n\xE3o \"}\"\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\" \"sha256\": \"\"}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 41: esperava-se \",\" ou \"}\", n\xE3o um texto\r\n"},
      {"{\"services\": true true}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 22: esperava-se \",\" ou \"}\", n\xE3o true\r\n"},
      {"{\"services\": []}}", "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 17: h\xE1 mais texto depois do fim do JSON\r\n"},
      {"{\"services\": [{\"name\": \"QZ\tAgent\"}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 27: o caractere U+0009 precisa de escape dentro de um texto entre "
       "aspas\r\n"},
      {"{\"services\": [{\"name\": \"QZ\\xAgent\"}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 28: escape inv\xE1lido dentro de um texto entre aspas\r\n"},
      {"{\"services\": [{\"name\": \"QZ\\uD800Agent\"}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 33: escape \\u de um substituto UTF-16 sem par dentro de um "
       "texto entre aspas\r\n"},
      {"{\"services\": [{\"name\": QZAgent}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 24: valor inv\xE1lido (sem aspas, s\xF3 n\xFAmeros, true, false e "
       "null)\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"sha256\": -}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 46: n\xFAmero inv\xE1lido\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"sha256\": 1e999}]}",
       "n\xE3o \xE9 um JSON v\xE1lido: linha 1, coluna 49: n\xFAmero grande demais\r\n"},
      // Its encoding: UTF-8, with a mark or without, or UTF-16 with one.
      {"{\"services\": [{\"name\": \"QZSync\xE7\"}]}",
       "parece estar em Latin-1 ou Windows-1252, n\xE3o em UTF-8: linha 1, coluna 31: byte 0xE7; salve-o em UTF-8 ou "
       "em UTF-16 com BOM\r\n"},
      {"{\r\n  \"services\": [\r\n    {\"name\": \"QZSync\x80\"}\r\n  ]\r\n}",
       "parece estar em Latin-1 ou Windows-1252, n\xE3o em UTF-8: linha 3, coluna 21: byte 0x80; salve-o em UTF-8 ou "
       "em UTF-16 com BOM\r\n"},
      {"{\"services\": [{\"name\": \"QZ\xFF\"}]}",
       "parece estar em Latin-1 ou Windows-1252, n\xE3o em UTF-8: linha 1, coluna 27: byte 0xFF; salve-o em UTF-8 ou "
       "em UTF-16 com BOM\r\n"},
      {"{\"services\": [{\"name\": \"QZSync\u00e7\xFF\"}]}",
       "n\xE3o \xE9 UTF-8 v\xE1lido: linha 1, coluna 32: byte 0xFF\r\n"},
      {"{\"services\": [{\"name\": \"QZSync\u00e7\xC0\xAF\"}]}",
       "n\xE3o \xE9 UTF-8 v\xE1lido: linha 1, coluna 32: byte 0xC0\r\n"},
      {"{\"services\": [{\"name\": \"QZSync\u00e7\xED\xA0\x80\"}]}",
       "n\xE3o \xE9 UTF-8 v\xE1lido: linha 1, coluna 32: byte 0xED\r\n"},
      {utf16Bytes(fromUtf8(kReleaseText), false),
       "parece estar em UTF-16 LE sem BOM: linha 1, coluna 2: byte 0x00; salve-o em UTF-8 ou em UTF-16 com BOM\r\n"},
      {utf16Bytes(fromUtf8(kReleaseText), true),
       "parece estar em UTF-16 BE sem BOM: linha 1, coluna 1: byte 0x00; salve-o em UTF-8 ou em UTF-16 com BOM\r\n"},
      {std::string("{\0\0\0}\0\0\0", 8),
       "parece estar em UTF-32 LE sem BOM: linha 1, coluna 2: byte 0x00; salve-o em UTF-8 ou em UTF-16 com BOM\r\n"},
      {std::string("\0\0\0{\0\0\0}", 8),
       "parece estar em UTF-32 BE sem BOM: linha 1, coluna 1: byte 0x00; salve-o em UTF-8 ou em UTF-16 com BOM\r\n"},
      {std::string("\xFF\xFE\0\0{\0\0\0}\0\0\0", 12),
       "est\xE1 em UTF-32: linha 1, coluna 1: BOM FF FE 00 00; salve-o em UTF-8 ou em UTF-16 com BOM\r\n"},
      {std::string("\0\0\xFE\xFF\0\0\0{\0\0\0}", 12),
       "est\xE1 em UTF-32: linha 1, coluna 1: BOM 00 00 FE FF; salve-o em UTF-8 ou em UTF-16 com BOM\r\n"},
      {powerShell.substr(0, powerShell.size() - 1),
       "n\xE3o \xE9 UTF-16 v\xE1lido: linha 1, coluna 76: termina no meio de um caractere\r\n"},
      {utf16Bytes(u"\uFEFF{\"services\": [{\"name\": \"QZ\xD800\"}]}", false),
       "n\xE3o \xE9 UTF-16 v\xE1lido: linha 1, coluna 27: o substituto U+D800 n\xE3o tem par\r\n"},
      {utf16Bytes(u"\uFEFF{\"services\":\r\n [{\"name\": \"QZ\xDC00\xD800\"}]}", true),
       "n\xE3o \xE9 UTF-16 v\xE1lido: linha 2, coluna 15: o substituto U+DC00 n\xE3o tem par\r\n"},
      {utf16Bytes(u"\uFEFF{\r\n  \"services\": [\r\n    {\"name\": \"QZSync\u00e7\",}\r\n  ]\r\n}", true),
       "n\xE3o \xE9 um JSON v\xE1lido: linha 3, coluna 24: esperava-se uma chave entre aspas, n\xE3o \"}\"\r\n"},
      {"[]", "deve ser um objeto JSON"},
      {"{}", "falta a lista \"services\""},
      {"{\"services\": {}}", "falta a lista \"services\""},
      {"{\"services\": []}", "est\xE1 vazia"},
      {many, "mais de 64 servi\xE7os"},
      {"{\"services\": [], \"extra\": 1}", "chave desconhecida: \"extra\""},
      {"{\"services\": [{\"name\": \"QZAgent\", \"HealthUrl\": []}]}", "chave desconhecida: \"HealthUrl\""},
      {"{\"services\": [{\"name\": \"QZAgent\", \"name\": \"QZSync\"}]}", "aparece duas vezes no mesmo objeto"},
      {"{\"services\": [\"QZAgent\"]}", "cada servi\xE7o deve ser um objeto"},
      {"{\"services\": [{\"sha256\": \"\"}]}", "um servi\xE7o sem \"name\""},
      {"{\"services\": [{\"name\": \"\"}]}", "um servi\xE7o sem \"name\""},
      {"{\"services\": [{\"name\": 7}]}", "um servi\xE7o sem \"name\""},
      // Windows' names: its files are named after the service, and Windows
      // reads a name only up to a NUL.
      {name + "QZAgent\\u0000x\"}]}",
       "servi\xE7o QZAgent<U+0000>x: n\xE3o \xE9 um nome de servi\xE7o: o Windows n\xE3o aceita U+0000 em nomes de "
       "arquivo\r\n"},
      {name + "QZ\\nAgent\"}]}",
       "servi\xE7o QZ<U+000A>Agent: n\xE3o \xE9 um nome de servi\xE7o: o Windows n\xE3o aceita U+000A em nomes de "
       "arquivo\r\n"},
      {name + "QZ\\tAgent\"}]}",
       "servi\xE7o QZ<U+0009>Agent: n\xE3o \xE9 um nome de servi\xE7o: o Windows n\xE3o aceita U+0009 em nomes de "
       "arquivo\r\n"},
      {name + "QZ\\u001FAgent\"}]}",
       "servi\xE7o QZ<U+001F>Agent: n\xE3o \xE9 um nome de servi\xE7o: o Windows n\xE3o aceita U+001F em nomes de "
       "arquivo\r\n"},
      {name + "QZ\\\\..\\\\x\"}]}",
       "servi\xE7o QZ\\..\\x: n\xE3o \xE9 um nome de servi\xE7o: o Windows n\xE3o aceita '\\' em nomes de arquivo\r\n"},
      {name + "QZ" + std::string(255, 'a') + "\"}]}",
       "servi\xE7o QZ" + std::string(255, 'a') + ": n\xE3o \xE9 um nome de servi\xE7o: mais de 256 caracteres\r\n"},
      {name + "qzagent\"}]}", "o servi\xE7o qzagent aparece duas vezes\r\n"},
      {name + "XXAgent\"}]}", "dois servi\xE7os no mesmo execut\xE1vel: XXAgent e C:\\svc\\qz_Agent.exe\r\n"},
      {name + "XXAGENT\"}]}", "dois servi\xE7os no mesmo execut\xE1vel: XXAGENT e C:\\svc\\qz_AGENT.exe\r\n"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"sha256\": \"abc\"}]}", "QZAgent: --sha256 abc: n\xE3o \xE9 um SHA-256"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"sha256\": 1}]}", "\"sha256\" deve ser um texto"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthUrl\": \"http://x\"}]}", "deve ser uma lista de textos"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthUrl\": [\"ftp://x\"]}]}", "--health-url ftp://x"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthTcp\": [\"x:0\"]}]}", "--health-tcp x:0"},
      {"{\"services\": [{\"name\": \"QZAgent\", \"healthCommand\": [\" \"]}]}", "--health-command sem comando"},
  };
  for (const char refused : std::string("<>:\"/\\|?*")) {
    const std::string escaped = refused == '"' || refused == '\\' ? std::string{'\\', refused} : std::string{refused};
    cases.emplace_back(name + "QZ" + escaped + "Agent\"}]}", std::string("servi\xE7o QZ") + refused +
                                                               "Agent: n\xE3o \xE9 um nome de servi\xE7o: o Windows "
                                                               "n\xE3o aceita '" + refused + "' em nomes de arquivo\r\n");
  }
  for (const auto& [text, says] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    Harness h;
    setUpReleaseScene(h, text);
    EXPECT_EQ(h.run(kReleaseArguments), 2);
    EXPECT_THAT(h.out(), HasSubstr("Erro: Op\xE7\xE3o inv\xE1lida: --release C:\\svc\\release.json: "));
    EXPECT_THAT(h.out(), HasSubstr(says));
    for (const auto& member : kMembers) {
      EXPECT_EQ(serviceOf(h, member).stopRequests, 0u);
      EXPECT_FALSE(h.os.contents(member.result()));
    }
  }
}

TEST(ReleaseFile, TheCommandLineMayNotAlsoNameAServiceOrItsChecks) {
  for (const auto* extra : {u" --service-name QZAgent", u" --sha256 " u"0000000000000000000000000000000000000000000000000000000000000000",
                            u" --health-tcp 127.0.0.1:80", u" --health-url http://x", u" --health-command x.cmd"}) {
    Harness h;
    setUpReleaseScene(h);
    EXPECT_EQ(h.run(kReleaseArguments + extra), 2) << toUtf8(extra);
    EXPECT_THAT(h.out(), HasSubstr("Erro: Op\xE7\xE3o inv\xE1lida: "));
    EXPECT_EQ(serviceOf(h, kMembers[0]).stopRequests, 0u);
  }
  Harness missing;
  setUpReleaseScene(missing);
  missing.os.removeFile(kReleaseFile);
  EXPECT_EQ(missing.run(kReleaseArguments), 2);
  EXPECT_THAT(missing.out(), HasSubstr("--release C:\\svc\\release.json: "));
}

TEST(ReleaseFile, OnlyAnAdministratorMayHaveWrittenItOrItsFolders) {
  const std::pair<const char*, std::function<void(Harness&)>> cases[] = {
      {"a file others may write", [](Harness& h) { h.os.setForeign(kReleaseFile, {}, {u"Everyone"}); }},
      {"a file someone else owns", [](Harness& h) { h.os.setForeign(kReleaseFile, u"CORP\\mallory"); }},
      {"a link", [](Harness& h) { h.os.makeLink(kReleaseFile); }},
      {"a folder others may write",
       [](Harness& h) {
         h.os.addDirectory(u"C:\\drop");
         h.os.putFile(u"C:\\drop\\release.json", kReleaseText);
         h.os.setFolderRights(u"C:\\drop", {u"Everyone"}, {}, {});
       }},
  };
  for (const auto& [what, set] : cases) {
    SCOPED_TRACE(what);
    Harness h;
    setUpReleaseScene(h);
    h.os.addDirectory(u"C:\\");
    set(h);
    const std::u16string file = std::string(what).find("folder") != std::string::npos ? u"C:\\drop\\release.json"
                                                                                        : kReleaseFile;
    EXPECT_EQ(h.run(u"--release " + file + u" --exit-code"), 10) << h.out();
    EXPECT_THAT(h.out(), HasSubstr("o arquivo da atualiza\xE7\xE3o conjunta n\xE3o \xE9 confi\xE1vel"));
    for (const auto& member : kMembers) EXPECT_EQ(serviceOf(h, member).stopRequests, 0u);
  }
}

// -- all or none ---------------------------------------------------------------

TEST(Release, StopsWhatDependsFirstStartsWhatIsDependedOnFirstAndUpdatesThemAll) {
  Harness h;
  setUpReleaseScene(h);
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
  expectAllOn(h, "v2");
  for (const auto& member : kMembers) {
    EXPECT_EQ(resultOf(h, member), kOk);
    EXPECT_EQ(h.os.contents(member.old()), versionOf(member, "v1"));
    EXPECT_FALSE(h.os.contents(member.next()));
  }
  // QZSync, which depends on QZAgent, stops first and starts last; the
  // others stop and start together; every stop before the first start.
  EXPECT_EQ(h.services.requests(), (std::vector<std::u16string>{u"stop QZSync", u"stop QZAgent", u"stop QZStore",
                                                                 u"start QZAgent", u"start QZStore", u"start QZSync"}));
  EXPECT_THAT(h.out(), HasSubstr("[QZSync]\r\n"));
}

TEST(Release, EndsAsAWholeWhateverOneOfItsServicesDoes) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> set;
    int status;
    const char* version;  // every service's at the end
    std::vector<const char*> results;  // in the file's order: a substring of each
    bool touched;
  };
  const auto pin = [](Harness& h, const char* name, const std::string& hash) {
    std::string text = kReleaseText;
    const std::string needle = std::string("{\"name\": \"") + name + "\"}";
    text.replace(text.find(needle), needle.size(),
                 std::string("{\"name\": \"") + name + "\", \"sha256\": \"" + hash + "\"}");
    h.os.putFile(kReleaseFile, text);
  };
  const Case cases[] = {
      {"the second to start does not",
       [](Harness& h) {
         auto& sync = *h.services.find(u"QZSync");
         sync.startOnlyFor = versionOf(kMembers[0], "v2");
         sync.start.diesAfterMs = 100;
       },
       11, "v1",
       {"Erro: ", "Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZSync",
        "Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZSync"},
       true},
      {"the last to stop refuses to",
       [](Harness& h) {
         h.services.find(u"QZAgent")->stop.refused = true;
       },
       11, "v1",
       {"Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZAgent", "Erro: Erro ao parar o servi\xE7o",
        "Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZAgent"},
       true},
      {"a pin that does not match",
       [&pin](Harness& h) { pin(h, "QZStore", std::string(64, '0')); },
       10, "v1",
       {"Erro: a atualiza\xE7\xE3o conjunta foi recusada pelo servi\xE7o QZStore",
        "Erro: a atualiza\xE7\xE3o conjunta foi recusada pelo servi\xE7o QZStore", "Erro: "},
       false},
      {"a service that depends on its own dependent",
       [](Harness& h) { h.services.find(u"QZAgent")->dependsOn = {u"QZSync"}; },
       10, "v1",
       {"Depend\xEAncia circular entre os servi\xE7os: QZSync -> QZAgent -> QZSync",
        "recusada pelo servi\xE7o QZSync", "recusada pelo servi\xE7o QZSync"},
       false},
      {"a running dependent outside the release",
       [](Harness& h) {
         h.os.putFile(u"C:\\svc\\B.exe", kV1);
         h.services.addService(u"QZB", u"C:\\svc\\B.exe", platform::kServiceRunning).dependsOn = {u"QZStore"};
       },
       10, "v1",
       {"recusada pelo servi\xE7o QZStore", "recusada pelo servi\xE7o QZStore",
        "servi\xE7os dependentes em execu\xE7\xE3o: QZB"},
       false},
      {"one without a new version",
       [](Harness& h) { h.os.removeFile(kMembers[2].next()); },
       0, nullptr, {"Atualizado com sucesso!", "Atualizado com sucesso!", "N\xE3o foi encontrada a nova vers\xE3o"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    setUpReleaseScene(h);
    c.set(h);
    EXPECT_EQ(h.run(kReleaseArguments), c.status) << h.out();
    if (c.version) expectAllOn(h, c.version);
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
      const auto& member = kMembers[i];
      SCOPED_TRACE(toUtf8(member.name));
      EXPECT_THAT(resultOf(h, member), HasSubstr(c.results[i]));
      if (!c.touched) {
        EXPECT_EQ(serviceOf(h, member).stopRequests, 0u);
        EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
        EXPECT_FALSE(h.os.contents(member.old()));
      }
    }
  }
}

// A service of the release not registered yet is registered with the
// change, after every check of every service, and started with the rest.
TEST(Release, RegistersAServiceNotRegisteredYetOnlyOnceAllArePassed) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "another refused" : "all passed");
    Harness h;
    setUpReleaseScene(h);
    h.services.removeService(u"QZStore");
    h.os.removeFile(kMembers[2].exe());
    if (refused) h.os.putFile(kMembers[0].next(), "not an executable");
    const int status = h.run(kReleaseArguments);
    if (refused) {
      EXPECT_EQ(status, 10) << h.out();
      EXPECT_EQ(h.services.find(u"QZStore"), nullptr);
      EXPECT_EQ(h.os.contents(kMembers[2].next()), versionOf(kMembers[2], "v2"));
      continue;
    }
    EXPECT_EQ(status, 0) << h.out();
    ASSERT_NE(h.services.find(u"QZStore"), nullptr);
    EXPECT_TRUE(h.services.find(u"QZStore")->failureActions.actions.empty());
    h.services.find(u"QZStore")->failureActions = kRestartOnFailure;  // registered without any: none to put back
    expectAllOn(h, "v2");
  }
}

// A health command the release file gives a service runs as the command
// line's would: the program and the command line it was judged by.
TEST(Release, HoldsAServiceToTheHealthCommandItsFileGives) {
  for (const bool passes : {true, false}) {
    SCOPED_TRACE(passes ? "passes" : "fails for the new version");
    Harness h;
    setUpAgentHeldToACommand(h, passes);
    EXPECT_EQ(h.run(kReleaseArguments + u" --health-timeout 2"), passes ? 0 : 11) << h.out();
    expectAllOn(h, passes ? "v2" : "v1");
    ASSERT_FALSE(h.probes.commands().empty());
    for (const auto& [program, commandLine] : h.probes.commands()) {
      EXPECT_EQ(program, u"C:\\Windows\\System32\\cmd.exe");
      EXPECT_EQ(commandLine, kCheckLine);
    }
  }
}

TEST(Release, WithNothingToDoAnywhereSaysSo) {
  Harness h;
  setUpReleaseScene(h);
  for (const auto& member : kMembers) h.os.removeFile(member.next());
  EXPECT_EQ(h.run(kReleaseArguments), 3) << h.out();
  expectAllOn(h, "v1");
  EXPECT_TRUE(h.services.requests().empty());
}

TEST(Release, IsBusyWhenAnotherRunHoldsAnyOfItsServices) {
  Harness h;
  setUpReleaseScene(h);
  h.os.holdLockElsewhere(runLockName(h.os.upperCase(kMembers[2].exe())));
  EXPECT_EQ(h.run(kReleaseArguments), 1618);
  EXPECT_THAT(h.out(), HasSubstr("Outra atualiza\xE7\xE3o do servi\xE7o QZStore j\xE1 est\xE1 em andamento."));
  EXPECT_TRUE(h.services.requests().empty());
  for (const auto& member : kMembers) EXPECT_FALSE(h.os.contents(member.result()));
}

TEST(Release, RollsEveryServiceBackAsOne) {
  Harness h;
  setUpReleaseScene(h);
  ASSERT_EQ(h.run(kReleaseArguments), 0) << h.out();
  EXPECT_EQ(h.run(u"--release C:\\svc\\release.json --rollback --exit-code"), 0) << h.out();
  expectAllOn(h, "v1");
  for (const auto& member : kMembers) {
    EXPECT_EQ(resultOf(h, member), "Revertido para a vers\xE3o anterior com sucesso!\r\n");
    EXPECT_EQ(h.os.contents(member.old()), versionOf(member, "v2"));
  }
}

TEST(Release, ChecksEveryServiceAndSaysTheOrderWithoutTouchingAny) {
  Harness h;
  setUpReleaseScene(h);
  EXPECT_EQ(h.run(kReleaseArguments + u" --check"), 0) << h.out();
  EXPECT_TRUE(h.services.requests().empty());
  EXPECT_THAT(h.out(), HasSubstr("[QZStore]\r\n"));
  EXPECT_THAT(h.out(), HasSubstr("iniciaria nesta ordem: QZAgent, QZSync, QZStore") );
  for (const auto& member : kMembers) {
    EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
    EXPECT_FALSE(h.os.contents(member.result()));
  }
  h.services.find(u"QZAgent")->dependsOn = {u"QZSync"};
  EXPECT_EQ(h.run(kReleaseArguments + u" --check"), 10) << h.out();
  EXPECT_THAT(h.out(), HasSubstr("depend\xEAncia circular entre QZSync, QZAgent"));
}


// -- what a release tells ------------------------------------------------------

TEST(ReleaseReport, OneReportWithEachServicesAndOneEventNamingThemAll) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> set;
    const char* outcome;
    int exitCode;
    std::vector<const char*> services;  // each one's outcome, in the file's order
    std::uint32_t eventId;
  };
  const Case cases[] = {
      {"updated", [](Harness&) {}, "updated", 0, {"updated", "updated", "updated"}, 1000},
      {"rolled back",
       [](Harness& h) {
         auto& sync = *h.services.find(u"QZSync");
         sync.startOnlyFor = versionOf(kMembers[0], "v2");
         sync.start.diesAfterMs = 100;
       },
       "rolled-back", 11, {"rolled-back", "rolled-back", "rolled-back"}, 1003},
      {"refused", [](Harness& h) { h.os.setForeign(kMembers[2].exe(), u"CORP\\mallory"); }, "refused", 10,
       {"refused", "refused", "refused"}, 1002},
      // None of them was looked at: none was updated.
      {"busy", [](Harness& h) { h.os.holdLockElsewhere(runLockName(h.os.upperCase(kMembers[2].exe()))); }, "busy",
       1618, {"busy", "busy", "busy"}, 1005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    setUpReleaseScene(h);
    h.os.addDirectory(u"C:\\reports");
    c.set(h);
    EXPECT_EQ(h.run(kReleaseArguments + u" --report C:\\reports\\release.json --event-log"), c.exitCode) << h.out();
    const auto report = h.os.contents(u"C:\\reports\\release.json").value_or("");
    EXPECT_THAT(report, HasSubstr("{\n  \"tool\": \"UpdateServiceQZ\",\n"));
    EXPECT_THAT(report, HasSubstr("\n  \"action\": \"update\",\n  \"release\": \"C:\\\\svc\\\\release.json\",\n"
                                  "  \"outcome\": \"" + std::string(c.outcome) + "\",\n  \"exitCode\": " +
                                  std::to_string(c.exitCode) + ",\n  \"services\": [\n    {\n"));
    std::size_t at = 0;
    for (std::size_t i = 0; i < kMembers.size(); ++i) {
      // Each service's report, as its own run would write it, in order.
      at = report.find("\n      \"service\": \"" + toUtf8(kMembers[i].name) + "\",", at);
      ASSERT_NE(at, std::string::npos) << report;
      EXPECT_EQ(report.find("\"outcome\": \"" + std::string(c.services[i]) + "\"", at),
                report.find("\"outcome\": ", at))
          << report;
    }
    EXPECT_EQ(report.substr(report.size() - 12), "    }\n  ]\n}\n") << report;
    ASSERT_EQ(h.events.events().size(), 1u);
    const auto& event = h.events.events().front();
    EXPECT_EQ(event.id, c.eventId);
    EXPECT_EQ(event.strings.at(0), u"QZSync, QZAgent, QZStore");
    EXPECT_EQ(event.strings.at(1).rfind(u"QZSync: ", 0), 0u);
    EXPECT_THAT(toUtf8(event.strings.at(1)), HasSubstr("; QZStore: "));
    EXPECT_EQ(event.strings.at(5), toDecimal(c.exitCode));
  }
}

}  // namespace
}  // namespace usqz
