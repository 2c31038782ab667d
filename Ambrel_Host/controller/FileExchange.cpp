#include "Ambrel_Host/controller/FileExchange.h"

#include <algorithm>

#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/MessageDispatch.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/controller/SessionSupervision.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/files/FileSender.h"
#include "CorvelKit/net/ConnectionError.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("files"); }

// Ids a client was told were refused, so that the rest of a refused file's chunks pass quietly.
constexpr std::size_t kRememberedRefusals = 64;
}  // namespace

using corvel::JSONCoding;
using corvel::files::FileReceiver;
using corvel::files::FileSender;
using corvel::files::FileTransferErrc;
using corvel::protocol::MessageType;

// One client's receiver. Kept (closed) after the client ended until its record goes, so that a
// message still on its way from the connection finds it closed rather than making a new one.
struct FileExchange::Incoming {
  Incoming(std::weak_ptr<const RemoteClient> owner, const std::filesystem::path& folder)
      : client(std::move(owner)), receiver(folder) {}
  std::weak_ptr<const RemoteClient> client;
  FileReceiver receiver;
  std::deque<corvel::UUID> refused;  // the connection's queue only
};

FileExchange::FileExchange(HostContext& context, MessageDispatch& dispatch,
                           SessionSupervision& supervision, std::filesystem::path folder)
    : context_(context), folder_(std::move(folder)) {
  using enum MessageDispatch::Stage;
  using Client = std::shared_ptr<RemoteClient>;
  constexpr unsigned receiving = MessageDispatch::admitted | MessageDispatch::notSharer;
  dispatch.route(MessageType::fileOffer, fast, receiving,
                 [this](const Client& c, corvel::Bytes& payload) { offer(c, payload); });
  dispatch.route(MessageType::fileChunk, fast, receiving,
                 [this](const Client& c, corvel::Bytes& payload) { chunk(c, payload); });
  // Screen sharers take files too, and may give one up.
  dispatch.route(MessageType::fileEnd, fast, MessageDispatch::admitted,
                 [this](const Client& c, corvel::Bytes& payload) { end(c, payload); });
  supervision.addEndHook([this](const RemoteClient& c) { clientEnded(c); });
}

FileExchange::~FileExchange() {
  std::lock_guard lock(mutex_);
  for (auto& [id, incoming] : incoming_) incoming->receiver.close();
}

// ---- Receiving (connection's queue) -----------------------------------------------------------

std::shared_ptr<FileExchange::Incoming> FileExchange::incomingFor(
    const std::shared_ptr<RemoteClient>& client, bool make) {
  std::lock_guard lock(mutex_);
  auto it = incoming_.find(client->id());
  if (it != incoming_.end()) return it->second;
  if (!make) return nullptr;
  auto made = std::make_shared<Incoming>(client, folder_);
  incoming_.emplace(client->id(), made);
  return made;
}

void FileExchange::offer(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload) {
  auto offer = JSONCoding::decode<corvel::protocol::FileOffer>(payload);
  if (!offer) return;
  auto incoming = incomingFor(client, true);
  if (auto ec = incoming->receiver.offer(*offer)) {
    refuse(*client, *incoming, offer->id, ec);
  } else {
    log().info("receiving a file of {} bytes from {}", offer->size, client->displayName());
  }
}

void FileExchange::chunk(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload) {
  auto parsed = corvel::protocol::FileChunk::parse(payload);
  if (!parsed) return;
  auto incoming = incomingFor(client, true);
  if (auto ec = incoming->receiver.chunk(payload)) refuse(*client, *incoming, parsed->id, ec);
}

void FileExchange::end(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload) {
  auto end = JSONCoding::decode<corvel::protocol::FileEnd>(payload);
  if (!end) return;
  {
    // The client gave up a file this computer sends it.
    std::unique_lock lock(mutex_);
    if (auto it = sending_.find(end->id); it != sending_.end()) {
      if (it->second.clientID != client->id()) return;  // only the receiving client gives it up
      auto sender = it->second.sender.lock();
      lock.unlock();
      if (sender && end->cancelled) sender->refusedByPeer();
      return;
    }
  }
  if (client->isScreenSharer()) return;
  auto incoming = incomingFor(client, false);
  if (!incoming) return;
  auto done = incoming->receiver.end(*end);
  if (!done) {
    log().warn("file transfer failed: {}", done.error().message());
    return;
  }
  if (!*done) return;
  context_.post([this, from = client->displayName(), url = (*done)->url] { received(from, url); });
}

void FileExchange::refuse(const RemoteClient& client, Incoming& incoming, const corvel::UUID& id,
                          std::error_code why) {
  auto& refused = incoming.refused;
  if (std::find(refused.begin(), refused.end(), id) != refused.end()) return;
  if (why == FileTransferErrc::unknownTransfer) {
    log().warn("refused a chunk of a file {} never offered", client.displayName());
  } else {
    log().warn("file transfer failed: {}", why.message());
  }
  refused.push_back(id);
  if (refused.size() > kRememberedRefusals) refused.pop_front();
  client.connection()->sendJSON(MessageType::fileEnd, corvel::protocol::FileEnd{id, true});
}

