#include <quarl/timeline/view_transform.h>

#include <algorithm>

void ViewTransform::SetXScale(double scale) {
  x_scale_ = std::clamp(scale, kMinXScale, kMaxXScale);
}

long ViewTransform::ToLogicalX(long px) const {
  return static_cast<long>(px * x_scale_) + x_origin_;
}

long ViewTransform::ToLogicalY(long py) const {
  return static_cast<long>(py * y_scale_) + y_origin_;
}

long ViewTransform::ToPixelX(long x) const {
  return static_cast<long>((x - x_origin_) / x_scale_);
}

long ViewTransform::ToPixelY(long y) const {
  return static_cast<long>((y - y_origin_) / y_scale_);
}
