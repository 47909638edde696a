#pragma once

#include <QString>

#include <filesystem>
#include <functional>

class QMenu;

namespace korvane {

// "Projets récents" under `parent`: filled from the recent list each time it
// opens; choosing an entry calls `open` with the package.
QMenu *addRecentProjectsMenu(QMenu *parent, std::function<void(const std::filesystem::path &)> open);

// "name — folder" for one package, as the menu and the setup screen show it.
QString recentProjectText(const std::filesystem::path &package);

} // namespace korvane
