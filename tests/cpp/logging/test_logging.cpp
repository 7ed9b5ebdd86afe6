#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>

#include <spdlog/spdlog.h>

#include "logging/capture.hpp"
#include "logging/logging.hpp"

namespace lfe {
namespace {

using testing::captured_stdout;

class Logging : public ::testing::Test {
protected:
    void TearDown() override { set_logging_config("info"); }
};

TEST_F(Logging, LevelNamesSetTheLevel) {
    const std::pair<const char*, spdlog::level::level_enum> names[] = {
        {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},   {"info", spdlog::level::info},
        {"warning", spdlog::level::warn}, {"error", spdlog::level::err}, {"critical", spdlog::level::critical},
        {"off", spdlog::level::off}};
    for (const auto& [name, level] : names) {
        set_logging_config(name);
        EXPECT_EQ(spdlog::get_level(), level) << name;
        EXPECT_EQ(spdlog::default_logger_raw()->level(), level) << name;
    }
}

TEST_F(Logging, UnknownNamesAreRefusedButInstallThePattern) {
    set_logging_config("error");
    spdlog::set_pattern("%v");
    for (const std::string name : {"warn", "err", "Info", ""}) {
        try {
            set_logging_config(name);
            ADD_FAILURE() << name;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Unknown severity string " + name + ".");
        }
        EXPECT_EQ(spdlog::get_level(), spdlog::level::err);
    }
    const auto out = captured_stdout([] { spdlog::error("after"); });
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d error after\n)"))) << out;
}

TEST_F(Logging, RecordsShowDateTimeLevelAndMessage) {
    set_logging_config("warning");
    const auto out = captured_stdout([] {
        spdlog::debug("hidden");
        spdlog::warn("careful");
        spdlog::error("broken {}", 3);
    });
    const std::regex expected(
        R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d warning careful\n)"
        R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d error broken 3\n)");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;
}

TEST_F(Logging, ErrorHandlerLogsOneRecordAndReturns) {
    set_logging_config("error");
    const auto with_message = captured_stdout([] { cppad_error_handler(true, 42, "tape.hpp", "n > 0", "No variables"); });
    const std::regex six_lines(
        R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d error Error from a known source:\n)"
        "No variables\nError detected by false result for\n    n > 0\nat line 42 in the file \n    tape.hpp\n\n");
    EXPECT_TRUE(std::regex_match(with_message, six_lines)) << with_message;

    const auto without = captured_stdout([] { cppad_error_handler(false, 7, "f.hpp", "ok", ""); });
    const std::regex five_lines(
        R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d error Error from unknown source\n)"
        "Error detected by false result for\n    ok\nat line 7 in the file \n    f.hpp\n\n");
    EXPECT_TRUE(std::regex_match(without, five_lines)) << without;

    set_logging_config("off");
    EXPECT_EQ(captured_stdout([] { cppad_error_handler(true, 1, "f", "e", "m"); }), "");
}

int outer_calls = 0;
void outer_handler(bool, int, const char*, const char*, const char*) { ++outer_calls; }

TEST_F(Logging, ScopeInstallsTheHandlerAndGivesTheOuterOneBack) {
    set_logging_config("error");
    CppAD::ErrorHandler outer(outer_handler);
    outer_calls = 0;
    try {
        const CppadErrorScope scope;
        const auto out = captured_stdout([] { CppAD::ErrorHandler::Call(true, 1, "f", "e", "inside"); });
        EXPECT_NE(out.find("inside"), std::string::npos);
        throw std::runtime_error("leaving");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(outer_calls, 0);
    CppAD::ErrorHandler::Call(true, 1, "f", "e", "outside");
    EXPECT_EQ(outer_calls, 1);
}

}  // namespace
}  // namespace lfe
