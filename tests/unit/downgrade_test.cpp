// No downgrade: the new version's own file version (its version resource,
// read by the tool) against the current one's, before anything is touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checks/file_version.h"
#include "harness.h"
#include "platform/text.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

TEST(FileVersion, ReadFromTheImagesOwnResourceAndNothingElse) {
  const auto read = [](const std::string& image) {
    return fileVersionOf([&image](std::uint64_t offset, std::size_t size) {
      return offset < image.size() ? image.substr(static_cast<std::size_t>(offset), size) : std::string();
    });
  };
  const auto image = peImageWithVersion("v2", 2, 1, 30, 4);
  const auto version = read(image);
  ASSERT_TRUE(version);
  EXPECT_EQ(versionText(*version), u"2.1.30.4");
  EXPECT_FALSE(read(peImage("v2")));
  EXPECT_FALSE(read("MZ"));
  // Cut anywhere, or any byte changed, it is read or not, never past its end.
  for (std::size_t cut = 0; cut < image.size(); ++cut) read(image.substr(0, cut));
  for (std::size_t at = 0; at < image.size(); ++at) {
    auto changed = image;
    changed[at] = static_cast<char>(changed[at] ^ 0xFF);
    read(changed);
  }
  EXPECT_LT(FileVersion({1, 9, 9, 9}), FileVersion({2, 0, 0, 0}));
  EXPECT_LT(FileVersion({2, 0, 0, 9}), FileVersion({2, 0, 1, 0}));
}

platform::fake::FakeService& place(Harness& h, const std::string& current, const std::string& next) {
  h.os.putFile(kCurrent, current);
  h.os.putFile(kNew, next);
  auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
  service.runningImage = current;
  return service;
}

int run(Harness& h, const std::u16string& options) { return h.run(u"--service-name QZAgent --exit-code " + options); }

TEST(Downgrade, ALowerVersionIsRefusedBeforeTheStopAndEqualOrHigherPass) {
  struct Case {
    std::string current, next;
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {peImageWithVersion("a", 2, 0), peImageWithVersion("b", 1, 9, 9, 9), 10,
       "A nova vers\xE3o (1.9.9.9) \xE9 anterior \xE0 vers\xE3o atual (2.0.0.0), e --no-downgrade a recusa"},
      {peImageWithVersion("a", 2, 0), peImageWithVersion("b", 2, 0), 0, "Atualizado com sucesso!"},
      {peImageWithVersion("a", 2, 0), peImageWithVersion("b", 2, 0, 0, 1), 0, "Atualizado com sucesso!"},
      {peImageWithVersion("a", 2, 0), peImage("b"), 10,
       "A nova vers\xE3o n\xE3o tem n\xFAmero de vers\xE3o (recurso de vers\xE3o), e --no-downgrade o exige"},
      {peImage("a"), peImageWithVersion("b", 1, 0), 0,
       "Service :: a vers\xE3o atual n\xE3o tem n\xFAmero de vers\xE3o: --no-downgrade aceita a nova (1.0.0.0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    Harness h;
    auto& service = place(h, c.current, c.next);
    EXPECT_EQ(run(h, u"--no-downgrade"), c.status) << h.out();
    EXPECT_THAT(h.out() + h.os.contents(kResult).value_or(""), HasSubstr(c.says));
    if (c.status == 10) {
      EXPECT_EQ(service.stopRequests, 0u);
      EXPECT_EQ(h.os.contents(kNew), c.next);
    }
  }
}

TEST(Downgrade, WithoutTheOptionAnyVersionPassesAndACheckSaysWhichVersions) {
  Harness h;
  auto& service = place(h, peImageWithVersion("a", 2, 0), peImageWithVersion("b", 1, 0));
  EXPECT_EQ(run(h, u"--check"), 0);
  EXPECT_THAT(h.out(), HasSubstr("  -> substituiria a vers\xE3o 2.0.0.0 pela 1.0.0.0\r\n"));
  EXPECT_EQ(run(h, u"--check --no-downgrade"), 10);
  EXPECT_EQ(run(h, u""), 0);
  EXPECT_EQ(service.runningImage, peImageWithVersion("b", 1, 0));
}

// Whoever may write a pinned-only new version rewrites it with an older
// build as soon as the run lets go of it: neither --no-downgrade's verdict
// nor the report's facts change, and the bytes copied are the ones that
// run.
TEST(FactsOfTheNewVersion, ComeFromTheBytesThatRun) {
  const auto current = peImageWithVersion("a", 2, 0);
  const auto next = peImageWithVersion("b", 2, 1);
  const auto older = peImageWithVersion("c", 1, 0);
  const platform::SignatureCheck signedBy{platform::SignatureStatus::Valid, 0,
                                          {u"CN=QZ", u"CN=QZ CA", u"QZ", std::u16string(64, u'b')}};
  for (const bool signature : {false, true}) {
    SCOPED_TRACE(signature ? "signed" : "pinned");
    Harness h;
    h.os.addDirectory(u"C:\\reports");
    h.os.putFile(kCurrent, current);
    h.os.putFile(kNew, next);
    h.os.setForeign(kNew, {}, {u"BUILTIN\\Users"});
    auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
    service.runningImage = current;
    h.trust.sign(current, signedBy);
    h.trust.sign(next, signedBy);
    h.trust.sign(older, {platform::SignatureStatus::Valid, 0, {u"CN=Old", u"CN=QZ CA", u"QZ", std::u16string(64, u'c')}});
    bool rewritten = false;
    h.os.faults().beforeEveryCall([&] {
      if (!rewritten && h.os.contents(kCopy)) rewritten = h.os.rewrite(kNew, older);
    });
    const std::u16string pin = signature ? u" --require-signature" : u" --sha256 " + FakeTrust::hashOf(next);
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --no-downgrade --report C:\\reports\\qz.json" + pin), 0)
        << h.out();
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(h.os.contents(kCurrent), next);
    EXPECT_EQ(service.runningImage, next);
    const auto report = h.os.contents(u"C:\\reports\\qz.json").value_or("");
    const auto at = report.find("\"new\": {");
    ASSERT_NE(at, std::string::npos) << report;
    const auto told = report.substr(at, report.find("\"signer\"", at) - at);
    EXPECT_THAT(told, HasSubstr("\"fileVersion\": \"2.1.0.0\""));
    EXPECT_THAT(told, HasSubstr("\"size\": " + std::to_string(next.size())));
    EXPECT_THAT(told, HasSubstr(toUtf8(FakeTrust::hashOf(next))));
    if (signature) {
      EXPECT_THAT(report.substr(at),
                  HasSubstr("\"signer\": {\"subject\": \"CN=QZ\", \"sha256\": \"" + std::string(64, 'b')));
    }
  }
}

}  // namespace
}  // namespace usqz
