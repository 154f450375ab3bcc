#include "shell/Admin_FORM.h"

#include "app/help_launcher.h"
#include "core/command.h"
#include "core/platform.h"
#include "forms/pell_form.h"
#include "lookups/F_LOOKUP.h"
#include "maintenance/maintenance_commands.h"
#include "platform/program_font.h"
#include "platform/twips.h"
#include "replication/REPLICA_FORM.h"
#include "shell/ABOUT_FORM.h"
#include "system/F_SYSTEM.h"
#include "tools/F_TOOL.h"
#include "users/F_USER.h"

#include <QKeyEvent>
#include <QMenuBar>
#include <QPushButton>

#include <cstdlib>

namespace pell {

namespace {
constexpr int HelpContext = 400;
}

Admin_FORM::Admin_FORM(AppContext& context) : ctx(context) {
    setObjectName(QStringLiteral("Admin_FORM"));
    setWindowTitle(QStringLiteral("Administrator"));
    endProgram = [] { std::exit(0); };

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    twips::setClientSize(client, 3870, 1785);
    setCentralWidget(client);

    // Tab order follows the order the buttons are made in.
    Command3D2 = addButton("Command3D2", QStringLiteral("Users"), 0, 0, 975, 975, &Admin_FORM::USERS_Click);
    Command3D3 = addButton("Command3D3", QStringLiteral("Tools"), 0, 960, 975, 855, &Admin_FORM::TOOLS_Click);
    Command3D1 =
        addButton("Command3D1", QStringLiteral("System"), 960, 0, 1935, 375, &Admin_FORM::SYSTEM_Click);
    Command3D8 = addButton("Command3D8", QStringLiteral("Backup Database"), 960, 360, 1935, 375,
                           &Admin_FORM::BACKUP_CLICK);
    Command3D7 = addButton("Command3D7", QStringLiteral("Repair Database"), 960, 720, 1935, 375,
                           &Admin_FORM::REPAIR_CLICK);
    Command3D6 = addButton("Command3D6", QStringLiteral("Compact Database"), 960, 1080, 1935, 375,
                           &Admin_FORM::COMPACT_CLICK);
    Command3D4 =
        addButton("Command3D4", QStringLiteral("Tables"), 2880, 0, 975, 975, &Admin_FORM::LOOKUP_CLICK);
    Command3D5 =
        addButton("Command3D5", QStringLiteral("Exit"), 2880, 960, 975, 855, &Admin_FORM::EXIT_Click);
    SSCommand1 = addButton("SSCommand1", QStringLiteral("Replication"), 960, 1440, 1935, 375,
                           &Admin_FORM::SSCommand1_Click);

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("FILE"));
    addEntry(file, "SYSTEM", QStringLiteral("&System"), &Admin_FORM::SYSTEM_Click);
    addEntry(file, "USERS", QStringLiteral("&Users"), &Admin_FORM::USERS_Click);
    addEntry(file, "TOOLS", QStringLiteral("&Tools"), &Admin_FORM::TOOLS_Click);
    addEntry(file, "LOOKUP", QStringLiteral("&Lookup Tables"), &Admin_FORM::LOOKUP_CLICK);
    addEntry(file, "COMPACT", QStringLiteral("&Compact Database"), &Admin_FORM::COMPACT_CLICK);
    addEntry(file, "REPAIR", QStringLiteral("&Repair Database"), &Admin_FORM::REPAIR_CLICK);
    addEntry(file, "BACKUP", QStringLiteral("Backup Database"), &Admin_FORM::BACKUP_CLICK);
    file->addSeparator()->setObjectName(QStringLiteral("FILL"));
    addEntry(file, "EXIT", QStringLiteral("&Exit"), &Admin_FORM::EXIT_Click);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("HELP"));
    addEntry(help, "CONTENTS", QStringLiteral("&Contents"), &Admin_FORM::CONTENTS_Click);
    help->addSeparator()->setObjectName(QStringLiteral("FILL01"));
    addEntry(help, "ABOUT", QStringLiteral("&About"), &Admin_FORM::ABOUT_Click);

    growToHoldControls(this);
    enterOnlyOnChosenButtons(this);
    adjustSize();
    setFixedSize(sizeHint());
}

Admin_FORM::~Admin_FORM() {
    delete m_replica.data();
}

QPushButton* Admin_FORM::addButton(const char* name, const QString& caption, int left, int top, int width,
                                   int height, void (Admin_FORM::*handler)()) {
    auto* button = new QPushButton(caption, centralWidget());
    button->setObjectName(QString::fromLatin1(name));
    button->setFont(programFont(true));
    twips::place(button, left, top, width, height);
    connect(button, &QPushButton::clicked, this, handler);
    return button;
}

QAction* Admin_FORM::addEntry(QMenu* menu, const char* name, const QString& caption,
                              void (Admin_FORM::*handler)()) {
    QAction* entry = menu->addAction(caption);
    entry->setObjectName(QString::fromLatin1(name));
    connect(entry, &QAction::triggered, this, handler);
    return entry;
}

template <class F> void Admin_FORM::command(F&& f) {
    runCommand(ctx.platform, std::forward<F>(f));
}

void Admin_FORM::SYSTEM_Click() {
    command([this] {
        Loaded<F_SYSTEM> window(ctx, this);
        window.showModal();
    });
}

void Admin_FORM::USERS_Click() {
    command([this] {
        Loaded<F_USER> window(ctx, this);
        window.showModal();
    });
}

void Admin_FORM::TOOLS_Click() {
    command([this] {
        Loaded<F_TOOL> window(ctx, this);
        window.showModal();
    });
}

void Admin_FORM::LOOKUP_CLICK() {
    command([this] {
        Loaded<F_LOOKUP> window(ctx, this);
        window.showModal();
    });
}

void Admin_FORM::COMPACT_CLICK() {
    command([this] { pell::COMPACT_CLICK(ctx); });
}

void Admin_FORM::REPAIR_CLICK() {
    command([this] { pell::REPAIR_CLICK(ctx); });
}

void Admin_FORM::BACKUP_CLICK() {
    command([this] { pell::BACKUP_CLICK(ctx); });
}

void Admin_FORM::EXIT_Click() {
    endProgram();
}

void Admin_FORM::CONTENTS_Click() {
    command([this] { showHelpContents(ctx); });
}

void Admin_FORM::ABOUT_Click() {
    command([this] {
        Loaded<ABOUT_FORM> window(ctx, this);
        window.showModal();
    });
}

void Admin_FORM::SSCommand1_Click() {
    if (m_replica) {
        m_replica->raise();
        m_replica->activateWindow();
        return;
    }
    command([this] {
        auto* window = new Loaded<REPLICA_FORM>(ctx, nullptr);
        if (window->loadFailed()) {
            delete window;
            return;
        }
        window->setAttribute(Qt::WA_DeleteOnClose);
        m_replica = window;
        window->show();
    });
}

REPLICA_FORM* Admin_FORM::replicaWindow() const {
    return m_replica.data();
}

void Admin_FORM::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        command([this] { showHelpTopic(ctx, HelpContext); });
        event->accept();
        return;
    }
    // Enter presses the button that has the focus, as Space does; the window has no default button.
    if (pressFocusedButton(this, event)) {
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

} // namespace pell
