#include "app/prompts.h"

#include <QFileDialog>

#include "app/backend.h"

std::unique_ptr<QMessageBox> CreateMessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons)
{
    auto box = std::make_unique<QMessageBox>(icon, QString::fromLatin1(kMessageCaption), text, buttons,
                                             parent ? parent->window() : nullptr);
    if (buttons & QMessageBox::No) box->setEscapeButton(QMessageBox::No);
    return box;
}

QMessageBox::StandardButton CQtPromptService::MessageBox(QWidget* parent, const QString& text,
                                                         QMessageBox::Icon icon,
                                                         QMessageBox::StandardButtons buttons)
{
    const std::unique_ptr<QMessageBox> box = CreateMessageBox(parent, text, icon, buttons);
    return static_cast<QMessageBox::StandardButton>(box->exec());
}

QString CQtPromptService::ChooseImageFile(QWidget* parent)
{
    return QFileDialog::getOpenFileName(parent ? parent->window() : nullptr, QStringLiteral("Open Disk Image"),
                                        QString(),
                                        QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso);;All files (*)"));
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
