#include "ui/shell/recent_menu.h"

#include "app/recent_projects.h"
#include "model/text.h"

#include <QMenu>

namespace korvane {

QString recentProjectText(const std::filesystem::path &package)
{
    return toQString(package.stem().string()) + QStringLiteral(" \u2014 ") +
           toQString(package.parent_path().string());
}

QMenu *addRecentProjectsMenu(QMenu *parent, std::function<void(const std::filesystem::path &)> open)
{
    QMenu *menu = parent->addMenu(QStringLiteral("Projets récents"));
    QObject::connect(menu, &QMenu::aboutToShow, menu, [menu, open = std::move(open)] {
        menu->clear();
        const auto packages = RecentProjects().list();
        for (const auto &package : packages) {
            const QString path = toQString(package.string());
            QAction *action = menu->addAction(
                menu->fontMetrics().elidedText(recentProjectText(package), Qt::ElideMiddle, 480));
            action->setToolTip(path);
            action->setData(path);
            // Queued: the menu closes before a dialog (unsaved changes, an error) opens.
            QObject::connect(
                action, &QAction::triggered, menu, [open, package] { open(package); }, Qt::QueuedConnection);
        }
        if (packages.empty())
            menu->addAction(QStringLiteral("Aucun projet récent"))->setEnabled(false);
        menu->addSeparator();
        QAction *clear = menu->addAction(QStringLiteral("Effacer la liste"));
        clear->setEnabled(!packages.empty());
        QObject::connect(clear, &QAction::triggered, menu, [] { RecentProjects().clear(); });
    });
    return menu;
}

} // namespace korvane
