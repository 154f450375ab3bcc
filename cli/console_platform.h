#pragma once

#include "core/platform.h"

#include <QStringList>

#include <optional>

namespace pell::cli {

// Answers the commands' questions as the administrator who asked for the command would: Yes to the
// confirmation, the destination given on the command line to the save dialog. Every message is kept.
class ConsolePlatform : public Platform {
public:
    explicit ConsolePlatform(QString savePath) : m_savePath(std::move(savePath)) {}

    std::optional<QString> saveFileDialog(const SaveDialogSettings&) override { return m_savePath; }
    void beep() override {}
    void setPointer(Pointer pointer) override { m_pointer = pointer; }
    Pointer pointer() const override { return m_pointer; }
    void startProgram(const QString&, const QStringList&, bool) override {}
    QSize screenSizeTwips() const override { return {}; }

    const QStringList& messages() const { return m_messages; }

protected:
    Answer showMessageBox(const QString& text, Buttons buttons, Icon, const QString&) override {
        if (buttons == Buttons::YesNo)
            return Answer::Yes;
        m_messages << text;
        return Answer::Ok;
    }
    QString showInputBox(const QString&, const QString&, const QString&) override { return {}; }

private:
    QString m_savePath;
    QStringList m_messages;
    Pointer m_pointer = Pointer::Default;
};

} // namespace pell::cli
