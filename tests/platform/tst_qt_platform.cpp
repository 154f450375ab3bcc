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
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <functional>

using namespace pell;
using namespace pell::test;

namespace {

QString buttonsOf(const QMessageBox* box) {
    QStringList names;
    for (QAbstractButton* b : box->buttons())
        names << b->text().remove(u'&');
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
        };
        const Case cases[] = {
            {Buttons::OkOnly, "OK", u"OK"_s, Answer::Ok},
            {Buttons::OkOnly, "Esc", u"OK"_s, Answer::Ok},
            {Buttons::OkCancel, "OK", u"Cancel,OK"_s, Answer::Ok},
            {Buttons::OkCancel, "Cancel", u"Cancel,OK"_s, Answer::Cancel},
            {Buttons::OkCancel, "Esc", u"Cancel,OK"_s, Answer::Cancel},
            {Buttons::YesNo, "Yes", u"No,Yes"_s, Answer::Yes},
            {Buttons::YesNo, "No", u"No,Yes"_s, Answer::No},
            {Buttons::YesNo, "Esc", u"No,Yes"_s, Answer::No},
        };
        for (const Case& c : cases) {
            QString offered, title, defaultButton;
            whenModal<QMessageBox>([&](QMessageBox* box) {
                offered = buttonsOf(box);
                title = box->windowTitle();
                defaultButton = box->defaultButton() ? box->defaultButton()->text().remove(u'&') : QString();
                if (QByteArray(c.press) == "Esc") {
                    QTest::keyClick(box, Qt::Key_Escape);
                    return;
                }
                for (QAbstractButton* b : box->buttons())
                    if (b->text().remove(u'&') == QString::fromLatin1(c.press))
                        b->click();
            });
            const Answer answer = platform.messageBox(u"text"_s, c.buttons);
            const QString what = offered + u" pressing "_s + QString::fromLatin1(c.press);
            QVERIFY2(offered == c.offered && answer == c.answer, qPrintable(what));
            QCOMPARE(title, AppTitle);
            // OK, or Yes, is what Enter answers.
            QCOMPARE(defaultButton, c.buttons == Buttons::YesNo      ? u"Yes"_s
                                    : c.buttons == Buttons::OkCancel ? u"OK"_s
                                                                     : QString());
        }
        const std::pair<Icon, QMessageBox::Icon> icons[] = {{Icon::None, QMessageBox::NoIcon},
                                                            {Icon::Critical, QMessageBox::Critical},
                                                            {Icon::Question, QMessageBox::Question},
                                                            {Icon::Exclamation, QMessageBox::Warning},
                                                            {Icon::Information, QMessageBox::Information}};
        for (const auto& [icon, shown] : icons) {
            QMessageBox::Icon seen = QMessageBox::NoIcon;
            QString title;
            whenModal<QMessageBox>([&](QMessageBox* box) {
                seen = box->icon();
                title = box->windowTitle();
                box->accept();
            });
            platform.messageBox(u"text"_s, Buttons::OkOnly, icon, u"Own title"_s);
            QCOMPARE(seen, shown);
            QCOMPARE(title, u"Own title"_s);
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
            QCOMPARE(shape(), Qt::WaitCursor);
            {
                PointerScope inner(platform); // nested: the outer work still runs when it ends
                QCOMPARE(platform.pointer(), Pointer::Hourglass);
            }
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
        SaveDialogSettings settings;
        settings.flags = 6;
        settings.filter = u"mdb (*.mdb) | *.mdb"_s;
        settings.defaultExt = u"mdb"_s;
        settings.fileName = u"pellbkup.mdb"_s;
        settings.initialDir = dir.path();
        QString seen;
        whenModal<QFileDialog>([&](QFileDialog* d) {
            seen =
                QStringList{d->acceptMode() == QFileDialog::AcceptSave ? u"save"_s : u"open"_s,
                            d->testOption(QFileDialog::DontConfirmOverwrite) ? u"no question"_s : u"asks"_s,
                            d->nameFilters().join(u';'),
                            d->defaultSuffix(),
                            d->directory().path(),
                            d->windowTitle()}
                    .join(u'|');
            d->selectFile(dir.filePath(u"chosen.mdb"_s));
            static_cast<QDialog*>(d)->accept(); // as the Save button does
        });
        QCOMPARE(platform.saveFileDialog(settings), std::optional<QString>(dir.filePath(u"chosen.mdb"_s)));
        // No title of its own: the toolkit's title for a save dialog.
        QCOMPARE(seen, u"save|asks|mdb (*.mdb)|mdb|"_s + dir.path() + u"|Save As"_s);
        // Without the overwrite flag nothing is asked; a filter without a pattern in its description gets it.
        settings.flags = 4;
        settings.filter = u"Backups | *.bak"_s;
        settings.title = u"Backup to"_s;
        whenModal<QFileDialog>([&](QFileDialog* d) {
            seen = d->testOption(QFileDialog::DontConfirmOverwrite) ? u"no question"_s : u"asks"_s;
            seen += u'|' + d->nameFilters().join(u';') + u'|' + d->windowTitle();
            d->reject();
        });
        QCOMPARE(platform.saveFileDialog(settings), std::nullopt);
        QCOMPARE(seen, u"no question|Backups (*.bak)|Backup to"_s);
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
