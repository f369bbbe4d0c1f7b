// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "productinfo.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(ProductInfo::Name));
    QApplication::setApplicationVersion(QString::fromLatin1(ProductInfo::Version));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tarnwick.Tarnwick"));

    Main window;
    window.show();
    return app.exec();
}
