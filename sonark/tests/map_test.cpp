#include <gtest/gtest.h>
#include <sonark/containers/map.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace {

using Events = std::vector<std::pair<long, double>>;

// The (time, value) pairs of one type, in list order.
Events EventsOf(const CMap& map, int type) {
  Events out;
  int index = 0;
  long time = 0;
  while (const _tvol_pan_data* event = map.GetNextEvent(type, index, &time)) {
    double value = 0;
    EXPECT_TRUE(CMap::GetSimpleValue(event, &value));
    out.emplace_back(time, value);
    ++index;
  }
  return out;
}

void ExpectEvents(const Events& actual, const Events& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].first, expected[i].first) << "event " << i;
    EXPECT_NEAR(actual[i].second, expected[i].second, 1e-12) << "event " << i;
  }
}

void AddAll(CMap& map, int type, const Events& events) {
  for (const auto& [time, value] : events) ASSERT_EQ(map.AddSimpleEvent(type, time, value), 1);
}

// Integral from 0 to `end` of the curve through `points` (rate 1 before the first point,
// the last value held after the last), by fine midpoint sums.
double Integrate(const Events& points, long end, bool reciprocal) {
  auto value_at = [&](double t) {
    auto v = [&](size_t i) { return reciprocal ? 1.0 / points[i].second : points[i].second; };
    if (t <= points.front().first) return v(0);
    for (size_t i = 1; i < points.size(); ++i) {
      if (t <= points[i].first) {
        double t0 = points[i - 1].first, t1 = points[i].first;
        return v(i - 1) + (v(i) - v(i - 1)) * (t - t0) / (t1 - t0);
      }
    }
    return v(points.size() - 1);
  };
  const int steps = 200000;
  double h = static_cast<double>(end) / steps, sum = 0;
  for (int i = 0; i < steps; ++i) sum += value_at((i + 0.5) * h) * h;
  return sum;
}

TEST(Map, DefaultMapValues) {
  CMap map;
  map.SetDefaultMap(1000, kMapAll);
  EXPECT_EQ(map.NumEvents(-1), 6);
  EXPECT_EQ(map.NumEvents(kMapPan), 2);
  for (long t : {0L, 1L, 500L, 999L, 1000L, 5000L}) {
    EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(t, kMapVolume), 1.0);
    EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(t, kMapPan), 0.0);
  }
  EXPECT_DOUBLE_EQ(map.GetRateMapAdjustedTime(500), 500.0);
  EXPECT_DOUBLE_EQ(map.GetRateTime(1500), 1500.0);

  CMap volumeOnly;
  volumeOnly.SetDefaultMap(200, kMapVolume);
  EXPECT_EQ(volumeOnly.NumEvents(kMapAll), 2);
  // No rate events: time passes unchanged; no pan events: the centre.
  EXPECT_DOUBLE_EQ(volumeOnly.GetRateMapAdjustedTime(123), 123.0);
  EXPECT_DOUBLE_EQ(volumeOnly.GetSimpleValueAtTime(50, kMapPan), 0.0);
}

TEST(Map, ValuesAreLinearBetweenEvents) {
  CMap map;
  AddAll(map, kMapVolume, {{0, 1.0}, {100, 0.0}, {300, 0.5}});
  AddAll(map, kMapPan, {{50, -1.0}, {150, 1.0}});
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(25, kMapVolume), 0.75);
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(100, kMapVolume), 0.0);
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(200, kMapVolume), 0.25);
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(1000, kMapVolume), 0.5);  // held after the end
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(75, kMapPan), -0.5);
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(0, kMapPan), -1.0);  // held before the start

  long time = 0;
  int index = 0;
  const _tvol_pan_data* before = map.GetDataBefore(120, kMapPan, &time, &index);
  EXPECT_EQ(before, map.GetEventData(index, nullptr));
  EXPECT_EQ(time, 50);
  EXPECT_EQ(map.GetDataBefore(40, kMapPan, &time, &index), nullptr);
}

