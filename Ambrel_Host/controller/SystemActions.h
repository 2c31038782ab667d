#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ambrel {

// What a controlling client may ask the computer to do besides driving its screen: the host
// actions (no reply) and the commands that answer with one sentence for the chat.
//
// Implementations never block the caller: the work runs elsewhere and the sentence comes back
// through `reply`.
class SystemActions {
 public:
  using Reply = std::function<void(std::string sentence)>;

  virtual ~SystemActions() = default;

  // Locks the desktop session. The caller releases held keys and buttons first.
  virtual void lockScreen() = 0;
  // Turns the display off now.
  virtual void sleepDisplay() = 0;
  // Asks the system to restart; a refusal is only logged.
  virtual void restart() = 0;

  // Opens an application by name.
  virtual void openApp(std::string name, Reply reply) = 0;
  // Opens a web address (a bare host name gets "https://") with the desktop's handler.
  virtual void openURL(std::string text, Reply reply) = 0;
  // Runs the executable of that name in the host's shortcuts folder.
  virtual void runShortcut(std::string name, Reply reply) = 0;

  // The answers.
  static std::string openedApp(std::string_view name) { return "Opened " + std::string(name) + "."; }
  static std::string noSuchApp(std::string_view name) {
    return "Couldn't find an app called " + std::string(name) + ".";
  }
  static std::string openedURL(std::string_view url) { return "Opened " + std::string(url) + "."; }
  static std::string couldNotOpenURL(std::string_view url) {
    return "Couldn't open " + std::string(url) + ".";
  }
  static constexpr std::string_view notAWebAddress = "That isn't a web address.";
  static std::string ranShortcut(std::string_view name) {
    return "Ran the \u201C" + std::string(name) + "\u201D shortcut.";
  }
  static std::string noSuchShortcut(std::string_view name) {
    return "Couldn't run a shortcut called \u201C" + std::string(name) + "\u201D.";
  }
};

}  // namespace ambrel
