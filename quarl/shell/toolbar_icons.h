#pragma once

#include <QIcon>

// The toolbar's pictures, drawn in code so that they follow the palette and need no image
// plug-in. Each is named after what it shows.
enum class ToolbarPicture {
  kBlankPage,   // new session
  kOpenFolder,  // open a session
  kDisk,        // save
  kNotePlus,    // add a sound
  kPlayTriangle,
  kStopSquare,  // the play button while the session plays
  kRewindArrows,
  kForwardArrows,
  kRecordDot,
  kZoomInLens,
  kZoomOutLens,
  kCollapseArrow,  // out of a group, up one level
  kExpandArrow,    // into the selected group
};

// A 24 x 24 picture (and its twice as large form for high-density screens).
QIcon ToolbarIcon(ToolbarPicture picture);
