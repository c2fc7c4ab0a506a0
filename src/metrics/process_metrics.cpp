#include "metrics/process_metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

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
    std::string str() const { return out_; }

private:
    std::string labels_;
    std::string out_;
};

double bootTime() {
    std::ifstream stat("/proc/stat");
    for (std::string key; stat >> key;) {
        if (key == "btime") {
            double t = 0;
            stat >> t;
            return t;
        }
        stat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0.0;
}

}  // namespace

std::string processMetricsText(const std::string& labels) {
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    static const long pageSize = ::sysconf(_SC_PAGESIZE);
    static const double booted = bootTime();
    Families f(labels);

    std::ifstream statFile("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The fields after the command's name, which may hold spaces and parentheses.
    const auto close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && ticksPerSecond > 0) {
        std::istringstream in(stat.substr(close + 2));
        const std::vector<std::string> field{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
        // utime, stime: fields 14 and 15 of the file; starttime 22; rss 24 (pages).
        if (field.size() > 21) {
            const double tick = static_cast<double>(ticksPerSecond);
            f.add("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
                  (std::stod(field[11]) + std::stod(field[12])) / tick);
            f.add("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
                  std::stod(field[21]) * static_cast<double>(pageSize));
            if (booted > 0)
                f.add("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
                      booted + std::stod(field[19]) / tick);
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
    return f.str();
}

}  // namespace kvx
