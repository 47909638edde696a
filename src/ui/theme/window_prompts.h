#pragma once

#include "app/user_prompts.h"

#include <QPointer>
#include <QString>

class QWidget;

namespace korvane {

// What the window asks besides the controller's questions.
class WindowPrompts : public UserPrompts {
public:
    enum class UnsavedChoice { save, discard, cancel };
    // "Enregistrer les modifications de « name » ?"
    virtual UnsavedChoice askToSaveChanges(const std::string &projectName) = 0;
    // A destructive step the user may still refuse: true to go on.
    virtual bool confirmDeletion(const std::string &question) = 0;
    // Stopping the engine cuts every route of a running show: true to stop.
    virtual bool confirmEngineStop() = 0;
};

// Dialogs parented to the main window once it exists.
class DialogPrompts : public WindowPrompts {
public:
    void setParentWidget(QWidget *parent) { m_parent = parent; }

    std::optional<std::filesystem::path> chooseProjectToOpen() override;
    std::optional<std::filesystem::path> chooseSaveLocation(const std::string &proposedName) override;
    void showAlert(const std::string &title, const std::string &text) override;
    UnsavedChoice askToSaveChanges(const std::string &projectName) override;
    bool confirmDeletion(const std::string &question) override;
    bool confirmEngineStop() override;

private:
    QPointer<QWidget> m_parent;
};

// A name fit for a file: "/" becomes "-", leading dots go; never empty.
QString safeFileName(const QString &proposed);

} // namespace korvane
