#include "platform/log.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kvx {
namespace {

struct LogCase {
    const char* name;
    LogFormat format;
    LogLevel level;
    const char* message;
    bool named;
    const char* line;
};

const LogCase kLogCases[] = {
    {"PlainAsBefore", LogFormat::Plain, LogLevel::Info, "metrics on http://127.0.0.1:9464/metrics", true,
     "KvxDiagnostics: metrics on http://127.0.0.1:9464/metrics\n"},
    {"PlainMessageBox", LogFormat::Plain, LogLevel::Error, "Fatal Error!: no card", false, "Fatal Error!: no card\n"},
    {"LogfmtDebug", LogFormat::Logfmt, LogLevel::Debug, "x", true, "ts=2026-12-11T08:50:01.123Z level=debug msg=\"x\"\n"},
    {"LogfmtWarnEscaped", LogFormat::Logfmt, LogLevel::Warn, "a \"b\" c\\d\ne", true,
     "ts=2026-12-11T08:50:01.123Z level=warn msg=\"a \\\"b\\\" c\\\\d\\ne\"\n"},
    {"JsonInfo", LogFormat::Json, LogLevel::Info, "read again", true,
     "{\"ts\":\"2026-12-11T08:50:01.123Z\",\"level\":\"info\",\"msg\":\"read again\"}\n"},
    {"JsonErrorEscaped", LogFormat::Json, LogLevel::Error, "\"q\"\n\t\x01", false,
     "{\"ts\":\"2026-12-11T08:50:01.123Z\",\"level\":\"error\",\"msg\":\"\\\"q\\\"\\n\\t\\u0001\"}\n"},
    {"JsonNoUtf8", LogFormat::Json, LogLevel::Warn, "caf\xe9", true,
     "{\"ts\":\"2026-12-11T08:50:01.123Z\",\"level\":\"warn\",\"msg\":\"caf\xef\xbf\xbd\"}\n"},
};

class LogLines : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogLines, WrittenAsTheFormatSays) {
    const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796979001123));
    const LogCase& c = GetParam();
    EXPECT_EQ(logLine(c.format, c.level, c.message, c.named, time), c.line);
}

INSTANTIATE_TEST_SUITE_P(Formats, LogLines, ::testing::ValuesIn(kLogCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LogLevels, BelowTheLevelSetNothingIsWritten) {
    setLogOptions(LogLevel::Warn, LogFormat::Plain);
    std::ostringstream out;
    for (LogLevel level : {LogLevel::Debug, LogLevel::Info, LogLevel::Warn, LogLevel::Error})
        Log(level, out) << static_cast<int>(level) << " of 3";
    setLogOptions(LogLevel::Info, LogFormat::Plain);
    EXPECT_EQ(out.str(), "KvxDiagnostics: 2 of 3\nKvxDiagnostics: 3 of 3\n");
}

}  // namespace
}  // namespace kvx
