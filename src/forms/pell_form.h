#pragma once

#include "core/app_state.h"

#include <QDialog>

#include <utility>

class QAbstractButton;
class QKeyEvent;

namespace pell {

class DataControl;

// The base of every window but the main one. A window is loaded when it is created (Form_Load), activated
// when first shown (Form_Activate) and unloaded when it closes (Form_Unload): its data sources then get
// Validate with the unload action, so a pending record that OK did not save is dropped. F1 opens the
// window's help topic. Esc does nothing unless the window names a cancel button.
//
// Windows are made as Loaded<WINDOW>: built, then loaded. Their constructors are protected, so that no
// window can be used before its load handler has run, nor load before it is fully built.
class PellForm : public QDialog {
    Q_OBJECT
public:
    ~PellForm() override;

    int helpContext() const { return m_helpContext; }
    // Shows the window modally; returns when it is unloaded, or at once when its load failed.
    void showModal();
    // The load handler or a data source opening after it failed: the failure has been reported, and the
    // window never shows.
    bool loadFailed() const { return m_loadFailed; }
    void setVisible(bool visible) override;
    // Unloads the window (as its Exit command or its title bar's close box does).
    void unload();
    bool isUnloaded() const { return m_unloaded; }

protected:
    PellForm(AppContext& ctx, QWidget* parent, int helpContext);

    // Runs the load handler and then opens the data sources that open after it (Loaded does, once the
    // window is built).
    void load();
    virtual void Form_Load() {}
    virtual void Form_Activate() {}
    // Runs when the window unloads, before its data sources let go of their records.
    virtual void Form_Unload() {}
    // The button Esc presses; none by default.
    void setCancelButton(QAbstractButton* button) { m_cancelButton = button; }
    // Data sources that Refresh right after the load handler returns.
    void refreshAfterLoad(DataControl* control);

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

    AppContext& ctx;

private:
    int m_helpContext;
    bool m_activated = false;
    bool m_unloaded = false;
    bool m_loadFailed = false;
    QAbstractButton* m_cancelButton = nullptr;
    QList<DataControl*> m_refreshAfterLoad;
};

// Enter acts on the button that has the focus, and otherwise only on a default button the window names
// itself: no button becomes the default by having had the focus or by coming first, so Enter in a list, a
// grid or a check box never starts a command that nobody chose. Every window applies it before it shows.
void enterOnlyOnChosenButtons(QWidget* window);
// Enter (or the keypad's Enter) that reached the window with a push button of it focused: presses that
// button. Returns whether it did.
bool pressFocusedButton(QWidget* window, const QKeyEvent* event);

// Tab into a group of option buttons lands on the chosen one, and the arrow keys then choose as they move.
// Every window applies it before it shows; a choice made later (by the program or the administrator)
// moves the group's Tab stop with it.
void tabToTheChosenOption(QWidget* window);

// Where a window's twips put a control past its client area, the client area grows by the missing pixels:
// the controls keep their places and nothing is cut. Every window applies it when it loads.
void growToHoldControls(QWidget* window);

// A window ready for use: WINDOW built with these arguments, then loaded.
template <class W> class Loaded final : public W {
public:
    template <class... Args> explicit Loaded(Args&&... args) : W(std::forward<Args>(args)...) {
        this->load();
    }
};

} // namespace pell
