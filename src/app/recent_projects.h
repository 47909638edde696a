#pragma once

#include <QString>

#include <filesystem>
#include <vector>

namespace korvane {

class AppState;

// The packages last opened or saved, newest first, at most kCapacity, kept in
// a small JSON file so a show comes back after a crash or a reboot. Each call
// reads or rewrites the file (atomically), so two windows never lose each
// other's entries for long. Main thread.
class RecentProjects {
public:
    static constexpr std::size_t kCapacity = 8;

    explicit RecentProjects(QString file = defaultFile());
    // "KORVANE/recent.json" in the user's data folder.
    static QString defaultFile();

    std::vector<std::filesystem::path> list() const;
    // Moves (or puts) the package at the top.
    void add(const std::filesystem::path &package);
    void clear();
    const QString &file() const { return m_file; }

    // Records every package the controller opens or saves from now on.
    static void track(AppState &state, QString file = defaultFile());

private:
    void write(const std::vector<std::filesystem::path> &packages) const;

    QString m_file;
};

} // namespace korvane
