#include "run/release/release_file.h"

// The tool reads JSON from text it already holds: no streams.
#define JSON_NO_IO
#include <nlohmann/json.hpp>

#include <set>

#include "checks/location_trust.h"
#include "common/names.h"
#include "common/option_values.h"
#include "platform/text.h"

namespace usqz {

namespace {

using nlohmann::json;

ReleaseRead malformed(std::u16string why) { return {ReleaseRead::Kind::Malformed, std::move(why), {}}; }

std::u16string wide(const std::string& utf8) { return fromUtf8(utf8); }

// A string, or a list of strings, as the options' values.
std::optional<std::vector<std::u16string>> textsOf(const json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::u16string> texts;
  for (const auto& item : value) {
    if (!item.is_string()) return std::nullopt;
    texts.push_back(wide(item.get<std::string>()));
  }
  return texts;
}

// A name as a message shows it: a character that would break the line or
// vanish from it by its code.
std::u16string shown(std::u16string_view name) {
  std::u16string out;
  for (const char16_t c : name) {
    if (c < u' ') {
      out += u"<U+" + toHex(c, 4, true) + u">";
    } else {
      out += c;
    }
  }
  return out;
}

// Every file of a service is named after it, and Windows refuses these in a
// file name. A NUL would be worse than refused: the name would end there
// where Windows reads it, and two names the file tells apart would be one.
std::optional<std::u16string> refusedInFileName(std::u16string_view name) {
  for (const char16_t c : name) {
    if (c < u' ') return u"U+" + toHex(c, 4, true);
    if (std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos) {
      return u"'" + std::u16string(1, c) + u"'";
    }
  }
  return std::nullopt;
}

}  // namespace

ReleaseRead parseRelease(platform::FileAndProcess& files, std::string_view text, std::u16string_view ownPath) {
  // The same key twice in one object would have the last one win silently:
  // it is refused like any other surprise.
  std::vector<std::set<std::string>> keysSeen;
  std::string repeated;
  const json::parser_callback_t noRepeatedKeys = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) keysSeen.emplace_back();
    if (event == json::parse_event_t::object_end && !keysSeen.empty()) keysSeen.pop_back();
    if (event == json::parse_event_t::key && !keysSeen.empty() && !keysSeen.back().insert(parsed.get<std::string>()).second) {
      if (repeated.empty()) repeated = parsed.get<std::string>();
    }
    return true;
  };
  json document;
  try {
    document = json::parse(text.begin(), text.end(), noRepeatedKeys);
  } catch (const json::exception& error) {
    return malformed(u"não é um JSON válido: " + wide(error.what()));
  }
  if (!repeated.empty()) return malformed(u"a chave \"" + wide(repeated) + u"\" aparece duas vezes no mesmo objeto");
  if (!document.is_object()) return malformed(u"o arquivo deve ser um objeto JSON com a chave \"services\"");
  for (const auto& [key, value] : document.items()) {
    if (key != "services") return malformed(u"chave desconhecida: \"" + wide(key) + u"\"");
  }
  if (!document.contains("services") || !document["services"].is_array()) {
    return malformed(u"falta a lista \"services\"");
  }
  const auto& listed = document["services"];
  if (listed.empty()) return malformed(u"a lista \"services\" está vazia");
  if (listed.size() > kMostServicesInARelease) {
    return malformed(u"mais de " + fromUtf8(std::to_string(kMostServicesInARelease)) + u" serviços");
  }
  ReleaseRead read;
  std::vector<std::pair<std::u16string, std::u16string>> taken;  // upper-case name and executable, per service
  for (const auto& entry : listed) {
    if (!entry.is_object()) return malformed(u"cada serviço deve ser um objeto JSON");
    if (!entry.contains("name") || !entry["name"].is_string() || entry["name"].get<std::string>().empty()) {
      return malformed(u"um serviço sem \"name\"");
    }
    ReleaseService service;
    service.name = wide(entry["name"].get<std::string>());
    const auto where = u"serviço " + shown(service.name) + u": ";
    if (const auto character = refusedInFileName(service.name)) {
      return malformed(where + u"não é um nome de serviço: o Windows não aceita " + *character +
                       u" em nomes de arquivo");
    }
    if (service.name.size() > 256) return malformed(where + u"não é um nome de serviço: mais de 256 caracteres");
    for (const auto& [key, value] : entry.items()) {
      if (key != "name" && key != "sha256" && key != "healthUrl" && key != "healthTcp" && key != "healthCommand") {
        return malformed(where + u"chave desconhecida: \"" + wide(key) + u"\"");
      }
    }
    // Every value's type first, then each value through the very reading
    // the command line's does, refused in its words.
    std::optional<std::u16string> hash;
    if (entry.contains("sha256")) {
      if (!entry["sha256"].is_string()) return malformed(where + u"\"sha256\" deve ser um texto");
      hash = wide(entry["sha256"].get<std::string>());
    }
    using Reader = OptionValue<HealthCheck> (*)(std::u16string_view);
    std::vector<std::pair<Reader, std::u16string>> checks;
    // In the order the checks are made: the address, the port, the command.
    for (const auto& [key, reader] : {std::pair<const char*, Reader>{"healthUrl", &healthUrlValue},
                                      std::pair<const char*, Reader>{"healthTcp", &healthTcpValue},
                                      std::pair<const char*, Reader>{"healthCommand", &healthCommandValue}}) {
      if (!entry.contains(key)) continue;
      const auto values = textsOf(entry[key]);
      if (!values) return malformed(where + u"\"" + wide(key) + u"\" deve ser uma lista de textos");
      for (const auto& one : *values) checks.emplace_back(reader, one);
    }
    if (hash) {
      auto pin = sha256Value(*hash);
      if (!pin.value) return malformed(where + pin.refused);
      service.sha256 = std::move(*pin.value);
    }
    for (const auto& [reader, value] : checks) {
      auto check = reader(value);
      if (!check.value) return malformed(where + check.refused);
      service.health.push_back(std::move(*check.value));
    }
    // Compared as Windows compares them, by its own case folding: two
    // members the system takes for one, or whose executables it does, would
    // both act on the same files.
    const auto upper = files.upperCase(service.name);
    const auto executable = files.upperCase(deriveNames(service.name, ownPath).pathCurrentBin);
    for (const auto& [otherName, otherExecutable] : taken) {
      if (otherName == upper) return malformed(u"o serviço " + service.name + u" aparece duas vezes");
      if (otherExecutable == executable) {
        return malformed(u"dois serviços no mesmo executável: " + service.name + u" e " +
                         deriveNames(service.name, ownPath).pathCurrentBin);
      }
    }
    taken.emplace_back(upper, executable);
    read.services.push_back(std::move(service));
  }
  return read;
}

