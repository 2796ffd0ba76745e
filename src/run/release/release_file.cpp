#include "run/release/release_file.h"

// The tool reads JSON from text it already holds: no streams.
#define JSON_NO_IO
#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

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

// -- the file's text ---------------------------------------------------------

// Where a byte of the text lies, as an editor shows it: lines broken by LF,
// CR LF or a lone CR, columns counted in characters from 1. The text before
// `at` is well-formed UTF-8.
std::u16string lineAndColumn(std::string_view text, std::size_t at) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < at && i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (byte == '\n' || byte == '\r') {
      ++line;
      column = 1;
    } else if ((byte & 0xC0) != 0x80) {
      ++column;
    }
  }
  return u"linha " + toDecimal(static_cast<std::int64_t>(line)) + u", coluna " +
         toDecimal(static_cast<std::int64_t>(column));
}

std::u16string byteAt(std::string_view bytes, std::size_t at) {
  return u"byte 0x" + toHex(static_cast<unsigned char>(bytes[at]), 2, true);
}

// What a file in an encoding the tool does not read is told to become.
constexpr char16_t kSaveItAs[] = u"; salve-o em UTF-8 ou em UTF-16 com BOM";

// The length of the well-formed UTF-8 sequence at `at`, or 0: no overlong
// forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8SequenceAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t k) { return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u; };
  const auto continues = [&](std::size_t k, unsigned low = 0x80, unsigned high = 0xBF) {
    return byte(k) >= low && byte(k) <= high;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continues(1) ? 2 : 0;
  if (lead == 0xE0) return continues(1, 0xA0) && continues(2) ? 3 : 0;
  if (lead == 0xED) return continues(1, 0x80, 0x9F) && continues(2) ? 3 : 0;
  if (lead >= 0xE1 && lead <= 0xEF) return continues(1) && continues(2) ? 3 : 0;
  if (lead == 0xF0) return continues(1, 0x90) && continues(2) && continues(3) ? 4 : 0;
  if (lead >= 0xF1 && lead <= 0xF3) return continues(1) && continues(2) && continues(3) ? 4 : 0;
  if (lead == 0xF4) return continues(1, 0x80, 0x8F) && continues(2) && continues(3) ? 4 : 0;
  return 0;
}

// The file's text as UTF-8, or why it is not text the tool reads.
struct FileText {
  std::string utf8;
  std::u16string refused;
};

FileText refusedText(std::u16string why) { return {{}, std::move(why)}; }

FileText fromUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    units += static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  const auto at = [&](std::size_t unit) { return lineAndColumn(toUtf8(units.substr(0, unit)), std::u16string::npos); };
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return refusedText(u"não é UTF-16 válido: " + at(i) + u": o substituto U+" + toHex(unit, 4, true) +
                         u" não tem par");
    }
  }
  if (bytes.size() % 2 != 0) {
    return refusedText(u"não é UTF-16 válido: " + at(units.size()) + u": termina no meio de um caractere");
  }
  return {toUtf8(units), {}};
}

FileText utf8Text(std::string_view bytes) {
  const auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  using namespace std::string_view_literals;
  // UTF-32's marks first: UTF-16 LE's is the start of UTF-32 LE's.
  if (starts("\xFF\xFE\0\0"sv) || starts("\0\0\xFE\xFF"sv)) {
    return refusedText(u"está em UTF-32: linha 1, coluna 1: BOM " +
                       std::u16string(starts("\xFF"sv) ? u"FF FE 00 00" : u"00 00 FE FF") + kSaveItAs);
  }
  if (starts("\xFF\xFE"sv)) return fromUtf16(bytes.substr(2), false);
  if (starts("\xFE\xFF"sv)) return fromUtf16(bytes.substr(2), true);
  if (starts("\xEF\xBB\xBF"sv)) bytes.remove_prefix(3);
  // JSON starts with a character below U+0080: without a mark, what pads
  // it with NULs is UTF-16 or UTF-32.
  const auto nul = [&](std::size_t at) { return at < bytes.size() && bytes[at] == '\0'; };
  const auto other = [&](std::size_t at) { return at < bytes.size() && bytes[at] != '\0'; };
  const auto without = [&](std::u16string_view encoding, std::size_t at) {
    return refusedText(u"parece estar em " + std::u16string(encoding) + u" sem BOM: " + lineAndColumn(bytes, at) +
                       u": " + byteAt(bytes, at) + kSaveItAs);
  };
  if (other(0) && nul(1) && nul(2) && nul(3)) return without(u"UTF-32 LE", 1);
  if (nul(0) && nul(1) && nul(2) && other(3)) return without(u"UTF-32 BE", 0);
  if (other(0) && nul(1)) return without(u"UTF-16 LE", 1);
  if (nul(0) && other(1)) return without(u"UTF-16 BE", 0);
  std::size_t firstWrong = std::string_view::npos;
  bool anyWide = false;  // a character of more than one byte, well formed
  for (std::size_t i = 0; i < bytes.size();) {
    const auto length = utf8SequenceAt(bytes, i);
    if (length == 0) {
      if (firstWrong == std::string_view::npos) firstWrong = i;
      ++i;
    } else {
      anyWide = anyWide || length > 1;
      i += length;
    }
  }
  if (firstWrong == std::string_view::npos) return {std::string(bytes), {}};
  const auto where = lineAndColumn(bytes, firstWrong) + u": " + byteAt(bytes, firstWrong);
  // Not one character of UTF-8 beyond ASCII, and bytes that are not: an
  // accent saved in the ANSI code page.
  if (!anyWide) return refusedText(u"parece estar em Latin-1 ou Windows-1252, não em UTF-8: " + where + kSaveItAs);
  return refusedText(u"não é UTF-8 válido: " + where);
}

