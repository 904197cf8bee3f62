// The performance suite: Google Benchmark's own table of every run, then one table of the figures that
// matter beside their targets. Run it through scripts/bench.sh (Release build, offscreen).

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <QApplication>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace {

enum class Goal { None, Below, AtLeast };
// Which time a target is held against. The thread's CPU time is the work itself, however busy the machine
// is; wall time is what a user waits for, and what counts where other threads or the disk take part.
enum class Judged { Cpu, Wall };

// One line of the summary: a benchmark's times per iteration (no counter) or one of its counters.
struct Figure {
    const char *benchmark;
    const char *counter;  // nullptr: time per iteration
    const char *title;
    const char *unit;  // for times: "us", "ms" or "s"
    Goal goal = Goal::None;
    double target = 0;
    Judged judged = Judged::Cpu;
};

const std::vector<Figure> kFigures = {
    {"cut", nullptr, "Cut one record out of the stream", "us"},
    {"convert/formula", nullptr, "Convert 4096 codes, formula", "us"},
    {"convert/table", nullptr, "Convert 4096 codes, table", "us"},
    {"convert/table_rebuild", nullptr, "Rebuild the table (on a settings change)", "us"},
    {"render/plain", nullptr, "Render, plain", "us"},
    {"render/calibrated", nullptr, "Render, calibrated", "us"},
    {"render/plain_recording", nullptr, "Render, plain, recording on", "us"},
    {"render/calibrated_recording", nullptr, "Render, calibrated, recording on", "us"},
    {"per_frame_host_work", nullptr, "Per-frame host work (cut, pixel, render, signals)", "us", Goal::Below, 5},
    {"per_frame_signals", nullptr, "  of which the two queued signals", "us"},
    {"calibration/step", nullptr, "Calibration step", "us", Goal::Below, 20, Judged::Wall},
    {"calibration/reduction", nullptr, "Calibration reduction", "ms", Goal::Below, 2, Judged::Wall},
    {"csv/1000_frames_current", nullptr, "1000-frame CSV file, currents", "s", Goal::Below, 0.25, Judged::Wall},
    {"csv/1000_frames_gray", nullptr, "1000-frame CSV file, gray levels", "s", Goal::Below, 0.25, Judged::Wall},
    {"png/one_picture", nullptr, "One PNG picture", "us"},
    {"video/one_frame", nullptr, "One video frame", "us"},
    {"display/upright", nullptr, "Window picture path, upright", "us"},
    {"display/rotated_mirrored", nullptr, "Window picture path, rotated and mirrored", "us"},
    {"simulator/record", nullptr, "Simulated instrument: make and hand over one record", "us"},
    {"stream/unpaced", "fps", "Unpaced end to end: frames per second", "/s", Goal::AtLeast, 5000},
    {"stream/unpaced", "cpu_us_per_frame", "Unpaced end to end: CPU time per frame", "us"},
    {"stream/unpaced", "cpu_share_pct", "Unpaced end to end: process CPU, % of one core", "%"},
    {"stream/unpaced", "latency_p50_us", "Unpaced: last byte to picture signal, median", "us"},
    {"stream/unpaced", "latency_p99_us", "Unpaced: last byte to picture signal, p99", "us"},
    {"stream/unpaced_calibrated", "fps", "Unpaced, calibrated: frames per second", "/s"},
    {"stream/paced_77fps", "fps", "Paced: frames per second", "/s"},
    {"stream/paced_77fps", "cpu_us_per_frame", "Paced: CPU time per frame", "us"},
    {"stream/paced_77fps", "cpu_share_pct", "Paced ~77 fps: process CPU, % of one core", "%", Goal::Below, 2},
    {"stream/paced_77fps", "latency_p50_us", "Paced: last byte to picture signal, median", "us"},
    {"stream/paced_77fps", "latency_p99_us", "Paced: last byte to picture signal, p99", "us", Goal::Below, 1000},
};

double secondsTo(const std::string &unit) {
    if (unit == "us") {
        return 1e6;
    }
    if (unit == "ms") {
        return 1e3;
    }
    return 1.0;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.2f", value);
    return text;
}

// Google Benchmark's console table as usual, then the figures with their targets.
class TargetReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so a saved run reads cleanly.
    TargetReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                m_runs.insert_or_assign(run.run_name.function_name, run);
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::FILE *out = stdout;
        std::fflush(out);
        std::fprintf(out, "\n%-52s %12s %12s   %-20s %s\n", "Figure", "Wall", "CPU", "Target", "");
        std::fprintf(out, "%s\n", std::string(108, '-').c_str());
        for (const Figure &figure : kFigures) {
            const auto found = m_runs.find(figure.benchmark);
            if (found == m_runs.end()) {
                continue;
            }
            const Run &run = found->second;
            std::string wall;
            std::string cpu;
            double value = 0;
            if (figure.counter == nullptr) {
                const double scale = secondsTo(figure.unit) / static_cast<double>(run.iterations);
                const double wallValue = run.real_accumulated_time * scale;
                const double cpuValue = run.cpu_accumulated_time * scale;
                wall = number(wallValue) + " " + figure.unit;
                cpu = number(cpuValue) + " " + figure.unit;
                value = figure.judged == Judged::Cpu ? cpuValue : wallValue;
            } else {
                const auto counter = run.counters.find(figure.counter);
                if (counter == run.counters.end()) {
                    continue;
                }
                value = counter->second.value;
                wall = number(value) + " " + figure.unit;
            }
            std::string target;
            std::string verdict;
            if (figure.goal != Goal::None) {
                const bool met = figure.goal == Goal::Below ? value < figure.target : value >= figure.target;
                if (figure.counter == nullptr) {
                    target = figure.judged == Judged::Cpu ? "CPU " : "wall ";
                }
                target += (figure.goal == Goal::Below ? "< " : ">= ") + number(figure.target) + " " + figure.unit;
                verdict = met ? "met" : "MISSED";
            }
            std::fprintf(out, "%-52s %12s %12s   %-20s %s\n", figure.title, wall.c_str(), cpu.c_str(), target.c_str(),
                         verdict.c_str());
        }
        std::fflush(out);
    }

private:
    std::map<std::string, Run> m_runs;
};

}  // namespace

int main(int argc, char *argv[]) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // The window's picture path needs a GUI application; no screen is needed for it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vantiko.*.debug=false"));
    // The worker loads and stores its settings; keep the user's store out of it.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());

    bench::registerFrameBenchmarks();
    bench::registerFileBenchmarks();
    bench::registerDisplayBenchmarks();
    bench::registerStreamBenchmarks();

    TargetReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
