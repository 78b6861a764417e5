#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/containers/map.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr int kDuplicate = -1;
constexpr int kOutOfMemory = -2;

bool Matches(int eventType, int type) {
  if (type == kMapAll) return eventType >= kMapVolume && eventType <= kMapRate;
  return eventType == type;
}

// The types an operation on `type` visits, kMapAll meaning volume, pan, then rate.
std::vector<int> TypesOf(int type) {
  if (type == kMapAll) return {kMapVolume, kMapPan, kMapRate};
  return {type};
}

double NeutralValue(int type) { return type == kMapPan ? 0.0 : 1.0; }

double ValueOf(const _tvol_pan_data* event) {
  double value = 0.0;
  return CMap::GetSimpleValue(event, &value) ? value : NeutralValue(event->type);
}

void SetValue(_tvol_pan_data* event, double value) {
  std::memcpy(event->data, &value, sizeof value);
}

double Limit(double value, double low, double high) {
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

}  // namespace

CMap::CMap() = default;

CMap::CMap(const CMap& other) { CloneFrom(other); }

CMap::CMap(const CMap& other, long from, long to) { Copy(&other, kMapAll, from, to); }

CMap& CMap::operator=(const CMap& other) {
  if (this != &other) {
    RemoveAllEvents();
    CloneFrom(other);
  }
  return *this;
}

CMap::~CMap() { RemoveAllEvents(); }

void CMap::CloneFrom(const CMap& other) {
  int count = other.events_.Count();
  for (int i = 0; i < count; ++i) {
    long time = 0;
    auto* event = static_cast<_tvol_pan_data*>(other.events_.Index(i, &time));
    // The source is in time order, so appending keeps it.
    void* data = event->size > 0 ? std::malloc(event->size) : nullptr;
    auto* record = new (std::nothrow) _tvol_pan_data{event->type, data, event->size};
    if ((event->size > 0 && data == nullptr) || record == nullptr) {
      std::free(data);
      delete record;
      platform::set_last_error(sonark::kErrOutOfMemory);
      return;
    }
    if (event->size > 0) std::memcpy(data, event->data, event->size);
    int before = events_.Count();
    events_.AppendToTail(record, time);
    if (events_.Count() == before) {
      std::free(data);
      delete record;
      return;
    }
  }
}

int CMap::NumEvents(int type) const {
  int count = events_.Count();
  if (type == -1) return count;
  int matching = 0;
  for (int i = 0; i < count; ++i) {
    if (Matches(static_cast<_tvol_pan_data*>(events_.Index(i))->type, type)) ++matching;
  }
  return matching;
}

int CMap::UpperBound(long time) const {
  int lo = 0;
  int hi = events_.Count();
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    long at = 0;
    events_.Index(mid, &at);
    if (at <= time) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

int CMap::FindEvent(int type, long time) const {
  for (int i = UpperBound(time) - 1; i >= 0; --i) {
    long at = 0;
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i, &at));
    if (at != time) break;
    if (event->type == type) return i;
  }
  return -1;
}

int CMap::LastEventOfType(int type, int before) const {
  for (int i = std::min(before, events_.Count()) - 1; i >= 0; --i) {
    if (static_cast<_tvol_pan_data*>(events_.Index(i))->type == type) return i;
  }
  return -1;
}

int CMap::Insert(int type, long time, void* data, unsigned long size, bool keepOrder) {
  last_index_ = -1;
  if (FindEvent(type, time) >= 0) return kDuplicate;
  auto* record = new (std::nothrow) _tvol_pan_data{type, data, size};
  if (record == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return kOutOfMemory;
  }
  int index = -1;
  long last = 0;
  int count = events_.Count();
  if (count > 0) events_.Index(count - 1, &last);
  if (keepOrder && (count == 0 || time >= last)) {
    // After every event at its time, so that a stored list comes back in its own order.
    index = events_.AppendToTail(record, time);
    if (events_.Count() == count) index = -1;
  } else {
    index = events_.AddSorted(record, time);
  }
  if (index < 0) {
    delete record;
    platform::set_last_error(sonark::kErrOutOfMemory);
    return kOutOfMemory;
  }
  last_index_ = index;
  return index;
}

int CMap::AddEvent(int type, long time, void* data, unsigned long size) {
  int index = Insert(type, time, data, size);
  return index < 0 ? -1 : index;
}

