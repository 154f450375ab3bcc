#include "users/USER_FORM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/command.h"
#include "core/platform.h"
#include "db/schema.h"
#include "platform/twips.h"
#include "users/team_tree.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>

namespace pell {

namespace {
constexpr int HelpContext = 1;
const QString FullAccessColumn = QStringLiteral("Full_Access");
const QString TeammateAccessColumn = QStringLiteral("Teammate_Access");

// What a typed character becomes in a key field: an apostrophe would end a criteria text early.
QString keyFieldText(const QString& typed) {
    QString text = typed;
    text.replace(u'\'', u'"');
    return text.toLower();
}

QString passwordFieldText(const QString& typed) {
    return typed.toLower();
}

// A yes/no column as a check box reads it: any value but 0 and null is yes.
bool isSet(const QVariant& v) {
    return !v.isNull() && v.toDouble() != 0.0;
}

// The password box shows one "*" per character, whatever character the style would draw.
class AsteriskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return u'*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

bool typedCharacter(const QKeyEvent* event) {
    const QString text = event->text();
    return !text.isEmpty() && text.at(0) >= u' ' &&
           !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}
} // namespace

USER_FORM::USER_FORM(AppContext& context, QWidget* parent) : PellForm(context, parent, HelpContext) {
    setObjectName(QStringLiteral("USER_FORM"));
    setWindowTitle(QStringLiteral("User"));
    twips::setClientSize(this, 6255, 4620);

    const auto label = [this](const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* item = new QLabel(caption, this);
        item->setObjectName(QString::fromLatin1(name));
        twips::place(item, l, t, w, h);
        return item;
    };
    const auto field = [this](const char* name, int maxLength, int l, int t, int w, int h) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setMaxLength(maxLength);
        twips::place(edit, l, t, w, h);
        return edit;
    };
    const auto check = [this](const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* box = new QCheckBox(caption, this);
        box->setObjectName(QString::fromLatin1(name));
        twips::place(box, l, t, w, h);
        return box;
    };
    const auto option = [this](const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* button = new QRadioButton(caption, this);
        button->setObjectName(QString::fromLatin1(name));
        twips::place(button, l, t, w, h);
        return button;
    };
    const auto button = [this](const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        twips::place(b, l, t, w, h);
        return b;
    };

    Label2 = label("Label2", QStringLiteral("User ID"), 120, 120, 1215, 255);
    HOLD_KEY = field("HOLD_KEY", 10, 1440, 120, 975, 360);
    Label1 = label("Label1", QStringLiteral("Name or Role"), 120, 720, 1335, 255);
    Text1 = field("Text1", 30, 1440, 720, 4455, 360);
    Label3 = label("Label3", QStringLiteral("Password"), 120, 1320, 1215, 255);
    Text3 = field("Text3", 20, 1440, 1320, 4455, 360);
    Text3->setEchoMode(QLineEdit::Password);
    auto* asterisks = new AsteriskStyle;
    asterisks->setParent(Text3);
    Text3->setStyle(asterisks);
    Check1 = check("Check1", QStringLiteral("Review Account"), 120, 1920, 1935, 255);
    Check2 = check("Check2", QStringLiteral("Allow Freeform Routing"), 120, 2280, 2415, 255);
    Check3 = check("Check3", QStringLiteral("Edit contact database"), 3600, 1920, 2295, 255);
    Check4 = check("Check4", QStringLiteral("Delete contact database"), 3600, 2280, 2655, 255);
    C_FULL_ACCESS = option("C_FULL_ACCESS", QStringLiteral("Full access to Tasks"), 120, 3000, 3615, 255);
    C_TEAMMATE_ACCESS =
        option("C_TEAMMATE_ACCESS", QStringLiteral("Teammates and Team members"), 120, 3360, 3615, 255);
    Option3 = option("Option3", QStringLiteral("Team member access only"), 120, 3720, 3615, 255);
    C_FULL_ACCESS->setChecked(true);
    Command1 = button("Command1", QStringLiteral("OK"), 360, 4080, 1095, 495);
    Command2 = button("Command2", QStringLiteral("Cancel"), 4800, 4080, 1095, 495);
    Command1->setDefault(true);

    QWidget* order[] = {HOLD_KEY,          Text1,   Text3,    Check1,  Check2, Check3, Check4, C_FULL_ACCESS,
                        C_TEAMMATE_ACCESS, Option3, Command1, Command2};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    HOLD_KEY->installEventFilter(this);
    Text3->installEventFilter(this);
    connect(Command1, &QPushButton::clicked, this, &USER_FORM::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &USER_FORM::Command2_Click);

    Data1 = new DataControl(QStringLiteral("Data1"), this);
    Data1->setRecordSource(QStringLiteral("USER"));
    Data1->bind(HOLD_KEY, db::schema::user::Id);
    Data1->bind(Text1, db::schema::user::Name);
    Data1->bind(Text3, QStringLiteral("User_Password"));
    Data1->bind(Check1, QStringLiteral("User_Review_Account"));
    Data1->bind(Check2, QStringLiteral("Allow_Forwarding"));
    Data1->bind(Check3, QStringLiteral("Edit_Contact_Info"));
    Data1->bind(Check4, QStringLiteral("Delete_Contact_Info"));
    Data1->onValidate = [this](int action, bool& save) { Data1_Validate(action, save); };
    refreshAfterLoad(Data1);