TEST(Map, RateIntegrals) {
  CMap ramp;
  AddAll(ramp, kMapRate, {{0, 1.0}, {1000, 2.0}});
  EXPECT_DOUBLE_EQ(ramp.GetRateMapAdjustedTime(1000), 1500.0);
  EXPECT_DOUBLE_EQ(ramp.GetRateMapAdjustedTime(500), 625.0);
  EXPECT_DOUBLE_EQ(ramp.GetRateMapAdjustedTime(0), 0.0);
  EXPECT_DOUBLE_EQ(ramp.GetRateMapAdjustedTime(2000), 3500.0);  // rate 2 held
  EXPECT_NEAR(ramp.GetRateTime(1000), Integrate({{0, 1.0}, {1000, 2.0}}, 1000, true), 1e-3);

  std::mt19937 random(17);
  for (int trial = 0; trial < 8; ++trial) {
    Events points{{0, 0.5 + (random() % 150) / 100.0}};
    for (int i = 0; i < 6; ++i) {
      points.emplace_back(points.back().first + 50 + static_cast<long>(random() % 400),
                          0.01 + (random() % 199) / 100.0);
    }
    CMap map;
    AddAll(map, kMapRate, points);
    AddAll(map, kMapVolume, {{0, 1.0}, {777, 0.3}});  // other kinds must not disturb the walk
    for (long t : {1L, 37L, points[3].first, points.back().first - 1, points.back().first + 250}) {
      EXPECT_NEAR(map.GetRateMapAdjustedTime(t), Integrate(points, t, false), 1e-3)
          << "trial " << trial << " time " << t;
      double expected = Integrate(points, t, true);
      EXPECT_NEAR(map.GetRateTime(t), expected, 1e-3 + 1e-7 * expected)
          << "trial " << trial << " time " << t;
    }
  }
}

TEST(Map, OneEventOfATypeAtATime) {
  CMap map;
  ASSERT_EQ(map.AddSimpleEvent(kMapVolume, 100, 0.5), 1);
  ASSERT_EQ(map.AddSimpleEvent(kMapPan, 100, 0.2), 1);
  unsigned long size = map.MapSaveSize();
  EXPECT_EQ(map.AddSimpleEvent(kMapVolume, 100, 0.9), 0);
  void* data = std::malloc(8);
  EXPECT_EQ(map.AddEvent(kMapVolume, 100, data, 8), -1);
  std::free(data);  // refused: still the caller's
  EXPECT_EQ(map.LastIndex(), -1);
  EXPECT_EQ(map.MapSaveSize(), size);
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(100, kMapVolume), 0.5);

  // Ties with other kinds go first at the first time, last at the last time, and first again
  // in between.
  int index = map.AddEvent(kMapRate, 100, std::malloc(8), 8);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(map.LastIndex(), 0);
  map.RemoveSimpleEventByIndex(0);
  EXPECT_EQ(map.LastIndex(), -1);
  ASSERT_EQ(map.AddSimpleEvent(kMapRate, 50, 1.0), 1);
  ASSERT_EQ(map.AddSimpleEvent(kMapRate, 100, 1.0), 1);
  EXPECT_EQ(map.LastIndex(), 3);
  ASSERT_EQ(map.AddSimpleEvent(kMapPan, 50, 0.0), 1);
  EXPECT_EQ(map.LastIndex(), 0);
  ASSERT_EQ(map.AddSimpleEvent(kMapVolume, 200, 1.0), 1);
  ASSERT_EQ(map.AddSimpleEvent(kMapVolume, 50, 1.0), 1);
  EXPECT_EQ(map.LastIndex(), 0);
  ASSERT_EQ(map.AddSimpleEvent(kMapRate, 200, 1.0), 1);
  EXPECT_EQ(map.LastIndex(), 7);
  map.RemoveSimpleEvent(kMapRate, 200);
  map.RemoveSimpleEvent(kMapVolume, 200);
  map.RemoveSimpleEvent(kMapVolume, 50);

  map.RemoveSimpleEvent(kMapVolume, 50);  // no volume event there
  EXPECT_EQ(map.NumEvents(-1), 5);
  map.RemoveSimpleEvent(kMapPan, 50);
  EXPECT_EQ(map.NumEvents(kMapPan), 1);
  map.RemoveAllSimpleEvents(kMapRate);
  EXPECT_EQ(map.NumEvents(-1), 2);
}

TEST(Map, EventNumbersAndIndexes) {
  CMap map;
  map.SetDefaultMap(1000, kMapAll);
  AddAll(map, kMapVolume, {{300, 0.5}, {600, 0.7}});
  AddAll(map, kMapPan, {{400, 0.1}});
  for (int type : {kMapVolume, kMapPan, kMapRate}) {
    for (int n = 0; n < map.NumEvents(type); ++n) {
      int index = map.EventNumberToIndex(n, static_cast<TMapType>(type));
      ASSERT_GE(index, 0);
      TMapType found = kMapAll;
      EXPECT_EQ(map.IndexToEventNumber(index, found), n);
      EXPECT_EQ(found, type);
    }
    EXPECT_EQ(map.EventNumberToIndex(map.NumEvents(type), static_cast<TMapType>(type)), -1);
  }
  TMapType found = kMapAll;
  EXPECT_EQ(map.IndexToEventNumber(map.NumEvents(-1), found), -1);
}

