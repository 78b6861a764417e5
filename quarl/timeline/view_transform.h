#pragma once

// Maps the time line's logical coordinates (milliseconds across, pixels down) to the pixels
// of the bar window and back. Both directions truncate, so a round trip may land one unit
// short; callers that need exact edges compare in logical units.
class ViewTransform {
 public:
  static constexpr double kMinXScale = 0.01;
  static constexpr double kMaxXScale = 1000.0;

  double XScale() const { return x_scale_; }
  // Milliseconds per pixel, clamped to [0.01, 1000].
  void SetXScale(double scale);
  double YScale() const { return y_scale_; }
  long XOrigin() const { return x_origin_; }
  long YOrigin() const { return y_origin_; }
  void SetOrigin(long x, long y) {
    x_origin_ = x;
    y_origin_ = y;
  }
  int ViewportWidth() const { return viewport_width_; }
  int ViewportHeight() const { return viewport_height_; }
  void SetViewport(int width, int height) {
    viewport_width_ = width;
    viewport_height_ = height;
  }
  // The viewport in logical units.
  double LogicalWidth() const { return viewport_width_ * x_scale_; }
  double LogicalHeight() const { return viewport_height_ * y_scale_; }

  long ToLogicalX(long px) const;
  long ToLogicalY(long py) const;
  long ToPixelX(long x) const;
  long ToPixelY(long y) const;

 private:
  double x_scale_ = 20.0;
  double y_scale_ = 1.0;
  long x_origin_ = 0;
  long y_origin_ = 0;
  int viewport_width_ = 640;
  int viewport_height_ = 480;
};
