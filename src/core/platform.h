#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

namespace pell {

// The application title, shown by every message box that names no title of its own.
inline const QString AppTitle = QStringLiteral("Pell Admin");

enum class Buttons { OkOnly = 0, OkCancel = 1, YesNo = 4 };
enum class Icon { None, Critical, Question, Exclamation, Information };
enum class Answer { Ok = 1, Cancel = 2, Yes = 6, No = 7 };
enum class Pointer { Default = 0, Hourglass = 11 };

// Settings of the save-file dialog, rewritten by its caller at every use.
struct SaveDialogSettings {
    QString title;      // empty: the system's own title for a save dialog
    int flags = 0;      // 2: ask before overwriting, 4: hide the read-only box
    QString filter;     // "description | pattern"
    QString defaultExt; // added to a name typed without extension
    QString fileName;   // proposed name
    QString initialDir;
};

// What the program asks of the platform: modal boxes, the pointer, the screen, starting other programs.
// Windows and commands reach these only through this interface: the program gives them the real toolkit
// (QtPlatform), pelldb a console that answers for the administrator, tests a script (ScriptedPlatform).
class Platform {
public:
    virtual ~Platform() = default;

    // Empty title: "Pell Admin".
    Answer messageBox(const QString& text, Buttons buttons = Buttons::OkOnly, Icon icon = Icon::None,
                      const QString& title = {}) {
        return showMessageBox(text, buttons, icon, title);
    }
    // The typed text, or an empty text when cancelled.
    QString inputBox(const QString& prompt, const QString& title, const QString& defaultText = {}) {
        return showInputBox(prompt, title, defaultText);
    }
    // The chosen path, or nothing when cancelled.
    virtual std::optional<QString> saveFileDialog(const SaveDialogSettings& settings) = 0;
    virtual void beep() = 0;
    virtual void setPointer(Pointer pointer) = 0;
    virtual Pointer pointer() const = 0;
    // Starts a program on its own, without waiting. Throws Error 53 when it cannot be started.
    virtual void startProgram(const QString& program, const QStringList& arguments, bool maximized) = 0;
    // Screen size in twips.
    virtual QSize screenSizeTwips() const = 0;

protected:
    virtual Answer showMessageBox(const QString& text, Buttons buttons, Icon icon, const QString& title) = 0;
    virtual QString showInputBox(const QString& prompt, const QString& title, const QString& defaultText) = 0;
};

// Shows a pointer for a scope (the hourglass, while a long engine operation runs) and gives back the one
// that was there before, however the scope ends; scopes nest.
class PointerScope {
public:
    explicit PointerScope(Platform& platform, Pointer pointer = Pointer::Hourglass)
        : m_platform(platform), m_before(platform.pointer()) {
        m_platform.setPointer(pointer);
    }
    ~PointerScope() { m_platform.setPointer(m_before); }
    PointerScope(const PointerScope&) = delete;
    PointerScope& operator=(const PointerScope&) = delete;

private:
    Platform& m_platform;
    Pointer m_before;
};

// The confirmation every window and command asks before it deletes or rewrites: "Are you sure?" with the
// given buttons and title. True when the administrator goes on (only OK or Yes does).
inline const QString AreYouSureText = QStringLiteral("Are you sure?");
inline bool areYouSure(Platform& platform, Buttons buttons, const QString& title) {
    const Answer answer = platform.messageBox(AreYouSureText, buttons, Icon::None, title);
    return answer == Answer::Ok || answer == Answer::Yes;
}

} // namespace pell