// Adds a simple event; returns the Insert code.
int CMap::InsertSimple(int type, long time, double value) {
  void* data = std::malloc(sizeof(double));
  if (data == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return kOutOfMemory;
  }
  std::memcpy(data, &value, sizeof value);
  int index = Insert(type, time, data, sizeof(double));
  if (index < 0) std::free(data);
  return index;
}

int CMap::AddSimpleEvent(int type, long time, double value) {
  return InsertSimple(type, time, value) >= 0 ? 1 : 0;
}

// Adds a copy of `event`'s payload; returns the Insert code.
int CMap::AddEventCopy(int type, long time, const _tvol_pan_data* event) {
  void* data = nullptr;
  if (event->size > 0) {
    data = std::malloc(event->size);
    if (data == nullptr) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return kOutOfMemory;
    }
    std::memcpy(data, event->data, event->size);
  }
  int index = Insert(type, time, data, event->size);
  if (index < 0) std::free(data);
  return index;
}

void CMap::RemoveEvent(int index) {
  auto* event = static_cast<_tvol_pan_data*>(events_.Index(index));
  if (event == nullptr) return;
  events_.RemoveByIndex(index);
  delete event;
  last_index_ = -1;
}

void CMap::RemoveSimpleEventByIndex(int index) {
  auto* event = static_cast<_tvol_pan_data*>(events_.Index(index));
  if (event == nullptr) return;
  std::free(event->data);
  RemoveEvent(index);
}

void CMap::RemoveSimpleEvent(int type, long time) {
  int index = FindEvent(type, time);
  if (index >= 0) RemoveSimpleEventByIndex(index);
}

void CMap::RemoveAllSimpleEvents(int type) {
  for (int i = events_.Count() - 1; i >= 0; --i) {
    if (Matches(static_cast<_tvol_pan_data*>(events_.Index(i))->type, type)) {
      RemoveSimpleEventByIndex(i);
    }
  }
}

void CMap::RemoveAllEvents() {
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i));
    std::free(event->data);
    delete event;
  }
  events_.RemoveAll();
  last_index_ = -1;
}

_tvol_pan_data* CMap::GetEventData(int index, long* time) const {
  return static_cast<_tvol_pan_data*>(events_.Index(index, time));
}

_tvol_pan_data* CMap::GetNextEvent(int type, int& index, long* time) const {
  int count = events_.Count();
  for (int i = std::max(index, 0); i < count; ++i) {
    long at = 0;
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i, &at));
    if (Matches(event->type, type)) {
      index = i;
      if (time != nullptr) *time = at;
      return event;
    }
  }
  return nullptr;
}

_tvol_pan_data* CMap::GetDataBefore(long time, int type, long* foundTime, int* foundIndex) const {
  // Binary search to the last event at or before `time`, then back over other kinds.
  for (int i = UpperBound(time) - 1; i >= 0; --i) {
    long at = 0;
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i, &at));
    if (Matches(event->type, type)) {
      if (foundTime != nullptr) *foundTime = at;
      if (foundIndex != nullptr) *foundIndex = i;
      return event;
    }
  }
  return nullptr;
}

int CMap::IndexToEventNumber(int index, TMapType& type) const {
  auto* event = static_cast<_tvol_pan_data*>(events_.Index(index));
  if (event == nullptr) return -1;
  type = static_cast<TMapType>(event->type);
  // Counted from the start of the list, so maps whose first positions do not hold one event
  // of each kind are numbered correctly too.
  int number = 0;
  for (int i = 0; i < index; ++i) {
    if (static_cast<_tvol_pan_data*>(events_.Index(i))->type == event->type) ++number;
  }
  return number;
}

int CMap::EventNumberToIndex(int number, TMapType type) const {
  if (number < 0) return -1;
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    if (static_cast<_tvol_pan_data*>(events_.Index(i))->type == type && number-- == 0) return i;
  }
  return -1;
}

int CMap::GetSimpleValue(const _tvol_pan_data* event, double* value) {
  if (event == nullptr || event->data == nullptr || event->size != sizeof(double)) return 0;
  std::memcpy(value, event->data, sizeof(double));
  return 1;
}

double CMap::GetSimpleValueAtTime(long time, int type) const {
  long t0 = 0;
  int i0 = 0;
  const _tvol_pan_data* e0 = GetDataBefore(time, type, &t0, &i0);
  if (e0 == nullptr) {
    int first = 0;
    const _tvol_pan_data* e = GetNextEvent(type, first, nullptr);
    return e != nullptr ? ValueOf(e) : NeutralValue(type);
  }
  double v0 = ValueOf(e0);
  if (t0 == time) return v0;
  int i1 = i0 + 1;
  long t1 = 0;
  const _tvol_pan_data* e1 = GetNextEvent(type, i1, &t1);
  if (e1 == nullptr) return v0;
  double v1 = ValueOf(e1);
  if (t1 != t0 && v1 != v0) {
    double d = static_cast<double>(t1) - static_cast<double>(t0);
    return v0 + (v1 - v0) / d * (static_cast<double>(time) - static_cast<double>(t0));
  }
  return v0;
}

