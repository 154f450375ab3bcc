// The data-source control: binding, saving through bound controls and the unload that drops a pending
// record.
#include "db/database.h"
#include "forms/pell_form.h"
#include "support/test_support.h"
#include "widgets/data_control.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

using namespace pell;

namespace {
// A small editor window over LU_Priority, as the real editors are built.
class Editor : public PellForm {
public:
    Editor(AppContext& c, bool refuseOnUnload) : PellForm(c, nullptr, 0), refuse(refuseOnUnload) {
        Data1 = new DataControl(QStringLiteral("Data1"), this);
        key = new QLineEdit(this);
        Data1->setDatabaseName(c.state.DATABASE_PATH);
        Data1->setRecordSource(QStringLiteral("LU_Priority"));
        Data1->bind(key, QStringLiteral("Priority"));
        Data1->onValidate = [this](int actionCode, bool& save) {
            actions << actionCode;
            if (refuse && actionCode == action::Unload)
                save = false;
        };
        refreshAfterLoad(Data1);
    }
    DataControl* Data1;
    QLineEdit* key;
    bool refuse;
    QList<int> actions;
};
} // namespace

class TestDataControl : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bindingShowsAndSaves() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        DataControl data(QStringLiteral("Data1"));
        QLineEdit tool;
        QLineEdit exe;
        QCheckBox screen;
        data.setDatabaseName(path);
        data.setRecordSource(QStringLiteral("TOOL"));
        data.bind(&tool, QStringLiteral("Tool_Name"));
        data.bind(&exe, QStringLiteral("Tool_EXE"));
        data.bind(&screen, QStringLiteral("Tool_Access_Screen"));
        data.refresh();
        QCOMPARE(tool.text(), QStringLiteral("Calculator"));
        QVERIFY(screen.isChecked());
        data.rs().edit();
        screen.setChecked(false);
        exe.setText(QStringLiteral("kcalc"));
        data.updateRecord();
        QCOMPARE(test::scalarRaw(path, QStringLiteral("SELECT Tool_Access_Screen || Tool_EXE FROM TOOL "
                                                      "WHERE Tool_Name='Calculator'"))
                     .toString(),
                 QStringLiteral("0kcalc"));
        data.rs().addNew();
        QVERIFY(tool.text().isEmpty());
        tool.setText(QStringLiteral("Editor"));
        exe.setText(QStringLiteral("vi"));
        screen.setChecked(true);
        data.updateRecord();
        QCOMPARE(test::scalarRaw(
                     path, QStringLiteral("SELECT Tool_Access_Screen FROM TOOL WHERE Tool_Name='Editor'"))
                     .toInt(),
                 -1);
    }

    void unloadDropsPendingRecordWhenValidateRefuses() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        {
            Loaded<Editor> editor(f.ctx, true);
            editor.Data1->rs().addNew();
            editor.key->setText(QStringLiteral("Someday"));
            editor.close();
            QCOMPARE(editor.actions, QList<int>{action::Unload});
        }
        QCOMPARE(test::scalarRaw(path, QStringLiteral("SELECT count(*) FROM LU_Priority")).toInt(), 3);
        {
            Loaded<Editor> editor(f.ctx, true);
            editor.Data1->rs().findFirst(
                db::Criteria::equals(QStringLiteral("Priority"), QStringLiteral("Low")));
            editor.Data1->rs().edit();
            editor.key->setText(QStringLiteral("Lowest"));
            editor.close();
        }
        QCOMPARE(
            test::scalarRaw(path, QStringLiteral("SELECT count(*) FROM LU_Priority WHERE Priority='Low'"))
                .toInt(),
            1);
    }

    void unloadSavesWhenValidateAllows() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        {
            Loaded<Editor> editor(f.ctx, false);
            editor.Data1->rs().addNew();
            editor.key->setText(QStringLiteral("Someday"));
            editor.close();
        }
        QCOMPARE(test::scalarRaw(path, QStringLiteral("SELECT count(*) FROM LU_Priority")).toInt(), 4);
    }

    void unloadWithRefusedSaveStillCloses() {
        test::Fixture f;
        const QString path = f.makeSharedDb();
        Loaded<Editor> editor(f.ctx, false);
        editor.show();
        editor.Data1->rs().addNew();
        editor.key->setText(QStringLiteral("high")); // a duplicate: the engine refuses the save
        editor.close();
        QVERIFY(!editor.isVisible());
        QVERIFY(!editor.Data1->isOpen());
        QCOMPARE(test::scalarRaw(path, QStringLiteral("SELECT count(*) FROM LU_Priority")).toInt(), 3);
    }

    void loadFailureIsReported() {
        test::Fixture f;
        f.state.DATABASE_PATH = f.path(QStringLiteral("missing.mdb"));
        Loaded<Editor> editor(f.ctx, true);
        QVERIFY(!editor.Data1->isOpen());
        QCOMPARE(f.platform.boxes().size(), 1);
        QCOMPARE(f.platform.boxes().first().text,
                 standardText(err::FileNotFoundDb) + u' ' + f.state.DATABASE_PATH);
    }

    void escapeDoesNothingWithoutCancelButton() {
        test::Fixture f;
        f.makeSharedDb();
        Loaded<Editor> editor(f.ctx, true);
        editor.show();
        QTest::keyClick(&editor, Qt::Key_Escape);
        QVERIFY(editor.isVisible());
        QTest::keyClick(&editor, Qt::Key_F1);
        QVERIFY(f.platform.launches().isEmpty()); // help context 0: no topic
    }
};

QTEST_MAIN(TestDataControl)
#include "tst_data_control.moc"
