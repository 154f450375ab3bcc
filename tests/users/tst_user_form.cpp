// The user editor on a real database: new-user defaults, the access level in two flags, the checks and
// their order, duplicate IDs, Cancel, the key filters, and what an ID change does to the user's team.
#include "core/error.h"
#include "user_window_driver.h"

#include <QCheckBox>
#include <QClipboard>
#include <QRadioButton>

using namespace pell;
using namespace pell::test;

namespace {

const QString DuplicateText = u"User ID already exists, Please specify another ID."_s;

// The whole USER table as text, to prove that nothing changed.
QString table(const QString& db) {
    return scalarRaw(db,
                     u"SELECT group_concat(r, '|') FROM (SELECT User_ID || ',' || User_Name || ',' || "
                     "ifnull(User_Password,'~') || ',' || Full_Access || ',' || Teammate_Access || ',' || "
                     "ifnull(Supervisor_User_ID,'~') AS r FROM \"USER\" ORDER BY rowid)"_s)
        .toString();
}

// One user's supervisor, access flags, review/forwarding/contact flags and password, as text.
QString settings(const QString& db, const QString& id) {
    return userColumn(
               db, id,
               u"ifnull(Supervisor_User_ID,'~') || ',' || Full_Access || ',' || Teammate_Access || ',' || "
               "User_Review_Account || ',' || Allow_Forwarding || ',' || Delete_Contact_Info || ',' || "
               "ifnull(User_Password,'~')"_s)
        .toString();
}

// Opens the editor as the user window does, without waiting for it to close.
std::unique_ptr<USER_FORM> openEditor(Fixture& f, const QString& action, const QString& value) {
    f.state.HOLD_ACTION = action;
    f.state.HOLD_VALUE = value;
    f.state.HOLD_FIELD = u"User_ID"_s;
    auto form = std::make_unique<Loaded<USER_FORM>>(f.ctx, nullptr);
    form->show();
    return form;
}

} // namespace

