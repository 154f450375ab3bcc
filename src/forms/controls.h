#pragma once

#include <QString>

#include <initializer_list>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;

// The controls windows are made of, each with its object name (by which the handlers and the tests know it),
// placed in twips within its parent: left, top, width, height.
namespace pell::controls {

QLabel* label(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
              int height);
// A text box that takes at most maxLength typed characters.
QLineEdit* textBox(QWidget* parent, const char* name, int maxLength, int left, int top, int width,
                   int height);
QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                    int height);
QRadioButton* optionButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                           int width, int height);
QPushButton* commandButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                           int width, int height);
QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                 int height);

// Tab goes from each control to the next in this order.
void tabOrder(std::initializer_list<QWidget*> order);

} // namespace pell::controls
