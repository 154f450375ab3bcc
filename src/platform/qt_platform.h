#pragma once

#include "core/platform.h"

namespace pell {

// The platform as Qt provides it: real message boxes, dialogs, cursor and processes.
class QtPlatform : public Platform {
public:
    std::optional<QString> saveFileDialog(const SaveDialogSettings& settings) override;
    void beep() override;
    void setPointer(Pointer pointer) override;
    Pointer pointer() const override { return m_pointer; }
    void startProgram(const QString& program, const QStringList& arguments, bool maximized) override;
    QSize screenSizeTwips() const override;

    // "description | pattern" as the file dialog expects it: "description (pattern)".
    static QString nameFilter(const QString& filter);

protected:
    Answer showMessageBox(const QString& text, Buttons buttons, Icon icon, const QString& title) override;
    QString showInputBox(const QString& prompt, const QString& title, const QString& defaultText) override;

private:
    Pointer m_pointer = Pointer::Default;
};

} // namespace pell
