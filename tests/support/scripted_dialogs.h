// Dialogs answered by the test: message boxes are recorded, file dialogs get
// their answers from a queue (an empty queue cancels). An answer may run an
// action first, for example to change what the controller answers next.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "display/dialogs.h"

namespace kvx::test {

struct ShownMessage {
    std::string text;
    std::string title;
    bool operator==(const ShownMessage&) const = default;
};

struct FileRequest {
    std::string initialFile;
    int filterIndex;
    bool operator==(const FileRequest&) const = default;
};

class ScriptedDialogs final : public Dialogs {
public:
    struct Answer {
        std::optional<std::string> file;  // nullopt: cancel
        std::function<void()> before;
    };

    void message(const std::string& text, const std::string& title) override {
        messages.push_back({text, title});
    }

    std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) override {
        requests.push_back({initialFile, filterIndex});
        if (answers.empty()) return std::nullopt;
        Answer a = std::move(answers.front());
        answers.pop_front();
        if (a.before) a.before();
        return a.file;
    }

    std::vector<ShownMessage> messages;
    std::vector<FileRequest> requests;
    std::deque<Answer> answers;
};

}  // namespace kvx::test
