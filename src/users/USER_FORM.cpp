#include "users/USER_FORM.h"

#include "app/center_form.h"
#include "app/setdbadm.h"
#include "core/platform.h"
#include "db/schema.h"
#include "forms/controls.h"
#include "platform/twips.h"
#include "users/team_tree.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>

namespace pell {

namespace {
constexpr int HelpContext = 1;
constexpr int KeyMaxLength = 10;

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
} // namespace

USER_FORM::USER_FORM(AppContext& context, QWidget* parent)
    : EditorDialog(context, parent, HelpContext, QStringLiteral("USER_FORM"), QStringLiteral("User"),
                   KeyMaxLength) {
    using namespace controls;
    namespace user = db::schema::user;
    twips::setClientSize(this, 6255, 4620);

    Label2 = label(this, "Label2", QStringLiteral("User ID"), 120, 120, 1215, 255);
    twips::place(HOLD_KEY, 1440, 120, 975, 360);
    // User IDs are typed in lower case.
    filterKeys(HOLD_KEY, KeyFilter::ApostrophesLowered);
    Label1 = label(this, "Label1", QStringLiteral("Name or Role"), 120, 720, 1335, 255);
    Text1 = textBox(this, "Text1", 30, 1440, 720, 4455, 360);
    Label3 = label(this, "Label3", QStringLiteral("Password"), 120, 1320, 1215, 255);
    Text3 = textBox(this, "Text3", 20, 1440, 1320, 4455, 360);
    Text3->setEchoMode(QLineEdit::Password);
    auto* asterisks = new AsteriskStyle;
    asterisks->setParent(Text3);
    Text3->setStyle(asterisks);
    filterKeys(Text3, KeyFilter::Lowered);
    Check1 = checkBox(this, "Check1", QStringLiteral("Review Account"), 120, 1920, 1935, 255);
    Check2 = checkBox(this, "Check2", QStringLiteral("Allow Freeform Routing"), 120, 2280, 2415, 255);
    Check3 = checkBox(this, "Check3", QStringLiteral("Edit contact database"), 3600, 1920, 2295, 255);
    Check4 = checkBox(this, "Check4", QStringLiteral("Delete contact database"), 3600, 2280, 2655, 255);
    C_FULL_ACCESS =
        optionButton(this, "C_FULL_ACCESS", QStringLiteral("Full access to Tasks"), 120, 3000, 3615, 255);
    C_TEAMMATE_ACCESS = optionButton(this, "C_TEAMMATE_ACCESS", QStringLiteral("Teammates and Team members"),
                                     120, 3360, 3615, 255);
    Option3 = optionButton(this, "Option3", QStringLiteral("Team member access only"), 120, 3720, 3615, 255);
    C_FULL_ACCESS->setChecked(true);
    twips::place(Command1, 360, 4080, 1095, 495);
    twips::place(Command2, 4800, 4080, 1095, 495);
    tabOrder({HOLD_KEY, Text1, Text3, Check1, Check2, Check3, Check4, C_FULL_ACCESS, C_TEAMMATE_ACCESS,
              Option3, Command1, Command2});

    Data1->setRecordSource(db::schema::User);
    Data1->bind(HOLD_KEY, user::Id);
    Data1->bind(Text1, user::Name);
    Data1->bind(Text3, user::Password);
    Data1->bind(Check1, user::ReviewAccount);
    Data1->bind(Check2, user::AllowForwarding);
    Data1->bind(Check3, user::EditContactInfo);
    Data1->bind(Check4, user::DeleteContactInfo);
    refreshAfterLoad(Data1);
}

void USER_FORM::Form_Load() {
    CENTER_FORM(*this, ctx.platform);
    SETDB_USER_FORM(*Data1, ctx.state);
}

void USER_FORM::message(const QString& text) {
    ctx.platform.messageBox(text, Buttons::OkOnly, Icon::None);
}

void USER_FORM::newRowStarted() {
    Check2->setChecked(true);
    Check3->setChecked(true);
    Check4->setChecked(true);
}

void USER_FORM::rowOpened() {
    const db::Recordset& rs = Data1->rs();
    // Both flags set reads as "Teammates and Team members"; neither as team members only.
    if (isSet(rs.field(db::schema::user::TeammateAccess)))
        C_TEAMMATE_ACCESS->setChecked(true);
    else if (isSet(rs.field(db::schema::user::FullAccess)))
        C_FULL_ACCESS->setChecked(true);
    else
        Option3->setChecked(true);
    m_openedId = rs.field(db::schema::user::Id).toString();
    m_opened = true;
    if (ctx.state.HOLD_VALUE == db::schema::user::Admin)
        HOLD_KEY->setEnabled(false);
}

void USER_FORM::rowVanished() {
    // Removed by someone else since the caller looked: editing whatever record is current would change the
    // wrong user.
    message(QStringLiteral("Unable to locate User") + ctx.state.HOLD_VALUE);
}

bool USER_FORM::beforeSave() {
    if (HOLD_KEY->text().isEmpty()) {
        message(QStringLiteral("Please Specify User ID"));
        HOLD_KEY->setFocus();
        return false;
    }
    if (Text1->text().isEmpty()) {
        message(QStringLiteral("Please Specify User's Name"));
        Text1->setFocus();
        return false;
    }
    return true;
}

void USER_FORM::save() {
    db::Recordset& rs = Data1->rs();
    // The two flags follow the chosen level; a flag that already says so keeps its stored form.
    const auto writeFlag = [&rs](const QString& column, bool on) {
        if (isSet(rs.field(column)) != on || rs.editMode() == db::Recordset::EditMode::AddNew)
            rs.setField(column, on ? -1 : 0);
    };
    writeFlag(db::schema::user::FullAccess, C_FULL_ACCESS->isChecked());
    writeFlag(db::schema::user::TeammateAccess, C_TEAMMATE_ACCESS->isChecked());
    if (ctx.state.HOLD_ACTION == hold::New)
        rs.setField(db::schema::user::Supervisor,
                    ctx.state.HOLD_VALUE.isEmpty() ? QVariant() : QVariant(ctx.state.HOLD_VALUE));
    const QString newId = HOLD_KEY->text();
    if (!m_opened || !Data1->dataChanged(HOLD_KEY) || newId == m_openedId) {
        Data1->updateRecord();
        return;
    }
    // The team follows its leader's new ID, in the same transaction: if the engine refuses the change (the
    // user owns tasks), nobody's supervisor changes either.
    db::Database& database = *Data1->database();
    db::Transaction tx(database);
    Data1->updateRecord();
    users::carryTeamToNewId(database, m_openedId, newId);
    tx.commit();
}

void USER_FORM::saveFailed(const Error& error) {
    if (error.number() == err::DuplicateKey || error.number() == err::ReservedDuplicate) {
        message(QStringLiteral("User ID already exists, Please specify another ID."));
        HOLD_KEY->setFocus();
        return;
    }
    message(error.text());
}

} // namespace pell
