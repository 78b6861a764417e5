#include "timeline_fixtures.h"

#include <sonark/mixer/pcm_mixer.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace timeline_test;

namespace {

bool SameBar(const BarRect& a, const BarRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

class TimelineSessionTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    qputenv("XDG_CACHE_HOME", dir_.filePath("cache").toUtf8());
    wave_ = WriteWave(dir_.filePath("tone.wav"), std::vector<int>(100, 8000));  // 2 s
    QVERIFY(!wave_.empty());
  }

  // A session saved with the stored bars opens with every bar, nested ones included, where
  // its "zbar" chunk put it, as program kinds with their locked and muted display; one saved
  // without bars shows each at its offset in the top lane.
  void barsOpenWhereTheSessionKeptThem() {
    const std::string with_bars = dir_.filePath("bars.sgp").toStdString();
    {
      AtomRef<SessionRootGroup> root(new SessionRootGroup());
      AtomRef<BarSound> a(LoadSound<BarSound>(wave_));
      AtomRef<BarSound> b(LoadSound<BarSound>(wave_));
      AtomRef<BarGroup> group(new BarGroup());
      AtomRef<BarSound> inner(LoadSound<BarSound>(wave_));
      QVERIFY(a && b && inner);
      a->Bar() = BarInLane(500, 2000, 2);
      b->Bar() = BarRect{3000, 300, 5000, 366};
      b->Mute(1);
      b->SetLock(1);
      inner->Bar() = BarInLane(7000, 2000, 1);
      group->Bar() = BarInLane(7000, 2000, 4);
      QVERIFY(inner->Add(group.get(), 0));
      QVERIFY(a->Add(root.get(), 500) && b->Add(root.get(), 3000) && group->Add(root.get(), 7000));
      QVERIFY(SaveTree(root.get(), with_bars));
    }
    TimelineView view;
    QVERIFY(OpenInto(view, with_bars));
    CSoundGroup* root = view.Root();
    QCOMPARE(root->NumAtoms(kAtomTypeMembers, 0), 3);
    auto* a = dynamic_cast<TimelineSound*>(root->GetAtom(0, nullptr));
    auto* b = dynamic_cast<TimelineSound*>(root->GetAtom(1, nullptr));
    auto* group = dynamic_cast<TimelineGroup*>(root->GetAtom(2, nullptr));
    QVERIFY(a && b && group);
    QVERIFY(SameBar(a->Bar(), BarInLane(500, 2000, 2)));
    QVERIFY(SameBar(b->Bar(), BarRect{3000, 300, 5000, 366}));
    QVERIFY(SameBar(group->Bar(), BarInLane(7000, 2000, 4)));
    auto* inner = dynamic_cast<TimelineSound*>(group->GetAtom(0, nullptr));
    QVERIFY(inner != nullptr);
    QVERIFY(SameBar(inner->Bar(), BarInLane(7000, 2000, 1)));
    QVERIFY(b->Item().muted && b->Item().locked && !a->Item().muted);
    QCOMPARE(a->Item().Name(), std::string("tone"));
    QCOMPARE(view.ExtentX(), 9000L * 110 / 100);
    QCOMPARE(view.ExtentY(), 366L + 72);

    // Viewing the group shows its members; leaving it selects it.
    view.ViewGroup(group);
    QVERIFY(view.CanCollapse());
    QCOMPARE(view.StatusTexts()[1], QString("1 Sounds, 0 Sub-Groups"));
    view.LeaveGroup();
    QCOMPARE(view.CurrentGroup(), root);
    QVERIFY(view.CanExpand());

    const std::string without_bars = dir_.filePath("plain.sgp").toStdString();
    {
      AtomRef<SessionRootGroup> plain(new SessionRootGroup());
      AtomRef<CPCMSound> c(LoadSound<CPCMSound>(wave_));
      AtomRef<CPCMSound> d(LoadSound<CPCMSound>(wave_));
      QVERIFY(c->Add(plain.get(), 1500) && d->Add(plain.get(), 4000));
      QVERIFY(SaveTree(plain.get(), without_bars));
    }
    view.NewSession();
    QCOMPARE(view.Root()->NumAtoms(kAtomTypeMembers, 0), 0);
    QVERIFY(OpenInto(view, without_bars));
    auto* c = dynamic_cast<TimelineSound*>(view.Root()->GetAtom(0, nullptr));
    auto* d = dynamic_cast<TimelineSound*>(view.Root()->GetAtom(1, nullptr));
    QVERIFY(c && d);
    QVERIFY(SameBar(c->Bar(), BarRect{1500, 0, 3500, 66}));
    QVERIFY(SameBar(d->Bar(), BarRect{4000, 0, 6000, 66}));

    // Saved again by the program, the bars are stored and come back.
    d->Bar().top = 144;
    d->Bar().bottom = 210;
    const std::string again = dir_.filePath("again.sgp").toStdString();
    QVERIFY(SaveTree(view.Root(), again));
    view.NewSession();
    QVERIFY(OpenInto(view, again));
    QVERIFY(SameBar(dynamic_cast<TimelineSound*>(view.Root()->GetAtom(1, nullptr))->Bar(),
                    BarRect{4000, 144, 6000, 210}));
  }

