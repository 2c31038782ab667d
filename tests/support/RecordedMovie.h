#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace corvel::test {

// The first picture of a movie that `corvel view --record` wrote: its size and the colour at its
// middle (0xRRGGBB). Nothing when the movie doesn't open or no picture decodes.
struct FirstPicture {
  int width = 0, height = 0;
  std::uint32_t centre = 0;
};
std::optional<FirstPicture> firstRecordedPicture(const std::filesystem::path& movie);

}  // namespace corvel::test
