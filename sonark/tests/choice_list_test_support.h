#pragma once

#include <sonark/export/choice_list.h>

#include <string>
#include <vector>

// What a drop-down list does, in memory.
class ListOfTexts : public CChoiceList {
 public:
  int AddItem(const char* text) override {
    items.emplace_back(text);
    return static_cast<int>(items.size()) - 1;
  }
  int Count() override { return static_cast<int>(items.size()); }
  void SetSelectedIndex(int index) override {
    selected = index >= 0 && index < Count() ? index : kNoSelection;
  }
  int SelectedIndex() override { return selected; }
  void Clear() override {
    items.clear();
    selected = kNoSelection;
  }

  std::vector<std::string> items;
  int selected = kNoSelection;
};
