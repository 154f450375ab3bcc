// Shared helpers for the team tree tests: the tree as shown, drag and drop as events, and the user window
// on a real sample database with its modal editor scripted.
#pragma once

#include "support/test_support.h"
#include "users/F_USER.h"
#include "users/USER_FORM.h"
#include "widgets/tree_control.h"

#include <QApplication>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace pell::test {

using namespace Qt::StringLiterals;

// The tree as the view's model shows it: one line per node, dots for depth, in display order.
inline QStringList shown(TreeControl& tree) {
    tree.flush();
    QStringList lines;
    const QAbstractItemModel* model = tree.model();
    std::function<void(const QModelIndex&, int)> walk = [&](const QModelIndex& parent, int depth) {
        for (int r = 0; r < model->rowCount(parent); ++r) {
            const QModelIndex index = model->index(r, 0, parent);
            lines << QString(depth, u'.') + index.data().toString();
            walk(index, depth + 1);
        }
    };
    walk({}, 0);
    return lines;
}

// Drops `data` (taken over) onto the node at `target`, as the view's drag events.
inline void dropOnto(TreeControl& tree, QMimeData* data, int target) {
    const std::unique_ptr<QMimeData> payload(data);
    const QPoint at = tree.nodeRect(target).center();
    QDragEnterEvent enter(at, Qt::MoveAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &enter);
    QDragMoveEvent over(at, Qt::MoveAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &over);
    QDropEvent drop(QPointF(at), Qt::MoveAction, payload.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &drop);
    QCoreApplication::processEvents();
}

inline QVariant userColumn(const QString& db, const QString& id, const QString& name) {
    return scalarRaw(db, u"SELECT "_s + name + u" FROM \"USER\" WHERE User_ID = '"_s + id + u'\'');
}
inline qlonglong userCount(const QString& db) {
    return scalarRaw(db, u"SELECT count(*) FROM \"USER\""_s).toLongLong();
}
inline QString addUserSql(const QString& id, const QString& supervisor) {
    return u"INSERT INTO \"USER\" (User_ID, User_Name, Supervisor_User_ID) VALUES ('%1', 'Temporary', '%2');"_s
        .arg(id, supervisor);
}

// The user window on the sample database (after `sql`, if any), shown.
struct UserWindow {
    Fixture f;
    QString db;
    std::unique_ptr<F_USER> w;

    explicit UserWindow(const QString& sql = {}, bool sample = true) {
        db = f.makeSharedDb(u"pell.mdb"_s, sample);
        if (!sql.isEmpty())
            execRaw(db, sql);
        w = std::make_unique<Loaded<F_USER>>(f.ctx, nullptr);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }
    TreeControl& tree() { return *w->Easytree1; }
    QStringList shownTree() { return shown(tree()); }

    // The position of the node whose text starts with "key :"; it is left current.
    int select(const QString& key) {
        for (int p = 0; p < 100000; ++p) {
            if (!tree().hasNode(p))
                continue;
            tree().setCurrentPosition(p);
            if (tree().currentText().startsWith(key + u" :"_s))
                return p;
        }
        return -1;
    }

    // Runs `trigger`; `act` runs on the editor as soon as it is up (shown modally, so inside `trigger`).
    // Returns "HOLD_ACTION HOLD_VALUE" as the editor found them, or nothing when no editor came up.
    QString edit(const std::function<void()>& trigger, const std::function<void(USER_FORM&)>& act) {
        QString seen;
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
            auto* form = qobject_cast<USER_FORM*>(QApplication::activeModalWidget());
            if (!form)
                return;
            timer.stop();
            seen = f.state.HOLD_ACTION + u' ' + f.state.HOLD_VALUE;
            act(*form);
        });
        timer.start();
        trigger();
        if (seen.isEmpty())
            QTest::qWait(50);
        return seen;
    }
};

// An editor script: type the ID (unless empty) and the name, then OK or Cancel.
inline std::function<void(USER_FORM&)> typeAnd(const QString& id, const QString& name, bool ok = true) {
    return [=](USER_FORM& form) {
        if (!id.isEmpty())
            form.HOLD_KEY->setText(id);
        if (!name.isEmpty())
            form.Text1->setText(name);
        (ok ? form.Command1 : form.Command2)->click();
    };
}

} // namespace pell::test
