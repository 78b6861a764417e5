#include <quarl/shell/command_context.h>
#include <quarl/timeline/timeline_item.h>
#include <quarl/timeline/timeline_view.h>

CommandContext TimelineContext(TimelineView& view) {
  CommandContext context;
  context.busy = view.Busy() || view.Tasks().Busy();
  // While a task runs the worker may be changing the tree and the selection; every command
  // is unavailable then anyway.
  if (context.busy) return context;
  context.modified = view.Modified();
  context.hasItems = view.Root() != nullptr && view.Root()->GetAtom(0, nullptr) != nullptr;
  context.shownGroupHasParent = view.CanCollapse();
  context.zoom = view.Zoom();
  const auto& selection = view.Selection();
  context.selectedCount = static_cast<int>(selection.size());
  for (const TimelineItem* item : selection) {
    if (item->Atom()->Type() == kAtomTypeGroup) ++context.selectedGroups;
  }
  context.exactlyOneSelectedLocked = selection.size() == 1 && selection[0]->Atom()->Locked() != 0;
  return context;
}
