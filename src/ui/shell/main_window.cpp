#include "ui/shell/main_window.h"

#include "app/app_state.h"
#include "model/text.h"
#include "ui/pages/devices_page.h"
#include "ui/pages/filters_page.h"
#include "ui/pages/monitor_page.h"
#include "ui/pages/network_page.h"
#include "ui/pages/routing_page.h"
#include "ui/shell/disconnect_alert.h"
#include "ui/shell/engine_control_bar.h"
#include "ui/shell/recent_menu.h"
#include "ui/shell/settings_page.h"
#include "ui/theme/panic_guard.h"
#include "ui/theme/theme.h"
#include "ui/theme/window_prompts.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace korvane {

namespace {

struct SidebarEntry {
    SidebarItem item;
    const char *label;
    const char *icon;
};

const SidebarEntry kSidebar[] = {
    {SidebarItem::devices, "Périphériques", "piano"},
    {SidebarItem::routing, "Routage", "split"},
    {SidebarItem::filters, "Filtres", "sliders-horizontal"},
    {SidebarItem::monitor, "Moniteur", "audio-waveform"},
    {SidebarItem::network, "Réseau RTP", "network"},
    {SidebarItem::settings, "Réglages", "settings"},
};

} // namespace

MainWindow::MainWindow(AppState &state, std::shared_ptr<WindowPrompts> prompts, QWidget *parent)
    : QMainWindow(parent), m_state(state), m_prompts(std::move(prompts))
{
    setMinimumSize(1040, 680);
    resize(1180, 760);
    // Ctrl+. and a Panic button in every modal dialog, whatever has focus.
    new PanicGuard([this] { m_state.panic(); }, this);
    buildMenus();
    buildToolbar();

    m_detail = new QWidget;
    m_detail->setAutoFillBackground(true);
    QPalette detailPalette = m_detail->palette();
    detailPalette.setColor(QPalette::Window, Theme::background());
    m_detail->setPalette(detailPalette);
    m_pages = new QStackedWidget(m_detail);
    m_pages->addWidget(new DevicesPage(m_state));
    m_pages->addWidget(new RoutingPage(m_state));
    m_pages->addWidget(new FiltersPage(m_state, m_prompts));
    m_pages->addWidget(new MonitorPage(m_state.monitor()));
    m_pages->addWidget(new NetworkPage(m_state));
    m_settings = new SettingsPage(m_state);
    m_pages->addWidget(m_settings);
    auto *detailLayout = new QVBoxLayout(m_detail);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    detailLayout->addWidget(m_pages);
    m_alert = new DisconnectAlert(m_state, m_detail);

    auto *split = new QSplitter(Qt::Horizontal);
    split->setChildrenCollapsible(false);
    split->setHandleWidth(1);
    split->addWidget(buildSidebar());
    split->addWidget(m_detail);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({210, 970});
    setCentralWidget(split);

    connect(&m_state, &AppState::projectChanged, this, [this] { refreshTitle(); });
    connect(&m_state, &AppState::projectURLChanged, this, [this] { refreshTitle(); });
    connect(&m_state, &AppState::dirtyChanged, this, [this] { refreshTitle(); });
    refreshTitle();
    showSelectedPage();
}

void MainWindow::buildMenus()
{
    const auto add = [this](QMenu *menu, const QString &text, QList<QKeySequence> keys, auto slot) {
        auto *action = menu->addAction(text);
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::ApplicationShortcut);
        connect(action, &QAction::triggered, this, slot);
        m_actions.append(action);
        return action;
    };
    QMenu *file = menuBar()->addMenu(QStringLiteral("Fichier"));
    add(file, QStringLiteral("Nouveau projet"), {QKeySequence(Qt::CTRL | Qt::Key_N)}, [this] {
        if (settleUnsavedChanges())
            m_state.newProject();
    });
    add(file, QStringLiteral("Ouvrir\u2026"), {QKeySequence(Qt::CTRL | Qt::Key_O)}, [this] {
        if (settleUnsavedChanges())
            m_state.openProject();
    });
    m_recentMenu = addRecentProjectsMenu(file, [this](const std::filesystem::path &package) {
        if (settleUnsavedChanges())
            m_state.openProjectAt(package);
    });
    file->addSeparator();
    add(file, QStringLiteral("Enregistrer"), {QKeySequence(Qt::CTRL | Qt::Key_S)}, [this] { save(); });
    add(file, QStringLiteral("Enregistrer sous\u2026"), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)},
        [this] {
            commitFocusedEditor();
            m_state.saveAs();
        });
    file->addSeparator();
    add(file, QStringLiteral("Quitter"), {QKeySequence(Qt::CTRL | Qt::Key_Q)}, [this] { close(); });

    QMenu *midi = menuBar()->addMenu(QStringLiteral("MIDI"));
    add(midi, QStringLiteral("Démarrer le moteur"), {}, [this] { m_state.startEngine(); });
    add(midi, QStringLiteral("Arrêter le moteur"), {}, [this] {
        if (m_prompts->confirmEngineStop())
            m_state.stopEngine();
    });
    midi->addSeparator();
    add(midi, QStringLiteral("Panic \u2014 All Notes Off"),
        {QKeySequence(Qt::CTRL | Qt::Key_Period),
         QKeySequence(QKeyCombination(Qt::ControlModifier | Qt::KeypadModifier, Qt::Key_Period))},
        [this] { m_state.panic(); });
}

