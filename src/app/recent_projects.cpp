#include "app/recent_projects.h"

#include "app/app_state.h"
#include "model/text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace korvane {

namespace {

// One spelling per package, so "show.tovprjct/" and "show.tovprjct" are one entry.
std::filesystem::path normalised(std::filesystem::path package)
{
    if (!package.has_filename())
        package = package.parent_path();
    return std::filesystem::absolute(package).lexically_normal();
}

} // namespace

RecentProjects::RecentProjects(QString file) : m_file(std::move(file)) {}

QString RecentProjects::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/KORVANE/recent.json");
}

std::vector<std::filesystem::path> RecentProjects::list() const
{
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Anything unreadable counts as an empty list, never as an error.
    const QJsonArray entries =
        QJsonDocument::fromJson(file.read(1024 * 1024)).object().value("recent").toArray();
    std::vector<std::filesystem::path> packages;
    for (const auto &entry : entries) {
        const QString text = entry.toString();
        if (text.isEmpty())
            continue;
        const auto path = normalised(toStd(text));
        if (std::find(packages.begin(), packages.end(), path) == packages.end())
            packages.push_back(path);
        if (packages.size() == kCapacity)
            break;
    }
    return packages;
}

void RecentProjects::add(const std::filesystem::path &package)
{
    const auto path = normalised(package);
    auto packages = list();
    packages.erase(std::remove(packages.begin(), packages.end(), path), packages.end());
    packages.insert(packages.begin(), path);
    if (packages.size() > kCapacity)
        packages.resize(kCapacity);
    write(packages);
}

void RecentProjects::clear()
{
    write({});
}

void RecentProjects::write(const std::vector<std::filesystem::path> &packages) const
{
    QJsonArray entries;
    for (const auto &path : packages)
        entries.append(toQString(path.string()));
    QDir().mkpath(QFileInfo(m_file).absolutePath());
    QSaveFile file(m_file);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QJsonDocument(QJsonObject{{"recent", entries}}).toJson());
    file.commit();
}

void RecentProjects::track(AppState &state, QString file)
{
    // The controller sets the address after a successful load, and after a
    // save-as even when writing failed: only a package on disk is listed.
    QObject::connect(&state, &AppState::projectURLChanged, &state, [&state, file] {
        const auto &url = state.projectURL();
        if (!url)
            return;
        std::error_code error;
        if (std::filesystem::is_regular_file(normalised(*url) / "project.json", error))
            RecentProjects(file).add(*url);
    });
}

} // namespace korvane
