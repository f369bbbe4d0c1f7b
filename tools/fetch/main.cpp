// SPDX-License-Identifier: GPL-3.0-or-later
#include "fetchcommand.h"
#include "productinfo.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-fetch"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1 %2").arg(
        QString::fromLatin1(ProductInfo::Name), QString::fromLatin1(ProductInfo::Version)));
    return FetchCommand().run(QCoreApplication::arguments());
}
