#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Ambrel_Host/controller/Clipboard.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/base/UniqueFd.h"

namespace ambrel {

// The clipboard of a GNOME (mutter) desktop, through a RemoteDesktop session of its own with the
// clipboard enabled: each SelectionOwnerChanged that another client caused counts as a change, and
// its text is read (SelectionRead) on the clipboard's thread; write() offers the text as the
// session's selection and hands it over on each SelectionTransfer. Thread-safe.
class MutterClipboard final : public Clipboard {
 public:
  [[nodiscard]] static corvel::Expected<std::shared_ptr<MutterClipboard>, std::error_code> open(
      std::optional<std::string> busAddress);
  ~MutterClipboard() override;

  Snapshot read() override;
  std::int64_t write(std::string text) override;

  struct Session;

 private:
  explicit MutterClipboard(std::unique_ptr<Session> session);
  void run();
  void wake();

  std::unique_ptr<Session> session_;  // the clipboard's thread only
  corvel::UniqueFd wake_;

  std::mutex mutex_;  // guards the fields below
  Snapshot snapshot_;
  std::optional<std::string> offered_;  // what this host put on the clipboard
  bool offerPending_ = false;           // SetSelection still to be sent
  bool stopping_ = false;

  std::thread thread_;
};

}  // namespace ambrel
