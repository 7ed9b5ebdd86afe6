// Builds feeders of growing size and times each phase of a load flow on them.
// Every size runs in a child process of its own, so that its peak memory is
// its own.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "feeder.hpp"
#include "network/electrical_network.hpp"
#include "solvers/backward_forward.hpp"
#include "solvers/newton.hpp"

namespace lfe::bench {
namespace {

constexpr double tolerance = 1e-7;
constexpr int max_iterations = 50;
constexpr int timed_iterations = 5;
// Runs of each size: short ones are repeated more, so that their fastest run
// is as steady as that of the long ones.
int runs_of(int buses) { return std::clamp(10000 / std::max(buses, 1), 3, 10); }

// The benchmark feeder is a single chain; the hub feeder has this many
// feeders leaving its source bus.
constexpr int hub_branches = 25;

struct Measurement {
    int buses = 0;
    int branches = 0;
    long variables = 0;
    double build_ms = 0.0;
    double record_ms = 0.0;
    double record_optimised_ms = 0.0;
    std::size_t operators = 0;
    std::size_t operators_optimised = 0;
    double first_solve_ms = 0.0;
    int first_iterations = 0;
    double warm_solve_ms = 0.0;
    int warm_iterations = 0;
    double iteration_ms = 0.0;
    double lu_ms = 0.0;
    std::size_t colours = 0;
    double sweep_ms = 0.0;
    int sweeps = 0;
    double peak_mib = 0.0;
};

template <class F>
double time_ms(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double peak_resident_mib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    double kib = 0.0;
    while (status >> key)
        if (key == "VmHWM:") status >> kib;
    return kib / 1024.0;
}

// The part of an iteration that the sparse LU takes, with its ordering and
// settings as they are: factorising the last Jacobian and solving with it.
double time_lu(Newton& solver) {
    const auto J = solver.compute_jacobian();
    const Eigen::VectorXd F = solver.get_residuals();
    Eigen::VectorXd dx;
    return time_ms([&] {
        solver.lu.factorize(J);
        dx = solver.lu.solve(F);
    });
}

Measurement measure(int buses, int branches) {
    Measurement m;
    m.buses = buses;
    m.branches = branches;
    Feeder feeder;
    std::unique_ptr<ElectricalNetwork> network;
    m.build_ms = time_ms([&] {
        feeder = make_feeder(buses, branches);
        network = std::make_unique<ElectricalNetwork>(feeder.element_list());
    });
    {
        std::unique_ptr<Newton> plain;
        m.record_ms = time_ms([&] { plain = std::make_unique<Newton>(network.get(), false); });
        m.operators = plain->tape.size_op();
    }
    std::unique_ptr<Newton> solver;
    m.record_optimised_ms = time_ms([&] { solver = std::make_unique<Newton>(network.get(), true); });
    m.operators_optimised = solver->tape.size_op();
    m.variables = solver->x.size();

    m.first_solve_ms = time_ms([&] { m.first_iterations = solver->solve_load_flow(max_iterations, tolerance).first; });
    feeder.scale_powers(1.1);
    m.warm_solve_ms = time_ms([&] { m.warm_iterations = solver->solve_load_flow(max_iterations, tolerance).first; });
    // A negative tolerance makes every iteration run.
    m.iteration_ms = time_ms([&] { solver->solve_load_flow(timed_iterations, -1.0); }) / timed_iterations;
    m.lu_ms = time_lu(*solver);
    m.colours = solver->jacobian_work.colouring.colours;
    solver.reset();

    BackwardForward sweep(network.get());
    m.sweep_ms = time_ms([&] { m.sweeps = sweep.solve_load_flow(1000, tolerance).first; });
    m.peak_mib = peak_resident_mib();
    return m;
}

// Keeps the fastest time of each phase over several runs of one size.
void keep_fastest(Measurement& best, const Measurement& run) {
    for (auto field : {&Measurement::build_ms, &Measurement::record_ms, &Measurement::record_optimised_ms,
                       &Measurement::first_solve_ms, &Measurement::warm_solve_ms, &Measurement::iteration_ms,
                       &Measurement::lu_ms, &Measurement::sweep_ms})
        best.*field = std::min(best.*field, run.*field);
}

// Runs `work` in a child and returns what it wrote, so that every size
// starts from a fresh heap and reports its own peak memory.
template <class T, class F>
T in_child(F&& work) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const T result = work();
        const bool written = write(fds[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    T result{};
    const bool complete = read(fds[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!complete || status != 0) throw std::runtime_error("benchmark child failed");
    return result;
}

const char* feeder_name(const Measurement& m) { return m.branches == 1 ? "chain" : "hub"; }

void print_measurements(const std::vector<Measurement>& rows) {
    std::printf("| feeder | buses | unknowns | build ms | record ms | record+optimise ms | tape ops | optimised ops "
                "| first solve ms (it) | warm re-solve ms (it) | ms / iteration | LU ms | colours | sweep ms (sweeps) "
                "| peak MiB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const auto& m : rows)
        std::printf("| %s | %d | %ld | %.2f | %.2f | %.2f | %zu | %zu | %.2f (%d) | %.2f (%d) | %.3f | %.3f | %zu "
                    "| %.2f (%d) | %.1f |\n",
                    feeder_name(m), m.buses, m.variables, m.build_ms, m.record_ms, m.record_optimised_ms, m.operators,
                    m.operators_optimised, m.first_solve_ms, m.first_iterations, m.warm_solve_ms, m.warm_iterations,
                    m.iteration_ms, m.lu_ms, m.colours, m.sweep_ms, m.sweeps, m.peak_mib);
}

// What the first solve spends once per solver: the Jacobian pattern, the
// colouring and the LU ordering.
double setup_ms(const Measurement& m) { return m.first_solve_ms - m.first_iterations * m.iteration_ms; }

// Cost growth per phase between consecutive sizes of one feeder; per
// iteration or sweep where the counts may differ. The first solve counts
// from the recording of the optimised tape.
void print_ratios(const std::vector<Measurement>& rows) {
    std::printf("\n| feeder | sizes | build | record+optimise | first-solve setup | record + first solve "
                "| warm / it | iteration | LU | sweep / sweep | peak memory |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto& a = rows[k - 1];
        const auto& b = rows[k];
        if (a.branches != b.branches) continue;
        const auto per = [](double ms, int count) { return ms / std::max(count, 1); };
        const auto first = [](const Measurement& m) { return m.record_optimised_ms + m.first_solve_ms; };
        std::printf("| %s | %d → %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", feeder_name(a),
                    a.buses, b.buses, b.build_ms / a.build_ms, b.record_optimised_ms / a.record_optimised_ms,
                    setup_ms(b) / setup_ms(a), first(b) / first(a),
                    per(b.warm_solve_ms, b.warm_iterations) / per(a.warm_solve_ms, a.warm_iterations),
                    b.iteration_ms / a.iteration_ms, b.lu_ms / a.lu_ms, per(b.sweep_ms, b.sweeps) / per(a.sweep_ms, a.sweeps),
                    b.peak_mib / a.peak_mib);
    }
}

}  // namespace
}  // namespace lfe::bench

int main(int argc, char** argv) {
    using namespace lfe::bench;
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::stoi(argv[k]));
    if (sizes.empty()) sizes = {100, 1000, 10000, 30000};

    std::vector<Measurement> rows;
    for (const int branches : {1, hub_branches})
        for (const int buses : sizes) {
            const auto run = [buses, branches] {
                return in_child<Measurement>([buses, branches] { return measure(buses, branches); });
            };
            Measurement best = run();
            for (int r = 1; r < runs_of(buses); ++r) keep_fastest(best, run());
            rows.push_back(best);
        }
    print_measurements(rows);
    print_ratios(rows);
    return 0;
}
