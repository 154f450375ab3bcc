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
    QString title;       // empty: the system's own title for a save dialog
    int flags = 0;       // 2: ask before overwriting, 4: hide the read-only box
    QString filter;      // "description | pattern"
    QString defaultExt;  // added to a name typed without extension
    QString fileName;    // proposed name
    QString initialDir;
};

// What the program asks of the platform: modal boxes, the pointer, the screen, starting other programs.
// Windows reach these only through this interface, so tests can answer every box in advance.
class Platform {
public:
    virtual ~Platform() = default;

    // Empty title: "Pell Admin".
    virtual Answer messageBox(const QString& text, Buttons buttons = Buttons::OkOnly, Icon icon = Icon::None,
                              const QString& title = {}) = 0;
    // The typed text, or an empty text when cancelled.
    virtual QString inputBox(const QString& prompt, const QString& title, const QString& defaultText = {}) = 0;
    // The chosen path, or nothing when cancelled.
    virtual std::optional<QString> saveFileDialog(const SaveDialogSettings& settings) = 0;
    virtual void beep() = 0;
    virtual void setPointer(Pointer pointer) = 0;
    virtual Pointer pointer() const = 0;
    // Starts a program on its own, without waiting. Throws Error 53 when it cannot be started.
    virtual void startProgram(const QString& program, const QStringList& arguments, bool maximized) = 0;
    // Screen size in twips.
    virtual QSize screenSizeTwips() const = 0;
};

// Sets the hourglass for a scope; restores the default pointer however the scope ends.
class HourglassScope {
public:
    explicit HourglassScope(Platform& platform) : m_platform(platform) { m_platform.setPointer(Pointer::Hourglass); }
    ~HourglassScope() { m_platform.setPointer(Pointer::Default); }
    HourglassScope(const HourglassScope&) = delete;
    HourglassScope& operator=(const HourglassScope&) = delete;

private:
    Platform& m_platform;
};

} // namespace pell
