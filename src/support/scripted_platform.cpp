#include "support/scripted_platform.h"

#include "core/error.h"

namespace pell {

QStringList ScriptedPlatform::boxTexts() const {
    QStringList texts;
    for (const Box& box : m_boxes)
        texts << box.text;
    return texts;
}

void ScriptedPlatform::clear() {
    m_answers.clear();
    m_inputs.clear();
    m_savePaths.clear();
    m_boxes.clear();
    m_saveDialogs.clear();
    m_inputPrompts.clear();
    m_launches.clear();
    m_pointerHistory.clear();
    m_beeps = 0;
}

Answer ScriptedPlatform::showMessageBox(const QString& text, Buttons buttons, Icon icon,
                                        const QString& title) {
    Answer answer = buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
    if (!m_answers.empty()) {
        answer = m_answers.front();
        m_answers.pop_front();
    }
    Box box{text, buttons, icon, title.isEmpty() ? AppTitle : title, m_pointer, answer};
    if (onBox)
        onBox(box);
    m_boxes << box;
    return answer;
}

QString ScriptedPlatform::showInputBox(const QString& prompt, const QString& title,
                                       const QString& defaultText) {
    Q_UNUSED(title);
    Q_UNUSED(defaultText);
    m_inputPrompts << prompt;
    if (m_inputs.empty())
        return {};
    QString text = m_inputs.front();
    m_inputs.pop_front();
    return text;
}

std::optional<QString> ScriptedPlatform::saveFileDialog(const SaveDialogSettings& settings) {
    m_saveDialogs << settings;
    if (m_savePaths.empty())
        return std::nullopt;
    const SaveAnswer answer = m_savePaths.front();
    m_savePaths.pop_front();
    if (!answer.chosen)
        return std::nullopt;
    return answer.path;
}

void ScriptedPlatform::setPointer(Pointer pointer) {
    m_pointer = pointer;
    m_pointerHistory << pointer;
}

void ScriptedPlatform::startProgram(const QString& program, const QStringList& arguments, bool maximized) {
    if (m_failLaunch) {
        m_failLaunch = false;
        throw Error::make(err::FileNotFound, program);
    }
    m_launches << Launch{program, arguments, maximized};
}

} // namespace pell
