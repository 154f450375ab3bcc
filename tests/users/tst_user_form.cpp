// The user editor on a real database: new-user defaults, the access level in two flags, the checks and
// their order, duplicate IDs, Cancel, the key filters, and what an ID change does to the user's team.
#include "db/error.h"
#include "support/test_support.h"
#include "users/USER_FORM.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

using namespace pell;
using test::execRaw;
using test::scalarRaw;

namespace {

const QString DuplicateText = QStringLiteral("User ID already exists, Please specify another ID.");

// The whole USER table as text, to prove that nothing changed.
QString table(const QString& path) {
    return scalarRaw(path,
                     QStringLiteral("SELECT group_concat(r, '|') FROM (SELECT User_ID || ',' || User_Name || "
                                    "',' || ifnull(User_Password,'~') || ',' || Full_Access || ',' || "
                                    "Teammate_Access || ',' || ifnull(Supervisor_User_ID,'~') AS r FROM "
                                    "\"USER\" ORDER BY rowid)"))
        .toString();
}

QVariant column(const QString& path, const QString& id, const QString& name) {
    return scalarRaw(path, QStringLiteral("SELECT ") + name +
                               QStringLiteral(" FROM \"USER\" WHERE User_ID = '") + id + u'\'');
}

qlonglong userCount(const QString& path) {
    return scalarRaw(path, QStringLiteral("SELECT count(*) FROM \"USER\"")).toLongLong();
}

// Opens the editor as the user window does, without waiting for it to close.
std::unique_ptr<USER_FORM> openEditor(test::Fixture& f, const QString& action, const QString& value) {
    f.state.HOLD_ACTION = action;
    f.state.HOLD_VALUE = value;
    f.state.HOLD_FIELD = QStringLiteral("User_ID");
    auto form = std::make_unique<USER_FORM>(f.ctx, nullptr);
    form->show();
    return form;
}

} // namespace

