#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

class QFileSystemModel;
class QLabel;
class QPushButton;
class QTreeView;

// The folder chooser of the settings page: an instruction above a tree of
// the file system's folders, starting at the root with nothing selected, no
// way to make a folder and no edit box. Only folders can be chosen.
class TFolderDialog : public QDialog {
  Q_OBJECT

 public:
  TFolderDialog(QWidget* Owner, const QString& Instruction);

  // The chosen folder's path; empty while nothing is selected.
  QString SelectedPath() const;
  // Selects Path in the tree, as a click on it would.
  void Select(const QString& Path);

 private:
  QFileSystemModel* FModel;
  QTreeView* FTree;
  QPushButton* FOkButton;
};

// Opens the folder dialog modal to Owner; returns the chosen folder, or
// nothing when the user cancelled.
std::optional<QString> BrowseForFolder(QWidget* Owner, const QString& Instruction);

// How the settings page asks for a folder; tests answer in place of a person.
using TFolderChooser =
    std::function<std::optional<QString>(QWidget* Owner, const QString& Instruction)>;
