#include "CorvelKit/input/HotCornerGuard.h"

namespace corvel::input {

double HotCornerGuard::adjust(double x, double y, double viewWidth, double viewHeight, double margin) {
  if (!(viewWidth > 0) || !(viewHeight > 0)) return x;
  double mx = margin / viewWidth;
  double my = margin / viewHeight;
  bool nearSide = x <= mx || x >= 1 - mx;
  bool nearTopOrBottom = y <= my || y >= 1 - my;
  if (!nearSide || !nearTopOrBottom) return x;
  return x < 0.5 ? mx : 1 - mx;
}

}  // namespace corvel::input
