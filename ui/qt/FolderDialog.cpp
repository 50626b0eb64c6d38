#include "ui/qt/FolderDialog.h"

#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

TFolderDialog::TFolderDialog(QWidget* Owner, const QString& Instruction)
    : QDialog(Owner), FModel(new QFileSystemModel(this)), FTree(new QTreeView(this)) {
  setObjectName("seldir");
  setWindowTitle(Instruction);
  setModal(true);
  resize(320, 360);

  auto* Label = new QLabel(Instruction, this);
  Label->setObjectName("lbInstruction");
  Label->setWordWrap(true);

  FModel->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  FModel->setReadOnly(true);
  // An empty root path lists the roots of the file system: "/" here, the
  // drives on Windows.
  FModel->setRootPath(QString());
  FTree->setObjectName("tvFolders");
  FTree->setModel(FModel);
  for (int Column = 1; Column < FModel->columnCount(); ++Column) FTree->hideColumn(Column);
  FTree->header()->hide();
  FTree->setSelectionMode(QAbstractItemView::SingleSelection);

  auto* Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  FOkButton = Buttons->button(QDialogButtonBox::Ok);
  FOkButton->setText("OK");
  Buttons->button(QDialogButtonBox::Cancel)->setText("Отмена");
  FOkButton->setEnabled(false);
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(FTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { FOkButton->setEnabled(!SelectedPath().isEmpty()); });

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Label);
  Layout->addWidget(FTree);
  Layout->addWidget(Buttons);
}

QString TFolderDialog::SelectedPath() const {
  const QModelIndexList Selected = FTree->selectionModel()->selectedIndexes();
  return Selected.isEmpty() ? QString() : FModel->filePath(Selected.first());
}

void TFolderDialog::Select(const QString& Path) {
  const QModelIndex Index = FModel->index(Path);
  FTree->selectionModel()->select(Index, QItemSelectionModel::ClearAndSelect);
  FTree->scrollTo(Index);
}

std::optional<QString> BrowseForFolder(QWidget* Owner, const QString& Instruction) {
  TFolderDialog Dialog(Owner, Instruction);
  if (Dialog.exec() != QDialog::Accepted || Dialog.SelectedPath().isEmpty()) return std::nullopt;
  return Dialog.SelectedPath();
}
