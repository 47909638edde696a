#include "model/project_document.h"

#include "model/project_json.h"
#include "model_test_data.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace korvane {
namespace {

class ProjectDocumentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    static void writeFile(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << file.toStdString();
        f.write(bytes);
    }

    static QByteArray readFile(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>";
    }

    // A package whose project.json holds exactly these bytes.
    QString packageWith(const QString &name, const QByteArray &json)
    {
        EXPECT_TRUE(QDir().mkpath(path(name)));
        writeFile(path(name) + "/project.json", json);
        return path(name);
    }

    QTemporaryDir m_dir;
};

TEST_F(ProjectDocumentTest, LoadSaysWhatIsWrong)
{
    writeFile(path("plain.tovprjct"), "{}");
    QDir().mkpath(path("empty.tovprjct"));
    QDir().mkpath(path("dir.tovprjct/project.json"));
    const std::string notAPackage = "Le fichier .tovprjct n'est pas un package valide.";
    const std::string cannotRead = "Lecture du projet impossible : ";
    const std::pair<QString, std::string> rows[] = {
        {path("missing.tovprjct"), notAPackage},
        {path("plain.tovprjct"), notAPackage},
        {path("empty.tovprjct"), "project.json introuvable dans le package."},
        {path("dir.tovprjct"), cannotRead + "impossible de lire project.json (c'est un dossier)"},
        {packageWith("blank.tovprjct", " \n"), cannotRead + "le fichier est vide"},
        {packageWith("bom.tovprjct", "\xEF\xBB\xBF{}x"),
         cannotRead +
             "JSON invalide près de la ligne 1, colonne 4 (octet 5) : caractères en trop après la fin "
             "du document"},
    };
    for (const auto &[package, text] : rows) {
        const auto loaded = ProjectDocument::load(package);
        ASSERT_FALSE(loaded) << package.toStdString();
        EXPECT_EQ(loaded.error().description(), text);
    }
}

TEST_F(ProjectDocumentTest, SaveCreatesPackageRoundTripsAndLeavesOtherFilesAlone)
{
    const TOVProject project = test::fullProject();
    const QString package = path("deep/er/Show.tovprjct");
    const Timestamp start = currentTimestamp();

    ASSERT_TRUE(ProjectDocument::save(project, package));
    EXPECT_TRUE(QFileInfo(package + "/assets").isDir());
    EXPECT_TRUE(QDir(package + "/assets").isEmpty());
    EXPECT_EQ(QDir(package).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"KORVANE.txt", "project.json"}));

    const auto loaded = ProjectDocument::load(package);
    ASSERT_TRUE(loaded) << loaded.error().description();
    EXPECT_GE(loaded.value().modifiedAt, start);
    TOVProject expected = project;
    expected.modifiedAt = loaded.value().modifiedAt;
    EXPECT_EQ(loaded.value(), expected);

    writeFile(package + "/assets/orphan.wav", "old");
    writeFile(package + "/notes.md", "mine");
    ASSERT_TRUE(ProjectDocument::save(TOVProject(), package));
    EXPECT_EQ(readFile(package + "/assets/orphan.wav"), "old");
    EXPECT_EQ(readFile(package + "/notes.md"), "mine");
    // No temporary file is left behind by the atomic writes.
    EXPECT_EQ(QDir(package).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"KORVANE.txt", "notes.md", "project.json"}));
}

TEST_F(ProjectDocumentTest, SaveFailuresSayWhyAndKeepTheOldFile)
{
    writeFile(path("file.tovprjct"), "x");
    auto result = ProjectDocument::save(TOVProject(), path("file.tovprjct"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, DocError::Code::writeFailed);
    EXPECT_NE(result.error().description().find("file.tovprjct"), std::string::npos);

    // Under a plain file no folder can be made: the system says why.
    const std::string notADirectory = std::strerror(ENOTDIR);
    const QString under = path("file.tovprjct/show.tovprjct");
    result = ProjectDocument::save(TOVProject(), under);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(),
              "Impossible de créer le dossier « " + under.toStdString() + " » : " + notADirectory);
    const auto import = ProjectDocument::importAsset(path("file.tovprjct"), under, "other", "");
    ASSERT_FALSE(import);
    EXPECT_NE(import.error().description().find(" : " + notADirectory), std::string::npos)
        << import.error().description();

    // A non-finite number cannot be written: the earlier project.json stays.
    const QString package = path("nan.tovprjct");
    ASSERT_TRUE(ProjectDocument::save(TOVProject(), package));
    const QByteArray before = readFile(package + "/project.json");
    TOVProject broken;
    broken.filterChains.push_back(FilterChain("c"));
    broken.filterChains[0].steps.push_back(FilterStep(FilterStep::Kind::velocity));
    broken.filterChains[0].steps[0].velocityScale = std::nan("");
    result = ProjectDocument::save(broken, package);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(),
              "Écriture du projet impossible : filterChains[0].steps[0].velocityScale : "
              "nombre non fini, impossible à écrire en JSON");
    EXPECT_EQ(readFile(package + "/project.json"), before);

    // A file where the assets folder goes: the save reports it, with a reason.
    ASSERT_TRUE(QDir().mkpath(path("blocked.tovprjct")));
    writeFile(path("blocked.tovprjct/assets"), "");
    result = ProjectDocument::save(TOVProject(), path("blocked.tovprjct"));
    ASSERT_FALSE(result);
    const std::string text = result.error().description();
    EXPECT_TRUE(text.starts_with("Impossible de créer le dossier « ")) << text;
    EXPECT_GT(text.size(), text.rfind(" » : ") + 5) << text;
}

