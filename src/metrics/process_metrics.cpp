#include "metrics/process_metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/safe_file.h"

namespace kvx {

namespace {

class Families {
public:
    explicit Families(const std::string& labels) : labels_(labels.empty() ? "" : "{" + labels + "}") {}
    void add(const char* name, const char* type, const char* help, double value) {
        char number[32];
        const auto end = std::to_chars(number, number + sizeof number, value).ptr;
        out_.append("# HELP ").append(name).append(1, ' ').append(help);
        out_.append("\n# TYPE ").append(name).append(1, ' ').append(type).append(1, '\n');
        out_.append(name).append(labels_).append(1, ' ').append(number, end).append(1, '\n');
    }
    std::string take() { return std::move(out_); }

private:
    std::string labels_;
    std::string out_;
};

// A file of /proc whole, or empty when it cannot be read.
std::string procFile(const char* path, std::size_t most) {
    std::string text, error;
    return platform::readRegularFile(path, most, text, error) ? text : std::string();
}

double number(std::string_view text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

double bootTime() {
    const std::string stat = procFile("/proc/stat", 1 << 20);
    const auto at = stat.find("\nbtime ");
    return at == std::string::npos ? 0.0 : number(std::string_view(stat).substr(at + 7));
}

}  // namespace

std::string processMetricsText(const std::string& labels) {
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    static const long pageSize = ::sysconf(_SC_PAGESIZE);
    static const double booted = bootTime();
    Families f(labels);

    const std::string stat = procFile("/proc/self/stat", 4096);
    // The fields after the command's name, which may hold spaces and parentheses.
    const auto close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && ticksPerSecond > 0) {
        std::vector<std::string_view> field;
        std::string_view rest = std::string_view(stat).substr(close + 2);
        while (!rest.empty()) {
            const auto space = rest.find_first_of(" \n");
            if (space != 0) field.push_back(rest.substr(0, space));
            rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
        }
        // utime, stime: fields 14 and 15 of the file; starttime 22; vsize 23 (bytes); rss 24 (pages).
        if (field.size() > 21) {
            const double tick = static_cast<double>(ticksPerSecond);
            f.add("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
                  (number(field[11]) + number(field[12])) / tick);
            f.add("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", number(field[20]));
            f.add("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
                  number(field[21]) * static_cast<double>(pageSize));
            if (booted > 0)
                f.add("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
                      booted + number(field[19]) / tick);
        }
    }
    std::error_code error;
    long open = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++open;
    if (!error) f.add("process_open_fds", "gauge", "Number of open file descriptors.", static_cast<double>(open - 1));
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0)
        f.add("process_max_fds", "gauge", "Maximum number of open file descriptors.", static_cast<double>(files.rlim_cur));
    // -1 without a limit, as the Prometheus clients write it.
    rlimit address{};
    if (::getrlimit(RLIMIT_AS, &address) == 0)
        f.add("process_virtual_memory_max_bytes", "gauge", "Maximum amount of virtual memory available in bytes.",
              address.rlim_cur == RLIM_INFINITY ? -1.0 : static_cast<double>(address.rlim_cur));
    return f.take();
}

}  // namespace kvx