class TestUserForm : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void newUserStartsWithDefaultsAndJoinsTheSupervisor() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, QStringLiteral("NEW"), QStringLiteral("support"));
        QCOMPARE(form->windowTitle(), QStringLiteral("User"));
        QVERIFY(!form->Check1->isChecked());
        QVERIFY(form->Check2->isChecked() && form->Check3->isChecked() && form->Check4->isChecked());
        QVERIFY(form->C_FULL_ACCESS->isChecked());
        QVERIFY(form->HOLD_KEY->isEnabled());
        QCOMPARE(form->HOLD_KEY->maxLength(), 10);
        QCOMPARE(form->Text1->maxLength(), 30);
        QCOMPARE(form->Text3->maxLength(), 20);
        QCOMPARE(form->Text3->echoMode(), QLineEdit::Password);
        QVERIFY(form->Command1->isDefault());

        form->HOLD_KEY->setText(QStringLiteral("newbie"));
        form->Text1->setText(QStringLiteral("New starter"));
        form->Check1->setChecked(true);
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QVERIFY(f.platform.boxes().isEmpty());
        QCOMPARE(column(db, QStringLiteral("newbie"), QStringLiteral("Supervisor_User_ID")).toString(),
                 QStringLiteral("support"));
        QCOMPARE(column(db, QStringLiteral("newbie"), QStringLiteral("Full_Access")).toInt(), -1);
        QCOMPARE(column(db, QStringLiteral("newbie"), QStringLiteral("Teammate_Access")).toInt(), 0);
        QCOMPARE(column(db, QStringLiteral("newbie"), QStringLiteral("User_Review_Account")).toInt(), -1);
        QCOMPARE(column(db, QStringLiteral("newbie"), QStringLiteral("Allow_Forwarding")).toInt(), -1);
        QCOMPARE(column(db, QStringLiteral("newbie"), QStringLiteral("Delete_Contact_Info")).toInt(), -1);
        QVERIFY(column(db, QStringLiteral("newbie"), QStringLiteral("User_Password")).isNull());
    }

    void newUserWithoutSupervisorStoresNull() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, QStringLiteral("NEW"), QString());
        form->HOLD_KEY->setText(QStringLiteral("loner"));
        form->Text1->setText(QStringLiteral("On their own"));
        form->Option3->setChecked(true);
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(
            scalarRaw(db, QStringLiteral("SELECT Supervisor_User_ID IS NULL FROM \"USER\" WHERE User_ID = "
                                         "'loner'"))
                .toInt(),
            1);
        QCOMPARE(column(db, QStringLiteral("loner"), QStringLiteral("Full_Access")).toInt(), 0);
        QCOMPARE(column(db, QStringLiteral("loner"), QStringLiteral("Teammate_Access")).toInt(), 0);
    }

    void checksComeInOrderAndWriteNothing() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, QStringLiteral("NEW"), QStringLiteral("admin"));
        form->Command1->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Please Specify User ID")});
        QCOMPARE(form->focusWidget(), form->HOLD_KEY);
        form->HOLD_KEY->setText(QStringLiteral("someone"));
        form->Command1->click();
        QCOMPARE(f.platform.boxTexts().last(), QStringLiteral("Please Specify User's Name"));
        QCOMPARE(form->focusWidget(), form->Text1);
        QCOMPARE(f.platform.boxes().last().title, QStringLiteral("Pell Admin"));
        QCOMPARE(f.platform.boxes().last().buttons, Buttons::OkOnly);
        QCOMPARE(f.platform.boxes().last().icon, Icon::None);
        QVERIFY(!form->isUnloaded());
        QCOMPARE(table(db), before);
        // Blanks are not empty.
        form->HOLD_KEY->setText(QStringLiteral("  "));
        form->Text1->setText(QStringLiteral(" "));
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(userCount(db), 9);
    }

    void duplicateIdKeepsTheDialogThenCorrectionSaves() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, QStringLiteral("NEW"), QStringLiteral("dev"));
        form->HOLD_KEY->setText(QStringLiteral("CLERK1")); // keys compare without regard to case
        form->Text1->setText(QStringLiteral("Second clerk one"));
        form->C_TEAMMATE_ACCESS->setChecked(true);
        form->Command1->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{DuplicateText});
        QVERIFY(!form->isUnloaded());
        QCOMPARE(form->focusWidget(), form->HOLD_KEY);
        QCOMPARE(form->Text1->text(), QStringLiteral("Second clerk one"));
        QCOMPARE(userCount(db), 8);

        form->HOLD_KEY->setText(QStringLiteral("clerk3"));
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(userCount(db), 9);
        QCOMPARE(column(db, QStringLiteral("clerk3"), QStringLiteral("Supervisor_User_ID")).toString(),
                 QStringLiteral("dev"));
        QCOMPARE(column(db, QStringLiteral("clerk3"), QStringLiteral("Teammate_Access")).toInt(), -1);
        QCOMPARE(column(db, QStringLiteral("clerk1"), QStringLiteral("User_Name")).toString(),
                 QStringLiteral("Front desk"));
    }

    void cancelOrCloseDropsTheRecord() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, QStringLiteral("NEW"), QStringLiteral("admin"));
        form->HOLD_KEY->setText(QStringLiteral("ghost"));
        form->Text1->setText(QStringLiteral("Never saved"));
        form->Command2->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(table(db), before);

        auto edit = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("clerk2"));
        edit->Text1->setText(QStringLiteral("Changed and closed"));
        edit->close(); // the title bar's close box
        QCOMPARE(table(db), before);
        QVERIFY(f.platform.boxes().isEmpty());
    }

    void accessLevelReadsAndWritesTheTwoFlags() {
        struct Case {
            int full, teammate;
            QRadioButton* USER_FORM::*selected;
            int savedFull, savedTeammate;
        };
        const Case cases[] = {{-1, 0, &USER_FORM::C_FULL_ACCESS, -1, 0},
                              {0, -1, &USER_FORM::C_TEAMMATE_ACCESS, 0, -1},
                              {-1, -1, &USER_FORM::C_TEAMMATE_ACCESS, 0, -1},
                              {0, 0, &USER_FORM::Option3, 0, 0}};
        for (const Case& c : cases) {
            test::Fixture f;
            const QString db = f.makeSharedDb();
            execRaw(db, QStringLiteral(
                            "UPDATE \"USER\" SET Full_Access = %1, Teammate_Access = %2 WHERE User_ID = "
                            "'clerk2'")
                            .arg(c.full)
                            .arg(c.teammate));
            auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("clerk2"));
            QCOMPARE(form->HOLD_KEY->text(), QStringLiteral("clerk2"));
            QCOMPARE(form->Text1->text(), QStringLiteral("Back office"));
            QVERIFY((form.get()->*c.selected)->isChecked());
            QVERIFY(form->HOLD_KEY->isEnabled());
            form->Command1->click();
            QVERIFY(form->isUnloaded());
            QCOMPARE(column(db, QStringLiteral("clerk2"), QStringLiteral("Full_Access")).toInt(),
                     c.savedFull);
            QCOMPARE(column(db, QStringLiteral("clerk2"), QStringLiteral("Teammate_Access")).toInt(),
                     c.savedTeammate);
            QCOMPARE(column(db, QStringLiteral("clerk2"), QStringLiteral("Supervisor_User_ID")).toString(),
                     QStringLiteral("support")); // never changed here
        }
    }

    void adminKeepsItsIdButTheRestChanges() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("admin"));
        QVERIFY(!form->HOLD_KEY->isEnabled());
        form->Text1->setText(QStringLiteral("Chief"));
        form->Text3->setText(QStringLiteral("secret"));
        form->Option3->setChecked(true);
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(column(db, QStringLiteral("admin"), QStringLiteral("User_Name")).toString(),
                 QStringLiteral("Chief"));
        QCOMPARE(column(db, QStringLiteral("admin"), QStringLiteral("User_Password")).toString(),
                 QStringLiteral("secret"));
        QCOMPARE(column(db, QStringLiteral("admin"), QStringLiteral("Full_Access")).toInt(), 0);
        // The test is on the exact text.
        auto other = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("Admin"));
        QCOMPARE(other->HOLD_KEY->text(), QStringLiteral("admin"));
        QVERIFY(other->HOLD_KEY->isEnabled());
    }

    void typedKeysAreFilteredButPastedTextIsNot() {
        test::Fixture f;
        f.makeSharedDb();
        auto form = openEditor(f, QStringLiteral("NEW"), QStringLiteral("admin"));
        QTest::keyClicks(form->HOLD_KEY, QStringLiteral("O'Bri"));
        QCOMPARE(form->HOLD_KEY->text(), QStringLiteral("o\"bri"));
        QTest::keyClicks(form->Text3, QStringLiteral("PaSs'W"));
        QCOMPARE(form->Text3->text(), QStringLiteral("pass'w"));
        QTest::keyClicks(form->Text1, QStringLiteral("Mixed 'Name'"));
        QCOMPARE(form->Text1->text(), QStringLiteral("Mixed 'Name'"));
        QApplication::clipboard()->setText(QStringLiteral("X'Y"));
        form->HOLD_KEY->clear();
        QTest::keyClick(form->HOLD_KEY, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(form->HOLD_KEY->text(), QStringLiteral("X'Y"));
        // The length limit still holds for typed text.
        form->HOLD_KEY->clear();
        QTest::keyClicks(form->HOLD_KEY, QStringLiteral("ABCDEFGHIJKL"));
        QCOMPARE(form->HOLD_KEY->text(), QStringLiteral("abcdefghij"));
    }

    void vanishedUserIsReportedAndNothingChanges() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("gone"));
        QCOMPARE(f.platform.boxTexts(), QStringList{QStringLiteral("Unable to locate Usergone")});
        QTRY_VERIFY(form->isUnloaded());
        QCOMPARE(table(db), before);
    }

    void idChangeCarriesTheTeamAlong() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        execRaw(db, QStringLiteral(
                        "UPDATE \"USER\" SET Supervisor_User_ID = 'SUPPORT' WHERE User_ID = 'clerk2'"));
        auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("support"));
        form->HOLD_KEY->setText(QStringLiteral("helpdesk"));
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(scalarRaw(db, QStringLiteral(
                                   "SELECT group_concat(User_ID) FROM \"USER\" WHERE Supervisor_User_ID = "
                                   "'helpdesk' ORDER BY rowid"))
                     .toString(),
                 QStringLiteral("clerk1,clerk2"));
        QCOMPARE(scalarRaw(
                     db, QStringLiteral("SELECT count(*) FROM \"USER\" WHERE Supervisor_User_ID = 'support'"))
                     .toInt(),
                 0);
        QCOMPARE(column(db, QStringLiteral("helpdesk"), QStringLiteral("Supervisor_User_ID")).toString(),
                 QStringLiteral("admin"));
    }

    void renameOntoAnExistingIdIsADuplicate() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        const QString before = table(db);
        auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("support"));
        form->HOLD_KEY->setText(QStringLiteral("dev"));
        form->Command1->click();
        QCOMPARE(f.platform.boxTexts(), QStringList{DuplicateText});
        QVERIFY(!form->isUnloaded());
        QCOMPARE(table(db), before); // the team was not handed to dev either
    }

    void refusedIdChangeChangesNobody() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        // dev1 owns a task and now leads dev2.
        execRaw(db, QStringLiteral("UPDATE \"USER\" SET Supervisor_User_ID = 'dev1' WHERE User_ID = 'dev2'"));
        const QString before = table(db);
        auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("dev1"));
        form->HOLD_KEY->setText(QStringLiteral("dev9"));
        form->Command1->click();
        QCOMPARE(f.platform.boxes().size(), 1);
        QVERIFY(f.platform.boxTexts().first().startsWith(standardText(err::RelatedRecords)));
        QVERIFY(!form->isUnloaded());
        QCOMPARE(table(db), before);
        // Still editing: going back to the old ID saves the rest.
        form->HOLD_KEY->setText(QStringLiteral("dev1"));
        form->Text1->setText(QStringLiteral("Senior programmer"));
        form->Command1->click();
        QVERIFY(form->isUnloaded());
        QCOMPARE(column(db, QStringLiteral("dev1"), QStringLiteral("User_Name")).toString(),
                 QStringLiteral("Senior programmer"));
        QCOMPARE(column(db, QStringLiteral("dev2"), QStringLiteral("Supervisor_User_ID")).toString(),
                 QStringLiteral("dev1"));
    }

    void recordChangedMeanwhileShowsTheEngineText() {
        test::Fixture f;
        const QString db = f.makeSharedDb();
        auto form = openEditor(f, QStringLiteral("OPEN"), QStringLiteral("clerk1"));
        execRaw(db,
                QStringLiteral("UPDATE \"USER\" SET User_Name = 'Other program' WHERE User_ID = 'clerk1'"));
        form->Text1->setText(QStringLiteral("Mine"));
        form->Command1->click();
        QCOMPARE(f.platform.boxes().size(), 1);
        QCOMPARE(f.platform.boxTexts().first(), standardText(err::ChangedByOther));
        QVERIFY(!form->isUnloaded());
        QCOMPARE(column(db, QStringLiteral("clerk1"), QStringLiteral("User_Name")).toString(),
                 QStringLiteral("Other program"));
    }
};

QTEST_MAIN(TestUserForm)
#include "tst_user_form.moc"
