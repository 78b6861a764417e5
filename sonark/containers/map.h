#pragma once

#include <sonark/visibility.h>
#include <sonark/containers/my_array_list.h>

class CRIFF;

// Kinds of envelope event. Operations that take a type accept kMapAll for all three.
enum TMapType : int {
  kMapVolume = 0,  // 0 ... 2, 1 is unity
  kMapPan = 1,     // -1 ... 1, 0 is centre
  kMapRate = 2,    // 0.01 ... 2, 1 plays at the sound's own speed
  kMapAll = 8,
};

// One envelope event. The payload is allocated with std::malloc and owned by the map that
// holds the event; a simple event has an 8-byte payload holding one double.
struct _tvol_pan_data {
  int type;
  void* data;
  unsigned long size;
};

using TypeCombineCallback = void (*)(_tvol_pan_data*, _tvol_pan_data*, _tvol_pan_data*);

// The envelopes of an audio atom: time-stamped volume, pan and rate events in one list sorted
// by time (milliseconds relative to the atom's start), each kind forming a piecewise-linear
// curve. At most one event of a kind stands at any time.
//
// Virtual operations, in slot order: the destructor, NumEvents. Not thread-safe: the atom
// that owns a map locks around it.
class SONARK_API CMap {
 public:
  CMap();
  // An exact copy of every event, payloads duplicated.
  CMap(const CMap& other);
  // The span [from, to] of all three kinds, with times relative to `from` (see Copy).
  CMap(const CMap& other, long from, long to);
  CMap& operator=(const CMap& other);

  virtual ~CMap();
  // Events of `type`; -1 counts every event, kMapAll the three envelope kinds.
  virtual int NumEvents(int type) const;

  // Takes ownership of `data` (std::malloc'd) and returns the new index, or -1 when an event
  // of `type` already stands at `time` (the caller keeps `data`) or memory ran out (last
  // error kErrOutOfMemory).
  int AddEvent(int type, long time, void* data, unsigned long size);
  // 1 or 0.
  int AddSimpleEvent(int type, long time, double value);
  // Drops the record but not its payload, which the caller then owns.
  void RemoveEvent(int index);
  // These free the payloads too. Only an event of `type` exactly at `time` is removed.
  void RemoveSimpleEvent(int type, long time);
  void RemoveSimpleEventByIndex(int index);
  void RemoveAllSimpleEvents(int type);
  void RemoveAllEvents();

  _tvol_pan_data* GetEventData(int index, long* time) const;
  // The first event of `type` at `index` or later; `index` is moved onto it. Null (index
  // unchanged) when there is none.
  _tvol_pan_data* GetNextEvent(int type, int& index, long* time) const;
  // The last event of `type` at or before `time`, or null.
  _tvol_pan_data* GetDataBefore(long time, int type, long* foundTime, int* foundIndex) const;
  // The event's ordinal among the events of its own type (0 for the first) and its type; -1
  // for an index outside the list.
  int IndexToEventNumber(int index, TMapType& type) const;
  // The list index of the number-th event of `type`; -1 when out of range.
  int EventNumberToIndex(int number, TMapType type) const;

  // The curve's value, linear between events. Before the first event of the type the first
  // value holds, after the last the last; a map without events of the type gives the
  // neutral value (volume 1, pan 0, rate 1).
  double GetSimpleValueAtTime(long time, int type) const;
  // Source milliseconds that the first `time` milliseconds of the time line consume: the
  // integral of the rate curve from 0, with rate 1.0 assumed before the first rate event and
  // the last rate held after the last one. `time` itself without rate events.
  double GetRateMapAdjustedTime(long time) const;
  // Time-line milliseconds needed for `time` milliseconds of source: the same integral over
  // 1/rate at every event.
  double GetRateTime(long time) const;

  // Volume v -> 2 - v within 0 ... 2, pan v -> -v, rate v -> 1/v within 0.01 ... 2.
  void InvertSimpleEvents(int type);
  // Unlimited.
  void MultiplySimpleEvents(int type, double factor);
  // Moves every event of the type by `delta`, keeping payloads; the last two arguments are
  // not used.
  void OffsetEvents(int type, long delta, int = 0, int = 0);
  // Every event time x factor, truncated toward zero. A negative or NaN factor is ignored,
  // since it would break the time order.
  void ScaleEvents(double factor);
  // Moves the last event of the type to `newEnd`, or to 20 ms after the previous event of
  // the type when `newEnd` would not be after it. Nothing when `newEnd` is 0.
  void AdjustEndPoint(int type, long newEnd);
  // Adds the neutral events at 0 and at `length` for the selected types.
  void SetDefaultMap(long length, TMapType type);

  // Copies `other`'s events of the type (kMapAll: each of the three) over the span from its
  // first to its last event of that type. 0 when memory ran out or `other` is null.
  int Copy(const CMap* other, int type);
  // Span copy with times relative to `from`: an event at 0 with other's value at `from`,
  // every event of the type in (from, to], and one at to - from with the value at `to`
  // unless an event stood exactly there. Types without events in `other` are skipped.
  int Copy(const CMap* other, int type, long from, long to);

  // Replaces this map's events of the type (kMapAll: each of the three) by their combination
  // with `other`, whose time `offset` is this map's time 0: combined events at each of this
  // map's event times and at each of other's event times strictly inside this map's span,
  // valued by AddCalcSimplePoint. Other's first and last values hold outside its events.
  // Nothing when `other` has fewer than two events of the type.
  void CombineMap(const CMap* other, long offset, TMapType type);
  // Adds a simple event of the combined value: volume a x b, pan a + b within -1 ... 1, rate
  // a x b at least 0.01. 1 or 0.
  int AddCalcSimplePoint(TMapType type, long time, double a, double b);
  // Accepted and ignored.
  void SetTypeCombineCallback(int type, TypeCombineCallback callback);

  // The stored form, a stream chunk "smap": count (int32), then per event type, time, size
  // (int32 each) and the payload bytes, little-endian, no padding.
  int WriteMap(CRIFF* riff);
  // Adds the events of the current sub-chunk, which must be "smap", and moves to the next
  // chunk. A chunk that is short or inconsistent is refused whole (0, last error
  // tarnell::kErrRiffRead) and the map is left unchanged.
  int ReadMap(CRIFF* riff);
  // Sum of (size + 12) over all events: the chunk's data without the count.
  unsigned long MapSaveSize() const;

  // The index given to the most recently added event, -1 after a removal.
  int LastIndex() const { return last_index_; }
  // 1 and the value when `event` is a simple event (an 8-byte payload), else 0.
  static int GetSimpleValue(const _tvol_pan_data* event, double* value);

 private:
  // Returns the index, -1 for a second event of the type at that time, -2 without memory.
  // With keepOrder an event at or after the last time is appended after events of other
  // kinds at that time instead of going before them.
  int Insert(int type, long time, void* data, unsigned long size, bool keepOrder = false);
  int InsertSimple(int type, long time, double value);
  int AddEventCopy(int type, long time, const _tvol_pan_data* event);
  int FindEvent(int type, long time) const;
  int UpperBound(long time) const;
  int LastEventOfType(int type, int before) const;
  int CopySpan(const CMap* other, int type, long from, long to);
  void CombineType(const CMap* other, long offset, int type);
  void MoveEvent(int index, long newTime);
  double Integral(long time, bool reciprocal) const;
  void CloneFrom(const CMap& other);

  CMyArrayList events_;
  int last_index_ = -1;
};
