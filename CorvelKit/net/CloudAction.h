#pragma once

#include <optional>
#include <string_view>

namespace corvel::net {

// What the owner's other devices can ask of the host through the cloud while not connected.
enum class CloudAction { playSound, lockScreen, sleepDisplay, disconnectAll, newCode };

constexpr std::string_view rawValue(CloudAction a) {
  switch (a) {
    case CloudAction::playSound: return "playSound";
    case CloudAction::lockScreen: return "lockScreen";
    case CloudAction::sleepDisplay: return "sleepDisplay";
    case CloudAction::disconnectAll: return "disconnectAll";
    case CloudAction::newCode: return "newCode";
  }
  return "playSound";
}

constexpr std::string_view title(CloudAction a) {
  switch (a) {
    case CloudAction::playSound: return "Play Sound";
    case CloudAction::lockScreen: return "Lock Screen";
    case CloudAction::sleepDisplay: return "Turn Display Off";
    case CloudAction::disconnectAll: return "Disconnect Everyone";
    case CloudAction::newCode: return "New Access Code";
  }
  return "Play Sound";
}

constexpr std::optional<CloudAction> cloudAction(std::string_view raw) {
  for (auto a : {CloudAction::playSound, CloudAction::lockScreen, CloudAction::sleepDisplay,
                 CloudAction::disconnectAll, CloudAction::newCode}) {
    if (rawValue(a) == raw) return a;
  }
  return std::nullopt;
}

}  // namespace corvel::net