TEST(Map, InvertAndMultiply) {
  CMap map;
  AddAll(map, kMapVolume, {{0, 0.5}, {10, 2.5}});
  AddAll(map, kMapPan, {{0, 0.3}});
  AddAll(map, kMapRate, {{0, 0.5}, {10, 0.25}, {20, 4.0}, {30, 0.0}});
  map.InvertSimpleEvents(kMapAll);
  EXPECT_EQ(EventsOf(map, kMapVolume), (Events{{0, 1.5}, {10, 0.0}}));
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, -0.3}}));
  EXPECT_EQ(EventsOf(map, kMapRate), (Events{{0, 2.0}, {10, 2.0}, {20, 0.25}, {30, 2.0}}));

  map.MultiplySimpleEvents(kMapPan, 3.0);
  EXPECT_DOUBLE_EQ(EventsOf(map, kMapPan)[0].second, -0.9);
  EXPECT_DOUBLE_EQ(EventsOf(map, kMapVolume)[0].second, 1.5);
  map.MultiplySimpleEvents(kMapAll, 2.0);  // unlimited
  EXPECT_DOUBLE_EQ(EventsOf(map, kMapVolume)[0].second, 3.0);
  EXPECT_DOUBLE_EQ(EventsOf(map, kMapRate)[0].second, 4.0);

  // A payload that is not a simple value is carried through untouched and never read as one.
  char* odd = static_cast<char*>(std::malloc(3));
  std::memcpy(odd, "abc", 3);
  ASSERT_GE(map.AddEvent(kMapPan, 5, odd, 3), 0);
  map.InvertSimpleEvents(kMapPan);
  EXPECT_EQ(std::memcmp(odd, "abc", 3), 0);
  EXPECT_DOUBLE_EQ(map.GetSimpleValueAtTime(5, kMapPan), 0.0);
}

TEST(Map, OffsetAndScaleTimes) {
  CMap map;
  AddAll(map, kMapVolume, {{0, 1.0}, {100, 0.5}, {200, 0.25}});
  AddAll(map, kMapPan, {{0, 0.0}, {150, 1.0}});
  map.OffsetEvents(kMapVolume, 100, 0, 0);
  EXPECT_EQ(EventsOf(map, kMapVolume), (Events{{100, 1.0}, {200, 0.5}, {300, 0.25}}));
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, 0.0}, {150, 1.0}}));
  map.OffsetEvents(kMapAll, -100, 0, 0);
  EXPECT_EQ(EventsOf(map, kMapVolume), (Events{{0, 1.0}, {100, 0.5}, {200, 0.25}}));
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{-100, 0.0}, {50, 1.0}}));
  map.OffsetEvents(kMapPan, 100);

  map.ScaleEvents(2.0);
  EXPECT_EQ(EventsOf(map, kMapVolume), (Events{{0, 1.0}, {200, 0.5}, {400, 0.25}}));
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, 0.0}, {300, 1.0}}));
  map.ScaleEvents(0.5);
  map.ScaleEvents(0.5);
  EXPECT_EQ(EventsOf(map, kMapVolume), (Events{{0, 1.0}, {50, 0.5}, {100, 0.25}}));
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, 0.0}, {75, 1.0}}));
  map.ScaleEvents(-1.0);  // would reverse the order: ignored
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, 0.0}, {75, 1.0}}));
}

TEST(Map, AdjustEndPoint) {
  CMap map;
  AddAll(map, kMapVolume, {{0, 1.0}, {100, 0.5}, {1000, 0.2}});
  AddAll(map, kMapPan, {{0, 0.0}, {1000, 0.4}});
  map.AdjustEndPoint(kMapVolume, 50);  // not after the event at 100
  EXPECT_EQ(EventsOf(map, kMapVolume), (Events{{0, 1.0}, {100, 0.5}, {120, 0.2}}));
  map.AdjustEndPoint(kMapVolume, 0);  // nothing
  map.AdjustEndPoint(kMapVolume, 110);
  EXPECT_EQ(EventsOf(map, kMapVolume).back(), (std::pair<long, double>{110, 0.2}));
  map.AdjustEndPoint(kMapAll, 2000);
  EXPECT_EQ(EventsOf(map, kMapVolume).back(), (std::pair<long, double>{2000, 0.2}));
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, 0.0}, {2000, 0.4}}));
  map.AdjustEndPoint(kMapPan, 500);
  EXPECT_EQ(EventsOf(map, kMapPan), (Events{{0, 0.0}, {500, 0.4}}));

  CMap empty;
  empty.AdjustEndPoint(kMapAll, 100);
  EXPECT_EQ(empty.NumEvents(-1), 0);
}

