#include "ui/shell/window_prompts.h"

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
    QFileDialog dialog(m_parent, QStringLiteral("Ouvrir un projet"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("Projets KORVANE (*.tovprjct project.json)"));
    QString chosen;
    // Entering a package (double click, or Ouvrir on it) chooses it instead.
    QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, [&](const QString &dir) {
        const QString package = packageFor(dir);
        if (!package.isEmpty()) {
            chosen = package;
            static_cast<QDialog &>(dialog).done(QDialog::Accepted);
        }
    });
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    if (chosen.isEmpty() && !dialog.selectedFiles().isEmpty())
        chosen = packageFor(dialog.selectedFiles().constFirst());
    if (chosen.isEmpty())
        return std::nullopt;
    return std::filesystem::path(chosen.toStdString());
}

std::optional<std::filesystem::path> DialogPrompts::chooseSaveLocation(const std::string &proposedName)
{
    QFileDialog dialog(m_parent, QStringLiteral("Enregistrer le projet"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("Projets KORVANE (*.tovprjct)"));
    dialog.selectFile(safeFileName(QString::fromStdString(proposedName)));
    QString chosen;
    QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, [&](const QString &dir) {
        const QString package = packageFor(dir);
        if (!package.isEmpty()) {
            chosen = package;
            static_cast<QDialog &>(dialog).done(QDialog::Accepted);
        }
    });
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    if (chosen.isEmpty() && !dialog.selectedFiles().isEmpty())
        chosen = dialog.selectedFiles().constFirst();
    if (chosen.isEmpty())
        return std::nullopt;
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
    return std::filesystem::path(chosen.toStdString());
}

void DialogPrompts::showAlert(const std::string &title, const std::string &text)
{
    QMessageBox::warning(m_parent, QString::fromStdString(title), QString::fromStdString(text));
}

WindowPrompts::UnsavedChoice DialogPrompts::askToSaveChanges(const std::string &projectName)
{
    QMessageBox box(
        QMessageBox::Warning, QStringLiteral("KORVANE"),
        QStringLiteral("Enregistrer les modifications de « %1 » ?").arg(QString::fromStdString(projectName)),
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

} // namespace korvane
