#include "model/project_document.h"

#include "model/project_json.h"
#include "model/text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

namespace korvane {

std::string DocError::description() const
{
    switch (code) {
    case Code::decodeFailed:
        return "Lecture du projet impossible : " + detail;
    case Code::notADirectory:
        return "Le fichier .tovprjct n'est pas un package valide.";
    case Code::missingProjectFile:
        return "project.json introuvable dans le package.";
    case Code::writeFailed:
        return detail;
    }
    return detail;
}

namespace ProjectDocument {

namespace {

std::string str(const QString &text)
{
    return toStd(text);
}

DocError writeFailed(std::string text)
{
    return DocError{DocError::Code::writeFailed, std::move(text)};
}

// mkpath semantics: fine if the directory is already there. The failure
// text carries the system's reason (permission, a file in the way, ...).
std::optional<DocError> makeDirectory(const QString &path)
{
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(toStd(path)), error);
    if (!error && QFileInfo(path).isDir())
        return std::nullopt;
    const std::string reason =
        error ? error.message() : std::make_error_code(std::errc::not_a_directory).message();
    return writeFailed("Impossible de créer le dossier « " + str(path) + " » : " + reason);
}

// Temporary file in the same directory, renamed over the target on success.
std::optional<DocError> writeAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return writeFailed("Impossible d'écrire « " + str(path) + " » : " + str(file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.commit())
        return writeFailed("Impossible d'écrire « " + str(path) + " » : " + str(file.errorString()));
    return std::nullopt;
}

// QSaveFile writes "<target>.XXXXXX" (six random ASCII letters) beside the
// target and renames it over the target on commit, so a save killed before
// the rename leaves that file behind. Suffixes that read as a word (all
// lower case, all upper case, or capitalised) are spared: they may be a
// person's "project.json.backup"; a random leftover of that shape (about 1
// in 20) simply stays.
bool isSaveLeftover(const QString &entry, const QString &target)
{
    if (entry.size() != target.size() + 7 || !entry.startsWith(target + QLatin1Char('.')))
        return false;
    int upper = 0;
    bool firstUpper = false;
    for (qsizetype i = target.size() + 1; i < entry.size(); ++i) {
        const char16_t c = entry.at(i).unicode();
        const bool isUpper = c >= u'A' && c <= u'Z';
        if (!isUpper && !(c >= u'a' && c <= u'z'))
            return false;
        upper += isUpper ? 1 : 0;
        firstUpper = firstUpper || (isUpper && i == target.size() + 1);
    }
    const bool looksLikeWord = upper == 0 || upper == 6 || (upper == 1 && firstUpper);
    return !looksLikeWord;
}

// Only regular files directly in the package; a file that will not go is
// left for the next save.
void removeSaveLeftovers(const QDir &package)
{
    const QStringList targets{QString::fromLatin1(projectFileName), QString::fromLatin1(summaryFileName)};
    const QStringList entries = package.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &entry : entries)
        for (const QString &target : targets)
            if (isSaveLeftover(entry, target))
                QFile::remove(package.filePath(entry));
}

bool nameTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink(); // a dangling link still blocks the name
}

} // namespace

QString assetsURL(const QString &packagePath)
{
    return QDir(packagePath).filePath(QString::fromLatin1(assetsDirName));
}

std::string summaryText(const TOVProject &project)
{
    return "KORVANE — TOV RORA Varidiv\nProjet : " + project.name +
           "\nModifié : " + formatTimestamp(project.modifiedAt) + "\nFormat : v" +
           std::to_string(project.formatVersion);
}

DocResult<TOVProject> load(const QString &packagePath)
{
    const QFileInfo package(packagePath);
    if (packagePath.isEmpty() || !package.exists() || !package.isDir())
        return DocError{DocError::Code::notADirectory, {}};

    const QString projectPath = QDir(packagePath).filePath(QString::fromLatin1(projectFileName));
    const QFileInfo projectInfo(projectPath);
    if (!projectInfo.exists())
        return DocError{DocError::Code::missingProjectFile, {}};

    QFile file(projectPath);
    if (projectInfo.isDir() || !file.open(QIODevice::ReadOnly)) {
        const QString reason = projectInfo.isDir() ? QStringLiteral("c'est un dossier") : file.errorString();
        return DocError{DocError::Code::decodeFailed,
                        "impossible de lire project.json (" + str(reason) + ")"};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return DocError{DocError::Code::decodeFailed,
                        "impossible de lire project.json (" + str(file.errorString()) + ")"};

    JsonResult<TOVProject> decoded = readProjectJson(bytes);
    if (!decoded)
        return DocError{DocError::Code::decodeFailed, decoded.error};
    return std::move(*decoded.value);
}

DocResult<DocDone> save(TOVProject project, const QString &packagePath)
{
    project.modifiedAt = currentTimestamp();

    if (packagePath.isEmpty())
        return writeFailed("Aucun emplacement indiqué pour le projet.");
    if (auto error = makeDirectory(packagePath))
        return *error;
    if (auto error = makeDirectory(assetsURL(packagePath)))
        return *error;

    const JsonResult<QByteArray> encoded = writeProjectJson(project);
    if (!encoded)
        return writeFailed("Écriture du projet impossible : " + encoded.error);
    const QDir package(packagePath);
    if (auto error = writeAtomically(package.filePath(QString::fromLatin1(projectFileName)), *encoded.value))
        return *error;

    // The summary is a courtesy for people browsing the folder; the save
    // stands even if it cannot be written.
    (void)writeAtomically(package.filePath(QString::fromLatin1(summaryFileName)),
                          QByteArray::fromStdString(summaryText(project)));
    removeSaveLeftovers(package);
    return DocDone{};
}

DocResult<AssetRef> importAsset(const QString &sourcePath, const QString &packagePath,
                                const std::string &kind, const std::string &label)
{
    const QString assets = assetsURL(packagePath);
    if (auto error = makeDirectory(assets))
        return *error;

    const QString fileName = QFileInfo(sourcePath).fileName();
    if (fileName.isEmpty())
        return writeFailed("Impossible d'importer « " + str(sourcePath) + " » : ce n'est pas un fichier.");
    // The extension is what follows the last dot; a leading dot (".env")
    // or a trailing one ("notes.") does not start an extension.
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0 && dot < fileName.size() - 1;
    const QString base = hasExtension ? fileName.left(dot) : fileName;
    const QString ext = hasExtension ? fileName.mid(dot + 1) : QString();

    const QDir assetsDir(assets);
    QString candidate = fileName;
    for (int n = 1; nameTaken(assetsDir.filePath(candidate)); ++n)
        candidate = base + QLatin1Char('-') + QString::number(n) + (ext.isEmpty() ? QString() : "." + ext);

    QFile source(sourcePath);
    if (QFileInfo(sourcePath).isDir() || !source.copy(assetsDir.filePath(candidate))) {
        const QString reason =
            QFileInfo(sourcePath).isDir() ? QStringLiteral("c'est un dossier") : source.errorString();
        return writeFailed("Impossible d'importer « " + str(sourcePath) + " » : " + str(reason));
    }

    AssetRef asset;
    asset.filename = str(candidate);
    asset.label = label.empty() ? str(base) : label;
    asset.kind = kind;
    return asset;
}

} // namespace ProjectDocument

} // namespace korvane
