#include "app/appconfig.h"

#include <QCoreApplication>
#include <QFileInfo>

QUrl HelpUrl()
{
    const QUrl configured(QString::fromUtf8(LUMIVISTA_HELP_URL));
    if (!configured.isLocalFile() || QFileInfo::exists(configured.toLocalFile())) return configured;
    const QString candidates[] = {
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/doc/lumivista/user-guide/index.html"),
        QString::fromUtf8(LUMIVISTA_SOURCE_GUIDE),
    };
    for (const QString& path : candidates)
        if (QFileInfo::exists(path)) return QUrl::fromLocalFile(QFileInfo(path).canonicalFilePath());
    return configured;
}

QUrl HomeUrl()
{
    return QUrl(QString::fromUtf8(LUMIVISTA_HOME_URL));
}

QString HomeLinkText()
{
    const QUrl url = HomeUrl();
    return url.host().isEmpty() ? url.toString() : url.host();
}

QString AppVersion()
{
    return QString::fromLatin1(LUMIVISTA_VERSION);
}
