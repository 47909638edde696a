#pragma once

#include "app/user_prompts.h"

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test {

// Answers the controller's questions from queues the test fills, and
// remembers every question and alert. `Base` is UserPrompts or one of its
// extensions (the window's).
template <typename Base> class BasicFakePrompts : public Base {
public:
    std::deque<std::optional<std::filesystem::path>> openAnswers;
    std::deque<std::optional<std::filesystem::path>> saveAnswers;
    std::vector<std::string> proposedNames;
    std::vector<std::pair<std::string, std::string>> alerts;

    std::optional<std::filesystem::path> chooseProjectToOpen() override { return next(openAnswers); }
    std::optional<std::filesystem::path> chooseSaveLocation(const std::string &proposedName) override
    {
        proposedNames.push_back(proposedName);
        return next(saveAnswers);
    }
    void showAlert(const std::string &title, const std::string &text) override
    {
        alerts.emplace_back(title, text);
    }

protected:
    template <typename T> static T next(std::deque<T> &q, T fallback)
    {
        if (q.empty())
            return fallback;
        T answer = q.front();
        q.pop_front();
        return answer;
    }
    static std::optional<std::filesystem::path> next(std::deque<std::optional<std::filesystem::path>> &q)
    {
        return next(q, std::optional<std::filesystem::path>());
    }
};

using FakePrompts = BasicFakePrompts<UserPrompts>;

} // namespace korvane::test