QAction *MainWindow::action(Command command) const
{
    return m_actions.value(static_cast<int>(command));
}

QWidget *MainWindow::buildSidebar()
{
    auto *column = new QWidget;
    column->setMinimumWidth(190);
    column->setMaximumWidth(260);
    column->setAutoFillBackground(true);
    QPalette p = column->palette();
    p.setColor(QPalette::Window, Theme::surface().darker(115));
    column->setPalette(p);

    m_sidebar = new QListWidget(column);
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setIconSize(QSize(18, 18));
    m_sidebar->setSpacing(2);
    m_sidebar->setSelectionMode(QAbstractItemView::SingleSelection);
    m_sidebar->setStyleSheet(
        QStringLiteral("QListWidget { background: transparent; outline: none; padding: 8px 6px; }"
                       "QListWidget::item { padding: 6px 8px; border-radius: 6px; color: %1; }"
                       "QListWidget::item:selected { background: %2; color: white; }"
                       "QListWidget::item:hover:!selected { background: rgba(255, 255, 255, 16); }")
            .arg(Theme::textPrimary().name(), Theme::accent().darker(135).name()));
    for (const auto &entry : kSidebar) {
        auto *item = new QListWidgetItem(Theme::icon(QString::fromUtf8(entry.icon), Theme::accent(), 18),
                                         QString::fromUtf8(entry.label), m_sidebar);
        item->setData(Qt::UserRole, static_cast<int>(entry.item));
    }
    m_sidebar->setCurrentRow(static_cast<int>(SidebarItem::routing));
    connect(m_sidebar, &QListWidget::itemSelectionChanged, this, [this] { showSelectedPage(); });

    m_engineBar = new EngineControlBar(
        m_state, [this] { return m_prompts->confirmEngineStop(); }, column);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_sidebar, 1);
    layout->addWidget(m_engineBar);
    return column;
}

void MainWindow::buildToolbar()
{
    auto *bar = addToolBar(QStringLiteral("Barre d'outils"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->toggleViewAction()->setEnabled(false);
    bar->toggleViewAction()->setVisible(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->setIconSize(QSize(16, 16));

    m_title = new QLabel(bar);
    m_title->setFont(Theme::font(Theme::TextStyle::headline));
    m_title->setContentsMargins(6, 0, 6, 0);
    bar->addWidget(m_title);
    auto *spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);

    const auto button = [bar](const QString &text, const QString &icon) {
        auto *b = new QToolButton(bar);
        b->setText(text);
        b->setIcon(Theme::icon(icon, Theme::textPrimary(), 16));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAutoRaise(true);
        b->setCursor(Qt::PointingHandCursor);
        bar->addWidget(b);
        return b;
    };
    m_panicButton = button(QStringLiteral("Panic"), QStringLiteral("octagon-alert"));
    m_panicButton->setToolTip(QStringLiteral("All Notes / All Sound Off"));
    connect(m_panicButton, &QToolButton::clicked, this, [this] { m_state.panic(); });
    m_saveButton = button(QStringLiteral("Enregistrer"), QStringLiteral("save"));
    connect(m_saveButton, &QToolButton::clicked, this, [this] { save(); });
}

SidebarItem MainWindow::shownPage() const
{
    return static_cast<SidebarItem>(m_pages->currentIndex());
}

void MainWindow::showSelectedPage()
{
    // No selection (the row was deselected): the routing page.
    const auto selected = m_sidebar->selectedItems();
    const int index = selected.isEmpty() ? static_cast<int>(SidebarItem::routing)
                                         : selected.constFirst()->data(Qt::UserRole).toInt();
    m_pages->setCurrentIndex(index);
}

void MainWindow::refreshTitle()
{
    const QString title = toQString(m_state.windowTitle());
    if (windowTitle() != title)
        setWindowTitle(title);
    if (m_title->text() != title)
        m_title->setText(title);
}

void MainWindow::commitFocusedEditor()
{
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(QApplication::focusWidget()))
        spin->interpretText();
}

void MainWindow::save()
{
    commitFocusedEditor();
    m_state.save();
}

bool MainWindow::settleUnsavedChanges()
{
    commitFocusedEditor();
    if (!m_state.dirty())
        return true;
    std::string name = m_state.project().name;
    if (const auto &url = m_state.projectURL()) {
        auto path = *url;
        if (!path.has_filename())
            path = path.parent_path();
        name = path.stem().string();
    }
    switch (m_prompts->askToSaveChanges(name)) {
    case WindowPrompts::UnsavedChoice::save:
        m_state.save();
        // A cancelled or failed save keeps the project.
        return !m_state.dirty();
    case WindowPrompts::UnsavedChoice::discard:
        return true;
    case WindowPrompts::UnsavedChoice::cancel:
        return false;
    }
    return false;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!m_leaving && !settleUnsavedChanges()) {
        event->ignore();
        return;
    }
    if (!m_leaving) {
        m_leaving = true;
        m_state.stopEngine();
    }
    event->accept();
}

void MainWindow::quitWithoutAsking()
{
    if (!m_leaving) {
        m_leaving = true;
        m_state.stopEngine();
    }
    close();
    QApplication::quit();
}

} // namespace korvane
