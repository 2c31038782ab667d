#pragma once

#include <system_error>

namespace corvel::files {

// Why a file transfer failed or was refused. The first two keep the numbers peers and logs know
// them by (the file-writing errors of the system the protocol came from).
enum class FileTransferErrc {
  outOfSpace = 640,        // an offer larger than the receiver takes
  writeFailed = 512,       // more bytes than offered, or the file couldn't be written
  invalidOffer = 1,        // a negative size
  tooManyTransfers = 2,    // more files at once than a receiver keeps open
  unknownTransfer = 3,     // a chunk or end for no offered file
  receiverClosed = 4,      // the receiver was closed (its client left)
  noFreeName = 5,          // every candidate name in the folder was taken
  cancelled = 6,           // the sender was cancelled
  refused = 7,             // the receiving side gave the transfer up
  fileChanged = 8,         // the file got shorter while it was sent
  notRegularFile = 9,      // only regular files can be sent
};

const std::error_category& fileTransferCategory();
std::error_code make_error_code(FileTransferErrc e);

}  // namespace corvel::files

template <>
struct std::is_error_code_enum<corvel::files::FileTransferErrc> : std::true_type {};
