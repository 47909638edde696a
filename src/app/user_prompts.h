#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace korvane {

// The controller's only way to ask the user something. The GUI answers with
// dialogs; tests and the headless runner answer without a window.
class UserPrompts {
public:
    virtual ~UserPrompts() = default;

    // A ".tovprjct" package to open, or nothing when the user cancels.
    virtual std::optional<std::filesystem::path> chooseProjectToOpen() = 0;
    // Where to save; proposedName is "<project name>.tovprjct". Nothing on cancel.
    virtual std::optional<std::filesystem::path> chooseSaveLocation(const std::string &proposedName) = 0;
    // A modal warning with a single button; returns when it is dismissed.
    virtual void showAlert(const std::string &title, const std::string &text) = 0;
};

} // namespace korvane