    load();
}

USER_FORM::~USER_FORM() = default;

void USER_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_USER_FORM(*Data1, ctx.state);
}

void USER_FORM::Form_Activate() {
    Data1->refresh();
    db::Recordset& rs = Data1->rs();
    if (ctx.state.HOLD_ACTION == QLatin1String("NEW")) {
        rs.addNew();
        Check2->setChecked(true);
        Check3->setChecked(true);
        Check4->setChecked(true);
    } else if (ctx.state.HOLD_ACTION == QLatin1String("OPEN")) {
        rs.setLockEdits(false);
        rs.findFirst(db::Criteria::equals(ctx.state.HOLD_FIELD, ctx.state.HOLD_VALUE));
        if (rs.noMatch()) {
            // Removed by someone else since the caller looked: editing whatever record is current would
            // change the wrong user.
            message(QStringLiteral("Unable to locate User") + ctx.state.HOLD_VALUE);
            QMetaObject::invokeMethod(this, &PellForm::unload, Qt::QueuedConnection);
            return;
        }
        // Both flags set reads as "Teammates and Team members"; neither as team members only.
        if (isSet(rs.field(TeammateAccessColumn)))
            C_TEAMMATE_ACCESS->setChecked(true);
        else if (isSet(rs.field(FullAccessColumn)))
            C_FULL_ACCESS->setChecked(true);
        else
            Option3->setChecked(true);
        rs.edit();
        m_openedId = rs.field(db::schema::user::Id).toString();
        m_opened = true;
        if (ctx.state.HOLD_VALUE == db::schema::user::Admin)
            HOLD_KEY->setEnabled(false);
    }
}

void USER_FORM::Data1_Validate(int actionCode, bool& save) {
    // Only OK saves: closing the dialog any other way drops the pending record.
    if (actionCode == action::Unload)
        save = false;
}

void USER_FORM::Command1_Click() {
    runCommand(ctx.platform, [this] { save(); });
}

void USER_FORM::Command2_Click() {
    unload();
}

void USER_FORM::message(const QString& text) {
    ctx.platform.messageBox(text, Buttons::OkOnly, Icon::None);
}

void USER_FORM::save() {
    if (HOLD_KEY->text().isEmpty()) {
        message(QStringLiteral("Please Specify User ID"));
        HOLD_KEY->setFocus();
        return;
    }
    if (Text1->text().isEmpty()) {
        message(QStringLiteral("Please Specify User's Name"));
        Text1->setFocus();
        return;
    }
    try {
        db::Recordset& rs = Data1->rs();
        // The two flags follow the chosen level; a flag that already says so keeps its stored form.
        const auto writeFlag = [&rs](const QString& column, bool on) {
            if (isSet(rs.field(column)) != on || rs.editMode() == db::Recordset::EditMode::AddNew)
                rs.setField(column, on ? -1 : 0);
        };
        writeFlag(FullAccessColumn, C_FULL_ACCESS->isChecked());
        writeFlag(TeammateAccessColumn, C_TEAMMATE_ACCESS->isChecked());
        if (ctx.state.HOLD_ACTION == QLatin1String("NEW"))
            rs.setField(db::schema::user::Supervisor,
                        ctx.state.HOLD_VALUE.isEmpty() ? QVariant() : QVariant(ctx.state.HOLD_VALUE));
        const QString newId = HOLD_KEY->text();
        if (m_opened && Data1->dataChanged(HOLD_KEY) && newId != m_openedId) {
            // The team follows its leader's new ID, in the same transaction: if the engine refuses the
            // change (the user owns tasks), nobody's supervisor changes either.
            db::Database& database = *Data1->database();
            db::Transaction tx(database);
            Data1->updateRecord();
            database.execute(QStringLiteral("UPDATE ") + db::quoteIdentifier(db::schema::User) +
                                 QStringLiteral(" SET ") + db::schema::user::Supervisor +
                                 QStringLiteral(" = ?1 WHERE ") + db::schema::user::Supervisor +
                                 QStringLiteral(" = ?2"),
                             {newId, m_openedId});
            tx.commit();
        } else {
            Data1->updateRecord();
        }
    } catch (const Error& error) {
        if (error.number() == err::DuplicateKey || error.number() == err::ReservedDuplicate) {
            message(QStringLiteral("User ID already exists, Please specify another ID."));
            HOLD_KEY->setFocus();
        } else {
            message(error.text());
        }
        return;
    }
    unload();
}

bool USER_FORM::eventFilter(QObject* watched, QEvent* event) {
    static bool refiltering = false;
    if (event->type() == QEvent::KeyPress && !refiltering && (watched == HOLD_KEY || watched == Text3)) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (typedCharacter(key)) {
            const QString text =
                watched == HOLD_KEY ? keyFieldText(key->text()) : passwordFieldText(key->text());
            if (text != key->text()) {
                QKeyEvent replaced(QEvent::KeyPress, key->key(), key->modifiers(), text, key->isAutoRepeat(),
                                   ushort(key->count()));
                const QScopedValueRollback<bool> guard(refiltering, true);
                QCoreApplication::sendEvent(watched, &replaced);
                return true;
            }
        }
    }
    return PellForm::eventFilter(watched, event);
}

} // namespace pell
