#pragma once

namespace ambrel {

// Turns scroll distances in pixels into wheel steps (X's buttons 4–7) along one axis.
//
// One step stands for `pixelsPerStep` pixels, 50, about what one wheel notch scrolls in X
// applications (Firefox and Chromium move 48–57 pixels, GTK a little more on tall views). The
// remainder is carried from event to event and rounded to the nearest step, so the first step
// comes after half a step's distance and a long gesture yields its distance ÷ 50 steps. Turning
// back drops the remainder, so a reversal answers at once; so does the start of a new gesture.
// One event yields at most `maxStepsPerEvent` steps; a larger amount is cut there and its
// remainder dropped, so that no peer can queue millions of clicks.
class ScrollAccumulator {
 public:
  static constexpr double pixelsPerStep = 50;
  static constexpr int maxStepsPerEvent = 64;

  // Adds a distance (positive: up or left, as the wheel deltas of the protocol) and returns the
  // whole steps to post now, signed the same way. Non-finite distances are ignored.
  int add(double pixels);
  // Forgets the remainder (a new gesture begins).
  void reset() {
    remainder_ = 0;
    direction_ = 0;
  }
  double remainder() const { return remainder_; }

 private:
  double remainder_ = 0;
  int direction_ = 0;  // of the last distance added: 1, -1, or 0 for none yet
};

}  // namespace ambrel
