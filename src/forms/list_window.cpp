#include "forms/list_window.h"

#include "core/command.h"
#include "core/error.h"
#include "core/platform.h"
#include "db/criteria.h"
#include "platform/twips.h"
#include "widgets/data_control.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace pell {

namespace {
const QString ActionNew = QStringLiteral("NEW");
const QString ActionOpen = QStringLiteral("OPEN");
const QString ActionDelete = QStringLiteral("DELETE");

void placeRect(QWidget* widget, const QRect& r) {
    twips::place(widget, r.x(), r.y(), r.width(), r.height());
}

// The list of a list window. An item view makes its first line current when it gets the focus, and the
// focus frame of that line reads as a selection; a list in which nothing is chosen keeps no current line,
// and the first arrow key then chooses the first line.
class ListBox : public QListWidget {
public:
    using QListWidget::QListWidget;

protected:
    void focusInEvent(QFocusEvent* event) override {
        const bool hadCurrent = currentIndex().isValid();
        QListWidget::focusInEvent(event);
        if (!hadCurrent && selectedItems().isEmpty())
            selectionModel()->clearCurrentIndex();
    }
};
} // namespace

// ---------------------------------------------------------------------------------------------------------
// List window

ListWindow::ListWindow(AppContext& context, QWidget* parent, int helpContext, const QString& name,
                       const QString& caption, const ListWindowLayout& layout)
    : PellForm(context, parent, helpContext) {
    setObjectName(name);
    setWindowTitle(caption);

    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    frame->setSizeConstraint(QLayout::SetFixedSize);
    menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    frame->setMenuBar(menuBar);
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    twips::setClientSize(m_client, layout.clientWidth, layout.clientHeight);
    frame->addWidget(m_client);

    Data1 = new DataControl(QStringLiteral("Data1"), this);

    List1 = new ListBox(m_client);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setSortingEnabled(false);
    List1->setUniformItemSizes(true);
    placeRect(List1, layout.list);
    connect(List1, &QListWidget::itemDoubleClicked, this, [this] { command([this] { Modify_Click(); }); });

    const auto makeButton = [this](const char* objectName, const QString& text, const QRect& r) {
        auto* button = new QPushButton(text, m_client);
        button->setObjectName(QString::fromLatin1(objectName));
        placeRect(button, r);
        return button;
    };
    Command1 = makeButton("Command1", QStringLiteral("Add"), layout.add);
    Command2 = makeButton("Command2", QStringLiteral("Modify"), layout.modify);
    Command3 = makeButton("Command3", QStringLiteral("Delete"), layout.remove);
    Command4 = makeButton("Command4", QStringLiteral("Exit"), layout.exit);
    Command2->setDefault(true);
    // The buttons only call the menu entries' procedures.
    connect(Command1, &QPushButton::clicked, this, [this] { command([this] { Add_Click(); }); });
    connect(Command2, &QPushButton::clicked, this, [this] { command([this] { Modify_Click(); }); });
    connect(Command3, &QPushButton::clicked, this, [this] { command([this] { DELETE_Click(); }); });
    connect(Command4, &QPushButton::clicked, this, [this] { command([this] { EXIT_Click(); }); });
    setTabOrder(List1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command4);

    EDIT = menuBar->addMenu(QStringLiteral("&Edit"));
    EDIT->setObjectName(QStringLiteral("EDIT"));
    const auto makeEntry = [this](const char* objectName, const QString& text,
                                  void (ListWindow::*handler)()) {
        QAction* entry = EDIT->addAction(text);
        entry->setObjectName(QString::fromLatin1(objectName));
        connect(entry, &QAction::triggered, this,
                [this, handler] { command([this, handler] { (this->*handler)(); }); });
        return entry;
    };
    ADD = makeEntry("ADD", QStringLiteral("&Add"), &ListWindow::Add_Click);
    MODIFY = makeEntry("MODIFY", QStringLiteral("&Modify"), &ListWindow::Modify_Click);
    DELETE = makeEntry("DELETE", QStringLiteral("&Delete"), &ListWindow::DELETE_Click);
    EDIT->addSeparator()->setObjectName(QStringLiteral("FILL01"));
    EXIT = makeEntry("EXIT", QStringLiteral("&Exit"), &ListWindow::EXIT_Click);

    frame->activate();
}

ListWindow::~ListWindow() = default;

int ListWindow::selectedRow() const {
    const QList<QListWidgetItem*> selected = List1->selectedItems();
    return selected.isEmpty() ? -1 : List1->row(selected.first());
}

