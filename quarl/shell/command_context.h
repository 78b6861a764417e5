#pragma once

#include <quarl/shell/command_states.h>

class TimelineView;

// What the time line tells the state rules: busy, modified, items, selection, the shown group
// and the zoom. The rest (playing, undo, clipboard, mixer, add-ons) is the caller's to fill.
CommandContext TimelineContext(TimelineView& view);
