#pragma once

// Drives a modal dialog from a test: the action runs once the dialog of the given kind is the active modal
// window, inside the dialog's own event loop. Shared by the lookup and tool window tests.

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

namespace pell::test {

// The result tells whether the action ran; a dialog that never came up leaves it false (and the polling
// ends after a few seconds, so a missing dialog fails the test instead of hanging it).
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

} // namespace pell::test
