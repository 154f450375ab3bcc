#pragma once

// Driving the real windows from a test: modal dialogs answered from inside their own event loop, a list
// window over a fresh sample database, and the keyboard as the administrator uses it.

#include "forms/pell_form.h"
#include "support/test_support.h"
#include "widgets/data_grid.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace pell::test {

using namespace Qt::StringLiterals;

// "a|b|c" as a list.
inline QStringList words(const QString& text) {
    return text.split(u'|');
}

inline QStringList listLines(const QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

// A text as an SQL literal.
inline QString quoted(const QString& text) {
    return u'\'' + QString(text).replace(u'\'', u"''"_s) + u'\'';
}

// A menu's entries in order: "name=text" (or the text alone), "-" and the name for a separator.
inline QStringList menuEntries(const QWidget* menu, bool withNames = true) {
    QStringList list;
    for (const QAction* a : menu->actions())
        list << (a->isSeparator() ? u'-' + (withNames ? a->objectName() : QString())
                 : withNames      ? a->objectName() + u'=' + a->text()
                                  : a->text());
    return list;
}

// Runs the action once a dialog of the given kind is the active modal window, inside the dialog's own event
// loop. The result tells whether it ran; a dialog that never came up leaves it false (and the polling ends
// after a few seconds, so a missing dialog fails the test instead of hanging it).
template <class T> std::shared_ptr<bool> whenModal(std::function<void(T*)> action) {
    auto ran = std::make_shared<bool>(false);
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, action, ran, clock] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            *ran = true;
            action(dialog);
        } else if (clock->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
    return ran;
}

// Closes whatever modal window comes up, and keeps the names of those that did.
struct OpenedWindows {
    QStringList names;
    QTimer timer;
    OpenedWindows() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
            if (auto* form = qobject_cast<PellForm*>(QApplication::activeModalWidget())) {
                names << form->objectName();
                form->unload();
            }
        });
        timer.start();
    }
};

// Enter as the keyboard gives it: to the widget that has the focus in its window.
inline void pressEnterOn(QWidget* widget) {
    widget->setFocus();
    QTest::keyClick(widget->window()->focusWidget(), Qt::Key_Return);
}

// Opens a grid row's cell for typing and types the text (if any) into it, as the user does; the editor, or
// nothing when none opened.
inline QLineEdit* typeInto(DataGrid* grid, int row, const QString& text = {}) {
    const QModelIndex cell = grid->model()->index(row, 0);
    grid->setCurrentIndex(cell);
    grid->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(cell));
    if (editor && !text.isNull())
        editor->setText(text);
    return editor;
}

// Every row of a table, each column as the engine stores it (its type and its bytes), in rowid order.
inline QString tableBytes(const QString& db, const QString& table) {
    const QString columns =
        scalarRaw(db, u"SELECT group_concat('quote(\"' || name || '\")', ' || ''|'' || ') FROM "
                      "pragma_table_info('%1')"_s.arg(table))
            .toString();
    return scalarRaw(
               db, u"SELECT group_concat(r, char(10)) FROM (SELECT %1 AS r FROM \"%2\" ORDER BY rowid)"_s.arg(
                       columns, table))
        .toString();
}

// A list window (lookup values, add-on tools) shown over a fresh sample database, with the moves its tests
// repeat: choose a line, answer the delete question, run the editor that a button opens.
template <class Window, class Editor> struct ListDriver {
    Fixture f;
    QString db = f.makeSharedDb();
    std::unique_ptr<Window> window;

    explicit ListDriver(const QStringList& setupSql = {}) {
        for (const QString& sql : setupSql)
            execRaw(db, sql);
        window = std::make_unique<Loaded<Window>>(f.ctx, nullptr);
        window->show();
    }
    QStringList lines() const { return listLines(window->List1); }
    int selected() const {
        const auto items = window->List1->selectedItems();
        return items.isEmpty() ? -1 : window->List1->row(items.first());
    }
    int count(const QString& sql) const { return scalarRaw(db, sql).toInt(); }
    void sql(const QString& statement) const { execRaw(db, statement); }
    QStringList boxes() const { return f.platform.boxTexts(); }
    // Clicks the button (row >= 0 chooses that line first) and runs the action in the editor it opens.
    void edit(QAbstractButton* button, int row, std::function<void(Editor*)> action) {
        if (row >= 0)
            window->List1->setCurrentRow(row);
        auto ran = whenModal<Editor>(std::move(action));
        button->click();
        QVERIFY2(*ran, "the editor did not open");
    }
    void add(std::function<void(Editor*)> action) { edit(window->Command1, -1, std::move(action)); }
    void modify(int row, std::function<void(Editor*)> action) {
        edit(window->Command2, row, std::move(action));
    }
    void remove(int row, Answer answer = Answer::Ok) {
        window->List1->setCurrentRow(row);
        f.platform.queueAnswer(answer);
        window->Command3->click();
    }
};

} // namespace pell::test
