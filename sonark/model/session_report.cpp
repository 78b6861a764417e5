#include <sonark/model/session_report.h>

namespace sonark {

namespace {

thread_local SessionLoadScope* t_current = nullptr;

}  // namespace

SessionLoadScope::SessionLoadScope(SessionLoadReport* report)
    : report_(report), previous_(t_current) {
  t_current = this;
}

SessionLoadScope::~SessionLoadScope() { t_current = previous_; }

SessionLoadScope* SessionLoadScope::Current() { return t_current; }

void SessionLoadScope::EnterGroup(const char* name) {
  const int place = levels_.empty() ? 0 : levels_.back().item;
  levels_.push_back({name != nullptr ? name : "", place, 0});
}

void SessionLoadScope::LeaveGroup() {
  if (!levels_.empty()) levels_.pop_back();
}

void SessionLoadScope::SetItem(int item) {
  if (!levels_.empty()) levels_.back().item = item;
}

void SessionLoadScope::Skip(int record, const char* kind, const char* name, uint32_t code,
                            const std::string& detail) {
  SessionSkip skip;
  // The outermost level is the session's own top level and needs no name.
  for (size_t i = 1; i < levels_.size(); ++i) {
    if (!skip.group.empty()) skip.group += " > ";
    skip.group += "\"" + levels_[i].name + "\" (item " + std::to_string(levels_[i].place) + ")";
  }
  skip.record = record;
  skip.kind = kind != nullptr ? kind : "";
  skip.name = name != nullptr ? name : "";
  skip.code = code;
  skip.detail = detail;
  report_->skipped.push_back(std::move(skip));
}

}  // namespace sonark
