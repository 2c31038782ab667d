#pragma once

namespace corvel::input {

// What a touch client's gestures do to the remote pointer.
struct RemotePointer {
  // What a drag gesture does.
  enum class Drag {
    movePointer,
    panZoom,
    dragSelect,
    clickDrag,
  };

  // The drag for a gesture: `dragSelect` when the first condition holds, else `clickDrag` when the
  // second does, else the pointer mode's default (`movePointer` or `panZoom`). Which gestures
  // satisfy the conditions is the client's choice.
  static constexpr Drag drag(Drag modeDefault, bool selects, bool clickDrags) {
    if (selects) return Drag::dragSelect;
    if (clickDrags) return Drag::clickDrag;
    return modeDefault;
  }
};

}  // namespace corvel::input
