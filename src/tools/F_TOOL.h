#pragma once

#include "forms/list_window.h"

namespace pell {

// The add-on tool list: the names of the tools in TOOL.
class F_TOOL : public ListWindow {
    Q_OBJECT
protected:
    F_TOOL(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    std::unique_ptr<PellForm> makeEditor() override;
    void deleteFailed(const Error& error) override;
};

} // namespace pell
