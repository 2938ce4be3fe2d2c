// The operations run on the main thread for each command. Each returns true on
// success; on failure it replaces `description` with its own text. Paths are
// the working directory followed directly by the file name, in the system
// code page.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/core.h"

namespace ormid {

// Names that would leave the working directory are refused: a separator of
// either kind, a NUL, "." or "..".
bool isSafeFileName(const std::string& nameFile);

// The visibility wait after starting the word processor gives up after this
// many reads or this long, whichever comes first.
inline constexpr int kVisibleWaitReads = 1000;
inline constexpr int kVisibleWaitMilliseconds = 10'000;

class DocEditorProcessing {
 public:
  static bool openEditor(std::u16string& description) REQUIRES(core().lock);
  static bool openWordAplication(std::u16string& description) REQUIRES(core().lock);
  static bool closeWordAplication(std::u16string& description) REQUIRES(core().lock);

  static bool openDocument(const std::string& workingDirectory, const std::string& nameFile,
                           const std::string& contentFile, std::u16string& description) REQUIRES(core().lock);
  static bool createDocument(const std::string& workingDirectory, const std::string& nameFile,
                             std::u16string& description) REQUIRES(core().lock);
  static bool saveDocument(const std::string& workingDirectory, const std::string& nameFile,
                           std::u16string& description) REQUIRES(core().lock);
  static bool closeDocument(const std::string& workingDirectory, const std::string& nameFile,
                            bool isRemoveFile, std::u16string& description) REQUIRES(core().lock);
  // `document` receives the file's bytes.
  static bool getDocument(const std::string& workingDirectory, const std::string& nameFile,
                          std::string& document, std::u16string& description) REQUIRES(core().lock);
  static bool removeDocument(const std::string& workingDirectory, const std::string& nameFile,
                             std::u16string& description) REQUIRES(core().lock);
};

}  // namespace ormid
