#pragma once

// Which commands of the main window are available, and how their menu items read, as a pure
// function of what the window knows about the session at that moment. The toolbar, the menus
// and the keys all ask the same rules, so a key never does what its menu item would refuse.

// What the rules look at. The program fills it from the time line, the mixer and the clipboard.
struct CommandContext {
  bool busy = false;                 // a background task runs
  bool modified = false;             // the session has unsaved changes
  bool hasItems = false;             // the session holds at least one sound or group
  int selectedCount = 0;             // selected items of the shown group
  int selectedGroups = 0;            // how many of them are groups
  bool shownGroupHasParent = false;  // the time line shows a nested group
  bool playing = false;
  int zoom = 20;  // milliseconds per pixel
  bool canUndo = false;
  bool canRedo = false;
  bool clipboardHasData = false;
  bool mixerOpen = false;                 // the mixer is in use by a dialog (preferences wait)
  bool exactlyOneSelectedLocked = false;  // the one selected item is locked
  bool nodeUnderMenu = false;             // an envelope node lies under the context menu
  bool realAudioAvailable = false;        // the RealAudio add-on library was loaded
};

struct CommandState {
  bool enabled = false;
  bool checked = false;
  // The strings-file key of the item's text where it depends on the state, else null.
  const char* textKey = nullptr;
};

CommandState StateOf(int id, const CommandContext& context);

// The command that does the work of a key or a second menu identifier (Ctrl+N stands for New,
// Space for Play, ...); the identifier itself when it has no partner.
int CommandTarget(int id);

// Commands whose work the program does not do yet: present in the menus, never available.
bool CommandNotYetAvailable(int id);

// Whether the RealAudio encoder add-on ("libraengine.so") can be loaded. Asked once.
bool RealAudioLibraryPresent();
