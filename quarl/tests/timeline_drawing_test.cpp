#include "timeline_fixtures.h"

#include <quarl/timeline/marker_bar.h>
#include <quarl/timeline/time_texts.h>
#include <sonark/load/peaks.h>

#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

using namespace timeline_test;

namespace {

// The peak of a slice whose loudest sample is `level`.
int PeakOf(int level) { return level * 255 / 32767; }

// The half-height of the waveform column at x of a bar whose top is at `top`: the waveform is
// the colour of the area's middle row, and its line runs symmetrically about it.
int HalfHeight(const QImage& image, int x, int top) {
  const int area_top = top + 18;
  const int middle = area_top + 23;
  const QRgb wave = qRgb(38, 108, 64);
  for (int y = area_top; y < middle; ++y)
    if (image.pixel(x, y) == wave) return middle - y;
  return 0;
}

}  // namespace

class TimelineDrawingTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    // Peak files go to the side-file folder: keep them in the test's own.
    qputenv("XDG_CACHE_HOME", dir_.filePath("cache").toUtf8());
  }

  // Zoom values halve and double within [2, 1024]; odd values lose one; 1024 draws at the
  // transform's limit of 1000 ms per pixel; the ruler changes level at 32.
  void zoomStepsAndLimits() {
    TimelineView view;
    QCOMPARE(view.Zoom(), 20);
    QCOMPARE(view.Ruler()->Level(), 1);
    view.ZoomIn();
    QCOMPARE(view.Zoom(), 10);
    view.ZoomIn();
    QCOMPARE(view.Zoom(), 4);  // 5 made even
    view.ZoomIn();
    QCOMPARE(view.Zoom(), 2);
    QVERIFY(!view.CanZoomIn());
    view.ZoomIn();
    QCOMPARE(view.Zoom(), 2);
    view.SetZoom(0);  // ignored
    QCOMPARE(view.Zoom(), 2);

    view.SetZoom(640);
    QCOMPARE(view.Ruler()->Level(), 2);
    QVERIFY(view.CanZoomOut());
    view.ZoomOut();
    QCOMPARE(view.Zoom(), 1024);
    QCOMPARE(view.Transform().XScale(), 1000.0);
    QVERIFY(!view.CanZoomOut());
    view.SetZoom(31);
    QCOMPARE(view.Zoom(), 30);
    QCOMPARE(view.Ruler()->Level(), 1);

    // Zooming keeps the play cursor in the middle of the window.
    view.resize(700, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.SeekCursor(60000);
    view.SetZoom(20);
    const long middle = view.Transform().XOrigin() + long(view.Transform().LogicalWidth() / 2);
    QVERIFY(std::abs(middle - 60000) <= 20);
  }

  void transformTruncatesAndClamps() {
    ViewTransform t;
    QCOMPARE(t.ViewportWidth(), 640);
    QCOMPARE(t.ViewportHeight(), 480);
    t.SetXScale(0.001);
    QCOMPARE(t.XScale(), 0.01);
    t.SetXScale(30);
    t.SetOrigin(1000, 5);
    QCOMPARE(t.ToLogicalX(7), 1210L);
    QCOMPARE(t.ToPixelX(1029), 0L);  // 0.97 truncates
    QCOMPARE(t.ToPixelY(80), 75L);
  }

  void timeTexts() {
    QCOMPARE(PositionText(5250, false), std::string("05:250"));
    QCOMPARE(PositionText(75500, false), std::string("01:15:500"));
    QCOMPARE(PositionText(1050, false), std::string("01:050"));
    QCOMPARE(PositionText(3723004, true), std::string("01:02:03:004"));
    QCOMPARE(PositionText(3723004, false), std::string("01:02:03"));
    QCOMPARE(LengthText(5250), std::string("5.25 (secs)"));
    QCOMPARE(LengthText(5999), std::string("6.00 (secs)"));  // carried, never "5.100"
    QCOMPARE(LengthText(150000), std::string("2.50 (mins)"));
    QCOMPARE(LengthText(3780000), std::string("1.05 (hrs)"));
  }

  // Intervals by zoom and level, major and minor ticks, and labels (the first without hours).
  void rulerIntervalsAndLabels() {
    RulerLayout at20 = LayOutRuler(0, 12000, 20, 1);
    QCOMPARE(at20.interval, 1000L);
    QCOMPARE(at20.ticks.size(), size_t(13));
    QCOMPARE(at20.ticks[3].label, std::string("00:03"));
    QCOMPARE(at20.ticks[3].length, 8);

    RulerLayout at2 = LayOutRuler(1300, 3000, 2, 1);  // 1 s is 500 px: halved to 500 ms
    QCOMPARE(at2.interval, 500L);
    QCOMPARE(at2.ticks.front().time, 1000L);
    QCOMPARE(at2.ticks[1].label, std::string("00:01:500"));
    QCOMPARE(at2.ticks[1].length, 5);
    QCOMPARE(at2.ticks[2].length, 8);

    QCOMPARE(LayOutRuler(0, 60000, 30, 1).interval, 2000L);      // 33 px: doubled
    QCOMPARE(LayOutRuler(0, 600000, 64, 2).interval, 15000L);    // 937 px: halved twice
    QCOMPARE(LayOutRuler(0, 9000000, 1000, 2).interval, 60000L);
    RulerLayout late = LayOutRuler(3598000, 3604000, 2, 1);      // short span past an hour
    QCOMPARE(late.interval, 1000L);
    QCOMPARE(late.ticks.front().label, std::string("59:58"));    // first label without hours
    QCOMPARE(late.ticks[2].label, std::string("01:00:00"));
  }

  // y of volume, pan and rate values in an area from 20 to 66 (h = 23), and back, clamped.
  void envelopeValuesAndHeights() {
    QCOMPARE(EnvelopeY(kParamVolume, 1.0, 20, 66), 43.0);
    QCOMPARE(EnvelopeY(kParamVolume, 2.0, 20, 66), 20.0);
    QCOMPARE(EnvelopeY(kParamVolume, 0.0, 20, 66), 66.0);
    QCOMPARE(EnvelopeY(kParamPan, -1.0, 20, 66), 20.0);
    QCOMPARE(EnvelopeY(kParamPan, 0.5, 20, 66), 54.5);
    QCOMPARE(EnvelopeY(kParamRate, 0.5, 20, 66), 54.5);
    QCOMPARE(EnvelopeValue(kParamVolume, 31.5, 20, 66), 1.5);
    QCOMPARE(EnvelopeValue(kParamVolume, 0, 20, 66), 2.0);
    QCOMPARE(EnvelopeValue(kParamVolume, 80, 20, 66), 0.0);
    QCOMPARE(EnvelopeValue(kParamPan, 10, 20, 66), -1.0);
    QCOMPARE(EnvelopeValue(kParamPan, 70, 20, 66), 1.0);
    QCOMPARE(EnvelopeValue(kParamRate, 66, 20, 66), 0.01);
    QCOMPARE(EnvelopeValue(kParamRate, 20, 20, 66), 2.0);
  }

  // Each column of a bar is a line of half-height peak x area height / 512 about the middle
  // of the area; a sound longer than its data repeats its picture; the envelope of the shown
  // parameter is drawn at its value's height.
  void waveformColumnsAndEnvelope() {
    std::vector<int> levels;
    for (int k = 0; k < 50; ++k) levels.push_back(600 * (k % 10) + 1000 * (k / 10) + 900);
    const std::string path = WriteWave(dir_.filePath("steps.wav"), levels);
    AtomRef<TimelineSound> sound(LoadSound<TimelineSound>(path));
    QVERIFY(sound);
    CPeaks* peaks = sound->GetPeaks();
    QVERIFY(peaks != nullptr);
    QCOMPARE(peaks->GetNumPeaks(), 50ul);
    QCOMPARE(peaks->NumMilsPerPeak(), 20ul);
    const unsigned char* data = peaks->GetDataPtr();
    sound->SetVirtualLength(2000);  // twice its data

    TimelineView view;
    view.resize(900, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(sound->Add(view.Root(), 1000) != nullptr);
    QCOMPARE(sound->Bar().left, 1000);
    QCOMPARE(sound->Bar().right, 3000);
    QCOMPARE(sound->Bar().bottom, 66);
    view.RedrawNow();

    const QImage& image = view.BackBuffer();
    auto half_height = [&](int x) { return HalfHeight(image, x, 0); };
    for (int k = 0; k < 50; ++k) QCOMPARE(int(data[k]), PeakOf(levels[k]));
    // Bar at pixel 50 (1000 ms at 20 ms per pixel), its frame at 50 and 149: column x shows
    // peak x - 50.
    for (int x = 51; x < 99; ++x) {
      QCOMPARE(half_height(x), data[x - 50] * 46 / 512);
      QCOMPARE(half_height(x + 50), half_height(x));  // the repeat
    }
    QVERIFY(half_height(95) > half_height(55));

    // A volume envelope from 2.0 to 0.0 crosses the area; at its start it lies on the top row.
    CMap* map = sound->GetSrcMap();
    map->AddSimpleEvent(kMapVolume, 0, 2.0);
    map->AddSimpleEvent(kMapVolume, 2000, 0.0);
    view.InvalidateAll();
    view.RedrawNow();
    const QRgb envelope = qRgb(200, 30, 30);
    QCOMPARE(image.pixel(100, 18 + 46 / 2), envelope);  // 1.0 halfway along
    view.SetParameter(kParamPan);  // no pan events: no line
    view.RedrawNow();
    QVERIFY(image.pixel(100, 18 + 46 / 2) != envelope);
  }

  // A group's bar shows its members' peaks added together (at most 255); its status and a
  // member's status and tooltip texts name them with their times.
  void groupPictureAndTexts() {
    std::vector<int> quiet(50, 6000), loud(50, 26000);
    AtomRef<TimelineSound> a(LoadSound<TimelineSound>(WriteWave(dir_.filePath("q.wav"), quiet)));
    AtomRef<TimelineSound> b(LoadSound<TimelineSound>(WriteWave(dir_.filePath("l.wav"), loud)));
    AtomRef<TimelineGroup> group(new TimelineGroup());
    QVERIFY(a && b);
    QVERIFY(a->Add(group.get(), 0) && b->Add(group.get(), 500));
    group->SetAtomName("drums");

    TimelineView view;
    view.resize(900, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(group->Add(view.Root(), 1000) != nullptr);
    QCOMPARE(group->Bar().right, 2500);
    view.RedrawNow();
    const QImage& image = view.BackBuffer();
    QCOMPARE(HalfHeight(image, 60, 0), PeakOf(6000) * 46 / 512);                   // a alone
    QCOMPARE(HalfHeight(image, 90, 0), std::min(255, PeakOf(6000) + PeakOf(26000)) * 46 / 512);
    QCOMPARE(HalfHeight(image, 110, 0), PeakOf(26000) * 46 / 512);                  // b alone

    QCOMPARE(view.StatusTexts()[1], QString("0 Sounds, 1 Sub-Groups"));
    view.Select(&group->Item());
    QCOMPARE(view.StatusTexts()[0], QString("[01:000] drums"));
    view.ViewGroup();
    const std::array<QString, 3> inside = view.StatusTexts();
    QVERIFY(inside[0].endsWith("drums (1 down)"));
    QCOMPARE(inside[1], QString("2 Sounds, 0 Sub-Groups"));
    QCOMPARE(inside[2], QString("1.50 (secs)"));
    view.SetHotItem(&b->Item());
    QCOMPARE(view.StatusTexts()[0], QString("[01:500] tone"));
    QCOMPARE(view.StatusTexts()[2], QString("1.00 (secs)"));
    b->SetLock(1);
    QCOMPARE(view.TooltipText(&b->Item(), BarPart::kBody, 0), QString("tone (Locked) @ 01:500 "));
    // The mouse resting on the bar shows that text as the tooltip.
    view.RedrawNow();
    QTest::mouseMove(view.BarWindow(), QPoint(b->Item().PixelRect(view.Transform()).left() + 30, 8));
    QTRY_COMPARE(QToolTip::text(), QString("tone (Locked) @ 01:500 "));
    view.SetParameter(kParamPan);
    QCOMPARE(view.TooltipText(&b->Item(), BarPart::kEnvelope, -0.257),
             QString("25 % (Left Speaker)"));
    QCOMPARE(view.TooltipText(&b->Item(), BarPart::kEnvelope, 0.004), QString("0 % (Center)"));

    // Copies, whole or in part, are program kinds all the way down, with their own items.
    for (bool whole : {true, false}) {
      AtomRef<CAudioAtom> copy(whole ? group->Copy() : group->Copy(0, 700));
      auto* copied = dynamic_cast<TimelineGroup*>(copy.get());
      QVERIFY(copied != nullptr);
      QCOMPARE(ItemOf(copied), &copied->Item());
      QCOMPARE(copied->Bar().top, group->Bar().top);
      auto* member = dynamic_cast<TimelineSound*>(copied->GetAtom(0, nullptr));
      QVERIFY(member != nullptr && ItemOf(member) == &member->Item());
      QVERIFY(ItemOf(member) != ItemOf(a.get()));
    }
  }

  // A sound longer than the peaks kept in memory reads its columns from its peak file.
  void streamedWaveform() {
    std::vector<int> levels;
    for (int k = 0; k < 1500; ++k) levels.push_back(1500 + 700 * (k % 37));  // 30 s
    const std::string path = WriteWave(dir_.filePath("long.wav"), levels);
    AtomRef<TimelineSound> sound(LoadSound<TimelineSound>(path));
    QVERIFY(sound && sound->GetPeaks() != nullptr);
    QVERIFY(sound->GetPeaks()->IsStreaming());

    TimelineView view;
    view.resize(900, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(sound->Add(view.Root(), 0) != nullptr);
    view.ScrollToTime(20000);  // column x shows peak 1000 + x
    view.RedrawNow();
    const QImage& image = view.BackBuffer();
    for (int x = 1; x < 400; ++x) QCOMPARE(HalfHeight(image, x, 0), PeakOf(levels[1000 + x]) * 46 / 512);
    view.ScrollToTime(2000);  // and back before the window it holds
    view.RedrawNow();
    for (int x = 1; x < 400; ++x) QCOMPARE(HalfHeight(image, x, 0), PeakOf(levels[100 + x]) * 46 / 512);
  }

 private:
  QTemporaryDir dir_;
};

QTEST_MAIN(TimelineDrawingTest)
#include "timeline_drawing_test.moc"
