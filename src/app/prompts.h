// Everything the wizard asks the user goes through one service, so tests can
// answer in the user's place. Message boxes always have the caption
// "Lumivista".
#pragma once

#include <QMessageBox>
#include <QString>

#include <memory>

class QWidget;

class IPromptService {
public:
    virtual ~IPromptService() = default;
    // A message box with the given icon and buttons; returns the button
    // pressed (Ok or Yes/No as asked; Escape and the close box give No or Ok).
    virtual QMessageBox::StandardButton MessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                                   QMessageBox::StandardButtons buttons) = 0;
    // Lets the user pick a disk image file; empty when cancelled.
    virtual QString ChooseImageFile(QWidget* parent) = 0;
    // Lets the user pick a folder. `title` is the instruction; a second part
    // after "\n \r" is a warning shown beside it. A null string when
    // cancelled.
    virtual QString ChooseFolder(QWidget* parent, const QString& title) = 0;
    // Lets the user name the image file a drive is copied into, offering
    // `suggestedName`; empty when cancelled. Services that cannot ask cancel.
    virtual QString ChooseImageSaveFile(QWidget* parent, const QString& suggestedName)
    {
        (void)parent;
        (void)suggestedName;
        return QString();
    }
    // Closes the message box open now, if any, as Escape would (No, or Ok):
    // for a question that an event has made pointless.
    virtual void DismissQuestion() {}
};

// Real dialogs.
class CQtPromptService : public IPromptService {
public:
    QMessageBox::StandardButton MessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons) override;
    QString ChooseImageFile(QWidget* parent) override;
    QString ChooseFolder(QWidget* parent, const QString& title) override;
    QString ChooseImageSaveFile(QWidget* parent, const QString& suggestedName) override;
    void DismissQuestion() override;
};

// The message box CQtPromptService shows, for callers that need to place or
// render it themselves.
std::unique_ptr<QMessageBox> CreateMessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons);

// The service installed in Services(), or the real one.
IPromptService& Prompts();

// Shorthands.
QMessageBox::StandardButton MsgBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                                   QMessageBox::StandardButtons buttons = QMessageBox::Ok);
bool AskYesNo(QWidget* parent, const QString& text);

// The caption of every message box.
inline const char* const kMessageCaption = "Lumivista";
