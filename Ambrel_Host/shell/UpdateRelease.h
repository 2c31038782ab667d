#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Expected.h"

namespace ambrel {

// One entry of the update feed: the newest build the maker publishes. The feed is a JSON object
// with "shortVersion" (text), "build" (a whole number), "url" (text) and optionally "notes" and
// "minimumSystemVersion" (text). Other keys are ignored.
struct UpdateRelease {
  std::string shortVersion;
  std::int64_t build = 0;
  std::string url;
  std::optional<std::string> notes;
  std::optional<std::string> minimumSystemVersion;

  // Parses a feed document; never throws. The error is a sentence for the person who asked.
  static corvel::Expected<UpdateRelease, std::string> decode(std::string_view document);

  // Whether `url` names a disk image to download directly (it ends in ".dmg", in any case);
  // otherwise the download page is the place to go.
  bool isDirectDownload() const;

  // The installed build as the program carries it: a decimal whole number, else 0, so that any
  // published build counts as newer.
  static std::int64_t installedBuild(std::string_view text);

  // Whether `url` can be handed to the desktop's browser: an http or https address with a host
  // and no spaces or control characters. Anything else (file:, a desktop entry, a bare path) is
  // never opened.
  static bool isWebAddress(std::string_view url);

  friend bool operator==(const UpdateRelease&, const UpdateRelease&) = default;
};

}  // namespace ambrel
