#pragma once

#include <QMainWindow>

#include <memory>

class QLabel;
class QListWidget;
class QStackedWidget;
class QToolButton;

namespace korvane {

class AppState;
class DisconnectAlert;
class EngineControlBar;
class SettingsPage;
class WindowPrompts;

enum class SidebarItem { devices, routing, filters, monitor, network, settings };

// The main window: menus, toolbar, sidebar with the engine bar, the pages and
// the disconnect alert over them. Closing it asks about unsaved changes, then
// stops the engine (panic first when the show asks) before the program ends.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    enum class Command { newProject, open, save, saveAs, quit, startEngine, stopEngine, panic };

    MainWindow(AppState &state, std::shared_ptr<WindowPrompts> prompts, QWidget *parent = nullptr);

    QAction *action(Command command) const;
    QListWidget *sidebar() const { return m_sidebar; }
    QStackedWidget *pages() const { return m_pages; }
    QWidget *detailArea() const { return m_detail; }
    EngineControlBar *engineBar() const { return m_engineBar; }
    DisconnectAlert *disconnectAlert() const { return m_alert; }
    SettingsPage *settingsPage() const { return m_settings; }
    QLabel *toolbarTitle() const { return m_title; }
    QToolButton *panicButton() const { return m_panicButton; }
    QToolButton *saveButton() const { return m_saveButton; }
    QMenu *recentMenu() const { return m_recentMenu; }
    SidebarItem shownPage() const;

    // SIGINT/SIGTERM: no question, stop the engine and end.
    void quitWithoutAsking();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    QWidget *buildSidebar();
    void buildToolbar();
    void showSelectedPage();
    void refreshTitle();
    // True when the current project may be replaced or the window closed:
    // clean, saved on request, or discarded. False keeps everything.
    bool settleUnsavedChanges();
    void commitFocusedEditor();
    void save();

    AppState &m_state;
    std::shared_ptr<WindowPrompts> m_prompts;
    QList<QAction *> m_actions;
    QListWidget *m_sidebar = nullptr;
    QStackedWidget *m_pages = nullptr;
    QWidget *m_detail = nullptr;
    EngineControlBar *m_engineBar = nullptr;
    DisconnectAlert *m_alert = nullptr;
    SettingsPage *m_settings = nullptr;
    QLabel *m_title = nullptr;
    QToolButton *m_panicButton = nullptr;
    QToolButton *m_saveButton = nullptr;
    QMenu *m_recentMenu = nullptr;
    bool m_leaving = false;
};

} // namespace korvane