  // The background tasks run through the view: an open replaces the root and shows the bars
  // the file kept; an added sound goes to the nearest lane its time leaves free.
  void tasksOpenAndAddThroughTheView() {
    TimelineView view;
    QSignalSpy busy(&view, &TimelineView::BusyChanged);
    BackgroundTask open;
    open.type = TaskType::kOpenSession;
    open.path = dir_.filePath("bars.sgp").toStdString();
    const std::string opened = open.path;
    view.Tasks().Queue(std::move(open));
    QVERIFY(view.Tasks().WaitUntilIdle(10000));
    QTRY_COMPARE(view.SessionPath(), opened);
    QVERIFY(!view.Modified());
    QCOMPARE(view.Root()->NumAtoms(kAtomTypeMembers, 0), 3);
    auto* b = dynamic_cast<TimelineSound*>(view.Root()->GetAtom(1, nullptr));
    QVERIFY(b != nullptr && SameBar(b->Bar(), BarRect{3000, 300, 5000, 366}));
    QCOMPARE(b->Item().View(), &view);
    QVERIFY(busy.count() >= 2);

    BackgroundTask add;
    add.type = TaskType::kAddSound;
    add.path = wave_;
    add.startTime = 1000;  // overlaps the bar in lane 2 (500 ... 2500)
    add.top = 150;
    view.Tasks().Queue(std::move(add));
    QVERIFY(view.Tasks().WaitUntilIdle(10000));
    QTRY_VERIFY(view.Modified());
    TimelineSound* added = nullptr;
    for (int i = 0; i < view.Root()->NumAtoms(kAtomTypeMembers, 0); ++i) {
      auto* sound = dynamic_cast<TimelineSound*>(view.Root()->GetAtom(i, nullptr));
      if (sound != nullptr && sound->AbsoluteOffset() == 1000) added = sound;
    }
    QVERIFY(added != nullptr);
    QCOMPARE(added->Bar().top, 3 * kLaneSpacing);
    QCOMPARE(added->Bar().right, 3000);
  }

  // The cursor runs on the clock from the play start and stays within one timer step of the
  // mixer playing the session on the null device.
  void cursorFollowsPlayback() {
    TimelineView view;
    view.resize(800, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    AtomRef<TimelineSound> sound(LoadSound<TimelineSound>(wave_));
    QVERIFY(sound->Add(view.Root(), 0));
    CPCMMixer mixer(nullptr);
    QVERIFY(mixer.Play(view.Root(), 0, view.Root()->Length(0)));
    view.PlaybackStarted(0, view.Root()->Length(0));
    QTest::qWait(600);
    QVERIFY(view.Cursor().Position() >= 450);  // the timer has been moving it
    view.StepCursor();
    const long cursor = view.Cursor().Position();
    const long played = mixer.GetMillisecondsPlayedSoFar();
    mixer.Stop();
    view.PlaybackStopped();
    QVERIFY2(std::abs(cursor - played) <= TimelineView::kCursorPeriodMs,
             qPrintable(QString("cursor %1, mixer %2").arg(cursor).arg(played)));
  }

  // With auto-scroll, the cursor reaching the right margin brings the view along; without, it
  // runs off the edge. It stops at the end. A step repaints only the two strips of the line.
  void cursorStepsScrollAndStrips() {
    TimelineView view;
    view.resize(700, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    uint64_t now = 1000;
    view.Cursor().SetClock([&] { return now; });
    const long visible = long(view.Transform().LogicalWidth());

    view.PlaybackStarted(0, 60000);
    view.RedrawNow();
    const QImage& image = view.BackBuffer();
    const QRgb background = image.pixel(300, 10);
    QCOMPARE(image.pixel(0, 10), qRgb(255 - qRed(background), 255 - qGreen(background),
                                       255 - qBlue(background)));
    now += 1000;  // 50 px at 20 ms per pixel
    view.StepCursor();
    bool whole = true;
    const std::vector<QRect> dirty = view.PendingDirty(&whole);
    QVERIFY(!whole);
    const int height = view.Transform().ViewportHeight();
    QCOMPARE(dirty.size(), size_t(2));
    QCOMPARE(dirty[0], QRect(0, 0, 2, height));
    QCOMPARE(dirty[1], QRect(50, 0, 2, height));
    view.RedrawNow();
    QCOMPARE(view.LastPainted().size(), size_t(2));
    QCOMPARE(image.pixel(0, 10), background);
    QVERIFY(image.pixel(50, 10) != background);

    const long margin = 20 * 20;
    now = 1000 + visible - margin - 20;  // one pixel short of the margin: no scroll
    view.StepCursor();
    QCOMPARE(view.Transform().XOrigin(), 0L);
    now += 40;
    view.StepCursor();
    QCOMPARE(view.Transform().XOrigin(), view.Cursor().Position());

    view.SetAutoScroll(false);
    const long origin = view.Transform().XOrigin();
    now += 3 * visible;
    view.StepCursor();
    QCOMPARE(view.Transform().XOrigin(), origin);
    QVERIFY(view.Cursor().Position() > origin + visible);

    now += 100000;
    view.StepCursor();
    QCOMPARE(view.Cursor().Position(), 60000L);
    QVERIFY(!view.Cursor().Running());

    // The 10 ms animation timer runs only while an item plays on its own.
    AtomRef<TimelineSound> sound(LoadSound<TimelineSound>(wave_));
    QVERIFY(sound->Add(view.Root(), 0));
    QVERIFY(!view.AnimationRunning());
    view.RegisterAnimated(&sound->Item());
    QVERIFY(view.AnimationRunning());
    sound->NotifyAtom(kSoundPlayModeOff, 0);  // as the mixer says when it stops
    QTRY_VERIFY(!view.AnimationRunning());
    QVERIFY(!sound->Item().animated);
  }

 private:
  QTemporaryDir dir_;
  std::string wave_;
};

QTEST_MAIN(TimelineSessionTest)
#include "timeline_session_test.moc"
