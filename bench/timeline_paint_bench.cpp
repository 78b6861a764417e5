// Painting the time line: a full repaint of a 1920 x 1080 window showing 200 bars with
// waveforms and volume envelopes, and one step of the play cursor, which repaints only the two
// strips of its line. Run on the offscreen platform.

#include <benchmark/benchmark.h>
#include <quarl/timeline/timeline_atoms.h>
#include <quarl/timeline/timeline_view.h>
#include <sonark/model/atom_ref.h>
#include <sonark/tests/wave_test_support.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kBars = 200;
constexpr int kBarMs = 2800;
constexpr int kLanes = 14;

// 2.8 s of a tone under a swell, so the waveform's columns differ.
std::string WriteTone(const QString& path) {
  std::vector<int16_t> samples(kRate * kBarMs / 1000);
  for (size_t i = 0; i < samples.size(); ++i) {
    const double swell = 0.3 + 0.7 * std::fabs(std::sin(i * 3.0 / samples.size() * M_PI));
    samples[i] = static_cast<int16_t>(20000 * swell * std::sin(i * 2 * M_PI * 220 / kRate));
  }
  const std::string file = path.toStdString();
  return wave_test::WriteMono16(file, samples, kRate) ? file : std::string();
}

// A shown view of 200 bars in 14 lanes, each bar a copy of one sound with its own envelope.
struct Scene {
  QTemporaryDir dir;
  std::unique_ptr<TimelineView> view;

  bool Build() {
    if (!dir.isValid()) return false;
    qputenv("XDG_CACHE_HOME", dir.filePath("cache").toUtf8());
    const std::string path = WriteTone(dir.filePath("tone.wav"));
    RefPtr<CFileObj> file(new CFileObj());
    if (path.empty() || !file->Open(path.c_str(), 0, 0)) return false;
    AtomRef<TimelineSound> tone(new TimelineSound());
    if (!tone->InitialLoad(file.get(), 2000, 1, 1, 1, 1, 20, nullptr, nullptr)) return false;
    tone->SetAtomName("tone");

    view = std::make_unique<TimelineView>();
    view->resize(1920, 1080);
    view->show();
    // Grow the view so that the bar window itself is 1920 x 1080.
    QWidget* bars = view->BarWindow();
    view->resize(1920 + (view->width() - bars->width()), 1080 + (view->height() - bars->height()));
    QApplication::processEvents();
    if (bars->width() != 1920 || bars->height() != 1080) return false;

    MapCombiningPause pause;
    for (int i = 0; i < kBars; ++i) {
      AtomRef<TimelineSound> copy(static_cast<TimelineSound*>(tone->Copy()));
      if (!copy) return false;
      const int lane = i % kLanes;
      const long offset = (i / kLanes) * (kBarMs + 100) + lane * 37;
      CMap* map = copy->GetSrcMap();
      map->SetDefaultMap(kBarMs, kMapAll);
      map->AddSimpleEvent(kMapVolume, 700, 1.6);
      map->AddSimpleEvent(kMapVolume, 1900, 0.4);
      copy->Bar() = BarInLane(offset, kBarMs, lane);
      if (copy->Add(view->Root(), offset) == nullptr) return false;
    }
    view->SessionLoaded();
    view->SetAutoScroll(false);
    view->RedrawNow();  // waveforms built once, as after opening
    return true;
  }
};

Scene& TheScene() {
  static Scene scene;
  static const bool built = scene.Build();
  if (!built) scene.view.reset();
  return scene;
}

void BM_FullRepaint(benchmark::State& state) {
  TimelineView* view = TheScene().view.get();
  if (view == nullptr) {
    state.SkipWithError("the scene could not be built");
    return;
  }
  for (auto _ : state) {
    view->InvalidateAll();
    view->PaintPending();
    benchmark::DoNotOptimize(view->BackBuffer().constBits());
  }
}
BENCHMARK(BM_FullRepaint)->Unit(benchmark::kMillisecond);

void BM_CursorStep(benchmark::State& state) {
  TimelineView* view = TheScene().view.get();
  if (view == nullptr) {
    state.SkipWithError("the scene could not be built");
    return;
  }
  uint64_t now = 0;
  view->Cursor().SetClock([&now] { return now; });
  view->PlaybackStarted(0, 1000000);
  view->PaintPending();
  const uint64_t across = static_cast<uint64_t>(view->Transform().LogicalWidth());
  size_t rects = 0;
  for (auto _ : state) {
    now = (now + 20) % across;  // one pixel a step, back to the start at the right edge
    if (now == 0) view->SeekCursor(0);
    view->StepCursor();
    view->PaintPending();
    rects += view->LastPainted().size();
  }
  view->PlaybackStopped();
  state.counters["rects_per_step"] =
      benchmark::Counter(static_cast<double>(rects) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_CursorStep)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TheScene().view.reset();
  return 0;
}
