#include "app/prompts.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>

#include "app/backend.h"

std::unique_ptr<QMessageBox> CreateMessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons)
{
    auto box = std::make_unique<QMessageBox>(icon, QString::fromLatin1(kMessageCaption), text, buttons,
                                             parent ? parent->window() : nullptr);
    // Escape never picks an answer that changes something when Cancel is offered.
    if (buttons & QMessageBox::Cancel) box->setEscapeButton(QMessageBox::Cancel);
    else if (buttons & QMessageBox::No) box->setEscapeButton(QMessageBox::No);
    return box;
}

namespace {
// The boxes open now, innermost last.
QList<QPointer<QMessageBox>>& OpenBoxes()
{
    static QList<QPointer<QMessageBox>> boxes;
    return boxes;
}
}  // namespace

QMessageBox::StandardButton CQtPromptService::MessageBox(QWidget* parent, const QString& text,
                                                         QMessageBox::Icon icon,
                                                         QMessageBox::StandardButtons buttons)
{
    const std::unique_ptr<QMessageBox> box = CreateMessageBox(parent, text, icon, buttons);
    OpenBoxes().append(box.get());
    const int answer = box->exec();
    OpenBoxes().removeAll(box.get());
    return static_cast<QMessageBox::StandardButton>(answer);
}

void CQtPromptService::DismissQuestion()
{
    if (OpenBoxes().isEmpty() || !OpenBoxes().last()) return;
    QMessageBox* box = OpenBoxes().last();
    box->done(box->standardButtons() & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok);
}

QString CQtPromptService::ChooseImageFile(QWidget* parent)
{
    return QFileDialog::getOpenFileName(parent ? parent->window() : nullptr, QStringLiteral("Open Disk Image"),
                                        QString(),
                                        QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso);;All files (*)"));
}

QString CQtPromptService::ChooseImageSaveFile(QWidget* parent, const QString& suggestedName)
{
    // An existing file is the copy to go on with, not one to replace: the
    // drive page asks about it itself.
    return QFileDialog::getSaveFileName(parent ? parent->window() : nullptr, QStringLiteral("Save Image of the Drive"),
                                        suggestedName,
                                        QStringLiteral("Disk images (*.img);;All files (*)"), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

QString CQtPromptService::ChooseFolder(QWidget* parent, const QString& title)
{
    const QString separator = QStringLiteral("\n \r");
    const qsizetype cut = title.indexOf(separator);
    QFileDialog dialog(parent ? parent->window() : nullptr, cut < 0 ? title : title.left(cut));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    // The warning needs a place inside the dialog, which only Qt's own has.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (cut >= 0) {
        auto* warning = new QLabel(title.mid(cut + separator.size()), &dialog);
        warning->setWordWrap(true);
        warning->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
        if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
            grid->addWidget(warning, grid->rowCount(), 0, 1, grid->columnCount());
    }
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QStringLiteral("") : chosen.first();
}

IPromptService& Prompts()
{
    static CQtPromptService real;
    IPromptService* installed = Services().prompts;
    return installed ? *installed : real;
}

QMessageBox::StandardButton MsgBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                   QMessageBox::StandardButtons buttons)
{
    return Prompts().MessageBox(parent, text, icon, buttons);
}

bool AskYesNo(QWidget* parent, const QString& text)
{
    return MsgBox(parent, text, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
