#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/base/UniqueFd.h"
#include "CorvelKit/files/FileTransferError.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"

namespace corvel::files {

// The receiving side of file transfers on one connection: each offered file is written into a
// hidden part file in the folder as its chunks arrive and, once all of its bytes came, moved to
// a safe name that no other entry of the folder has.
//
// Everything is written through a descriptor of the folder: names are never resolved through a
// path again, the folder's own last component and part files are never followed if they are
// symbolic links, and nothing replaces an existing entry. So no offered name, link planted in
// the folder or race leads outside it.
//
// Thread-safe: a connection's queue drives it while its owner may close it from another thread.
class FileReceiver {
 public:
  // The largest file taken: 20 GiB.
  static constexpr std::int64_t maximumSize = 21'474'836'480;
  // Files arriving at once; one more offer is refused.
  static constexpr std::size_t maximumTransfers = 64;

  struct Completed {
    std::filesystem::path url;  // where the file now is
    std::int64_t size = 0;
    std::optional<std::string> purpose;  // from the offer
  };

  // `folder` is created (with the folders above it) at the first offer.
  explicit FileReceiver(std::filesystem::path folder);
  // Drops every unfinished transfer.
  ~FileReceiver();
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  const std::filesystem::path& folder() const { return folder_; }

  // Prepares a part file. Refuses a size above maximumSize (outOfSpace) or below zero, one
  // offer too many and any offer after close(). A second offer with an id in use replaces the
  // first transfer.
  [[nodiscard]] std::error_code offer(const protocol::FileOffer& offer);
  // A fileChunk payload. A payload shorter than an id is ignored; an unknown id answers
  // unknownTransfer and changes nothing. More bytes than offered drop the transfer (writeFailed);
  // so does a failed write.
  [[nodiscard]] std::error_code chunk(ByteView payload);
  // Ends a transfer: with every offered byte and not cancelled, the file is moved to its final
  // name and described; otherwise its part file is deleted and there is no result. An unknown id
  // has no result either.
  [[nodiscard]] Expected<std::optional<Completed>, std::error_code> end(const protocol::FileEnd& end);
  // Drops every unfinished transfer and deletes its part file.
  void cancelAll();
  // cancelAll(), and every later offer is refused (the client went away).
  void close();

  // Whether a transfer with this id is under way.
  bool has(const UUID& id) const;
  std::size_t transfers() const;

 private:
  struct Incoming {
    protocol::FileOffer offer;
    std::string partName;
    UniqueFd folder;  // the folder the part file is in
    UniqueFd file;
    std::int64_t received = 0;
  };

  Expected<UniqueFd, std::error_code> openFolder();
  static void discard(Incoming& incoming);
  Expected<std::string, std::error_code> moveToFreeName(Incoming& incoming);

  const std::filesystem::path folder_;
  mutable std::mutex mutex_;
  std::unordered_map<UUID, Incoming> incoming_;
  bool closed_ = false;
};

}  // namespace corvel::files