void FileExchange::received(const std::string& from, const std::filesystem::path& url) {
  receivedFiles_.push_back(
      ReceivedFile{corvel::UUID::random(), url, from, corvel::Date::fromTimePoint(context_.clock->wallNow())});
  context_.observers.notify(HostProperty::receivedFiles);
  log().info("received a file from {}", from);
  context_.notifier->postFile("Received " + url.filename().string(),
                              "From " + from + " · saved to Downloads › Ambrel", url);
}

// ---- Sending (executor) -----------------------------------------------------------------------

void FileExchange::send(std::vector<std::filesystem::path> files,
                        const std::shared_ptr<RemoteClient>& client) {
  auto& out = outgoing_[client->id()];
  out.client = client;
  for (auto& f : files) out.queue.push_back(OutgoingFile{std::move(f), std::nullopt, {}});
  if (!out.current) next(client->id());
}

void FileExchange::sendDocument(std::filesystem::path file, const std::shared_ptr<RemoteClient>& client,
                                std::string purpose, std::function<void(std::error_code)> done) {
  auto& out = outgoing_[client->id()];
  out.client = client;
  out.queue.push_back(OutgoingFile{std::move(file), std::move(purpose), std::move(done)});
  if (!out.current) next(client->id());
}

void FileExchange::abandon(std::deque<OutgoingFile> files, std::error_code why) {
  for (auto& f : files) {
    if (f.done) context_.post([done = std::move(f.done), why] { done(why); });
  }
}

int FileExchange::sendToEveryone(const std::vector<std::filesystem::path>& files) {
  int count = 0;
  for (auto& c : std::vector(context_.clients.all())) {
    if (!c->authorized()) continue;
    send(files, c);
    ++count;
  }
  return count;
}

void FileExchange::next(const corvel::UUID& clientID) {
  auto it = outgoing_.find(clientID);
  if (it == outgoing_.end()) return;
  auto& out = it->second;
  out.current.reset();
  out.currentDone = nullptr;
  auto client = out.client.lock();
  if (!client || !context_.clients.contains(*client)) {
    abandon(std::move(out.queue), corvel::net::ConnectionErrc::notConnected);
    outgoing_.erase(it);
    return;
  }
  std::weak_ptr<ClientConnection> connection = client->connection();
  FileSender::Channel channel{
      [connection](MessageType type, corvel::ByteView payload, FileSender::Completion done) {
        if (auto c = connection.lock()) {
          c->send(type, payload, std::move(done));
        } else if (done) {
          done(corvel::net::ConnectionErrc::notConnected);
        }
      },
      [connection] {
        auto c = connection.lock();
        return c && c->isSecure();
      }};

  while (!out.queue.empty()) {
    auto outgoing = std::move(out.queue.front());
    out.queue.pop_front();
    const auto& file = outgoing.path;
    const auto name = file.filename().string();
    auto made = FileSender::make(file, channel, outgoing.purpose);
    if (!made) {
      context_.streaming.setLastError("Couldn't send " + name + ": " + made.error().message());
      abandon({std::move(outgoing)}, made.error());
      continue;
    }
    auto sender = *made;
    const auto label = name + " → " + client->displayName();
    const auto transferID = sender->offer().id;
    sendingFiles_.push_back(label);
    context_.observers.notify(HostProperty::sendingFiles);
    {
      std::lock_guard lock(mutex_);
      sending_[transferID] = {clientID, sender};
    }
    out.current = sender;
    out.currentDone = std::move(outgoing.done);
    log().info("sending a file of {} bytes to {}", sender->offer().size, client->displayName());
    sender->start({{}, [this, clientID, label, name, transferID](std::error_code error) {
                     context_.post([=, this] { finished(clientID, label, name, transferID, error); });
                   }});
    return;
  }
  outgoing_.erase(it);
}

void FileExchange::finished(const corvel::UUID& clientID, const std::string& label,
                            const std::string& name, const corvel::UUID& transferID,
                            std::error_code error) {
  {
    std::lock_guard lock(mutex_);
    sending_.erase(transferID);
  }
  if (auto it = std::find(sendingFiles_.begin(), sendingFiles_.end(), label); it != sendingFiles_.end()) {
    sendingFiles_.erase(it);
    context_.observers.notify(HostProperty::sendingFiles);
  }
  if (error) {
    log().warn("sending a file failed: {}", error.message());
    context_.streaming.setLastError("Couldn't send " + name + ": " + error.message());
  }
  auto it = outgoing_.find(clientID);
  if (it != outgoing_.end() && it->second.current && it->second.current->offer().id == transferID) {
    if (auto done = std::move(it->second.currentDone)) context_.post([done, error] { done(error); });
    next(clientID);
  }
}

// ---- Clients leaving (executor) ----------------------------------------------------------------

void FileExchange::clientEnded(const RemoteClient& client) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = incoming_.find(client.id()); it != incoming_.end()) it->second->receiver.close();
    // Closed receivers of clients whose records are gone can't hear from anyone any more.
    std::erase_if(incoming_, [](const auto& entry) { return entry.second->client.expired(); });
  }
  if (auto it = outgoing_.find(client.id()); it != outgoing_.end()) {
    abandon(std::move(it->second.queue), corvel::net::ConnectionErrc::notConnected);
    it->second.queue.clear();
    if (it->second.current) it->second.current->cancel();
  }
}

}  // namespace ambrel
