#pragma once

#include <string>
#include <vector>

namespace ambrel {

// One piece of recognised text and where it is: the bottom-left corner of its box as fractions
// of the picture, with the origin at the picture's bottom left.
struct TextObservation {
  std::string text;
  double x = 0;
  double y = 0;
};

// Reading order: from the top of the screen down, and within a row from left to right. Pieces
// whose corners lie within `sameRow` of the height of the topmost piece of their row share that
// row.
struct TextLineOrder {
  static constexpr double sameRow = 0.01;
  static std::vector<std::string> lines(std::vector<TextObservation> observations);
};

}  // namespace ambrel
