#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/extensions/SharedSettings.h"

namespace corvel::extensions {

// The computer a screen-broadcast extension shares the device's screen with (it connects as a
// screen sharer). Saved by the client program in the shared settings; the access code goes to
// the keychain, never into the settings file.
struct BroadcastTarget {
  std::string macName;
  std::optional<std::string> bonjourName;
  std::optional<std::string> address;
  std::uint16_t port = 0;
  std::string accessCode;
  std::string deviceName;
  std::string deviceID;
  std::optional<std::string> interfaceName;

  static constexpr std::string_view defaultsKey = "broadcastTarget";
  static constexpr std::string_view keychainAccount = "broadcast.accessCode";
  static constexpr std::string_view keychainService = "com.pinebay.corvel";

  // Stores the target (its JSON under "broadcastTarget", the code in the keychain). Does nothing
  // when the shared settings can't be opened.
  void save(const std::filesystem::path& folder = SharedSettings::defaultFolder()) const;
  // The saved target with its code; nothing when anything is missing or unreadable.
  static std::optional<BroadcastTarget> load(const std::filesystem::path& folder = SharedSettings::defaultFolder());
  static void clear(const std::filesystem::path& folder = SharedSettings::defaultFolder());

  // The JSON form: "macName", "bonjourName", "address", "port", "deviceName", "deviceID",
  // "interfaceName", absent optionals left out, the access code never in it.
  Bytes encoded() const;
  // Reads that form (the access code stays empty); nothing for anything else. Never throws.
  static std::optional<BroadcastTarget> decode(ByteView json);

  friend bool operator==(const BroadcastTarget&, const BroadcastTarget&) = default;
};

}  // namespace corvel::extensions
