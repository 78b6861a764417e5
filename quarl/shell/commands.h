#pragma once

// Command identifiers of menus, toolbar buttons and keys. The numbers are the keys of the
// program's command table, so menus, toolbar and accelerators refer to one action each.
namespace command {

constexpr int kNewSession = 40044;
constexpr int kOpenSession = 40063;
constexpr int kSaveSession = 40064;
constexpr int kAddSound = 40167;
constexpr int kPlay = 40054;
constexpr int kPlayKey = 40023;  // Space
constexpr int kRewind = 40062;
constexpr int kRewindKey = 40024;  // Home, W
constexpr int kFastForward = 40061;
constexpr int kFastForwardKey = 40025;  // End, E
constexpr int kRecord = 40055;
constexpr int kZoomIn = 40065;
constexpr int kZoomInKey = 40017;  // '-'
constexpr int kZoomOut = 40066;
constexpr int kZoomOutKey = 40018;  // '+', '='
constexpr int kCollapse = 40088;
constexpr int kExpand = 40087;
constexpr int kExit = 40013;

}  // namespace command
