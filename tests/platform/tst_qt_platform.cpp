// The real platform, QtPlatform, with the toolkit's own boxes and dialogs answered as the administrator
// answers them: which buttons a box offers and what each answer returns, Esc, the pointer around boxes, and
// the save dialog's settings.
#include "core/error.h"
#include "core/platform.h"
#include "platform/qt_platform.h"
#include "platform/twips.h"
#include "support/drivers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace pell;
using namespace pell::test;

namespace {

// The buttons a box offers, the default one (what Enter answers) marked with a star.
QString buttonsOf(const QMessageBox* box) {
    QStringList names;
    for (QAbstractButton* b : box->buttons())
        names << b->text().remove(u'&') + (b == box->defaultButton() ? u"*"_s : QString());
    names.sort();
    return names.join(u',');
}

} // namespace

class TestQtPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void boxesOfferTheirButtonsAndMapTheAnswers() {
        QtPlatform platform;
        struct Case {
            Buttons buttons;
            const char* press; // a button's text, or "Esc"
            QString offered;
            Answer answer;
            Icon icon;
            QMessageBox::Icon shown;
        };
        using enum QMessageBox::Icon;
        const Case cases[] = {
            {Buttons::OkOnly, "OK", u"OK"_s, Answer::Ok, Icon::None, NoIcon},
            {Buttons::OkOnly, "Esc", u"OK"_s, Answer::Ok, Icon::Critical, Critical},
            {Buttons::OkCancel, "OK", u"Cancel,OK*"_s, Answer::Ok, Icon::Question, Question},
            {Buttons::OkCancel, "Cancel", u"Cancel,OK*"_s, Answer::Cancel, Icon::Exclamation, Warning},
            {Buttons::OkCancel, "Esc", u"Cancel,OK*"_s, Answer::Cancel, Icon::Information, Information},
            {Buttons::YesNo, "Yes", u"No,Yes*"_s, Answer::Yes, Icon::None, NoIcon},
            {Buttons::YesNo, "No", u"No,Yes*"_s, Answer::No, Icon::None, NoIcon},
            {Buttons::YesNo, "Esc", u"No,Yes*"_s, Answer::No, Icon::None, NoIcon},
        };
        for (const Case& c : cases) {
            // A box given no title has the program's.
            const QString title = c.icon == Icon::None ? QString() : u"Own title"_s;
            QString seen;
            whenModal<QMessageBox>([&](QMessageBox* box) {
                seen = buttonsOf(box) + u'|' + box->windowTitle() + u'|' + QString::number(box->icon());
                if (QByteArray(c.press) == "Esc")
                    QTest::keyClick(box, Qt::Key_Escape);
                for (QAbstractButton* b : box->buttons())
                    if (b->text().remove(u'&') == QLatin1String(c.press))
                        b->click();
            });
            const Answer answer = platform.messageBox(u"text"_s, c.buttons, c.icon, title);
            const QString expected =
                c.offered + u'|' + (title.isEmpty() ? AppTitle : title) + u'|' + QString::number(c.shown);
            QVERIFY2(seen == expected && answer == c.answer,
                     qPrintable(seen + u" pressing "_s + QLatin1String(c.press)));
        }
    }

    void thePointerWaitsAroundTheWorkAndNeverOverABox() {
        QtPlatform platform;
        const auto shape = [] {
            return QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape()
                                                     : Qt::BitmapCursor;
        };
        {
            PointerScope outer(platform);
            { PointerScope inner(platform); } // nested: the outer work still runs when it ends
            QCOMPARE(shape(), Qt::WaitCursor);
            Qt::CursorShape overBox = Qt::BitmapCursor;
            whenModal<QMessageBox>([&](QMessageBox* box) {
                overBox = shape();
                box->accept();
            });
            platform.messageBox(u"a box while the work runs"_s);
            QCOMPARE(overBox, Qt::ArrowCursor);
            QCOMPARE(shape(), Qt::WaitCursor);
        }
        QVERIFY(!QGuiApplication::overrideCursor());
        QCOMPARE(platform.pointer(), Pointer::Default);
    }

    void theSaveDialogTakesEverySettingAnew() {
        QtPlatform platform;
        QTemporaryDir dir;
        SaveDialogSettings settings{{}, 6, u"mdb (*.mdb) | *.mdb"_s, u"mdb"_s, u"pellbkup.mdb"_s, dir.path()};
        const QString chosen = dir.filePath(u"chosen.mdb"_s);
        QString seen;
        const auto answer = [&](bool save) {
            whenModal<QFileDialog>([&, save](QFileDialog* d) {
                seen = u"%1|%2|%3|%4|%5|%6"_s.arg(
                    d->acceptMode() == QFileDialog::AcceptSave ? u"save"_s : u"open"_s,
                    d->testOption(QFileDialog::DontConfirmOverwrite) ? u"no question"_s : u"asks"_s,
                    d->nameFilters().join(u';'), d->defaultSuffix(), d->directory().path(), d->windowTitle());
                d->selectFile(chosen);
                save ? static_cast<QDialog*>(d)->accept() : d->reject(); // accept() as the Save button does
            });
            return platform.saveFileDialog(settings);
        };
        QCOMPARE(answer(true), std::optional(chosen));
        // No title of its own: the toolkit's title for a save dialog.
        QCOMPARE(seen, u"save|asks|mdb (*.mdb)|mdb|"_s + dir.path() + u"|Save As"_s);
        // Without the overwrite flag nothing is asked; a filter without a pattern in its description gets it.
        settings.flags = 4;
        settings.filter = u"Backups | *.bak"_s;
        settings.title = u"Backup to"_s;
        QCOMPARE(answer(false), std::nullopt);
        QCOMPARE(seen, u"save|no question|Backups (*.bak)|mdb|"_s + dir.path() + u"|Backup to"_s);
    }

    void inputLaunchesAndTheScreen() {
        QtPlatform platform;
        QString title;
        whenModal<QInputDialog>([&](QInputDialog* d) {
            title = d->windowTitle();
            d->setTextValue(u"/srv/replica.mdb"_s);
            d->accept();
        });
        QCOMPARE(platform.inputBox(u"Where?"_s, {}), u"/srv/replica.mdb"_s);
        QCOMPARE(title, AppTitle);
        whenModal<QInputDialog>([](QInputDialog* d) { d->reject(); });
        QCOMPARE(platform.inputBox(u"Where?"_s, u"New Replica"_s, u"typed"_s), QString());
        QCOMPARE(errorOf([&] { platform.startProgram(u"/nonexistent/pellhelp"_s, {}, false); }),
                 err::FileNotFound);
        QCOMPARE(errorOf([&] { platform.startProgram(u"/bin/true"_s, {u"-x"_s}, true); }), 0);
        const QSize px = QGuiApplication::primaryScreen()->size();
        QCOMPARE(platform.screenSizeTwips(), QSize(twips::fromPx(px.width()), twips::fromPx(px.height())));
    }
};

QTEST_MAIN(TestQtPlatform)
#include "tst_qt_platform.moc"
