// Saving: what a killed save leaves behind.

#include "model/project_document.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace korvane {
namespace {

void touch(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write("{\"partial\":");
}

// The leftovers are made by QSaveFile: if Qt ever names its temporary file
// differently, the clean-up below would silently stop matching.
TEST(ProjectDocumentSave, QSaveFileTemporaryNameHasTheShapeTheCleanUpLooksFor)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSaveFile file(dir.filePath(QStringLiteral("project.json")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{}");
    const QStringList entries = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    file.cancelWriting();
    // An unnamed temporary file (O_TMPFILE) leaves nothing to clean up at all.
    for (const QString &entry : entries)
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^project\\.json\\.[A-Za-z]{6}$")).match(entry).hasMatch())
            << entry.toStdString();
}

TEST(ProjectDocumentSave, NextSaveRemovesLeftoversOfKilledSavesOnly)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString package = dir.filePath(QStringLiteral("show.tovprjct"));
    ASSERT_TRUE(ProjectDocument::save(TOVProject(), package));
    const QDir pkg(package);

    const char *const removed[] = {"project.json.aBcDeF", "project.json.QWErty", "KORVANE.txt.xYzWvU",
                                   "KORVANE.txt.KaFcTe"};
    const char *const kept[] = {
        "project.json.backup", "project.json.BACKUP",  "project.json.Backup", // read as words
        "project.json.aBcDe1", "project.json.aBcDeFg", "project.json.aBcDe",  // not six letters
        "project.json-aBcDeF", "other.json.aBcDeF",    "notes.txt",
    };
    for (const char *name : removed)
        touch(pkg.filePath(QString::fromLatin1(name)));
    for (const char *name : kept)
        touch(pkg.filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(pkg.mkdir(QStringLiteral("project.json.dIrEcT")));
    touch(pkg.filePath(QStringLiteral("assets/project.json.aSsEtS")));

    ASSERT_TRUE(ProjectDocument::save(TOVProject(), package));

    for (const char *name : removed)
        EXPECT_FALSE(QFile::exists(pkg.filePath(QString::fromLatin1(name)))) << name;
    for (const char *name : kept)
        EXPECT_TRUE(QFile::exists(pkg.filePath(QString::fromLatin1(name)))) << name;
    EXPECT_TRUE(QFileInfo(pkg.filePath(QStringLiteral("project.json.dIrEcT"))).isDir());
    EXPECT_TRUE(QFile::exists(pkg.filePath(QStringLiteral("assets/project.json.aSsEtS"))));
    EXPECT_TRUE(ProjectDocument::load(package));
}

} // namespace
} // namespace korvane