double CMap::Integral(long time, bool reciprocal) const {
  auto rate = [reciprocal](const _tvol_pan_data* event) {
    double r = ValueOf(event);
    // The floor keeps a damaged rate of 0 from turning into an infinite time.
    return reciprocal ? 1.0 / (r > 0.01 ? r : 0.01) : r;
  };
  int index = 0;
  long at = 0;
  const _tvol_pan_data* event = GetNextEvent(kMapRate, index, &at);
  if (event == nullptr) return static_cast<double>(time);
  const double end = static_cast<double>(time);
  double tp = 0.0;
  double rp = 1.0;
  double area = 0.0;
  while (event != nullptr) {
    double tc = static_cast<double>(at);
    double rc = rate(event);
    double d = tc - tp;
    double slope = (d != 0.0 && rc != rp) ? (rc - rp) / d : 0.0;
    if (at >= time) {
      // Only the part of this segment up to `time` counts.
      double part = end - tp;
      return area + (slope != 0.0 ? (slope * part * 0.5 + rp) * part : part * rp);
    }
    area += slope != 0.0 ? (d * slope * 0.5 + rp) * d : d * rp;
    tp = tc;
    rp = rc;
    ++index;
    event = GetNextEvent(kMapRate, index, &at);
  }
  return area + (end - tp) * rp;
}

double CMap::GetRateMapAdjustedTime(long time) const { return Integral(time, false); }

double CMap::GetRateTime(long time) const { return Integral(time, true); }

void CMap::InvertSimpleEvents(int type) {
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i));
    double v = 0.0;
    if (!Matches(event->type, type) || !GetSimpleValue(event, &v)) continue;
    switch (event->type) {
      case kMapVolume:
        SetValue(event, Limit(2.0 - v, 0.0, 2.0));
        break;
      case kMapPan:
        SetValue(event, -v);
        break;
      case kMapRate:
        SetValue(event, v > 0.0 ? Limit(1.0 / v, 0.01, 2.0) : 2.0);
        break;
      default:
        break;
    }
  }
}

void CMap::MultiplySimpleEvents(int type, double factor) {
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i));
    double v = 0.0;
    if (Matches(event->type, type) && GetSimpleValue(event, &v)) SetValue(event, v * factor);
  }
}

// Takes the event at `index` out and adds it again at `newTime` with the same payload.
void CMap::MoveEvent(int index, long newTime) {
  auto* event = static_cast<_tvol_pan_data*>(events_.Index(index));
  if (event == nullptr) return;
  int type = event->type;
  void* data = event->data;
  unsigned long size = event->size;
  RemoveEvent(index);
  // A collision (possible only after scaling merged times) or lack of memory loses the event.
  if (Insert(type, newTime, data, size) < 0) std::free(data);
}

void CMap::OffsetEvents(int type, long delta, int, int) {
  if (delta == 0) return;
  for (int t : TypesOf(type)) {
    // Moving from the far end first means no moved event meets one not yet moved.
    std::vector<std::pair<const _tvol_pan_data*, long>> events;
    int count = events_.Count();
    for (int i = 0; i < count; ++i) {
      long at = 0;
      auto* event = static_cast<_tvol_pan_data*>(events_.Index(i, &at));
      if (event->type == t) events.emplace_back(event, at);
    }
    if (delta > 0) std::reverse(events.begin(), events.end());
    for (const auto& [record, at] : events) {
      for (int i = UpperBound(at) - 1; i >= 0; --i) {
        long now = 0;
        if (events_.Index(i, &now) == record) {
          MoveEvent(i, at + delta);
          break;
        }
        if (now != at) break;
      }
    }
  }
}

void CMap::ScaleEvents(double factor) {
  if (!(factor >= 0.0)) return;
  events_.ScaleAllSortValues(factor);
}

