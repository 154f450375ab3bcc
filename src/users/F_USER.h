#pragma once

#include "forms/list_window.h"

namespace pell {

class TreeControl;

// "Team Builder / User Administrator": every user in one team tree under admin. Add and Modify go through
// the user editor and rebuild the tree; dragging a user onto another gives it that supervisor; Delete
// removes a user who leads no team and owns no tasks.
class F_USER : public ListFrame {
    Q_OBJECT
public:
    ~F_USER() override;

    TreeControl* Easytree1 = nullptr;
    QAction* FILL = nullptr;

    void Add_Click() override;
    void Modify_Click() override;
    void DELETE_Click() override;
    void Easytree1_Select(int position);
    void Easytree1_DropLeaf(int dragged, int target);
    void Easytree1_TreeError(int code, const QString& text);

    // Rebuilds the team tree from the window's record set; the root is current afterwards.
    void BuildTeamTree();

protected:
    F_USER(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    // Lets go of the tree file, which writes it; a failure to write is reported.
    void Form_Unload() override;

private:
    void Move(int dragged, int target);
    void showEditor();
    void message(const QString& text);

    bool m_quietTreeErrors = false;
};

} // namespace pell
