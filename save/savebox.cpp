#include "savebox.h"

#include <QFileDialog>
#include <QFileInfo>

namespace {

// Qt reads the patterns of a filter entry from the parentheses at its end.
bool hasPatterns(const QString &entry)
{
    const QString trimmed = entry.trimmed();
    return trimmed.endsWith(u')') && trimmed.contains(u'(');
}

QString entryWithPatterns(const QString &description, const QString &patterns)
{
    return description.trimmed() + QStringLiteral(" (") + patterns.simplified() + u')';
}

} // namespace

QStringList fileDialogNameFilters(const QString &filter, const QString &defaultExt)
{
    if (filter.trimmed().isEmpty())
        return {};
    if (filter.contains(u'|')) {
        const QStringList parts = filter.split(u'|');
        QStringList entries;
        for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
            QString patterns = parts[i + 1];
            patterns.replace(u';', u' ');
            entries << entryWithPatterns(parts[i], patterns);
        }
        if (parts.size() % 2 != 0 && !parts.constLast().trimmed().isEmpty())
            entries << fileDialogNameFilters(parts.constLast(), defaultExt);
        return entries;
    }
    if (hasPatterns(filter))
        return {filter};
    const QString pattern =
        defaultExt.isEmpty() ? QStringLiteral("*") : QStringLiteral("*.") + defaultExt;
    return {entryWithPatterns(filter, pattern)};
}

QString withDefaultExtension(const QString &path, const QString &defaultExt)
{
    if (defaultExt.isEmpty() || path.isEmpty() || QFileInfo(path).fileName().contains(u'.') ||
        QFileInfo(path).isDir())
        return path;
    return path + u'.' + defaultExt;
}

void SaveFileDialog::showSave()
{
    QFileDialog dialog(m_parent, m_title);
    dialog.setObjectName(QStringLiteral("SaveBox"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog, !m_nativeAllowed);
    dialog.setNameFilters(fileDialogNameFilters(m_filter, m_defaultExt));
    dialog.setDefaultSuffix(m_defaultExt);
    dialog.selectFile(m_fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return; // cancelled: the file name stays as it was set
    m_fileName = withDefaultExtension(dialog.selectedFiles().constFirst(), m_defaultExt);
}
