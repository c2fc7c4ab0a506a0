#include "platform/log.h"

#include <time.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

namespace kvx {

namespace {

LogLevel least_ = LogLevel::Info;
LogFormat format_ = LogFormat::Plain;

constexpr const char* kLevelNames[] = {"debug", "info", "warn", "error"};

const char* levelName(LogLevel level) { return kLevelNames[static_cast<int>(level)]; }

// A quoted string as JSON writes it, which is also logfmt's quoting. Bytes
// that are no UTF-8 (a path, a controller's text) become U+FFFD instead of
// breaking the line.
std::string quoted(std::string_view text) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// RFC 3339 in UTC with milliseconds: 2026-12-11T08:50:01.123Z.
std::string timestamp(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000 - (ms % 1000 < 0));
    tm utc{};
    gmtime_r(&seconds, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>((ms % 1000 + 1000) % 1000));
    return std::string(date) + millis;
}

}  // namespace

std::optional<LogLevel> parseLogLevel(std::string_view name) {
    for (int i = 0; i < 4; ++i)
        if (name == kLevelNames[i]) return static_cast<LogLevel>(i);
    return std::nullopt;
}

std::optional<LogFormat> parseLogFormat(std::string_view name) {
    if (name == "logfmt") return LogFormat::Logfmt;
    if (name == "json") return LogFormat::Json;
    return std::nullopt;
}

void setLogOptions(LogLevel least, LogFormat format) {
    least_ = least;
    format_ = format;
}

LogLevel logLevel() { return least_; }
LogFormat logFormat() { return format_; }

std::string logLine(LogFormat format, LogLevel level, std::string_view message, bool named,
                    std::chrono::system_clock::time_point time) {
    switch (format) {
    case LogFormat::Plain: return (named ? "KvxDiagnostics: " : "") + std::string(message) + '\n';
    case LogFormat::Logfmt:
        return "ts=" + timestamp(time) + " level=" + levelName(level) + " msg=" + quoted(message) + '\n';
    case LogFormat::Json:
        return "{\"ts\":\"" + timestamp(time) + "\",\"level\":\"" + levelName(level) + "\",\"msg\":" + quoted(message) +
               "}\n";
    }
    return {};
}

std::string logLine(LogLevel level, std::string_view message, bool named) {
    if (level < least_) return {};
    // A message built with a closing newline is still one line.
    if (message.ends_with('\n')) message.remove_suffix(1);
    return logLine(format_, level, message, named, std::chrono::system_clock::now());
}

void log(std::ostream& out, LogLevel level, std::string_view message, bool named) {
    const std::string line = logLine(level, message, named);
    if (line.empty()) return;
    out << line;
    out.flush();
}

void log(LogLevel level, std::string_view message) { log(std::cerr, level, message); }

Log::Log(LogLevel level, std::ostream& out) : level_(level), out_(out) {}
Log::Log(LogLevel level) : Log(level, std::cerr) {}
Log::~Log() { log(out_, level_, text_.str()); }

}  // namespace kvx
