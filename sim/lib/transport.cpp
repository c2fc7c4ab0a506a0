#include "lib/transport.h"

#include "lib/answer_fields.h"

namespace kvxsim {

nlohmann::json Transport::parseAnswer(std::string_view text) {
    const std::size_t tab = text.find('\t');
    compact_.clear();
    if (tab == std::string_view::npos) return answer::parse(text, kAnswerMaxDepth);
    compact_.assign(text.substr(tab + 1));
    return answer::parse(text.substr(0, tab), kAnswerMaxDepth);
}

}  // namespace kvxsim
