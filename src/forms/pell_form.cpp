#include "forms/pell_form.h"

#include "app/help_launcher.h"
#include "core/command.h"
#include "core/platform.h"
#include "widgets/data_control.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QKeyEvent>

namespace pell {

PellForm::PellForm(AppContext& context, QWidget* parent, int helpContext)
    : QDialog(parent), ctx(context), m_helpContext(helpContext) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

PellForm::~PellForm() = default;

void PellForm::load() {
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
    QDialog::keyPressEvent(event);
}

void PellForm::reject() {
    // Esc reaches here; only a window with a cancel button reacts to it.
    if (m_cancelButton && m_cancelButton->isEnabled())
        m_cancelButton->click();
}

} // namespace pell
