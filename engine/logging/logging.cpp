#include "logging.hpp"

#include <array>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <spdlog/spdlog.h>

namespace lfe {

namespace {

constexpr std::array<std::pair<std::string_view, spdlog::level::level_enum>, 7> severity_levels{{
    {"trace", spdlog::level::trace},
    {"debug", spdlog::level::debug},
    {"info", spdlog::level::info},
    {"warning", spdlog::level::warn},
    {"error", spdlog::level::err},
    {"critical", spdlog::level::critical},
    {"off", spdlog::level::off},
}};

}  // namespace

void set_logging_config(const std::string& severity) {
    spdlog::set_pattern("%x %X %l %v");
    for (const auto& [name, level] : severity_levels) {
        if (name == severity) {
            spdlog::set_level(level);
            return;
        }
    }
    throw std::runtime_error("Unknown severity string " + severity + ".");
}

void cppad_error_handler(bool known, int line, const char* file, const char* exp, const char* msg) {
    std::string text = known ? "Error from a known source:\n" : "Error from unknown source\n";
    if (msg[0] != '\0') text.append(msg).append("\n");
    text.append("Error detected by false result for\n    ").append(exp).append("\n");
    text.append("at line ").append(std::to_string(line)).append(" in the file \n    ");
    text.append(file).append("\n");
    spdlog::default_logger_raw()->log(spdlog::level::err, std::string_view(text));
}

}  // namespace lfe