ReleaseRead readRelease(platform::Platform& p, std::u16string_view path, std::u16string_view ownPath) {
  const std::u16string asGiven(path);
  const auto found = p.security.inspectAndRead(asGiven, kLargestReleaseFile + 1);
  if (found.facts.error != platform::kOk) {
    return malformed(u"--release " + asGiven + u": " + p.texts.describe(found.facts.error));
  }
  if (found.facts.kind != platform::FileKind::File) {
    return {ReleaseRead::Kind::Untrusted, u"--release " + asGiven + u": não é um arquivo comum", {}};
  }
  if (auto why = whyUntrusted(found.facts)) {
    return {ReleaseRead::Kind::Untrusted, u"--release " + asGiven + u": " + *why, {}};
  }
  // Its folder and those above, as for any file the elevated run acts on.
  if (auto why = whyRunUntrusted(p, asGiven)) return {ReleaseRead::Kind::Untrusted, u"--release " + asGiven + u": " + *why, {}};
  if (found.head.error != platform::kOk) {
    return malformed(u"--release " + asGiven + u": " + p.texts.describe(found.head.error));
  }
  if (found.head.bytes.size() > kLargestReleaseFile) return malformed(u"--release " + asGiven + u": arquivo grande demais");
  auto read = parseRelease(p.files, found.head.bytes, ownPath);
  if (read.kind == ReleaseRead::Kind::Malformed) read.why = u"--release " + asGiven + u": " + read.why;
  return read;
}

Options memberOptions(const Options& release, const ReleaseService& service) {
  Options options = release;
  options.releasePath.clear();
  options.serviceName = service.name;
  options.sha256 = service.sha256;
  options.health = service.health;
  return options;
}

}  // namespace usqz
