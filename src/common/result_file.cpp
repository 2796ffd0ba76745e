#include "common/result_file.h"

#include "common/contained_path.h"
#include "common/tool_error.h"

namespace usqz {

namespace {

// Closes the file unless it was closed on purpose; a failure of that close
// is ignored, since the failure that led here is the one to report.
class OpenTextFile {
 public:
  OpenTextFile(platform::FileAndProcess& os, platform::FileHandle handle) : os_(os), handle_(handle) {}
  OpenTextFile(const OpenTextFile&) = delete;
  OpenTextFile& operator=(const OpenTextFile&) = delete;
  ~OpenTextFile() {
    if (handle_) os_.closeFile(handle_);
  }

  platform::FileHandle get() const { return handle_; }
  platform::OsError close() {
    const auto handle = handle_;
    handle_ = {};
    return os_.closeFile(handle);
  }

 private:
  platform::FileAndProcess& os_;
  platform::FileHandle handle_;
};

platform::OsError writeResultFile(platform::FileAndProcess& os, std::u16string_view name,
                                  std::u16string_view text) {
  if (name.size() > kMaxResultFilenameLength) return kInvalidFilename;
  const auto created = os.createTextFile(name);
  if (created.error != platform::kOk) return created.error;
  OpenTextFile file(os, created.handle);
  const auto error = os.writeBytes(file.get(), os.toNarrow(text, platform::CodePage::Ansi) + "\r\n");
  if (error != platform::kOk) return error;
  return file.close();
}

}  // namespace

std::optional<std::u16string> SaveResultQuietly(platform::FileAndProcess& os, std::u16string_view pFilename,
                                                std::u16string_view pResult) {
  platform::OsError error = kInvalidFilename;
  // A name that leaves its folder or names a stream is never touched.
  if (staysInFolder(pFilename)) {
    // A failed deletion shows up as a failed creation below, if it matters.
    if (os.fileExists(pFilename)) os.removeFile(pFilename);
    error = writeResultFile(os, pFilename, pResult);
  }
  if (error == platform::kOk) return std::nullopt;
  std::u16string line = u"Ocorreu um erro ao tentar salvar resultado no arquivo ";
  line += pFilename;
  line += u". Erro: ";
  line += inOutErrorMessage(error);
  return line;
}

void SaveResult(platform::FileAndProcess& os, Console& console, std::u16string_view pFilename,
                std::u16string_view pResult) {
  if (const auto failure = SaveResultQuietly(os, pFilename, pResult)) console.writeLine(*failure);
}

}  // namespace usqz
