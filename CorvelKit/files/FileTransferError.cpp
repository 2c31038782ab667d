#include "CorvelKit/files/FileTransferError.h"

#include <string>

namespace corvel::files {

namespace {
class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "corvel.files"; }
  std::string message(int code) const override {
    switch (static_cast<FileTransferErrc>(code)) {
      case FileTransferErrc::outOfSpace:
        return "The file couldn't be saved because there isn't enough space.";
      case FileTransferErrc::writeFailed: return "The file couldn't be saved.";
      case FileTransferErrc::invalidOffer: return "The offered file has no valid size.";
      case FileTransferErrc::tooManyTransfers: return "Too many files are arriving at once.";
      case FileTransferErrc::unknownTransfer: return "No file with that id was offered.";
      case FileTransferErrc::receiverClosed: return "The receiver no longer takes files.";
      case FileTransferErrc::noFreeName: return "No free name was left for the file.";
      case FileTransferErrc::cancelled: return "The transfer was cancelled.";
      case FileTransferErrc::refused: return "The receiver refused the file.";
      case FileTransferErrc::fileChanged: return "The file changed while it was being sent.";
      case FileTransferErrc::notRegularFile: return "Only regular files can be sent.";
    }
    return "Unknown file transfer error " + std::to_string(code);
  }
};
}  // namespace

const std::error_category& fileTransferCategory() {
  static const Category category;
  return category;
}

std::error_code make_error_code(FileTransferErrc e) {
  return {static_cast<int>(e), fileTransferCategory()};
}

}  // namespace corvel::files