class TestUserForm : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void newUserStartsWithDefaultsAndJoinsTheSupervisor() {
        Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, u"NEW"_s, u"support"_s);
        QCOMPARE(form->windowTitle(), u"User"_s);
        QVERIFY(!form->Check1->isChecked());
        QVERIFY(form->Check2->isChecked() && form->Check3->isChecked() && form->Check4->isChecked());
        QVERIFY(form->C_FULL_ACCESS->isChecked() && form->HOLD_KEY->isEnabled() &&
                form->Command1->isDefault());
        QCOMPARE(
            (QList<int>{form->HOLD_KEY->maxLength(), form->Text1->maxLength(), form->Text3->maxLength()}),
            (QList<int>{10, 30, 20}));
        QCOMPARE(form->Text3->echoMode(), QLineEdit::Password);
        form->Text3->setText(u"pw"_s);
        QCOMPARE(form->Text3->displayText(), u"**"_s);
        form->Text3->clear();
        form->Check1->setChecked(true);
        typeAnd(u"newbie"_s, u"New starter"_s)(*form);
        QVERIFY(form->isUnloaded());
        QVERIFY(f.platform.boxes().isEmpty());
        QCOMPARE(settings(db, u"newbie"_s), u"support,-1,0,-1,-1,-1,~"_s);

        // Without a supervisor the column holds NULL.
        auto loner = openEditor(f, u"NEW"_s, QString());
        loner->Option3->setChecked(true);
        typeAnd(u"loner"_s, u"On their own"_s)(*loner);
        QVERIFY(loner->isUnloaded());
        QCOMPARE(settings(db, u"loner"_s).section(u',', 0, 2), u"~,0,0"_s);
    }

    void checksCancelCloseAndAVanishedUserWriteNothing() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, u"NEW"_s, u"admin"_s);
        form->Command1->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{u"Please Specify User ID"_s});
        QCOMPARE(form->focusWidget(), form->HOLD_KEY);
        typeAnd(u"someone"_s, {})(*form);
        QCOMPARE(f.platform.boxTexts().last(), u"Please Specify User's Name"_s);
        QCOMPARE(form->focusWidget(), form->Text1);
        QCOMPARE(f.platform.boxes().last().title, u"Pell Admin"_s);
        QCOMPARE(f.platform.boxes().last().buttons, Buttons::OkOnly);
        QCOMPARE(f.platform.boxes().last().icon, Icon::None);
        QVERIFY(!form->isUnloaded());
        QCOMPARE(table(db), before);
        typeAnd(u"ghost"_s, u"Never saved"_s, false)(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(table(db), before);

        auto edit = openEditor(f, u"OPEN"_s, u"clerk2"_s);
        edit->Text1->setText(u"Changed and closed"_s);
        edit->close(); // the title bar's close box
        QCOMPARE(table(db), before);
        QCOMPARE(f.platform.boxes().size(), 2);
        // A user that is gone is reported and the editor closes.
        auto gone = openEditor(f, u"OPEN"_s, u"gone"_s);
        QCOMPARE(f.platform.boxTexts().last(), u"Unable to locate Usergone"_s);
        QTRY_VERIFY(gone->isUnloaded());
        QCOMPARE(table(db), before);
        // Blanks are not empty.
        typeAnd(u"  "_s, u" "_s)(*openEditor(f, u"NEW"_s, u"admin"_s));
        QCOMPARE(userCount(db), 10);
    }

    void duplicateIdKeepsTheDialogThenCorrectionSaves() {
        Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, u"NEW"_s, u"dev"_s);
        form->C_TEAMMATE_ACCESS->setChecked(true);
        typeAnd(u"CLERK1"_s, u"Second clerk one"_s)(*form); // keys compare without regard to case
        QCOMPARE(f.platform.boxTexts(), QStringList{DuplicateText});
        QVERIFY(!form->isUnloaded());
        QCOMPARE(form->focusWidget(), form->HOLD_KEY);
        QCOMPARE(form->Text1->text(), u"Second clerk one"_s);
        QCOMPARE(table(db), before);
        typeAnd(u"clerk3"_s, {})(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(userCount(db), 10);
        QCOMPARE(settings(db, u"clerk3"_s).section(u',', 0, 2), u"dev,0,-1"_s);
        QCOMPARE(userColumn(db, u"clerk1"_s, u"User_Name"_s).toString(), u"Front desk"_s);

        // Renaming onto an existing ID is a duplicate too, and the team is not handed over.
        const QString after = table(db);
        auto rename = openEditor(f, u"OPEN"_s, u"support"_s);
        typeAnd(u"dev"_s, {})(*rename);
        QCOMPARE(f.platform.boxTexts(), (QStringList{DuplicateText, DuplicateText}));
        QVERIFY(!rename->isUnloaded());
        QCOMPARE(table(db), after);
    }

    void accessLevelReadsAndWritesTheTwoFlags() {
        struct Case {
            int full, teammate;
            QRadioButton* USER_FORM::*selected;
            QString saved;
        };
        const Case cases[] = {{-1, 0, &USER_FORM::C_FULL_ACCESS, u"-1,0"_s},
                              {0, -1, &USER_FORM::C_TEAMMATE_ACCESS, u"0,-1"_s},
                              {-1, -1, &USER_FORM::C_TEAMMATE_ACCESS, u"0,-1"_s},
                              {0, 0, &USER_FORM::Option3, u"0,0"_s}};
        for (const Case& c : cases) {
            Fixture f;
            const QString db = f.makeSharedDb();
            execRaw(db,
                    u"UPDATE \"USER\" SET Full_Access = %1, Teammate_Access = %2 WHERE User_ID = 'clerk2'"_s
                        .arg(c.full)
                        .arg(c.teammate));
            auto form = openEditor(f, u"OPEN"_s, u"clerk2"_s);
            QCOMPARE(form->HOLD_KEY->text(), u"clerk2"_s);
            QCOMPARE(form->Text1->text(), u"Back office"_s);
            QVERIFY((form.get()->*c.selected)->isChecked());
            QVERIFY(form->HOLD_KEY->isEnabled());
            form->Command1->click();
            QVERIFY(form->isUnloaded());
            // The supervisor is never changed here.
            QCOMPARE(settings(db, u"clerk2"_s).section(u',', 0, 2), u"support,"_s + c.saved);
        }
    }

    void adminKeepsItsIdButTheRestChanges() {
        Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, u"OPEN"_s, u"admin"_s);
        QVERIFY(!form->HOLD_KEY->isEnabled());
        form->Text3->setText(u"secret"_s);
        form->Option3->setChecked(true);
        typeAnd({}, u"Chief"_s)(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(userColumn(db, u"admin"_s, u"User_Name || User_Password || Full_Access"_s).toString(),
                 u"Chiefsecret0"_s);
        // The test is on the exact text.
        auto other = openEditor(f, u"OPEN"_s, u"Admin"_s);
        QCOMPARE(other->HOLD_KEY->text(), u"admin"_s);
        QVERIFY(other->HOLD_KEY->isEnabled());
    }

    void typedKeysAreFilteredButPastedTextIsNot() {
        Fixture f;
        f.makeSharedDb();
        auto form = openEditor(f, u"NEW"_s, u"admin"_s);
        QTest::keyClicks(form->HOLD_KEY, u"O'Bri"_s);
        QCOMPARE(form->HOLD_KEY->text(), u"o\"bri"_s);
        QTest::keyClicks(form->Text3, u"PaSs'W"_s);
        QCOMPARE(form->Text3->text(), u"pass'w"_s);
        QTest::keyClicks(form->Text1, u"Mixed 'Name'"_s);
        QCOMPARE(form->Text1->text(), u"Mixed 'Name'"_s);
        QApplication::clipboard()->setText(u"X'Y"_s);
        form->HOLD_KEY->clear();
        QTest::keyClick(form->HOLD_KEY, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(form->HOLD_KEY->text(), u"X'Y"_s);
        // The length limit still holds for typed text.
        form->HOLD_KEY->clear();
        QTest::keyClicks(form->HOLD_KEY, u"ABCDEFGHIJKL"_s);
        QCOMPARE(form->HOLD_KEY->text(), u"abcdefghij"_s);
    }

    void idChangeCarriesTheTeamAlong() {
        Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, u"UPDATE \"USER\" SET Supervisor_User_ID = 'SUPPORT' WHERE User_ID = 'clerk2'"_s);
        auto form = openEditor(f, u"OPEN"_s, u"support"_s);
        typeAnd(u"helpdesk"_s, {})(*form);
        QVERIFY(form->isUnloaded());
        const auto team = [&](const QString& lead) {
            return scalarRaw(db,
                             u"SELECT group_concat(User_ID) FROM \"USER\" WHERE Supervisor_User_ID = '"_s +
                                 lead + u"' ORDER BY rowid"_s)
                .toString();
        };
        QCOMPARE(team(u"helpdesk"_s), u"clerk1,clerk2"_s);
        QCOMPARE(team(u"support"_s), QString());
        QCOMPARE(settings(db, u"helpdesk"_s).section(u',', 0, 0), u"admin"_s);
    }

    void refusedIdChangeChangesNobody() {
        Fixture f;
        const QString db = f.makeSharedDb();
        // dev1 owns a task and now leads dev2.
        execRaw(db, u"UPDATE \"USER\" SET Supervisor_User_ID = 'dev1' WHERE User_ID = 'dev2'"_s);
        const QString before = table(db);
        auto form = openEditor(f, u"OPEN"_s, u"dev1"_s);
        typeAnd(u"dev9"_s, {})(*form);
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(f.platform.boxTexts().first().startsWith(standardText(err::RelatedRecords)));
        QVERIFY(!form->isUnloaded());
        QCOMPARE(table(db), before);
        // Still editing: going back to the old ID saves the rest.
        typeAnd(u"dev1"_s, u"Senior programmer"_s)(*form);
        QVERIFY(form->isUnloaded());
        QCOMPARE(userColumn(db, u"dev1"_s, u"User_Name"_s).toString(), u"Senior programmer"_s);
        QCOMPARE(userColumn(db, u"dev2"_s, u"Supervisor_User_ID"_s).toString(), u"dev1"_s);
    }

    void recordChangedMeanwhileShowsTheEngineText() {
        Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, u"OPEN"_s, u"clerk1"_s);
        execRaw(db, u"UPDATE \"USER\" SET User_Name = 'Other program' WHERE User_ID = 'clerk1'"_s);
        typeAnd({}, u"Mine"_s)(*form);
        QCOMPARE(f.platform.boxes().size(), 1);
        QCOMPARE(f.platform.boxTexts().first(), standardText(err::ChangedByOther));
        QVERIFY(!form->isUnloaded());
        QCOMPARE(userColumn(db, u"clerk1"_s, u"User_Name"_s).toString(), u"Other program"_s);
    }
};

QTEST_MAIN(TestUserForm)
#include "tst_user_form.moc"
