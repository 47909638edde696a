#include "ui/theme/window_prompts.h"

#include "model/text.h"
#include "ui/theme/file_dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace korvane {

namespace {

const QString kPackageSuffix = QStringLiteral(".tovprjct");

// A package is a folder; a file inside it (its project.json) stands for it.
QString packageFor(const QString &path)
{
    QFileInfo info(path);
    if (info.fileName().endsWith(kPackageSuffix))
        return info.absoluteFilePath();
    if (info.absolutePath().endsWith(kPackageSuffix))
        return info.absolutePath();
    return {};
}

// Treats ".tovprjct" folders as documents: choosing one (Open/Save on it, a
// double click, or its project.json) answers the dialog instead of entering it.
class PackageFileDialog : public QFileDialog {
public:
    PackageFileDialog(QWidget *parent, const QString &caption) : QFileDialog(parent, caption)
    {
        setOption(QFileDialog::DontUseNativeDialog);
        connect(this, &QFileDialog::directoryEntered, this, [this](const QString &dir) { choose(dir); });
    }

    // The package chosen, else the plain selection, else nothing.
    QString chosen() const
    {
        if (!m_package.isEmpty())
            return m_package;
        return selectedFiles().isEmpty() ? QString() : selectedFiles().constFirst();
    }

    void accept() override
    {
        if (!selectedFiles().isEmpty() && choose(selectedFiles().constFirst()))
            return;
        QFileDialog::accept();
    }

private:
    bool choose(const QString &path)
    {
        const QString package = packageFor(path);
        if (package.isEmpty())
            return false;
        m_package = package;
        done(QDialog::Accepted);
        return true;
    }

    QString m_package;
};

} // namespace

QString safeFileName(const QString &proposed)
{
    QString name = proposed;
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    return name.isEmpty() ? QStringLiteral("Projet") + kPackageSuffix : name;
}

std::optional<std::filesystem::path> DialogPrompts::chooseProjectToOpen()
{
    PackageFileDialog dialog(m_parent, QStringLiteral("Ouvrir un projet"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    prepareFileDialog(dialog);
    dialog.setNameFilter(QStringLiteral("Projets KORVANE (*.tovprjct project.json)"));
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QString package = packageFor(dialog.chosen());
    if (package.isEmpty())
        return std::nullopt;
    return std::filesystem::path(toStd(package));
}

std::optional<std::filesystem::path> DialogPrompts::chooseSaveLocation(const std::string &proposedName)
{
    PackageFileDialog dialog(m_parent, QStringLiteral("Enregistrer le projet"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    prepareFileDialog(dialog);
    dialog.setNameFilter(QStringLiteral("Projets KORVANE (*.tovprjct)"));
    dialog.selectFile(safeFileName(toQString(proposedName)));
    if (dialog.exec() != QDialog::Accepted || dialog.chosen().isEmpty())
        return std::nullopt;
    const QString chosen = dialog.chosen();
    QString target = chosen;
    if (!target.endsWith(kPackageSuffix))
        target += kPackageSuffix;
    if (QFileInfo::exists(target)) {
        const auto answer =
            QMessageBox::question(m_parent, QStringLiteral("KORVANE"),
                                  QStringLiteral("« %1 » existe déjà. Voulez-vous le remplacer ?")
                                      .arg(QFileInfo(target).fileName()),
                                  QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer != QMessageBox::Yes)
            return std::nullopt;
    }
    return std::filesystem::path(toStd(chosen));
}

void DialogPrompts::showAlert(const std::string &title, const std::string &text)
{
    QMessageBox::warning(m_parent, toQString(title), toQString(text));
}

WindowPrompts::UnsavedChoice DialogPrompts::askToSaveChanges(const std::string &projectName)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("KORVANE"),
                    QStringLiteral("Enregistrer les modifications de « %1 » ?").arg(toQString(projectName)),
                    QMessageBox::NoButton, m_parent);
    auto *save = box.addButton(QStringLiteral("Enregistrer"), QMessageBox::AcceptRole);
    auto *discard = box.addButton(QStringLiteral("Ne pas enregistrer"), QMessageBox::DestructiveRole);
    auto *cancel = box.addButton(QStringLiteral("Annuler"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save)
        return UnsavedChoice::save;
    if (box.clickedButton() == discard)
        return UnsavedChoice::discard;
    return UnsavedChoice::cancel;
}

namespace {

// A warning whose destructive button is not the default one.
bool confirm(QWidget *parent, const QString &question, const QString &informative, const QString &action)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("KORVANE"), question, QMessageBox::NoButton, parent);
    box.setInformativeText(informative);
    auto *go = box.addButton(action, QMessageBox::DestructiveRole);
    auto *cancel = box.addButton(QStringLiteral("Annuler"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == go;
}

} // namespace

bool DialogPrompts::confirmDeletion(const std::string &question)
{
    return confirm(m_parent, toQString(question), {}, QStringLiteral("Supprimer"));
}

bool DialogPrompts::confirmEngineStop()
{
    return confirm(
        m_parent, QStringLiteral("Arrêter le moteur MIDI ?"),
        QStringLiteral("Plus aucun message ne passera par KORVANE jusqu'au redémarrage du moteur."),
        QStringLiteral("Arrêter le moteur"));
}

} // namespace korvane
