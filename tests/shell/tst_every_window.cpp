// Every window as the administrator first sees it: its title, its size and the places of its controls in
// twips, its captions, and the help topic that F1 opens in it.
#include "app/help_launcher.h"
#include "lookups/F_LOOKUP.h"
#include "lookups/LOOKUP_FORM.h"
#include "platform/twips.h"
#include "replication/REPLICA_FORM.h"
#include "shell/ABOUT_FORM.h"
#include "shell/Admin_FORM.h"
#include "support/test_support.h"
#include "system/F_SYSTEM.h"
#include "tools/F_TOOL.h"
#include "tools/TOOL_FORM.h"
#include "users/F_USER.h"
#include "users/USER_FORM.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QtTest>

#include <functional>
#include <memory>

using namespace pell;
using namespace Qt::StringLiterals;

namespace {

struct Control {
    const char* name;
    const char*
        caption; // a button's text (its tool tip when it shows a picture), a label's or a frame's title
    int left, top, width, height; // a width of -1: the control may grow to fit its caption
};

struct Window {
    const char* title;
    std::function<std::unique_ptr<QWidget>(AppContext&)> make;
    int clientWidth, clientHeight; // of the widget named "client" where there is one, else of the window
    int helpContext;               // 0: F1 opens nothing
    const char* f1Target;          // the control that has the focus when F1 is pressed; empty: the window
    std::vector<Control> controls;
};

template <class W> std::function<std::unique_ptr<QWidget>(AppContext&)> made() {
    return
        [](AppContext& ctx) -> std::unique_ptr<QWidget> { return std::make_unique<Loaded<W>>(ctx, nullptr); };
}

QString captionOf(const QWidget* w) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text().isEmpty() ? button->toolTip() : button->text();
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (const auto* frame = qobject_cast<const QGroupBox*>(w))
        return frame->title();
    return {};
}

