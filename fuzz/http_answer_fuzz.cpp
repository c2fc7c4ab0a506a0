// Fuzz target: the remote library's reading of an HTTP answer, as it
// arrives. The same bytes must give the same answer (status, body, whether
// the connection stays) or the same refusal whether they arrive at once or
// in pieces (the first input byte sets the piece size); nothing taken may
// pass the answer's bound; what follows an answer is left for the next.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lib/http_answer.h"
#include "lib/transport.h"

namespace {

using kvxsim::HttpAnswerReader;

std::string readAll(const std::string& bytes, std::size_t piece) {
    std::string pending;
    HttpAnswerReader reader;
    for (std::size_t at = 0;;) {
        const bool closed = at >= bytes.size();
        if (!closed) pending.append(bytes, at, piece);
        at += piece;
        switch (reader.read(pending, closed)) {
        case HttpAnswerReader::State::Malformed: return "malformed " + reader.why();
        case HttpAnswerReader::State::Whole:
            if (reader.body().size() > kvxsim::kAnswerMaxBytes || reader.status() < 0 || reader.status() > 999)
                std::abort();
            return std::to_string(reader.status()) + " " + reader.body() + (reader.keepAlive() ? " kept " : " closed ") +
                   pending + (at < bytes.size() ? bytes.substr(at) : "");
        case HttpAnswerReader::State::More:
            if (closed) return "cut short";
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (readAll(bytes, bytes.size() + 1) != readAll(bytes, 1 + data[0] % 16)) std::abort();
    return 0;
}
