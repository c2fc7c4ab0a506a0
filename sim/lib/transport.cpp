#include "lib/transport.h"

#include <cerrno>
#include <cstdlib>

#include "lib/answer_fields.h"

namespace kvxsim {

nlohmann::json Transport::parseAnswer(std::string_view text) {
    const std::size_t tab = text.find('\t');
    compact_.clear();
    if (tab == std::string_view::npos) return answer::parse(text, kAnswerMaxDepth);
    compact_.assign(text.substr(tab + 1));
    return answer::parse(text.substr(0, tab), kAnswerMaxDepth);
}

std::chrono::milliseconds webRequestDeadline(const char* setting) {
    if (!setting || *setting < '0' || *setting > '9') return kWebRequestDeadline;
    char* end = nullptr;
    errno = 0;
    const long long ms = std::strtoll(setting, &end, 10);
    if (*end || errno == ERANGE || ms < kWebRequestDeadlineMin.count() || ms > kWebRequestDeadlineMax.count())
        return kWebRequestDeadline;
    return std::chrono::milliseconds(ms);
}

}  // namespace kvxsim
