#pragma once

// A list window (lookup values, add-on tools) shown over a fresh sample database, with the moves its tests
// repeat: choose a line, answer the delete question, run the editor that a button opens.

#include "forms/pell_form.h"
#include "lookups/modal_driver.h"
#include "support/test_support.h"

#include <QAbstractButton>
#include <QListWidget>
#include <QtTest>

namespace pell::test {

// "a|b|c" as a list.
inline QStringList words(const char* text) {
    return QString::fromUtf8(text).split(u'|');
}

inline QStringList listLines(const QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

template <class Window, class Editor> struct ListWindow {
    Fixture f;
    QString db = f.makeSharedDb();
    std::unique_ptr<Window> window;

    explicit ListWindow(const QStringList& setupSql = {}) {
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
    QStringList boxes() const { return f.platform.boxTexts(); }
};

} // namespace pell::test
