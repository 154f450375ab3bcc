#include "forms/pell_form.h"

#include "app/help_launcher.h"
#include "core/command.h"
#include "core/platform.h"
#include "widgets/data_control.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <utility>

namespace pell {

void enterOnlyOnChosenButtons(QWidget* window) {
    for (QPushButton* button : window->findChildren<QPushButton*>())
        button->setAutoDefault(false);
}

bool pressFocusedButton(QWidget* window, const QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    auto* button = qobject_cast<QPushButton*>(window->focusWidget());
    if (!button || button->window() != window || !button->isEnabled() || !button->isVisible())
        return false;
    button->click();
    return true;
}

namespace {
// The option buttons that choose together with this one: those of the same parent.
QList<QRadioButton*> optionGroup(const QRadioButton* option) {
    QList<QRadioButton*> group;
    for (QRadioButton* b : option->parentWidget()->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly))
        if (b->autoExclusive())
            group << b;
    return group;
}

// Only the chosen option (the first when none is) takes the Tab stop; the others take the focus from a click
// or from the arrow keys, which choose them.
void moveTabStop(const QRadioButton* option) {
    const QList<QRadioButton*> group = optionGroup(option);
    const bool anyChosen = std::any_of(group.cbegin(), group.cend(), [](auto* b) { return b->isChecked(); });
    for (QRadioButton* b : group) {
        const bool stop = anyChosen ? b->isChecked() : b == group.constFirst();
        b->setFocusPolicy(stop ? Qt::StrongFocus : Qt::ClickFocus);
    }
}
} // namespace

void tabToTheChosenOption(QWidget* window) {
    for (QRadioButton* option : window->findChildren<QRadioButton*>()) {
        if (!option->autoExclusive())
            continue;
        if (!option->property("pellTabStop").toBool()) {
            option->setProperty("pellTabStop", true);
            QObject::connect(option, &QRadioButton::toggled, option, [option](bool on) {
                if (on)
                    moveTabStop(option);
            });
        }
        moveTabStop(option);
    }
}

void growToHoldControls(QWidget* window) {
    QList<QWidget*> areas{window};
    areas += window->findChildren<QWidget*>();
    for (QWidget* area : std::as_const(areas)) {
        // Client areas are those of a fixed size whose controls are placed by hand, not by a layout.
        if (area->layout() || area->minimumSize() != area->maximumSize())
            continue;
        QRect used;
        for (QWidget* control : area->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!control->isWindow())
                used |= control->geometry();
        const int width = qMax(area->width(), used.right() + 1);
        const int height = qMax(area->height(), used.bottom() + 1);
        if (width != area->width() || height != area->height())
            area->setFixedSize(width, height);
    }
    // A window around its client area by a layout takes the new size now, before it is placed.
    if (window->layout())
        window->layout()->activate();
}

PellForm::PellForm(AppContext& context, QWidget* parent, int helpContext)
    : QDialog(parent), ctx(context), m_helpContext(helpContext) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

PellForm::~PellForm() = default;

void PellForm::load() {
    // Before the load handler places the window by its size.
    growToHoldControls(this);
    m_loadFailed = !runCommand(ctx.platform, [this] { Form_Load(); });
    for (DataControl* control : std::as_const(m_refreshAfterLoad)) {
        if (m_loadFailed)
            break;
        try {
            control->refresh();
        } catch (const Error& error) {
            ctx.platform.messageBox(error.text());
            m_loadFailed = true;
        }
    }
    if (m_loadFailed) {
        // Reported once; the command that opens the window ends here.
        m_unloaded = true;
        for (DataControl* control : findChildren<DataControl*>())
            control->close();
    }
}

void PellForm::setVisible(bool visible) {
    if (visible && m_loadFailed)
        return;
    // Before the dialog looks for a button to make the default.
    if (visible) {
        enterOnlyOnChosenButtons(this);
        tabToTheChosenOption(this);
    }
    QDialog::setVisible(visible);
}

void PellForm::refreshAfterLoad(DataControl* control) {
    m_refreshAfterLoad << control;
}

void PellForm::showModal() {
    if (m_loadFailed)
        return;
    setModal(true);
    exec();
}

void PellForm::unload() {
    close();
}

void PellForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_activated) {
        m_activated = true;
        runCommand(ctx.platform, [this] { Form_Activate(); });
    }
}

void PellForm::closeEvent(QCloseEvent* event) {
    if (!m_unloaded) {
        m_unloaded = true;
        runCommand(ctx.platform, [this] { Form_Unload(); });
        for (DataControl* control : findChildren<DataControl*>())
            control->unload();
    }
    event->accept();
    QDialog::done(QDialog::Rejected);
}

void PellForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1 && m_helpContext > 0) {
        runCommand(ctx.platform, [this] { showHelpTopic(ctx, m_helpContext); });
        event->accept();
        return;
    }
    if (pressFocusedButton(this, event)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void PellForm::reject() {
    // Esc reaches here; only a window with a cancel button reacts to it.
    if (m_cancelButton && m_cancelButton->isEnabled())
        m_cancelButton->click();
}

} // namespace pell
