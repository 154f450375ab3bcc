#pragma once

#include "forms/pell_form.h"

class QAction;
class QMenu;
class QMenuBar;
class QPushButton;

namespace pell {

class DataControl;
class TreeControl;

// "Team Builder / User Administrator": every user in one team tree under admin. Add and Modify go through
// the user editor and rebuild the tree; dragging a user onto another gives it that supervisor; Delete
// removes a user who leads no team and owns no tasks.
class F_USER : public PellForm {
    Q_OBJECT
public:
    F_USER(AppContext& ctx, QWidget* parent);
    ~F_USER() override;

    TreeControl* Easytree1 = nullptr;
    QPushButton* Command1 = nullptr; // Add
    QPushButton* Command2 = nullptr; // Modify, the default button
    QPushButton* Command3 = nullptr; // Delete
    QPushButton* Command4 = nullptr; // Exit
    QMenuBar* menuBar = nullptr;
    QMenu* EDIT = nullptr;
    QAction* ADD = nullptr;
    QAction* MODIFY = nullptr;
    QAction* DELETE = nullptr;
    QAction* FILL = nullptr;
    QAction* EXIT = nullptr;
    DataControl* Data1 = nullptr;

    void Add_Click();
    void Modify_Click();
    void DELETE_Click();
    void EXIT_Click();
    void Easytree1_Select(int position);
    void Easytree1_DropLeaf(int dragged, int target);
    void Easytree1_TreeError(int code, const QString& text);

    // Rebuilds the team tree from the window's record set; the root is current afterwards.
    void BuildTeamTree();

protected:
    void Form_Load() override;

private:
    void Move(int dragged, int target);
    void deleteCurrentUser();
    void showEditor();
    void message(const QString& text);

    bool m_quietTreeErrors = false;
};

} // namespace pell