TEST(Map, SpanCopies) {
  CMap source;
  AddAll(source, kMapVolume, {{0, 1.0}, {1000, 0.0}});
  CMap span(source, 100, 200);
  ExpectEvents(EventsOf(span, kMapVolume), {{0, 0.9}, {100, 0.8}});
  EXPECT_EQ(span.NumEvents(-1), 2);  // kinds without events are not invented

  CMap shaped;
  AddAll(shaped, kMapPan, {{0, 0.0}, {100, 0.5}, {150, -0.5}, {300, 1.0}});
  CMap part;
  EXPECT_EQ(part.Copy(&shaped, kMapPan, 50, 150), 1);
  EXPECT_EQ(EventsOf(part, kMapPan), (Events{{0, 0.25}, {50, 0.5}, {100, -0.5}}));
  CMap tail;
  tail.Copy(&shaped, kMapAll, 100, 400);
  EXPECT_EQ(EventsOf(tail, kMapPan), (Events{{0, 0.5}, {50, -0.5}, {200, 1.0}, {300, 1.0}}));
  EXPECT_EQ(tail.Copy(&shaped, kMapPan, 200, 100), 0);

  CMap whole;
  whole.Copy(&shaped, kMapPan);
  EXPECT_EQ(EventsOf(whole, kMapPan), EventsOf(shaped, kMapPan));
  CMap clone(shaped);
  EXPECT_EQ(EventsOf(clone, kMapPan), EventsOf(shaped, kMapPan));
  EXPECT_EQ(clone.MapSaveSize(), shaped.MapSaveSize());
  clone = source;
  EXPECT_EQ(EventsOf(clone, kMapVolume), EventsOf(source, kMapVolume));
  EXPECT_EQ(clone.NumEvents(kMapPan), 0);
  EXPECT_EQ(clone.Copy(nullptr, kMapAll), 0);
}

TEST(Map, CombineWithLimits) {
  CMap child;
  AddAll(child, kMapPan, {{0, 0.5}, {1000, 0.5}});
  CMap parent;
  AddAll(parent, kMapPan, {{0, 0.8}, {2000, 0.8}});
  child.CombineMap(&parent, 0, kMapPan);
  EXPECT_EQ(EventsOf(child, kMapPan), (Events{{0, 1.0}, {1000, 1.0}}));

  // Volume multiplies; the parent's events inside the child's span add points; the child's
  // time 0 is the parent's time 500.
  CMap sound;
  AddAll(sound, kMapVolume, {{0, 1.0}, {1000, 0.5}});
  CMap group;
  AddAll(group, kMapVolume, {{0, 1.0}, {1000, 0.5}, {2000, 0.0}});
  sound.CombineMap(&group, 500, kMapAll);
  Events combined = EventsOf(sound, kMapVolume);
  ASSERT_EQ(combined.size(), 3u);
  EXPECT_EQ(combined[0].first, 0);
  EXPECT_DOUBLE_EQ(combined[0].second, 1.0 * 0.75);
  EXPECT_EQ(combined[1].first, 500);
  EXPECT_DOUBLE_EQ(combined[1].second, 0.75 * 0.5);
  EXPECT_EQ(combined[2].first, 1000);
  EXPECT_DOUBLE_EQ(combined[2].second, 0.5 * 0.25);

  // Rate combines multiplicatively with a floor of 0.01.
  CMap slow;
  AddAll(slow, kMapRate, {{0, 0.1}, {100, 1.0}});
  CMap slower;
  AddAll(slower, kMapRate, {{0, 0.05}, {100, 0.05}});
  slow.CombineMap(&slower, 0, kMapRate);
  EXPECT_EQ(EventsOf(slow, kMapRate), (Events{{0, 0.01}, {100, 0.05}}));

  // A parent with fewer than two events of the kind leaves the map alone.
  CMap single;
  AddAll(single, kMapPan, {{0, -1.0}});
  sound.CombineMap(&single, 0, kMapPan);
  CMap before(sound);
  sound.CombineMap(&single, 0, kMapVolume);
  EXPECT_EQ(EventsOf(sound, kMapVolume), EventsOf(before, kMapVolume));

  EXPECT_EQ(sound.AddCalcSimplePoint(kMapPan, 7, -0.8, -0.8), 1);
  EXPECT_DOUBLE_EQ(sound.GetSimpleValueAtTime(7, kMapPan), -1.0);
  EXPECT_EQ(sound.AddCalcSimplePoint(kMapAll, 9, 1, 1), 0);
}

}  // namespace
