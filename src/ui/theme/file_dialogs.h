#pragma once

#include <QString>

class QFileDialog;
class QFileInfo;

namespace korvane {

// Qt's own file dialog made fit for the window: French in every column,
// large enough to show them all, details view, and "Enregistrer" on the
// accept button of a save dialog whatever is selected (Qt says "Ouvrir" on
// a folder, and a project package is a folder). Call it once the accept
// mode is set.
void prepareFileDialog(QFileDialog &dialog);

// What the type column says of a file or folder.
QString fileTypeText(const QFileInfo &info);

} // namespace korvane
