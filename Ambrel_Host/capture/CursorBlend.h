#pragma once

#include <cstddef>
#include <cstdint>

namespace ambrel {

// Draws a cursor image into a 32-bit BGRX picture (byte order B, G, R, X in memory, as X11 and
// libyuv's "ARGB" lay it out). `cursor` holds `cursorWidth` × `cursorHeight` pixels of
// premultiplied ARGB as 32-bit words (alpha in the top byte), the form XFixes hands out; its top
// left corner lands at (`left`, `top`) of the picture, which may be partly or wholly outside it:
// only the overlap is drawn. Each colour becomes cursor + picture × (255 − alpha) / 255.
void blendCursor(std::uint8_t* bgrx, std::ptrdiff_t stride, int width, int height,
                 const std::uint32_t* cursor, int cursorWidth, int cursorHeight, int left, int top);

}  // namespace ambrel
