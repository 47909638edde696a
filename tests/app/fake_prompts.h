#pragma once

#include "app/user_prompts.h"

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test {

// Answers from queues the test fills (an empty queue cancels) and remembers
// every question and alert. `Base` is UserPrompts or the window's extension.
template <typename Base> class BasicFakePrompts : public Base {
public:
    using Path = std::optional<std::filesystem::path>;
    std::deque<Path> openAnswers, saveAnswers;
    std::vector<std::string> proposedNames;
    std::vector<std::pair<std::string, std::string>> alerts;

    Path chooseProjectToOpen() override { return next(openAnswers, Path()); }
    Path chooseSaveLocation(const std::string &proposedName) override
    {
        proposedNames.push_back(proposedName);
        return next(saveAnswers, Path());
    }
    void showAlert(const std::string &title, const std::string &text) override
    {
        alerts.emplace_back(title, text);
    }

protected:
    template <typename T> static T next(std::deque<T> &queue, T fallback)
    {
        if (queue.empty())
            return fallback;
        T answer = std::move(queue.front());
        queue.pop_front();
        return answer;
    }
};

using FakePrompts = BasicFakePrompts<UserPrompts>;

} // namespace korvane::test