TEST_F(ProjectDocumentTest, ImportPicksFreeNamesAndLabelsOrSaysWhyNot)
{
    const QString package = path("assets.tovprjct");
    writeFile(path("a.wav"), "RIFF");
    writeFile(path("README"), "text");
    writeFile(path(".env"), "x");
    writeFile(path("archive.tar.gz"), "gz");

    // {source, label given, file name and label of the asset}
    const std::tuple<QString, std::string, std::string, std::string> rows[] = {
        {"a.wav", "Intro", "a.wav", "Intro"},
        {"a.wav", "", "a-1.wav", "a"},
        {"README", "", "README", "README"},
        {"README", "", "README-1", "README"},
        {".env", "", ".env", ".env"},
        {"archive.tar.gz", "", "archive.tar.gz", "archive.tar"},
        {"archive.tar.gz", "", "archive.tar-1.gz", "archive.tar"},
    };
    std::set<Uuid> ids;
    for (const auto &[source, label, file, wantLabel] : rows) {
        const auto asset = ProjectDocument::importAsset(path(source), package, "audio", label);
        ASSERT_TRUE(asset) << asset.error().description();
        EXPECT_EQ(std::tie(asset.value().filename, asset.value().label, asset.value().kind),
                  std::tuple(file, wantLabel, "audio"));
        EXPECT_EQ(readFile(ProjectDocument::assetsURL(package) + "/" + QString::fromStdString(file)),
                  readFile(path(source)));
        EXPECT_TRUE(ids.insert(asset.value().id).second);
    }

    for (const QString &source : {path("nope.wav"), path("")}) {
        const auto asset = ProjectDocument::importAsset(source, package, "other", "");
        ASSERT_FALSE(asset) << source.toStdString();
        EXPECT_EQ(asset.error().code, DocError::Code::writeFailed);
    }
    // A dangling link in the assets folder still counts as a taken name.
    writeFile(path("x.txt"), "x");
    ASSERT_TRUE(QFile::link(path("gone"), ProjectDocument::assetsURL(package) + "/x.txt"));
    const auto asset = ProjectDocument::importAsset(path("x.txt"), package, "other", "");
    ASSERT_TRUE(asset) << asset.error().description();
    EXPECT_EQ(asset.value().filename, "x-1.txt");
}

// The leftovers are made by QSaveFile: if Qt ever names its temporary file
// differently, the clean-up below would silently stop matching.
TEST_F(ProjectDocumentTest, QSaveFileTemporaryNameHasTheShapeTheCleanUpLooksFor)
{
    QSaveFile file(path("project.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{}");
    const QStringList entries = QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden);
    file.cancelWriting();
    // An unnamed temporary file (O_TMPFILE) leaves nothing to clean up at all.
    for (const QString &entry : entries)
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^project\\.json\\.[A-Za-z]{6}$")).match(entry).hasMatch())
            << entry.toStdString();
}

TEST_F(ProjectDocumentTest, NextSaveRemovesLeftoversOfKilledSavesOnly)
{
    const QString package = path("show.tovprjct");
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
        writeFile(pkg.filePath(QString::fromLatin1(name)), "{\"partial\":");
    for (const char *name : kept)
        writeFile(pkg.filePath(QString::fromLatin1(name)), "{\"partial\":");
    ASSERT_TRUE(pkg.mkdir(QStringLiteral("project.json.dIrEcT")));
    writeFile(pkg.filePath(QStringLiteral("assets/project.json.aSsEtS")), "{\"partial\":");

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
