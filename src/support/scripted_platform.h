#pragma once

#include "core/platform.h"

#include <QList>

#include <deque>
#include <functional>

namespace pell {

// A platform for tests: records every box and call, answers boxes from a queue prepared in advance.
class ScriptedPlatform : public Platform {
public:
    struct Box {
        QString text;
        Buttons buttons = Buttons::OkOnly;
        Icon icon = Icon::None;
        QString title;   // as shown: "Pell Admin" when none was given
        Pointer pointer; // the pointer while the box was up
        Answer answer;
    };
    struct Launch {
        QString program;
        QStringList arguments;
        bool maximized = false;
    };

    // Answers for the coming message boxes, in order. A box with no answer queued gets OK, or the first
    // button of its set.
    void queueAnswer(Answer answer) { m_answers.push_back(answer); }
    // Answers for the coming input boxes (an empty text stands for Cancel).
    void queueInput(const QString& text) { m_inputs.push_back(text); }
    // Answers for the coming save dialogs (nothing stands for Cancel).
    void queueSavePath(const std::optional<QString>& path) {
        m_savePaths.push_back({path.has_value(), path.value_or(QString())});
    }

    // Runs when a box is shown, before it is answered: lets a test look at the windows at that moment.
    std::function<void(const Box&)> onBox;

    const QList<Box>& boxes() const { return m_boxes; }
    QStringList boxTexts() const;
    const QList<SaveDialogSettings>& saveDialogs() const { return m_saveDialogs; }
    const QList<QString>& inputPrompts() const { return m_inputPrompts; }
    const QList<Launch>& launches() const { return m_launches; }
    int beeps() const { return m_beeps; }
    const QList<Pointer>& pointerHistory() const { return m_pointerHistory; }
    void clear();

    void setScreenSizeTwips(QSize size) { m_screen = size; }
    // Makes the next start of a program fail as a missing program does.
    void failNextLaunch() { m_failLaunch = true; }

    std::optional<QString> saveFileDialog(const SaveDialogSettings& settings) override;
    void beep() override { ++m_beeps; }
    void setPointer(Pointer pointer) override;
    Pointer pointer() const override { return m_pointer; }
    void startProgram(const QString& program, const QStringList& arguments, bool maximized) override;
    QSize screenSizeTwips() const override { return m_screen; }

protected:
    Answer showMessageBox(const QString& text, Buttons buttons, Icon icon, const QString& title) override;
    QString showInputBox(const QString& prompt, const QString& title, const QString& defaultText) override;

private:
    std::deque<Answer> m_answers;
    std::deque<QString> m_inputs;
    struct SaveAnswer {
        bool chosen;
        QString path;
    };
    std::deque<SaveAnswer> m_savePaths;
    QList<Box> m_boxes;
    QList<SaveDialogSettings> m_saveDialogs;
    QList<QString> m_inputPrompts;
    QList<Launch> m_launches;
    QList<Pointer> m_pointerHistory;
    int m_beeps = 0;
    Pointer m_pointer = Pointer::Default;
    QSize m_screen{15360, 11520}; // 1024 x 768 pixels
    bool m_failLaunch = false;
};

} // namespace pell
