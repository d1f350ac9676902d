#include "app/aboutdlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/appconfig.h"
#include "app/imageload.h"
#include "app/uifont.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("100"));
    setWindowTitle(QStringLiteral("About Lumivista"));
    setFont(MakeDialogFont(8));
    const DialogUnits units(font());
    setFixedSize(units.X(205), units.Y(59));

    auto* icon = new QLabel(this);
    icon->setPixmap(LoadAppIcon().scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->move(units.X(14), units.Y(14));
    icon->resize(32, 32);

    auto* name = new QLabel(QStringLiteral("Lumivista, Version %1").arg(AppVersion()), this);
    name->setGeometry(units.Rect(42, 14, 114, 8));
    auto* line = new QLabel(QStringLiteral("Recovers lost photos."), this);
    line->setGeometry(units.Rect(42, 26, 114, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(units.Rect(148, 14, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
