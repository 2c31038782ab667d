#pragma once

#include <optional>

namespace corvel::input {

// Snaps a second tap that comes soon after the first and close to it onto exactly the first tap's
// remote position, so that the host's click counting sees a double-click.
struct DoubleClickSnap {
  struct Tap {
    double time = 0;  // seconds
    double viewX = 0, viewY = 0;  // points on the client's view
    double macX = 0, macY = 0;    // the remote position the tap produced
    friend bool operator==(const Tap&, const Tap&) = default;
  };
  struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
  };

  double maxInterval = 0;  // seconds
  double maxDistance = 0;  // points on the client's view
  std::optional<Tap> last;

  // The remote position for a tap at `time` on view point (viewX, viewY) that would land on
  // (macX, macY): the last tap's position when the tap is within `maxInterval` after it and less
  // than `maxDistance` away from it on the view, else its own. Remembers the tap.
  Point snap(double time, double viewX, double viewY, double macX, double macY);
};

}  // namespace corvel::input
