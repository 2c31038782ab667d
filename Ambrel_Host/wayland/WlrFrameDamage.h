#pragma once

namespace ambrel {

// The rows of a captured picture that changed since the previous one, gathered from the damage
// rectangles the compositor reports for a copy (in the buffer's coordinates).
class WlrFrameDamage {
 public:
  struct Rows {
    int first = 0;
    int end = 0;  // one past the last
    bool empty() const { return end <= first; }
    friend bool operator==(const Rows&, const Rows&) = default;
  };

  void add(int x, int y, int width, int height);
  void clear() { rows_ = {}; }
  bool empty() const { return rows_.empty(); }

  // The changed rows of the picture, top to bottom, within a buffer of `height` rows whose first
  // row is the picture's last when `yInvert`; empty when nothing changed there.
  Rows pictureRows(int height, bool yInvert) const;

 private:
  Rows rows_;  // in buffer rows
};

}  // namespace ambrel
