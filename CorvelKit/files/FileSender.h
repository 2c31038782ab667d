#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/base/UniqueFd.h"
#include "CorvelKit/files/FileTransferError.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "CorvelKit/protocol/MessageType.h"

namespace corvel::files {

// Sends one file over a connection: a fileOffer, the file in fileChunk messages of at most
// 64 KiB with exactly one in flight (the next is read when the last one's send completed), then
// a fileEnd that says whether the transfer was cancelled.
//
// The chunk loop runs on the connection's completions; cancel() may come from any thread and
// takes effect before the next chunk. In-flight sends keep the sender alive.
class FileSender : public std::enable_shared_from_this<FileSender> {
 public:
  using Completion = std::function<void(std::error_code)>;

  // How the sender reaches its peer: a connection's send (from any thread; the completion runs
  // once the message was written, or failed) and whether its secure channel is up.
  struct Channel {
    std::function<void(protocol::MessageType, ByteView, Completion)> send;
    std::function<bool()> isSecure;
  };
  struct Handlers {
    std::function<void(double fraction)> progress;  // after each chunk, 0…1
    Completion finish;                              // once; no error when all of it was sent
  };

  // Opens the file (a regular file only) and builds the offer: a new id, the file's name and
  // size, and `purpose`.
  [[nodiscard]] static Expected<std::shared_ptr<FileSender>, std::error_code> make(
      const std::filesystem::path& file, Channel channel, std::optional<std::string> purpose = {});

  const protocol::FileOffer& offer() const { return offer_; }
  std::int64_t sent() const { return sent_.load(); }

  // Sends the offer and the first chunk. Call once.
  void start(Handlers handlers);
  // Stops before the next chunk; the peer hears a cancelled fileEnd.
  void cancel();
  // The peer gave the transfer up (it answered with a cancelled fileEnd of this offer): stops
  // like cancel(), finishing with `refused`.
  void refusedByPeer();

  FileSender(UniqueFd file, protocol::FileOffer offer, Channel channel);

 private:
  void pump();
  void advance(std::int64_t bytes);
  void finish(std::error_code error);

  UniqueFd file_;
  const protocol::FileOffer offer_;
  const Channel channel_;
  Handlers handlers_;
  Bytes buffer_;  // the chunk being sent: the id, then the data
  std::atomic<std::int64_t> sent_{0};

  std::mutex lock_;  // guards the fields below
  std::error_code stop_;  // cancelled (or refused) when set
  bool finished_ = false;

  // Whether the completion of the send under way came before the send returned.
  bool inSend_ = false;
  bool completedInside_ = false;
  std::error_code inlineResult_;
};

}  // namespace corvel::files
