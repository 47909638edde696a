#pragma once

#include "model/project.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace korvane {

class AppState;
class GrowingTextEdit;
class LogoLoader;
class StartCard;
class ToggleSwitch;

// The second screen: open a package (or a recent one) or describe a new show
// and create it. Emits `entered` when the main window should follow. What is
// typed here reaches the controller only when a project is created.
class ProjectSetupView : public QWidget {
    Q_OBJECT
public:
    ProjectSetupView(AppState &state, LogoLoader &loader, QString recentFile, QWidget *parent = nullptr);

    StartCard *newCard() const { return m_newCard; }
    StartCard *openCard() const { return m_openCard; }
    QLineEdit *nameField() const { return m_name; }
    GrowingTextEdit *notesField() const { return m_notes; }
    ToggleSwitch *virtualBusToggle() const { return m_addVirtualBus; }
    ToggleSwitch *networkToggle() const { return m_addRTP; }
    QWidget *rolePicker() const { return m_rolePicker; }
    QPushButton *roleButton(RTPRole role) const;
    QPushButton *createButton() const { return m_create; }
    QPushButton *createAndSaveButton() const { return m_createAndSave; }
    QListWidget *recentList() const { return m_recent; }
    RTPRole rtpRole() const { return m_rtpRole; }

    // Reads the recent packages again (the list is shown on every showing).
    void refreshRecent();

signals:
    void entered();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QWidget *buildBrandPanel(LogoLoader &loader);
    QWidget *buildForm();
    void open();
    void openRecent(const QString &path);
    void create(bool save);

    AppState &m_state;
    QString m_recentFile;
    RTPRole m_rtpRole = RTPRole::listener;
    StartCard *m_newCard = nullptr;
    StartCard *m_openCard = nullptr;
    QLineEdit *m_name = nullptr;
    GrowingTextEdit *m_notes = nullptr;
    ToggleSwitch *m_addVirtualBus = nullptr;
    ToggleSwitch *m_addRTP = nullptr;
    QWidget *m_rolePicker = nullptr;
    QPushButton *m_listener = nullptr;
    QPushButton *m_initiator = nullptr;
    QPushButton *m_create = nullptr;
    QPushButton *m_createAndSave = nullptr;
    QWidget *m_recentBlock = nullptr;
    QListWidget *m_recent = nullptr;
};

} // namespace korvane
