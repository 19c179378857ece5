// How soon the window is on the screen: the time from starting a process to
// the first paint of its window, for the window (started as trevik starts
// it, with the emulated unit to attach) and for a bare QWidget program, in
// the same run, interleaved.
//
//   StartToFirstPaint  manual time: the window's start to its first paint.
//                      Counters, medians of the 20 starts: bare_ms (the
//                      bare program's), window_ms, ratio (window / bare,
//                      goal at most 1.5) and attached_ms (start until the
//                      title shows the unit).
//
// Each process is this program started again with --child=bare or
// --child=window; it writes the monotonic clock at each moment on its
// standard output and ends. Both run offscreen, and again on the X display
// of DISPLAY when there is one (xvfb-run -a build/bench/bench_start).
#include <benchmark/benchmark.h>

#include "app/TrevikApp.h"
#include "app/TrevikDlg.h"
#include "app/translations.h"
#include "app/window_preload.h"
#include "common_t73/QV_Hid.h"
#include "tools/unitsim/UnitSim.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void say(const char* what) {
    // Marked apart from the log lines the window writes to the same output.
    std::printf("@%s %lld\n", what, static_cast<long long>(now_ns()));
    std::fflush(stdout);
}

// Notes the end of the first paint of a widget that passes the test, and
// ends the process then when asked to.
class FirstPaint : public QObject {
  public:
    FirstPaint(bool (*match)(QObject*), bool end) : match_(match), end_(end) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!painted_ && event->type() == QEvent::Paint && match_(watched)) {
            painted_ = true;
            // Queued behind the rest of this paint.
            QTimer::singleShot(0, [end = end_] {
                say("painted");
                if (end)
                    std::_Exit(0);
            });
        }
        return false;
    }

  private:
    bool (*match_)(QObject*);
    bool end_;
    bool painted_ = false;
};

int bare_child(int argc, char** argv) {
    QApplication app(argc, argv);
    FirstPaint watch([](QObject* o) { return o->isWidgetType() && !o->parent(); }, true);
    app.installEventFilter(&watch);
    QWidget w;
    w.resize(423, 406);
    w.show();
    return app.exec();
}

// The window as trevik's main() starts it, its unit the emulated one.
int window_child(int argc, char** argv, const std::string& lockDir) {
    window_preload_fonts();
    // The unit is made when the window first looks for it, as a real unit
    // is there already, outside the program.
    std::unique_ptr<UnitSim> sim;
    std::mutex simMade;
    QV_Hid_selectEmulated([&sim, &simMade] {
        std::lock_guard<std::mutex> hold(simMade);
        if (!sim) {
            sim = std::make_unique<UnitSim>();
            UnitMainSetting ms;
            ms.flashSize = sim->flashSize();
            ms.placeRegions(false, 0x1000, 0x4000, 0x1000, 0x8000, 0, 0);
            sim->setMainSetting(false, ms);
            sim->setParamRecord(false, 1);
            sim->setClientId(false, "TREVIK-DEMO ");
            sim->setGpsHeader(ms.gpsAddress, 1552867200); // 2019-03-18
        }
        return sim->transport();
    });

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(CTrevikApp::APP_NAME));
    install_qt_translations(&app);
    FirstPaint watch([](QObject* o) { return o->inherits("CTrevikDlg"); }, false);
    app.installEventFilter(&watch);
    // The start is over once the title names the unit.
    QTimer attached;
    QObject::connect(&attached, &QTimer::timeout, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("CTrevikDlg") && w->windowTitle().contains("GPS Connected")) {
                say("attached");
                std::_Exit(0);
            }
    });
    attached.start(1);
    CTrevikApp trevik(QString::fromStdString(lockDir));
    return trevik.InitInstance();
}

struct ChildTimes {
    double painted_ms = -1;
    double attached_ms = -1;
};

// Starts this program with --child=kind and reads its moments.
ChildTimes run_child(const char* kind, const std::string& lockDir, const char* platform) {
    ChildTimes t;
    int out[2];
    if (pipe(out) != 0)
        return t;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string mode = std::string("--child=") + kind;
    std::string lock = "--lock-dir=" + lockDir;
    std::string qpa = std::string("--platform=") + platform;
    char* args[] = {const_cast<char*>("/proc/self/exe"), mode.data(), lock.data(), qpa.data(),
                    nullptr};
    int64_t start = now_ns();
    pid_t pid = 0;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return t;
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    size_t line = 0;
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos)
            end = text.size();
        char what[32];
        long long at;
        if (text[line] == '@' &&
            std::sscanf(text.c_str() + line + 1, "%31s %lld", what, &at) == 2) {
            double ms = double(at - start) / 1e6;
            if (!std::strcmp(what, "painted"))
                t.painted_ms = ms;
            else if (!std::strcmp(what, "attached"))
                t.attached_ms = ms;
        }
        line = end + 1;
    }
    return t;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// platform: "offscreen", or "xcb" for the X display of DISPLAY (skipped
// without one).
void StartToFirstPaint(benchmark::State& state, const char* platform) {
    if (!std::strcmp(platform, "xcb") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("no X display (DISPLAY is not set)");
        return;
    }
    char tmpl[] = "/tmp/trevik-bench-start-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) {
        state.SkipWithError("no temporary folder");
        return;
    }
    std::vector<double> bare, window, attached;
    for (auto _ : state) {
        ChildTimes b = run_child("bare", dir, platform);
        ChildTimes w = run_child("window", dir, platform);
        if (b.painted_ms < 0 || w.painted_ms < 0 || w.attached_ms < 0) {
            state.SkipWithError("a child did not report its paint or its unit");
            break;
        }
        state.SetIterationTime(w.painted_ms / 1000.0);
        bare.push_back(b.painted_ms);
        window.push_back(w.painted_ms);
        attached.push_back(w.attached_ms);
    }
    rmdir(dir);
    if (bare.empty())
        return;
    // Medians: a start that the machine delayed once says little.
    state.counters["bare_ms"] = median(bare);
    state.counters["window_ms"] = median(window);
    state.counters["ratio"] = median(window) / median(bare);
    state.counters["attached_ms"] = median(attached);
}
BENCHMARK_CAPTURE(StartToFirstPaint, offscreen, "offscreen")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK_CAPTURE(StartToFirstPaint, display, "xcb")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    std::string child, lockDir, platform = "offscreen";
    for (int i = 1; i < argc; ++i) {
        if (!std::strncmp(argv[i], "--child=", 8))
            child = argv[i] + 8;
        else if (!std::strncmp(argv[i], "--lock-dir=", 11))
            lockDir = argv[i] + 11;
        else if (!std::strncmp(argv[i], "--platform=", 11))
            platform = argv[i] + 11;
    }
    if (!child.empty()) {
        qputenv("QT_QPA_PLATFORM", platform.c_str());
        // The unit's version check stays on this machine.
        qputenv("TREVIK_VERSION_SERVER", "127.0.0.1:9");
        int qargc = 1;
        return child == "bare" ? bare_child(qargc, argv) : window_child(qargc, argv, lockDir);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
