#include "savebox.h"

#include <QFileDialog>

void SaveFileDialog::showSave()
{
    QFileDialog dialog(m_parent, m_title, QString(), m_filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(m_defaultExt);
    dialog.selectFile(m_fileName);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        m_fileName = dialog.selectedFiles().constFirst();
}