const std::vector<Window>& windows() {
    // clang-format off
    static const std::vector<Window> all = {
        {"Administrator",
         [](AppContext& ctx) -> std::unique_ptr<QWidget> { return std::make_unique<Admin_FORM>(ctx); },
         3870, 1785, 400, "", {
            {"Command3D2", "Users", 0, 0, 975, 975}, {"Command3D3", "Tools", 0, 960, 975, 855},
            {"Command3D1", "System", 960, 0, 1935, 375}, {"Command3D8", "Backup Database", 960, 360, 1935, 375},
            {"Command3D7", "Repair Database", 960, 720, 1935, 375},
            {"Command3D6", "Compact Database", 960, 1080, 1935, 375},
            {"Command3D4", "Tables", 2880, 0, 975, 975}, {"Command3D5", "Exit", 2880, 960, 975, 855},
            {"SSCommand1", "Replication", 960, 1440, 1935, 375}
        }},
        {"About Pellwood", made<ABOUT_FORM>(), 5385, 2685, 0, "", {
            {"Label1", "Pellwood Version", 240, 240, 4815, 255}, {"Label4", "5.09d", 2280, 480, 855, 255},
            {"Command1", "OK", 2040, 2040, 1215, 495}
        }},
        {"Lookup Tables", made<F_LOOKUP>(), 5670, 3300, 2003, "List1", {
            {"Option1", "Category", 120, 0, 1935, 255}, {"Option2", "Priority", 120, 360, 1935, 255},
            {"List1", "", 0, 720, 5655, 1815}, {"Command1", "Add", 0, 2760, 975, 495},
            {"Command2", "Modify", 960, 2760, 975, 495}, {"Command3", "Delete", 1920, 2760, 975, 495},
            {"Command4", "Exit", 4560, 2760, 975, 495}
        }},
        {"Lookup Value", made<LOOKUP_FORM>(), 3930, 1305, 2003, "HOLD_KEY", {
            {"Label2", "Value:", 360, 120, 615, 255}, {"HOLD_KEY", "", 1080, 120, 2415, 285},
            {"Command1", "OK", 360, 600, 975, 495}, {"Command2", "Cancel", 2520, 600, 975, 495}
        }},
        {"Add-On Tool Administration", made<F_TOOL>(), 3840, 3255, 3, "List1", {
            {"List1", "", 0, 0, 3855, 2595}, {"Command1", "Add", 0, 2760, 975, 495},
            {"Command2", "Modify", 960, 2760, 975, 495}, {"Command3", "Delete", 1920, 2760, 975, 495},
            {"Command4", "Exit", 2880, 2760, 975, 495}
        }},
        {"TOOL", made<TOOL_FORM>(), 6045, 4245, 3, "", {
            {"Label2", "Tool Name", 360, 240, 975, 255}, {"HOLD_KEY", "", 1440, 240, 4455, 285},
            {"Label1", "Tool EXE", 360, 720, 855, 375}, {"Text1", "", 1440, 720, 4455, 285},
            {"Frame1", "Include On", 240, 1200, 5655, 975}, {"Check1", "Access Screen", 120, 360, 2895, 255},
            {"Check2", "Task Screen", 120, 600, 2895, 255},
            {"Frame2", "Passing Parameters", 240, 2280, 5655, 975}, {"Check3", "User ID", 120, 360, 2895, 255},
            {"Check4", "Task Number", 120, 600, 2895, 255}, {"Command1", "OK", 240, 3600, 1095, 495},
            {"Command2", "Cancel", 4800, 3600, 1095, 495}
        }},
        {"Team Builder / User Administrator", made<F_USER>(), 7605, 4590, 1, "", {
            {"Easytree1", "", 0, 0, 7575, 3855}, {"Command1", "Add", 120, 3960, 975, 495},
            {"Command2", "Modify", 1080, 3960, 975, 495}, {"Command3", "Delete", 2040, 3960, 975, 495},
            {"Command4", "Exit", 6480, 3960, 975, 495}
        }},
        {"User", made<USER_FORM>(), 6255, 4620, 1, "", {
            {"Label2", "User ID", 120, 120, 1215, 255}, {"HOLD_KEY", "", 1440, 120, 975, 360},
            {"Label1", "Name or Role", 120, 720, 1335, 255}, {"Text1", "", 1440, 720, 4455, 360},
            {"Label3", "Password", 120, 1320, 1215, 255}, {"Text3", "", 1440, 1320, 4455, 360},
            {"Check1", "Review Account", 120, 1920, 1935, 255},
            {"Check2", "Allow Freeform Routing", 120, 2280, 2415, 255},
            {"Check3", "Edit contact database", 3600, 1920, 2295, 255},
            {"Check4", "Delete contact database", 3600, 2280, 2655, 255},
            {"C_FULL_ACCESS", "Full access to Tasks", 120, 3000, 3615, 255},
            {"C_TEAMMATE_ACCESS", "Teammates and Team members", 120, 3360, 3615, 255},
            {"Option3", "Team member access only", 120, 3720, 3615, 255},
            {"Command1", "OK", 360, 4080, 1095, 495}, {"Command2", "Cancel", 4800, 4080, 1095, 495}
        }},
        {"System Options", made<F_SYSTEM>(), 5895, 5100, 2, "", {
            {"Label1", "Auto-Delete Closed Tasks more than ", 120, 240, 3492, 252},
            {"Text1", "", 3600, 240, 735, 288}, {"Label2", "days old.", 4440, 240, 855, 255},
            {"Label3", "Memory allocated to attachment copies", 120, 600, 3372, 252},
            {"Text2", "", 3600, 600, 735, 288}, {"Label4", "(2,000 - 20,000)", 4440, 600, 1575, 255},
            {"Check1", "Mandatory Target Date", 120, 1200, -1, 375},
            {"Check4", "Mandatory Category", 120, 1560, -1, 375},
            {"Check5", "Mandatory Contact", 120, 1920, -1, 375},
            {"Check7", "Mandatory Priority", 120, 2280, -1, 375},
            {"Check3", "Allow Non-Owner to Edit", 120, 3000, -1, 375},
            {"Check6", "Allow Attachments to be Edited/Deleted", 120, 3360, -1, 495},
            {"Command1", "OK", 720, 4440, 1215, 495}, {"Command2", "Cancel", 3600, 4440, 1215, 495}
        }},
        {"Replication Administrator", made<REPLICA_FORM>(), 4830, 3210, 34, "", {
            {"Command1", "Syncronize with Replicas", 0, 0, 1215, 615},
            {"Command2", "Create Replica", 1200, 0, 1215, 615},
            {"Command4", "Delete Replica Reference", 2400, 0, 1215, 615},
            {"Command3", "Make PELL database a Master", 3600, 0, 1215, 615},
            {"Label2", "", 120, 600, 4575, 255}, {"DBGrid1", "", 0, 840, 4815, 2415}
        }}
    };
    // clang-format on
    return all;
}

} // namespace

class TestEveryWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void titleSizePlacesCaptionsAndHelp() {
        test::Fixture f;
        f.makeSharedDb();
        f.makeReplicaDb();
        f.state.HOLD_ACTION = u"NEW"_s;
        f.state.LOOKUP_TABLE = u"LU_Category"_s;
        f.state.LOOKUP_FIELD = u"Category"_s;
        for (const Window& w : windows()) {
            const QString title = QString::fromLatin1(w.title);
            std::unique_ptr<QWidget> window = w.make(f.ctx);
            window->show();
            QVERIFY2(QTest::qWaitForWindowExposed(window.get()), w.title);
            QCOMPARE(window->windowTitle(), title);
            const auto* client = window->findChild<QWidget*>(u"client"_s);
            QCOMPARE((client ? client : window.get())->size(),
                     QSize(twips::toPx(w.clientWidth), twips::toPx(w.clientHeight)));
            for (const Control& c : w.controls) {
                const auto* control = window->findChild<QWidget*>(QString::fromLatin1(c.name));
                QVERIFY2(control, qPrintable(title + u' ' + QString::fromLatin1(c.name)));
                const QString where = title + u' ' + QString::fromLatin1(c.name);
                QCOMPARE(captionOf(control), QString::fromLatin1(c.caption));
                const QRect expected = twips::rect(c.left, c.top, c.width < 0 ? 0 : c.width, c.height);
                QVERIFY2(control->pos() == expected.topLeft() && control->height() == expected.height(),
                         qPrintable(where));
                QVERIFY2(c.width < 0 ? control->width() >= twips::toPx(2415)
                                     : control->width() == expected.width(),
                         qPrintable(where));
            }
            // F1 opens the window's topic in the help viewer; the About box has none.
            f.platform.clear();
            QWidget* target =
                *w.f1Target ? window->findChild<QWidget*>(QString::fromLatin1(w.f1Target)) : window.get();
            QTest::keyClick(target, Qt::Key_F1);
            if (w.helpContext == 0) {
                QVERIFY2(f.platform.launches().isEmpty(), w.title);
                continue;
            }
            QCOMPARE(f.platform.launches().size(), 1);
            QCOMPARE(f.platform.launches().first().program, helpViewerPath(f.state));
            QCOMPARE(f.platform.launches().first().arguments,
                     (QStringList{u"-context"_s, QString::number(w.helpContext), f.state.helpFile}));
        }
    }

    void mainWindowButtonsAreBoldAndTabInTheirOrder() {
        test::Fixture f;
        Admin_FORM window(f.ctx);
        QWidget* previous = nullptr;
        for (const Control& c : windows().front().controls) {
            auto* button = window.findChild<QAbstractButton*>(QString::fromLatin1(c.name));
            QVERIFY(button->font().bold());
            QCOMPARE(button->font().pointSizeF(), 8.25);
            if (previous)
                QCOMPARE(previous->nextInFocusChain(), static_cast<QWidget*>(button));
            previous = button;
        }
        Loaded<ABOUT_FORM> about(f.ctx, nullptr);
        QVERIFY(about.font().bold());
        QCOMPARE(about.font().pointSizeF(), 8.25);
    }
};

QTEST_MAIN(TestEveryWindow)
#include "tst_every_window.moc"
