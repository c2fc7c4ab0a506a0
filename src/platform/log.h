// Messages on standard error, as an exporter writes them: a level each
// (--log.level drops those below it) and one of three forms (--log.format).
// The plain form is the program's own ("KvxDiagnostics: text"), which
// scripts and units read; logfmt and json carry a UTC time and the level.
// Every message is written as one whole line, so the headless run's queue
// (app/console_output.h) takes it as it is.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace kvx {

enum class LogLevel { Debug, Info, Warn, Error };
enum class LogFormat { Plain, Logfmt, Json };

// By the names the options take ("debug", "info", "warn", "error";
// "logfmt", "json"); nothing for any other.
std::optional<LogLevel> parseLogLevel(std::string_view name);
std::optional<LogFormat> parseLogFormat(std::string_view name);

// Set once at start, before any thread; info and plain until then.
void setLogOptions(LogLevel least, LogFormat format);
// The options set, for handing on to a plugin.
LogLevel logLevel();
LogFormat logFormat();

// The line for `message`, newline included. `named`: the plain form puts
// the program's name before it (the program's own output, a message box
// without a window, is not named).
std::string logLine(LogFormat format, LogLevel level, std::string_view message, bool named,
                    std::chrono::system_clock::time_point time);

// The line log() writes for `message` under the options set; empty when
// its level is below the one set. For a writer of its own (app/console_output.h).
std::string logLine(LogLevel level, std::string_view message, bool named = true);

// Writes `message` to `out` (standard error unless a test names another)
// when its level is not below the one set.
void log(LogLevel level, std::string_view message);
void log(std::ostream& out, LogLevel level, std::string_view message, bool named = true);

// Collects a message with << and writes it when it goes out of scope.
class Log {
public:
    explicit Log(LogLevel level, std::ostream& out);
    explicit Log(LogLevel level);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    template <class T>
    Log& operator<<(const T& part) {
        text_ << part;
        return *this;
    }

private:
    LogLevel level_;
    std::ostream& out_;
    std::ostringstream text_;
};

}  // namespace kvx

// Each plugin carries its own copy of this file; the program hands its
// options to every plugin it loads (platform/plugin.h) through this entry,
// which each plugin defines once in its own source.
#define KVX_PLUGIN_TAKES_LOG_OPTIONS                                                                      \
    extern "C" __attribute__((visibility("default"))) void kvxdiag_log_options(int least, int format) { \
        kvx::setLogOptions(static_cast<kvx::LogLevel>(least), static_cast<kvx::LogFormat>(format));    \
    }
