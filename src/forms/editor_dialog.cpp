#include "forms/editor_dialog.h"

#include "core/command.h"
#include "core/error.h"
#include "core/platform.h"
#include "db/criteria.h"
#include "widgets/data_control.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace pell {

namespace {
// A character typed into a box, as opposed to an editing key or a shortcut.
bool typedCharacter(const QKeyEvent& event) {
    const QString text = event.text();
    return !text.isEmpty() && text.at(0) >= u' ' &&
           !(event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}
} // namespace

EditorDialog::EditorDialog(AppContext& context, QWidget* parent, int helpContext, const QString& name,
                           const QString& caption, int keyMaxLength)
    : PellForm(context, parent, helpContext) {
    setObjectName(name);
    setWindowTitle(caption);

    Data1 = new DataControl(QStringLiteral("Data1"), this);
    Data1->onValidate = &EditorDialog::Data1_Validate;

    HOLD_KEY = new QLineEdit(this);
    HOLD_KEY->setObjectName(QStringLiteral("HOLD_KEY"));
    HOLD_KEY->setMaxLength(keyMaxLength);
    filterKeys(HOLD_KEY, KeyFilter::Apostrophes);

    Command1 = new QPushButton(QStringLiteral("OK"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setDefault(true);
    Command2 = new QPushButton(QStringLiteral("Cancel"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    connect(Command1, &QPushButton::clicked, this,
            [this] { runCommand(ctx.platform, [this] { Command1_Click(); }); });
    connect(Command2, &QPushButton::clicked, this,
            [this] { runCommand(ctx.platform, [this] { Command2_Click(); }); });
}

EditorDialog::~EditorDialog() = default;

void EditorDialog::Data1_Validate(int action, bool& save) {
    if (action == action::Unload)
        save = false;
}

void EditorDialog::filterKeys(QLineEdit* edit, KeyFilter filter) {
    std::erase_if(m_keyFilters, [edit](const auto& entry) { return entry.first == edit; });
    m_keyFilters.emplace_back(edit, filter);
    edit->installEventFilter(this);
}

bool EditorDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return PellForm::eventFilter(watched, event);
    const auto entry = std::find_if(m_keyFilters.begin(), m_keyFilters.end(),
                                    [watched](const auto& e) { return e.first == watched; });
    auto* key = static_cast<QKeyEvent*>(event);
    if (entry == m_keyFilters.end() || !typedCharacter(*key))
        return PellForm::eventFilter(watched, event);
    QString text = key->text();
    if (entry->second != KeyFilter::Lowered)
        text.replace(u'\'', u'"');
    if (entry->second != KeyFilter::Apostrophes)
        text = text.toLower();
    if (text == key->text())
        return PellForm::eventFilter(watched, event);
    // The box gets the filtered character instead; it passes here again and goes through unchanged.
    QKeyEvent replaced(QEvent::KeyPress, key->key(), key->modifiers(), text, key->isAutoRepeat(),
                       ushort(key->count()));
    QCoreApplication::sendEvent(watched, &replaced);
    return true;
}

void EditorDialog::Form_Activate() {
    Data1->refresh();
    db::Recordset& rs = Data1->rs();
    rs.setLockEdits(false);
    if (ctx.state.HOLD_ACTION == hold::New) {
        rs.addNew();
        newRowStarted();
    } else if (ctx.state.HOLD_ACTION == hold::Open) {
        openChosenRow();
    }
}

void EditorDialog::openChosenRow() {
    db::Recordset& rs = Data1->rs();
    rs.findFirst(db::Criteria::equals(ctx.state.HOLD_FIELD, ctx.state.HOLD_VALUE));
    bool vanished = rs.noMatch();
    if (!vanished) {
        try {
            rs.edit();
        } catch (const Error& error) {
            if (error.number() != err::RecordDeleted)
                throw;
            vanished = true;
        }
    }
    if (vanished) {
        rowVanished();
        QMetaObject::invokeMethod(this, &PellForm::unload, Qt::QueuedConnection);
        return;
    }
    rowOpened();
}

void EditorDialog::rowVanished() {
    ctx.platform.messageBox(VanishedText);
}

void EditorDialog::save() {
    Data1->updateRecord();
}

void EditorDialog::Command1_Click() {
    if (!beforeSave())
        return;
    try {
        save();
    } catch (const Error& error) {
        saveFailed(error);
        return;
    }
    unload();
}

void EditorDialog::Command2_Click() {
    unload();
}

} // namespace pell
