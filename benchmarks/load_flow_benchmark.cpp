// Builds feeders of growing size and times each phase of a load flow on them.
// Every size runs in a child process of its own, so that its peak memory is
// its own.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
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

// Time of one residual evaluation and one sparse Jacobian, as an iteration
// makes them, for each number of columns per forward pass. Interleaving
// matters: the AD library resizes its work space whenever the number of
// directions changes.
std::vector<std::pair<std::size_t, double>> measure_group_sizes(int buses) {
    Feeder feeder = make_feeder(buses);
    ElectricalNetwork network(feeder.element_list());
    Newton solver(&network, true);
    solver.compute_jacobian();
    std::vector<std::pair<std::size_t, double>> times;
    for (const std::size_t group : {1u, 2u, 4u, 8u, 12u, 16u, 24u, 32u}) {
        auto subset = solver.jacobian_subset;
        CppAD::sparse_jac_work work;
        const auto iterate = [&] {
            solver.get_residuals();
            solver.tape.sparse_jac_for(group, solver.x, subset, solver.jacobian_pattern, "cppad", work);
        };
        iterate();  // colours the columns once
        constexpr int repeats = 10;
        times.emplace_back(group, time_ms([&] {
                               for (int r = 0; r < repeats; ++r) iterate();
                           }) / repeats);
    }
    return times;
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

// Cost growth per phase between consecutive sizes; per iteration or sweep
// where the counts may differ.
void print_ratios(const std::vector<Measurement>& rows) {
    std::printf("\n| sizes | build | record | record+optimise | first solve / it | warm / it | iteration "
                "| sweep / sweep | peak memory |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto& a = rows[k - 1];
        const auto& b = rows[k];
        const auto per = [](double ms, int count) { return ms / std::max(count, 1); };
        std::printf("| %d → %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", a.buses, b.buses,
                    b.build_ms / a.build_ms, b.record_ms / a.record_ms, b.record_optimised_ms / a.record_optimised_ms,
                    per(b.first_solve_ms, b.first_iterations) / per(a.first_solve_ms, a.first_iterations),
                    per(b.warm_solve_ms, b.warm_iterations) / per(a.warm_solve_ms, a.warm_iterations),
                    b.iteration_ms / a.iteration_ms, per(b.sweep_ms, b.sweeps) / per(a.sweep_ms, a.sweeps),
                    b.peak_mib / a.peak_mib);
    }
}

void print_group_sizes(int buses, const std::vector<std::pair<std::size_t, double>>& times) {
    std::printf("\nResiduals and sparse Jacobian of the %d-bus feeder by columns per forward pass:\n\n", buses);
    std::printf("| group size | ms |\n|---:|---:|\n");
    for (const auto& [group, ms] : times) std::printf("| %zu | %.3f |\n", group, ms);
}

}  // namespace
}  // namespace lfe::bench

int main(int argc, char** argv) {
    using namespace lfe::bench;
    std::vector<int> sizes;
    for (int k = 1; k < argc; ++k) sizes.push_back(std::stoi(argv[k]));
    if (sizes.empty()) sizes = {100, 1000, 10000};

    std::vector<Measurement> rows;
    for (const int buses : sizes) rows.push_back(in_child<Measurement>([buses] { return measure(buses); }));
    print_measurements(rows);
    print_ratios(rows);

    constexpr std::size_t group_count = 8;
    using GroupTimes = std::array<std::pair<std::size_t, double>, group_count>;
    const auto groups = in_child<GroupTimes>([&] {
        GroupTimes times{};
        const auto measured = measure_group_sizes(sizes.back());
        std::copy_n(measured.begin(), std::min(measured.size(), group_count), times.begin());
        return times;
    });
    print_group_sizes(sizes.back(), {groups.begin(), groups.end()});
    return 0;
}
