#pragma once

#include "forms/editor_dialog.h"

class QLabel;

namespace pell {

// The editor of one lookup value; which table it edits comes from LOOKUP_TABLE and LOOKUP_FIELD.
class LOOKUP_FORM : public EditorDialog {
    Q_OBJECT
public:
    QLabel* Label2 = nullptr;

    // Values are at most this long as typed.
    static constexpr int MaxValueLength = 24;
    // The value as it is written: without surrounding blanks, and one blank for nothing.
    static QString storedValue(const QString& typed);

protected:
    LOOKUP_FORM(AppContext& ctx, QWidget* parent);
    void Form_Load() override;
    bool beforeSave() override;
    void saveFailed(const Error& error) override;
};

} // namespace pell
