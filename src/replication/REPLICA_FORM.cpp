#include "replication/REPLICA_FORM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/command.h"
#include "core/platform.h"
#include "db/schema.h"
#include "platform/twips.h"
#include "replication/CONFLICTS_FORM.h"
#include "replication/replica_commands.h"
#include "replication/replica_pictures.h"
#include "widgets/data_control.h"
#include "widgets/data_grid.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace pell {

namespace {
constexpr int HelpContext = 34;
}

REPLICA_FORM::REPLICA_FORM(AppContext& context, QWidget* parent) : PellForm(context, parent, HelpContext) {
    setObjectName(QStringLiteral("REPLICA_FORM"));
    setWindowTitle(QStringLiteral("Replication Administrator"));

    Data1 = new DataControl(QStringLiteral("Data1"), this);
    Data1->setRecordSource(db::schema::Replica);
    Data1->setExclusive(true);

    menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    UTIL = menuBar->addMenu(QStringLiteral("&Utilities"));
    UTIL->setObjectName(QStringLiteral("UTIL"));
    SYNC = addEntry("SYNC", QStringLiteral("&Syncronize with Replicas"), &REPLICA_FORM::SYNC_Click);
    CREATE = addEntry("CREATE", QStringLiteral("&Create Replica"), &REPLICA_FORM::CREATE_Click);
    DELETE = addEntry("DELETE", QStringLiteral("&Delete Replica"), &REPLICA_FORM::DELETE_Click);
    MASTER = addEntry("MASTER", QStringLiteral("&Make PELL database a Master"), &REPLICA_FORM::MASTER_Click);
    // Beyond the four commands: the conflicts the exchanges logged. N, as C is taken by Create Replica.
    CONFLICTS = addEntry("CONFLICTS", QStringLiteral("Co&nflicts..."), &REPLICA_FORM::CONFLICTS_Click);
    FILL20 = UTIL->addSeparator();
    FILL20->setObjectName(QStringLiteral("FILL20"));
    EXIT = addEntry("EXIT", QStringLiteral("E&xit"), &REPLICA_FORM::EXIT_Click);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    twips::setClientSize(client, 4830, 3210);

    // Made in tab order: the grid first, then the buttons left to right, then the status line.
    DBGrid1 = new DataGrid(*Data1, ctx.platform, client);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->addColumn(QStringLiteral("Replica Location"), db::schema::replica::Location);
    twips::place(DBGrid1, 0, 840, 4815, 2415);

    Command1 = addPictureButton(client, "Command1", replica_pictures::synchronize(),
                                QStringLiteral("Syncronize with Replicas"), 0);
    Command2 = addPictureButton(client, "Command2", replica_pictures::create(),
                                QStringLiteral("Create Replica"), 1200);
    Command4 = addPictureButton(client, "Command4", replica_pictures::remove(),
                                QStringLiteral("Delete Replica Reference"), 2400);
    Command3 = addPictureButton(client, "Command3", replica_pictures::master(),
                                QStringLiteral("Make PELL database a Master"), 3600);
    connect(Command1, &QPushButton::clicked, this, &REPLICA_FORM::SYNC_Click);
    connect(Command2, &QPushButton::clicked, this, &REPLICA_FORM::CREATE_Click);
    connect(Command4, &QPushButton::clicked, this, &REPLICA_FORM::DELETE_Click);
    connect(Command3, &QPushButton::clicked, this, &REPLICA_FORM::MASTER_Click);

    Label2 = new QLabel(client);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette red = Label2->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label2->setPalette(red);
    twips::place(Label2, 120, 600, 4575, 255);
    Label2->setVisible(false);

    setTabOrder(DBGrid1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Command4);
    setTabOrder(Command4, Command3);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar);
    layout->addWidget(client);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
}

REPLICA_FORM::~REPLICA_FORM() = default;

QPushButton* REPLICA_FORM::addPictureButton(QWidget* client, const char* name, const QPixmap& picture,
                                            const QString& tip, int left) {
    auto* button = new QPushButton(client);
    button->setObjectName(QString::fromLatin1(name));
    button->setIcon(QIcon(picture));
    button->setIconSize(QSize(replica_pictures::Size, replica_pictures::Size));
    button->setToolTip(tip);
    twips::place(button, left, 0, 1215, 615);
    return button;
}

QAction* REPLICA_FORM::addEntry(const char* name, const QString& caption, void (REPLICA_FORM::*handler)()) {
    QAction* entry = UTIL->addAction(caption);
    entry->setObjectName(QString::fromLatin1(name));
    connect(entry, &QAction::triggered, this, handler);
    return entry;
}

void REPLICA_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_REPLICA_FORM(*Data1, ctx.state);
    // The list opens here rather than after the load, so a refusal can be told apart from other failures.
    SkipAndRemember opening;
    opening.step([this] { Data1->refresh(); });
    if (opening.number() == err::OpenedExclusively) {
        ctx.platform.messageBox(QStringLiteral("Database is in use.  Unable to open exclusively"),
                                Buttons::OkOnly, Icon::None, {});
        Data1->setExclusive(false);
        // As far as the other holder allows: while it keeps the file to itself the list stays empty, which
        // the message above has already explained.
        SkipAndRemember shared;
        shared.step([this] { Data1->refresh(); });
        Command3->setEnabled(false);
    } else if (opening.failed()) {
        ctx.platform.messageBox(replica::openFailureText(opening.number(), opening.text()), Buttons::OkOnly,
                                Icon::None, {});
    }
    DBGrid1->reload();
}

template <class F> void REPLICA_FORM::command(F&& f) {
    // A location still being typed in the grid is saved before the command looks at the list.
    DBGrid1->commitPendingEdit();
    runCommand(ctx.platform, std::forward<F>(f));
    DBGrid1->reload();
}

void REPLICA_FORM::showProgress(const ProgressReport& report) {
    switch (report.stage) {
    case ProgressReport::Stage::Started:
        Label2->setVisible(true);
        break;
    case ProgressReport::Stage::Step:
        Label2->setText(report.what);
        Label2->repaint();
        break;
    case ProgressReport::Stage::Finished:
        Label2->setVisible(false);
        break;
    }
}

void REPLICA_FORM::SYNC_Click() {
    command([this] {
        replica::synchronizeAll(ctx, Data1->recordset(),
                                [this](const ProgressReport& r) { showProgress(r); });
    });
}

void REPLICA_FORM::CREATE_Click() {
    command([this] { replica::createReplica(ctx, Data1->recordset()); });
}

void REPLICA_FORM::DELETE_Click() {
    command([this] { replica::removeReference(ctx, Data1->recordset()); });
}

void REPLICA_FORM::MASTER_Click() {
    command([this] { replica::makeMaster(ctx, Data1->recordset()); });
}

void REPLICA_FORM::CONFLICTS_Click() {
    DBGrid1->commitPendingEdit();
    command([this] {
        Loaded<CONFLICTS_FORM> conflicts(ctx, this);
        conflicts.showModal();
    });
}

void REPLICA_FORM::EXIT_Click() {
    unload();
}

void REPLICA_FORM::closeEvent(QCloseEvent* event) {
    if (!isUnloaded())
        DBGrid1->commitPendingEdit();
    PellForm::closeEvent(event);
}

} // namespace pell
