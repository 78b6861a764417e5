#include <dlfcn.h>
#include <quarl/shell/command_states.h>
#include <quarl/shell/commands.h>

#include <algorithm>
#include <iterator>

namespace {

constexpr int kMaxZoom = 1024;
constexpr int kMinZoomForZoomIn = 3;

// Keys and second identifiers, and the command each stands for.
constexpr struct {
  int id;
  int target;
} kTargets[] = {
    {command::kNew, command::kNewSession},
    {command::kOpen, command::kOpenSession},
    {command::kSave, command::kSaveSession},
    {command::kAddSoundMenu, command::kAddSound},
    {command::kRecordMenu, command::kRecord},
    {command::kExportRealAudio2, command::kExportRealAudio},
    {command::kExportRealAudio3, command::kExportRealAudio},
    {command::kCut, command::kCutMenu},
    {command::kCopy, command::kCopyMenu},
    {command::kZoomInKey, command::kZoomIn},
    {command::kZoomOutKey, command::kZoomOut},
    {command::kCollapseKey, command::kCollapse},
    {command::kExpandKey, command::kExpand},
    {command::kPlayKey, command::kPlay},
    {command::kRewindKey, command::kRewind},
    {command::kFastForwardKey, command::kFastForward},
};

// The commands whose work comes with later pieces of the program: recording, preferences, the
// editing of bars and envelopes, the clipboard, grouping and undo, markers, the information
// dialogs, the external editor and the update check. Remove an identifier here when its work
// is wired up; its rule below then applies.
constexpr int kNotYetAvailable[] = {
    command::kRecord,
    command::kPreferences,
    command::kExportWma,
    command::kUndo,
    command::kRedo,
    command::kCutMenu,
    command::kCopyMenu,
    command::kPaste,
    command::kDelete,
    command::kNewGroup,
    command::kSendToParent,
    command::kGroupInfo,
    command::kMixToSingleSound,
    command::kInvertMap,
    command::kResetMap,
    command::kMuted,
    command::kPlayItem,
    command::kLocked,
    command::kSetExactValue,
    command::kDeletePoint,
    command::kEditExternal,
    command::kSoundInfo,
    command::kNextItem,
    command::kPreviousItem,
    command::kMoveLeft,
    command::kMoveRight,
    command::kMoveUp,
    command::kMoveDown,
    command::kMoveLeftFine,
    command::kMoveRightFine,
    command::kMoveLeftFinest,
    command::kMoveRightFinest,
    command::kMoveDownCtrl,
    command::kMoveDownCtrlShift,
    command::kMoveUpCtrl,
    command::kMoveUpCtrlShift,
    command::kMarkerCommands[0],
    command::kMarkerCommands[1],
    command::kMarkerCommands[2],
    command::kCheckForUpdate,
};

// Whether the rules let the command run; the checked state and text are set by the caller.
bool Enabled(int id, const CommandContext& c) {
  const bool selection = c.selectedCount > 0;
  const bool one = c.selectedCount == 1;
  switch (id) {
    case command::kSaveSession:
      return c.modified;
    case command::kSaveAs:
    case command::kExportWave:
    case command::kExportMp3:
    case command::kSelectAll:
    case command::kPlay:
      return c.hasItems;
    case command::kExportRealAudio:
      return c.hasItems && c.realAudioAvailable;
    case command::kZoomIn:
      return c.zoom >= kMinZoomForZoomIn;
    case command::kZoomOut:
      return c.zoom < kMaxZoom;
    case command::kCollapse:
      return c.shownGroupHasParent;
    case command::kExpand:
      return c.selectedGroups > 0;
    case command::kPreferences:
      return !c.mixerOpen;
    case command::kUndo:
      return c.canUndo;
    case command::kRedo:
      return c.canRedo;
    case command::kCutMenu:
    case command::kCopyMenu:
    case command::kDelete:
      return selection;
    case command::kPaste:
      return c.clipboardHasData;
    case command::kSendToParent:
      return selection && c.shownGroupHasParent;
    case command::kSoundInfo:
    case command::kEditExternal:
    case command::kLocked:
      return one;
    case command::kMixToSingleSound:
      return one && c.selectedGroups == 1;
    case command::kDeletePoint:
      return c.nodeUnderMenu;
    default:
      return true;
  }
}

}  // namespace

int CommandTarget(int id) {
  for (const auto& entry : kTargets) {
    if (entry.id == id) return entry.target;
  }
  return id;
}

bool CommandNotYetAvailable(int id) {
  return std::find(std::begin(kNotYetAvailable), std::end(kNotYetAvailable), CommandTarget(id)) !=
         std::end(kNotYetAvailable);
}

CommandState StateOf(int id, const CommandContext& context) {
  const int target = CommandTarget(id);
  CommandState state;
  state.enabled = !context.busy && !CommandNotYetAvailable(target) && Enabled(target, context);
  if (target == command::kLocked) {
    state.checked = context.selectedCount == 1 && context.exactlyOneSelectedLocked;
  } else if (target == command::kNewGroup) {
    state.textKey = context.selectedCount > 0 ? "IDS_MAKE_GROUP" : "IDS_NEW_GROUP";
  } else if (target == command::kPlay) {
    state.textKey = context.playing ? "IDS_STOP" : "IDS_PLAY";
  }
  return state;
}

bool RealAudioLibraryPresent() {
  static const bool present = [] {
    void* library = dlopen("libraengine.so", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
  }();
  return present;
}
