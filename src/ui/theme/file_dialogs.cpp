#include "ui/theme/file_dialogs.h"

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeView>

namespace korvane {

namespace {

// Qt's French translation leaves the type column in English.
class FrenchTypes : public QFileIconProvider {
public:
    QString type(const QFileInfo &info) const override { return fileTypeText(info); }
};

// Qt rewrites the accept button's text as the selection changes; this puts
// the save label back before each paint, so "Ouvrir" is never seen.
class SaveLabel : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint || event->type() == QEvent::Show) {
            auto *button = static_cast<QAbstractButton *>(watched);
            if (button->text() != kSave)
                button->setText(kSave);
        }
        return false;
    }

private:
    const QString kSave = QStringLiteral("Enregistrer");
};

} // namespace

QString fileTypeText(const QFileInfo &info)
{
    if (info.isDir())
        return info.fileName().endsWith(QStringLiteral(".tovprjct")) ? QStringLiteral("Projet KORVANE")
                                                                     : QStringLiteral("Dossier");
    const QString suffix = info.suffix();
    return suffix.isEmpty() ? QStringLiteral("Fichier") : QStringLiteral("Fichier ") + suffix.toUpper();
}

void prepareFileDialog(QFileDialog &dialog)
{
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto *types = new FrenchTypes;
    dialog.setIconProvider(types);
    QObject::connect(&dialog, &QObject::destroyed, [types] { delete types; });
    dialog.setViewMode(QFileDialog::Detail);
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Dossier :"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Nom :"));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("Type :"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Annuler"));
    dialog.resize(920, 580);
    if (auto *tree = dialog.findChild<QTreeView *>(QStringLiteral("treeView"))) {
        QHeaderView *header = tree->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int column = 1; column < header->count(); ++column)
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
    if (dialog.acceptMode() == QFileDialog::AcceptSave) {
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Enregistrer"));
        if (auto *box = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox")))
            if (QPushButton *save = box->button(QDialogButtonBox::Save))
                save->installEventFilter(new SaveLabel(save));
    } else {
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Ouvrir"));
    }
}

} // namespace korvane
