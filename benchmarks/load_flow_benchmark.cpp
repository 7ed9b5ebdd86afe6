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

constexpr double tolerance = 1e-8;
constexpr int max_iterations = 50;
constexpr int timed_iterations = 5;
constexpr int runs_per_size = 3;

struct Measurement {
    int buses = 0;
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

Measurement measure(int buses) {
    Measurement m;
    m.buses = buses;
    Feeder feeder;
    std::unique_ptr<ElectricalNetwork> network;
    m.build_ms = time_ms([&] {
        feeder = make_feeder(buses);
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
    solver.reset();

    BackwardForward sweep(network.get());
    m.sweep_ms = time_ms([&] { m.sweeps = sweep.solve_load_flow(1000, tolerance).first; });
    m.peak_mib = peak_resident_mib();
    return m;
}

constexpr std::array<std::size_t, 8> group_sizes{1, 2, 4, 8, 12, 16, 24, 32};
using GroupTimes = std::array<double, group_sizes.size()>;

// Time of one residual evaluation and one sparse Jacobian, as an iteration
// makes them, for each number of columns per forward pass. Interleaving
// matters: the AD library resizes its work space whenever the number of
// directions changes.
GroupTimes measure_group_sizes(int buses) {
    Feeder feeder = make_feeder(buses);
    ElectricalNetwork network(feeder.element_list());
    Newton solver(&network, true);
    solver.compute_jacobian();
    GroupTimes times{};
    for (std::size_t k = 0; k < group_sizes.size(); ++k) {
        auto subset = solver.jacobian_subset;
        CppAD::sparse_jac_work work;
        const auto iterate = [&] {
            solver.get_residuals();
            solver.tape.sparse_jac_for(group_sizes[k], solver.x, subset, solver.jacobian_pattern, "cppad", work);
        };
        iterate();  // colours the columns once
        constexpr int repeats = 10;
        times[k] = time_ms([&] {
                       for (int r = 0; r < repeats; ++r) iterate();
                   }) / repeats;
    }
    return times;
}

// Keeps the fastest time of each phase over several runs of one size.
void keep_fastest(Measurement& best, const Measurement& run) {
    for (auto field : {&Measurement::build_ms, &Measurement::record_ms, &Measurement::record_optimised_ms,
                       &Measurement::first_solve_ms, &Measurement::warm_solve_ms, &Measurement::iteration_ms,
                       &Measurement::sweep_ms})
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

void print_measurements(const std::vector<Measurement>& rows) {
    std::printf("| buses | unknowns | build ms | record ms | record+optimise ms | tape ops | optimised ops "
                "| first solve ms (it) | warm re-solve ms (it) | ms / iteration | sweep ms (sweeps) | peak MiB |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const auto& m : rows)
        std::printf("| %d | %ld | %.2f | %.2f | %.2f | %zu | %zu | %.2f (%d) | %.2f (%d) | %.3f | %.2f (%d) | %.1f |\n",
                    m.buses, m.variables, m.build_ms, m.record_ms, m.record_optimised_ms, m.operators,
                    m.operators_optimised, m.first_solve_ms, m.first_iterations, m.warm_solve_ms, m.warm_iterations,
                    m.iteration_ms, m.sweep_ms, m.sweeps, m.peak_mib);
}

// What the first solve spends once per solver: the Jacobian pattern, the
// colouring and the LU ordering.
double setup_ms(const Measurement& m) { return m.first_solve_ms - m.first_iterations * m.iteration_ms; }

// Cost growth per phase between consecutive sizes; per iteration or sweep
// where the counts may differ.
void print_ratios(const std::vector<Measurement>& rows) {
    std::printf("\n| sizes | build | record | record+optimise | first-solve setup | warm / it | iteration "
                "| sweep / sweep | peak memory |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto& a = rows[k - 1];
        const auto& b = rows[k];
        const auto per = [](double ms, int count) { return ms / std::max(count, 1); };
        std::printf("| %d → %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", a.buses, b.buses,
                    b.build_ms / a.build_ms, b.record_ms / a.record_ms, b.record_optimised_ms / a.record_optimised_ms,
                    setup_ms(b) / setup_ms(a),
                    per(b.warm_solve_ms, b.warm_iterations) / per(a.warm_solve_ms, a.warm_iterations),
                    b.iteration_ms / a.iteration_ms, per(b.sweep_ms, b.sweeps) / per(a.sweep_ms, a.sweeps),
                    b.peak_mib / a.peak_mib);
    }
}

void print_group_sizes(int buses, const GroupTimes& times) {
    std::printf("\nResiduals and sparse Jacobian of the %d-bus feeder by columns per forward pass:\n\n", buses);
    std::printf("| group size | ms |\n|---:|---:|\n");
    for (std::size_t k = 0; k < group_sizes.size(); ++k) std::printf("| %zu | %.3f |\n", group_sizes[k], times[k]);
}

}  // namespace
}  // namespace lfe::bench

int main(int argc, char** argv) {
    using namespace lfe::bench;
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::stoi(argv[k]));
    if (sizes.empty()) sizes = {100, 1000, 10000};

    std::vector<Measurement> rows;
    for (const int buses : sizes) {
        const auto run = [buses] { return in_child<Measurement>([buses] { return measure(buses); }); };
        Measurement best = run();
        for (int r = 1; r < runs_per_size; ++r) keep_fastest(best, run());
        rows.push_back(best);
    }
    print_measurements(rows);
    print_ratios(rows);

    const int largest = sizes.back();
    print_group_sizes(largest, in_child<GroupTimes>([largest] { return measure_group_sizes(largest); }));
    return 0;
}
