#include "platform/qt_platform.h"

#include "core/error.h"
#include "platform/twips.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>

namespace pell {

Answer QtPlatform::showMessageBox(const QString& text, Buttons buttons, Icon icon, const QString& title) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title.isEmpty() ? AppTitle : title);
    box.setText(text);
    switch (icon) {
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Icon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case Icon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    }
    switch (buttons) {
    case Buttons::OkOnly:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    case Buttons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    }
    // The pointer is the default while a box waits for an answer.
    const bool overridden = QGuiApplication::overrideCursor() != nullptr;
    if (overridden)
        QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    const int result = box.exec();
    if (overridden)
        QGuiApplication::restoreOverrideCursor();
    switch (result) {
    case QMessageBox::Ok:
        return Answer::Ok;
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    default:
        return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
    }
}

QString QtPlatform::showInputBox(const QString& prompt, const QString& title, const QString& defaultText) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(QApplication::activeWindow(), title.isEmpty() ? AppTitle : title, prompt,
                              QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

QString QtPlatform::nameFilter(const QString& filter) {
    const qsizetype bar = filter.indexOf(u'|');
    if (bar < 0)
        return filter.trimmed();
    QString description = filter.left(bar).trimmed();
    const QString pattern = filter.mid(bar + 1).trimmed();
    if (description.contains(u'('))
        return description;
    return description + QStringLiteral(" (") + pattern + u')';
}

std::optional<QString> QtPlatform::saveFileDialog(const SaveDialogSettings& settings) {
    QFileDialog dialog(QApplication::activeWindow(), settings.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, (settings.flags & 2) == 0);
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!settings.filter.isEmpty())
        dialog.setNameFilter(nameFilter(settings.filter));
    dialog.setDefaultSuffix(settings.defaultExt);
    if (!settings.initialDir.isEmpty())
        dialog.setDirectory(settings.initialDir);
    if (!settings.fileName.isEmpty())
        dialog.selectFile(settings.fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void QtPlatform::beep() {
    QApplication::beep();
}

void QtPlatform::setPointer(Pointer pointer) {
    if (pointer == m_pointer)
        return;
    if (pointer == Pointer::Hourglass)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
    m_pointer = pointer;
}

void QtPlatform::startProgram(const QString& program, const QStringList& arguments, bool maximized) {
    Q_UNUSED(maximized); // the viewer maximizes itself when asked on its command line
    const QFileInfo info(program);
    if (info.isAbsolute() && !info.isExecutable())
        throw Error::make(err::FileNotFound, program);
    if (!QProcess::startDetached(program, arguments))
        throw Error::make(err::FileNotFound, program);
}

QSize QtPlatform::screenSizeTwips() const {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {15360, 11520};
    const QSize px = screen->size();
    return {twips::fromPx(px.width()), twips::fromPx(px.height())};
}

} // namespace pell
