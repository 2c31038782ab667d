#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvelKit/protocol/ChatMessage.h"

namespace ambrel {

class MessageDispatch;
struct HostContext;

// The chat between the person at this computer and the connected people: one transcript for
// the host's run (a client that reconnects finds its earlier messages there), the count of
// messages not yet read, and a notification for each that arrives. Controller's executor only.
class ChatLog {
 public:
  // Longest text taken, in UTF-8 bytes: a chat message is a few lines, not a document.
  static constexpr std::size_t maximumTextBytes = 16 * 1024;
  // Messages kept; older ones give way.
  static constexpr std::size_t maximumMessages = 1000;

  ChatLog(HostContext& context, MessageDispatch& dispatch);

  const std::vector<corvel::protocol::ChatMessage>& chat() const { return chat_; }
  int unreadChat() const { return unread_; }
  // Whether chat()[index] was written at this computer. A device may call itself by this
  // computer's name, so the sender's name can't tell.
  bool isFromHost(std::size_t index) const { return index < fromHost_.size() && fromHost_[index]; }

  // Sends a message from this computer to every admitted client and keeps it. Nothing happens
  // for text that is only white space; text over the limit is refused with a sentence saying so.
  std::optional<std::string> sendChat(std::string_view text);
  // The chat was shown: nothing is unread.
  void markChatRead();

 private:
  void received(const std::string& from, corvel::protocol::ChatMessage message);
  void append(corvel::protocol::ChatMessage message, bool fromHost);

  HostContext& context_;
  std::vector<corvel::protocol::ChatMessage> chat_;
  std::vector<bool> fromHost_;  // beside chat_
  int unread_ = 0;
};

}  // namespace ambrel
