// SPDX-License-Identifier: GPL-3.0-or-later
#include "savebox.h"

#include <QFileDialog>

void SaveFileDialog::showSave()
{
    QFileDialog dialog(m_parent, m_title);
    dialog.setObjectName(QStringLiteral("SaveBox"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog, !m_nativeAllowed);
    dialog.setNameFilter(m_filter);
    dialog.setDefaultSuffix(m_defaultExt);
    dialog.selectFile(m_fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return; // cancelled: the file name stays as it was set
    m_fileName = dialog.selectedFiles().constFirst();
}
