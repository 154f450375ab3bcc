#include "forms/controls.h"

#include "platform/twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace pell::controls {

namespace {
template <class Control>
Control* placed(Control* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QString::fromLatin1(name));
    twips::place(control, left, top, width, height);
    return control;
}
} // namespace

QLabel* label(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
              int height) {
    return placed(new QLabel(caption, parent), name, left, top, width, height);
}

QLineEdit* textBox(QWidget* parent, const char* name, int maxLength, int left, int top, int width,
                   int height) {
    auto* box = placed(new QLineEdit(parent), name, left, top, width, height);
    box->setMaxLength(maxLength);
    return box;
}

QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                    int height) {
    return placed(new QCheckBox(caption, parent), name, left, top, width, height);
}

QRadioButton* optionButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                           int width, int height) {
    return placed(new QRadioButton(caption, parent), name, left, top, width, height);
}

QPushButton* commandButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                           int width, int height) {
    return placed(new QPushButton(caption, parent), name, left, top, width, height);
}

QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                 int height) {
    return placed(new QGroupBox(caption, parent), name, left, top, width, height);
}

void tabOrder(std::initializer_list<QWidget*> order) {
    QWidget* previous = nullptr;
    for (QWidget* control : order) {
        if (previous)
            QWidget::setTabOrder(previous, control);
        previous = control;
    }
}

} // namespace pell::controls
