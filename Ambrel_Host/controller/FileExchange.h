#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "Ambrel_Host/controller/ReceivedFile.h"
#include "Ambrel_Host/controller/RemoteClient.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::files {
class FileReceiver;
class FileSender;
}  // namespace corvel::files

namespace ambrel {

class MessageDispatch;
class SessionSupervision;
struct HostContext;

// Files both ways between this computer and its clients. Files a client sends arrive on its
// connection's queue into a receiver of its own, in `folder`, and are listed and announced here
// once complete. Files for a client travel one after the other; different clients' in parallel.
// Bad offers and chunks are refused back to the sender with a cancelled fileEnd.
//
// Controller's executor, except the message handlers, which run on the connections' queues and
// touch only the receivers and the ids of outgoing transfers (under the lock).
class FileExchange {
 public:
  FileExchange(HostContext& context, MessageDispatch& dispatch, SessionSupervision& supervision,
               std::filesystem::path folder);
  ~FileExchange();

  const std::filesystem::path& folder() const { return folder_; }
  // One label per transfer under way: "name → device".
  const std::vector<std::string>& sendingFiles() const { return sendingFiles_; }
  // Files received in this run, oldest first.
  const std::vector<ReceivedFile>& receivedFiles() const { return receivedFiles_; }

  // Sends the files to the client one after the other, after any it is sending it already.
  // A file that can't be sent sets the last error and the next one goes on.
  void send(std::vector<std::filesystem::path> files, const std::shared_ptr<RemoteClient>& client);
  // The same to every admitted client (screen sharers too), in the order of `clients`; how many.
  int sendToEveryone(const std::vector<std::filesystem::path>& files);
  // One file with a purpose ("print"), in turn with the client's other files. `done` runs on the
  // executor once the transfer ended, well or not (also when the file couldn't be opened or the
  // client left before its turn); the error says why it didn't arrive.
  void sendDocument(std::filesystem::path file, const std::shared_ptr<RemoteClient>& client,
                    std::string purpose, std::function<void(std::error_code)> done);

 private:
  struct Incoming;
  struct OutgoingFile {
    std::filesystem::path path;
    std::optional<std::string> purpose;
    std::function<void(std::error_code)> done;
  };
  struct Outgoing {
    std::weak_ptr<RemoteClient> client;
    std::deque<OutgoingFile> queue;
    std::shared_ptr<corvel::files::FileSender> current;
    std::function<void(std::error_code)> currentDone;
  };

  // Connection's queue.
  std::shared_ptr<Incoming> incomingFor(const std::shared_ptr<RemoteClient>& client, bool make);
  void offer(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  void chunk(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  void end(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  void refuse(const RemoteClient& client, Incoming& incoming, const corvel::UUID& id,
              std::error_code why);
  // Executor.
  void next(const corvel::UUID& clientID);
  void finished(const corvel::UUID& clientID, const std::string& label, const std::string& name,
                const corvel::UUID& transferID, std::error_code error);
  // Tells the owners of files that won't be sent (posted, never from inside this object's work).
  void abandon(std::deque<OutgoingFile> files, std::error_code why);
  void received(const std::string& from, const std::filesystem::path& url);
  void clientEnded(const RemoteClient& client);

  HostContext& context_;
  const std::filesystem::path folder_;

  std::mutex mutex_;  // guards the two below
  std::unordered_map<corvel::UUID, std::shared_ptr<Incoming>> incoming_;  // by client id
  struct Sending {
    corvel::UUID clientID;
    std::weak_ptr<corvel::files::FileSender> sender;
  };
  std::unordered_map<corvel::UUID, Sending> sending_;  // by offer id

  std::unordered_map<corvel::UUID, Outgoing> outgoing_;  // by client id
  std::vector<std::string> sendingFiles_;
  std::vector<ReceivedFile> receivedFiles_;
};

}  // namespace ambrel
