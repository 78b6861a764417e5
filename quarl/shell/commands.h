#pragma once

// Command identifiers of menus, toolbar buttons and keys. The numbers are the keys of the
// program's command table, so menus, toolbar and accelerators refer to one action each. Where
// a menu item and a toolbar button or key share a meaning they keep their own identifiers.
namespace command {

// File.
constexpr int kNew = 57600;  // Ctrl+N
constexpr int kNewSession = 40044;
constexpr int kOpen = 57601;  // Ctrl+O
constexpr int kOpenSession = 40063;
constexpr int kSave = 57603;  // Ctrl+S
constexpr int kSaveSession = 40064;
constexpr int kSaveAs = 40011;
constexpr int kExportWave = 40171;
constexpr int kExportMp3 = 40175;
constexpr int kExportWma = 40179;  // never shown
constexpr int kExportRealAudio = 40172;
constexpr int kExportRealAudio2 = 40035;
constexpr int kExportRealAudio3 = 40168;
constexpr int kAddSoundMenu = 40019;
constexpr int kAddSound = 40167;
constexpr int kImportPlaylist = 40173;
constexpr int kRecordMenu = 40020;
constexpr int kRecord = 40055;
constexpr int kPreferences = 40012;
constexpr int kExit = 40013;
// The recent sessions, by list position.
constexpr int kRecentFiles[8] = {40108, 40109, 40094, 40103, 40104, 40105, 40106, 40107};

// Edit.
constexpr int kUndo = 57643;  // Ctrl+Z
constexpr int kRedo = 57644;  // Ctrl+Y
constexpr int kCut = 57635;   // Ctrl+X
constexpr int kCutMenu = 40117;
constexpr int kCopy = 57634;  // Ctrl+C
constexpr int kCopyMenu = 40118;
constexpr int kPaste = 57637;      // Ctrl+V
constexpr int kSelectAll = 40090;  // Ctrl+A
constexpr int kDelete = 40150;     // Delete
constexpr int kNewGroup = 40021;   // "New Group" / "Make Into Group..."
constexpr int kSendToParent = 40135;  // Ctrl+Shift+Enter
constexpr int kGroupInfo = 40022;
constexpr int kMixToSingleSound = 40123;

// View.
constexpr int kZoomIn = 40065;
constexpr int kZoomInKey = 40017;  // '-'
constexpr int kZoomOut = 40066;
constexpr int kZoomOutKey = 40018;  // '+', '='
constexpr int kCollapse = 40088;
constexpr int kCollapseKey = 40082;  // Shift+Enter
constexpr int kExpand = 40087;
constexpr int kExpandKey = 40083;  // Enter

// Play.
constexpr int kPlay = 40054;
constexpr int kPlayKey = 40023;  // Space
constexpr int kRewind = 40062;
constexpr int kRewindKey = 40024;  // Home, W
constexpr int kFastForward = 40061;
constexpr int kFastForwardKey = 40025;  // End, E

// Items of the time line (context menus and keys).
constexpr int kInvertMap = 40119;
constexpr int kResetMap = 40120;
constexpr int kMuted = 40121;
constexpr int kPlayItem = 40122;
constexpr int kLocked = 40153;
constexpr int kSetExactValue = 40138;
constexpr int kDeletePoint = 40126;
constexpr int kEditExternal = 40146;
constexpr int kSoundInfo = 40127;
constexpr int kNextItem = 40165;      // Tab
constexpr int kPreviousItem = 40166;  // Shift+Tab
constexpr int kMoveLeft = 40036;      // Left
constexpr int kMoveRight = 40037;     // Right
constexpr int kMoveUp = 40155;        // Up
constexpr int kMoveDown = 40156;      // Down
constexpr int kMoveLeftFine = 40157;  // Ctrl+Left
constexpr int kMoveRightFine = 40158;
constexpr int kMoveLeftFinest = 40159;  // Ctrl+Shift+Left
constexpr int kMoveRightFinest = 40160;
constexpr int kMoveDownCtrl = 40161;  // Ctrl+Down
constexpr int kMoveDownCtrlShift = 40162;
constexpr int kMoveUpCtrl = 40163;  // Ctrl+Up
constexpr int kMoveUpCtrlShift = 40164;

// Markers.
constexpr int kMarkerCommands[] = {40169, 40170, 40181};

// Help.
constexpr int kHelpTopics = 40032;
constexpr int kCheckForUpdate = 40174;

}  // namespace command