// -- the library's refusals ----------------------------------------------------

// Where the library stopped reading and what it said there, from a second
// reading of a text the first one refused: the first only tells the
// position of its syntax errors, not of a number too large.
class FirstError final : public nlohmann::json_sax<json> {
 public:
  std::size_t position = 0;  // bytes read, the one refused included
  std::string said;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string&, const json::exception& error) override {
    position = at;
    said = error.what();
    return false;
  }
};

// What the library found wrong, in the tool's words. The library tells the
// kind only in its English message, whose few fixed words are looked for
// here (never in the text it quotes from the file); a kind this does not
// know is worded as a plain syntax error.
std::u16string syntaxError(std::string_view said, std::string_view text, std::size_t at) {
  // "... syntax error while parsing CONTEXT - WHAT[; last read: 'TEXT'][; expected TOKEN]"
  const auto dash = said.find(" - ");
  std::string_view what = dash == std::string_view::npos ? said : said.substr(dash + 3);
  static constexpr std::pair<std::string_view, std::u16string_view> kExpected[] = {
      {"'[', '{', or a literal", u"um valor"}, {"string literal", u"uma chave entre aspas"}, {"':'", u"\":\""},
      {"'}'", u"\",\" ou \"}\""},             {"']'", u"\",\" ou \"]\""},                   {"end of input", u""}};
  std::optional<std::u16string_view> expected;
  for (const auto& [token, words] : kExpected) {
    const auto ending = "; expected " + std::string(token);
    if (what.size() >= ending.size() && what.substr(what.size() - ending.size()) == ending) {
      expected = words;
      what.remove_suffix(ending.size());
      break;
    }
  }
  if (const auto quoted = what.find("; last read: '"); quoted != std::string_view::npos) what = what.substr(0, quoted);
  const auto says = [&](std::string_view words) { return what.find(words) != std::string_view::npos; };
  if (says("missing closing quote")) return u"o arquivo termina dentro de um texto entre aspas";
  if (says("unexpected end of input")) return u"o arquivo termina antes do fim do JSON";
  if (says("control character") && at < text.size()) {
    return u"o caractere U+" + toHex(static_cast<unsigned char>(text[at]), 4, true) +
           u" precisa de escape dentro de um texto entre aspas";
  }
  if (says("surrogate")) return u"escape \\u de um substituto UTF-16 sem par dentro de um texto entre aspas";
  if (says("after backslash") || says("must be followed by 4 hex digits")) {
    return u"escape inválido dentro de um texto entre aspas";
  }
  if (expected && expected->empty()) return u"há mais texto depois do fim do JSON";
  if (says("number overflow")) return u"número grande demais";
  if (says("invalid number")) return u"número inválido";
  if (says("invalid literal")) return u"valor inválido (sem aspas, só números, true, false e null)";
  if (const auto unexpected = what.find("unexpected "); unexpected != std::string_view::npos) {
    const auto token = what.substr(unexpected + 11);
    static constexpr std::pair<std::string_view, std::u16string_view> kFound[] = {
        {"string literal", u"um texto"}, {"number literal", u"um número"}, {"true literal", u"true"},
        {"false literal", u"false"},     {"null literal", u"null"}};
    std::u16string found;
    for (const auto& [name, words] : kFound) {
      if (token == name) found = words;
    }
    if (found.empty() && token.size() == 3 && token.front() == '\'' && token.back() == '\'') {
      found = u"\"" + fromUtf8(token.substr(1, 1)) + u"\"";
    }
    if (!found.empty() && expected) return u"esperava-se " + std::u16string(*expected) + u", não " + found;
    if (!found.empty()) return found + u" fora do lugar";
  }
  return u"erro de sintaxe";
}

std::u16string notJson(std::string_view text) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return u"não é um JSON válido: o arquivo está vazio";
  }
  FirstError error;
  json::sax_parse(text.begin(), text.end(), &error);
  // The byte read last; one past the text when the text ended first.
  const std::size_t at = error.position == 0 ? 0 : std::min(error.position - 1, text.size());
  return u"não é um JSON válido: " + lineAndColumn(text, at) + u": " + syntaxError(error.said, text, at);
}

}  // namespace

ReleaseRead parseRelease(platform::FileAndProcess& files, std::string_view bytes, std::u16string_view ownPath) {
  const auto decoded = utf8Text(bytes);
  if (!decoded.refused.empty()) return malformed(decoded.refused);
  const std::string_view text = decoded.utf8;
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
  } catch (const json::exception&) {
    return malformed(notJson(text));
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