void ListWindow::showEditor() {
    std::unique_ptr<PellForm> editor = makeEditor();
    editor->showModal();
}

void ListWindow::FILL_LIST() {
    List1->clear();
    // Each step is tried on its own; an empty table (no first row) leaves the list empty.
    bool failed = false;
    try {
        Data1->refresh();
    } catch (const Error&) {
        failed = true;
    }
    try {
        Data1->rs().moveFirst();
    } catch (const Error&) {
        failed = true;
    }
    if (failed)
        return;

    db::Recordset& rs = Data1->rs();
    const QString& column = ctx.state.HOLD_FIELD;
    QStringList lines;
    lines.reserve(rs.recordCount());
    while (!rs.eof()) {
        try {
            const QVariant value = rs.field(column);
            if (!value.isNull())
                lines << value.toString();
        } catch (const Error&) {
            // A value that cannot be read is not listed.
        }
        try {
            rs.moveNext();
        } catch (const Error&) {
            break; // a record set that cannot move on ends the fill
        }
    }
    List1->addItems(lines);
    List1->clearSelection();
    List1->selectionModel()->clearCurrentIndex();
}

void ListWindow::Add_Click() {
    ctx.state.HOLD_ACTION = ActionNew;
    showEditor();
    FILL_LIST();
}

void ListWindow::Modify_Click() {
    const int row = selectedRow();
    if (row < 0) {
        ctx.platform.messageBox(NoItemSelectedText);
        return;
    }
    ctx.state.HOLD_ACTION = ActionOpen;
    ctx.state.HOLD_VALUE = List1->item(row)->text();
    LAST_INDEX = row;
    showEditor();
    FILL_LIST();
    // The same position again, whatever value now stands there; a shorter list selects nothing.
    if (LAST_INDEX >= 0 && LAST_INDEX < List1->count())
        List1->setCurrentRow(LAST_INDEX);
}

void ListWindow::DELETE_Click() {
    const int row = selectedRow();
    if (row < 0) {
        ctx.platform.messageBox(NoItemSelectedText);
        return;
    }
    if (ctx.platform.messageBox(AreYouSureText, Buttons::OkCancel, Icon::None, DeleteTitle) != Answer::Ok)
        return;
    ctx.state.HOLD_ACTION = ActionDelete;
    ctx.state.HOLD_VALUE = List1->item(row)->text();

    bool vanished = false;
    try {
        Data1->refresh();
        db::Recordset& rs = Data1->rs();
        // Only the row whose key equals the chosen value; the value travels as a parameter, so keys
        // with apostrophes stored by other programs are found too.
        rs.findFirst(db::Criteria::equals(ctx.state.HOLD_FIELD, ctx.state.HOLD_VALUE));
        if (rs.noMatch())
            vanished = true;
        else
            rs.deleteCurrent();
    } catch (const Error& error) {
        if (error.number() != err::RecordDeleted) {
            deleteFailed(error);
            return;
        }
        vanished = true;
    }
    if (vanished)
        ctx.platform.messageBox(VanishedText);
    FILL_LIST();
}

void ListWindow::EXIT_Click() {
    unload();
}

// ---------------------------------------------------------------------------------------------------------
// Editor dialog

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
    filterApostrophes(HOLD_KEY);

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

void EditorDialog::filterApostrophes(QLineEdit* edit) {
    m_apostropheFiltered << edit;
    edit->installEventFilter(this);
}

bool EditorDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* edit = qobject_cast<QLineEdit*>(watched);
        auto* key = static_cast<QKeyEvent*>(event);
        if (edit && m_apostropheFiltered.contains(edit) && key->text() == QStringLiteral("'")) {
            QKeyEvent replaced(QEvent::KeyPress, Qt::Key_QuoteDbl, key->modifiers(), QStringLiteral("\""));
            QCoreApplication::sendEvent(edit, &replaced);
            return true;
        }
    }
    return PellForm::eventFilter(watched, event);
}

void EditorDialog::Form_Activate() {
    Data1->refresh();
    db::Recordset& rs = Data1->rs();
    rs.setLockEdits(false);
    if (ctx.state.HOLD_ACTION == ActionNew)
        rs.addNew();
    else if (ctx.state.HOLD_ACTION == ActionOpen)
        openChosenRow();
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
        // Nothing else is opened in its place: say so and close once the dialog is up.
        ctx.platform.messageBox(VanishedText);
        QMetaObject::invokeMethod(this, &PellForm::unload, Qt::QueuedConnection);
    }
}

void EditorDialog::Command1_Click() {
    if (!beforeSave())
        return;
    try {
        Data1->updateRecord();
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
