// One fit of W1 (DecisionTree depth 10) or W2 (GradientBoosting depth 3, 100 stages,
// rate 0.1) on a matrix from bench/span.py, timed or under the step trace. Built only
// with -DVANDU_TRACE_STEPS=ON.
//
//   vandu_span_driver X_FILE Y_FILE SAMPLES FEATURES W1|W2 time
//   vandu_span_driver X_FILE Y_FILE SAMPLES FEATURES W1|W2 trace TEAM
//
// The files hold float64 values, x sample by sample. "time" prints the fit's seconds;
// both modes print the training rows' mean squared error; "trace" runs the fit with its team steps cut for TEAM threads and prints the trace,
// one line per step: "step", the calling thread's seconds before it, its tasks' seconds
// (comma-separated) and its site.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/step_trace.hpp"
#include "ensemble/gradient_boosting.hpp"
#include "tree/decision_tree.hpp"

namespace {

std::vector<double> read_doubles(const char* path, std::size_t count) {
    std::vector<double> v(count);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(double)));
    if (!in || in.gcount() != static_cast<std::streamsize>(count * sizeof(double)))
        throw std::runtime_error(std::string("cannot read ") + std::to_string(count) + " values from " + path);
    return v;
}

std::size_t positive(const char* text) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (!*text || *end || v == 0) throw std::runtime_error(std::string("not a positive count: ") + text);
    return static_cast<std::size_t>(v);
}

struct Fit {
    double seconds = 0.0;
    vandu::step_trace::Trace trace;  // when one was taken
    vandu::Vector predictions;       // of the training rows, outside the clock and the trace
};

template <class Model>
Fit fit_model(Model model, vandu::MatrixView x, vandu::VectorView y, std::size_t trace_team) {
    Fit out;
    if (trace_team) vandu::step_trace::start(trace_team);
    const auto t0 = std::chrono::steady_clock::now();
    model.fit(x, y);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (trace_team) out.trace = vandu::step_trace::stop();
    out.predictions = model.predict(x);
    return out;
}

// trace_team 0: no trace.
Fit fit(const std::string& workload, vandu::MatrixView x, vandu::VectorView y, std::size_t trace_team) {
    if (workload == "W1") return fit_model(vandu::DecisionTreeImpl(vandu::TreeParameters{10, 2}), x, y, trace_team);
    if (workload == "W2")
        return fit_model(vandu::GradientBoostingImpl(vandu::GradientBoostingParameters{{3, 2}, 100, 0.1}), x, y,
                         trace_team);
    throw std::runtime_error("workload is W1 or W2, not " + workload);
}

// The training rows' mean squared error: a traced fit is a fit like any other.
double mse(const vandu::Vector& p, vandu::VectorView y) {
    double sum = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) sum += (p[i] - y[i]) * (p[i] - y[i]);
    return sum / static_cast<double>(y.size());
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 7) throw std::runtime_error("usage: X_FILE Y_FILE SAMPLES FEATURES W1|W2 time|trace TEAM");
        const std::size_t n = positive(argv[3]), f = positive(argv[4]);
        const std::string workload = argv[5], mode = argv[6];
        const std::vector<double> xs = read_doubles(argv[1], n * f), ys = read_doubles(argv[2], n);
        const vandu::MatrixView x{xs.data(), f, n, 1, static_cast<std::ptrdiff_t>(f)};
        const vandu::VectorView y(ys.data(), n);
        if (mode == "time") {
            const Fit done = fit(workload, x, y, 0);
            std::printf("fit %.9g\nmse %.9g\n", done.seconds, mse(done.predictions, y));
        } else if (mode == "trace" && argc == 8) {
            const Fit done = fit(workload, x, y, positive(argv[7]));
            const vandu::step_trace::Trace& trace = done.trace;
            std::printf("team %zu\nmse %.9g\n", trace.team, mse(done.predictions, y));
            for (const auto& step : trace.steps) {
                std::printf("step %.9g ", step.serial_before);
                for (std::size_t i = 0; i < step.tasks.size(); ++i)
                    std::printf(i ? ",%.9g" : "%.9g", step.tasks[i]);
                std::printf(" %s\n", step.site.c_str());
            }
            std::printf("tail %.9g\n", trace.serial_after);
        } else {
            throw std::runtime_error("mode is time, or trace with a team size");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vandu_span_driver: %s\n", e.what());
        return 1;
    }
    return 0;
}
