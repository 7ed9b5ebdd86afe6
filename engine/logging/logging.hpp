#pragma once

#include <string>

#include <cppad/utility/error_handler.hpp>

namespace lfe {

// Sets the record pattern "%x %X %l %v" and the level of every logger.
// Throws std::runtime_error for a name outside trace, debug, info, warning,
// error, critical and off; the pattern is installed even then.
void set_logging_config(const std::string& severity);

// Reports a failed check of the AD library as one error record and returns,
// so that a failed check does not end the process.
void cppad_error_handler(bool known, int line, const char* file, const char* exp, const char* msg);

// Makes cppad_error_handler the AD library's handler for its lifetime; the
// previous handler is back on every exit, exceptional ones included.
class CppadErrorScope {
public:
    CppadErrorScope() : handler_(cppad_error_handler) {}
    CppadErrorScope(const CppadErrorScope&) = delete;
    CppadErrorScope& operator=(const CppadErrorScope&) = delete;

private:
    CppAD::ErrorHandler handler_;
};

}  // namespace lfe
