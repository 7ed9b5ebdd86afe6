#pragma once

#include <gtest/gtest.h>

#include <string>

#include <spdlog/spdlog.h>

namespace lfe::testing {

// What the body writes to standard output, log records included.
template <class Body>
std::string captured_stdout(Body&& body) {
    ::testing::internal::CaptureStdout();
    body();
    spdlog::default_logger_raw()->flush();
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace lfe::testing
