#include "Ambrel_Host/controller/ChatLog.h"

#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/MessageDispatch.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("chat"); }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}
}  // namespace

using corvel::protocol::ChatMessage;
using corvel::protocol::MessageType;

ChatLog::ChatLog(HostContext& context, MessageDispatch& dispatch) : context_(context) {
  dispatch.route(MessageType::chat, MessageDispatch::Stage::main, MessageDispatch::admitted,
                 [this](const std::shared_ptr<RemoteClient>& c, corvel::Bytes& payload) {
                   auto message = corvel::JSONCoding::decode<ChatMessage>(payload);
                   if (!message) return;
                   if (message->text.size() > maximumTextBytes) {
                     log().warn("refused a chat message of {} bytes from {}", message->text.size(),
                                c->displayName());
                     return;
                   }
                   received(c->displayName(), std::move(*message));
                 });
}

void ChatLog::received(const std::string& from, ChatMessage message) {
  // What a client claims as its name doesn't count: the name from its hello does.
  message.sender = from;
  const auto text = message.text;
  append(std::move(message), false);
  ++unread_;
  context_.observers.notify(HostProperty::unreadChat);
  context_.notifier->post("Message from " + from, text);
}

std::optional<std::string> ChatLog::sendChat(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  if (text.size() > maximumTextBytes) {
    return "The message is too long: at most " + std::to_string(maximumTextBytes) + " bytes.";
  }
  const std::string sender = context_.computerName.empty() ? "Mac" : context_.computerName;
  ChatMessage message{corvel::UUID::random(), std::string(text), sender,
                      corvel::Date::fromTimePoint(context_.clock->wallNow())};
  for (auto& c : context_.clients.all()) {
    if (c->authorized()) c->connection()->sendJSON(MessageType::chat, message);
  }
  append(std::move(message), true);
  return std::nullopt;
}

void ChatLog::markChatRead() {
  if (unread_ == 0) return;
  unread_ = 0;
  context_.observers.notify(HostProperty::unreadChat);
}

void ChatLog::append(ChatMessage message, bool fromHost) {
  chat_.push_back(std::move(message));
  fromHost_.push_back(fromHost);
  if (chat_.size() > maximumMessages) {
    chat_.erase(chat_.begin());
    fromHost_.erase(fromHost_.begin());
  }
  context_.observers.notify(HostProperty::chat);
}

}  // namespace ambrel
