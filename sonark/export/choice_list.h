#pragma once

#include <sonark/visibility.h>

// A list of texts of which at most one is selected: what the engine needs of a drop-down list
// or list box in a dialog. The engine fills and reads choices through this interface; the
// program adapts its toolkit's widgets to it.
class SONARK_API CChoiceList {
 public:
  static constexpr int kNoSelection = -1;

  virtual ~CChoiceList() = default;
  // Appends `text`; returns its index, or -1 when it could not be added.
  virtual int AddItem(const char* text) = 0;
  virtual int Count() = 0;
  // kNoSelection clears the selection; an index outside the list does too.
  virtual void SetSelectedIndex(int index) = 0;
  // The selected index, or kNoSelection.
  virtual int SelectedIndex() = 0;
  virtual void Clear() = 0;
};
