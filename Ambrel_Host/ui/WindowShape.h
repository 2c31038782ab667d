#pragma once

#include <QBitmap>
#include <QPainterPath>
#include <QSize>

namespace ambrel {

// A window's shape from the area a path fills, so the rest of the window is cut away and the
// screen shows through without a compositor.
QBitmap windowShape(QSize size, const QPainterPath& area);

}  // namespace ambrel
