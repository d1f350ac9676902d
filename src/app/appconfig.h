// Build-time settings of the program.
#pragma once

#include <QString>
#include <QUrl>

// The user guide the Help button opens. A local guide that is missing at its
// configured place is looked for beside the program and in the source tree.
QUrl HelpUrl();

// The project's home page, opened by the home page's footer link.
QUrl HomeUrl();

// The link's text: the home page's host name.
QString HomeLinkText();

QString AppVersion();
