#include "Ambrel_Host/controller/TextLineOrder.h"

#include <algorithm>

namespace ambrel {

// Comparing two pieces by "more than 0.01 apart: the higher first, else the left one first"
// isn't an ordering a sort may rely on (pieces 0.006 apart in a chain don't compare
// consistently), so rows are formed first and each row is put in order.
std::vector<std::string> TextLineOrder::lines(std::vector<TextObservation> observations) {
  std::stable_sort(observations.begin(), observations.end(),
                   [](const TextObservation& a, const TextObservation& b) { return a.y > b.y; });
  std::vector<std::string> out;
  out.reserve(observations.size());
  for (auto row = observations.begin(); row != observations.end();) {
    const double top = row->y;
    auto end = std::find_if(row, observations.end(), [&](const auto& o) { return top - o.y > sameRow; });
    std::stable_sort(row, end, [](const auto& a, const auto& b) { return a.x < b.x; });
    for (auto it = row; it != end; ++it) out.push_back(std::move(it->text));
    row = end;
  }
  return out;
}

}  // namespace ambrel