void CMap::AdjustEndPoint(int type, long newEnd) {
  if (newEnd == 0 || events_.Count() == 0) return;
  for (int t : TypesOf(type)) {
    int last = LastEventOfType(t, events_.Count());
    if (last < 0) continue;
    long end = 0;
    events_.Index(last, &end);
    if (newEnd == end) continue;
    long target = newEnd;
    int previous = newEnd < end ? LastEventOfType(t, last) : -1;
    if (previous >= 0) {
      long before = 0;
      events_.Index(previous, &before);
      // Never let the end pass the event before it.
      if (newEnd <= before) target = before + 20;
    }
    MoveEvent(last, target);
  }
}

void CMap::SetDefaultMap(long length, TMapType type) {
  for (int t : TypesOf(type)) {
    if (t < kMapVolume || t > kMapRate) continue;
    double value = NeutralValue(t);
    AddSimpleEvent(t, 0, value);
    AddSimpleEvent(t, length, value);
  }
}

int CMap::CopySpan(const CMap* other, int type, long from, long to) {
  int first = 0;
  if (other->GetNextEvent(type, first, nullptr) == nullptr) return 1;
  int ok = 1;
  if (InsertSimple(type, 0, other->GetSimpleValueAtTime(from, type)) == kOutOfMemory) ok = 0;
  bool copied_at_to = false;
  int count = other->events_.Count();
  for (int i = other->UpperBound(from); i < count; ++i) {
    long at = 0;
    auto* event = static_cast<_tvol_pan_data*>(other->events_.Index(i, &at));
    if (at > to) break;
    if (event->type != type) continue;
    if (AddEventCopy(type, at - from, event) == kOutOfMemory) ok = 0;
    if (at == to) copied_at_to = true;
  }
  if (!copied_at_to &&
      InsertSimple(type, to - from, other->GetSimpleValueAtTime(to, type)) == kOutOfMemory) {
    ok = 0;
  }
  return ok;
}

int CMap::Copy(const CMap* other, int type, long from, long to) {
  if (other == nullptr || to < from) return 0;
  if (other == this) {
    CMap snapshot(*this);
    return Copy(&snapshot, type, from, to);
  }
  int ok = 1;
  for (int t : TypesOf(type)) {
    if (!CopySpan(other, t, from, to)) ok = 0;
  }
  return ok;
}

int CMap::Copy(const CMap* other, int type) {
  if (other == nullptr) return 0;
  if (other == this) return 1;
  int ok = 1;
  for (int t : TypesOf(type)) {
    int first = 0;
    long from = 0;
    if (other->GetNextEvent(t, first, &from) == nullptr) continue;
    long to = 0;
    other->events_.Index(other->LastEventOfType(t, other->events_.Count()), &to);
    if (!CopySpan(other, t, from, to)) ok = 0;
  }
  return ok;
}

int CMap::AddCalcSimplePoint(TMapType type, long time, double a, double b) {
  switch (type) {
    case kMapVolume:
      return AddSimpleEvent(type, time, a * b);
    case kMapPan:
      return AddSimpleEvent(type, time, Limit(a + b, -1.0, 1.0));
    case kMapRate:
      return AddSimpleEvent(type, time, std::max(a * b, 0.01));
    default:
      return 0;
  }
}

void CMap::CombineType(const CMap* other, long offset, int type) {
  if (other->NumEvents(type) < 2) return;
  // Set this map's events of the type aside; on lack of memory the map stays as it was.
  CMap mine;
  std::vector<long> times;
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    long at = 0;
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i, &at));
    if (event->type != type) continue;
    if (mine.AddEventCopy(type, at, event) == kOutOfMemory) return;
    times.push_back(at);
  }
  RemoveAllSimpleEvents(type);
  if (times.empty()) return;

  const long first = times.front();
  const long last = times.back();
  int other_count = other->events_.Count();
  for (int i = 0; i < other_count; ++i) {
    long at = 0;
    auto* event = static_cast<_tvol_pan_data*>(other->events_.Index(i, &at));
    if (event->type != type) continue;
    long local = at - offset;
    if (local > first && local < last) times.push_back(local);
  }
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  for (long t : times) {
    AddCalcSimplePoint(static_cast<TMapType>(type), t, mine.GetSimpleValueAtTime(t, type),
                       other->GetSimpleValueAtTime(t + offset, type));
  }
}

void CMap::CombineMap(const CMap* other, long offset, TMapType type) {
  if (other == nullptr) return;
  if (other == this) {
    CMap snapshot(*this);
    CombineMap(&snapshot, offset, type);
    return;
  }
  for (int t : TypesOf(type)) CombineType(other, offset, t);
}

void CMap::SetTypeCombineCallback(int, TypeCombineCallback) {}
