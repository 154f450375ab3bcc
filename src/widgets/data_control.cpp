#include "widgets/data_control.h"

#include "core/error.h"

#include <QCheckBox>
#include <QLineEdit>

#include <algorithm>

namespace pell {

DataControl::DataControl(const QString& name, QObject* parent) : QObject(parent) {
    setObjectName(name);
}

DataControl::~DataControl() = default;

void DataControl::refresh() {
    if (m_recordset && m_recordset->editMode() != db::Recordset::EditMode::None)
        m_recordset->cancelUpdate();
    m_recordset.reset();
    if (!m_database || m_openPath != m_databaseName || m_openExclusive != m_exclusive ||
        m_openReadOnly != m_readOnly) {
        m_database.reset();
        m_database = db::Database::open(m_databaseName, {.exclusive = m_exclusive, .readOnly = m_readOnly});
        m_openPath = m_databaseName;
        m_openExclusive = m_exclusive;
        m_openReadOnly = m_readOnly;
    }
    if (m_recordSource.isEmpty())
        return;
    m_recordset = m_database->openRecordset(m_recordSource);
    m_recordset->onReposition = [this] { updateControls(); };
    updateControls();
}

db::Recordset& DataControl::rs() {
    return db::requireOpen(m_recordset.get());
}

void DataControl::bind(QLineEdit* edit, const QString& column) {
    unbind(edit);
    Binding binding;
    binding.control = edit;
    binding.column = column;
    binding.maxLength = edit->maxLength();
    // A stored value longer than the limit is shown whole; what the administrator types may make it no
    // longer than the larger of the limit and what the box holds now.
    binding.typing = connect(edit, &QLineEdit::textEdited, edit, [edit, limit = binding.maxLength] {
        edit->setMaxLength(std::max(limit, int(edit->text().size())));
    });
    m_bindings.push_back(binding);
}

void DataControl::bind(QCheckBox* box, const QString& column) {
    unbind(box);
    Binding binding;
    binding.control = box;
    binding.column = column;
    m_bindings.push_back(binding);
}

void DataControl::unbind(QWidget* control) {
    std::erase_if(m_bindings, [control](const Binding& b) {
        if (b.control != control)
            return false;
        QObject::disconnect(b.typing);
        return true;
    });
}

namespace {
QVariant fieldOrNull(const db::Recordset& rs, const QString& column) {
    if (!rs.hasField(column))
        return {};
    if (rs.editMode() == db::Recordset::EditMode::None && !rs.hasCurrent())
        return {};
    return rs.field(column);
}

QString asText(const QVariant& v) {
    if (v.isNull())
        return {};
    if (v.typeId() == QMetaType::Double) {
        const double d = v.toDouble();
        if (d == double(qlonglong(d)))
            return QString::number(qlonglong(d));
    }
    return v.toString();
}
} // namespace

void DataControl::updateControls() {
    if (!m_recordset)
        return;
    for (Binding& b : m_bindings) {
        if (!b.control)
            continue;
        const QVariant v = fieldOrNull(*m_recordset, b.column);
        if (auto* edit = qobject_cast<QLineEdit*>(b.control.data())) {
            const QString text = asText(v);
            edit->setMaxLength(std::max(b.maxLength, int(text.size())));
            edit->setText(text);
            b.shownText = edit->text();
        } else if (auto* box = qobject_cast<QCheckBox*>(b.control.data())) {
            box->setChecked(!v.isNull() && v.toDouble() != 0.0);
            b.shownChecked = box->isChecked();
        }
    }
}

bool DataControl::changed(const Binding& b) {
    if (auto* edit = qobject_cast<const QLineEdit*>(b.control.data()))
        return edit->text() != b.shownText;
    if (auto* box = qobject_cast<const QCheckBox*>(b.control.data()))
        return box->isChecked() != b.shownChecked;
    return false;
}

bool DataControl::dataChanged(const QWidget* control) const {
    for (const Binding& b : m_bindings) {
        if (b.control == control)
            return changed(b);
    }
    return false;
}

void DataControl::copyControlsToRecord() {
    db::Recordset& set = rs();
    for (const Binding& b : m_bindings) {
        if (!b.control)
            continue;
        if (!changed(b)) {
            // Also after a refused save that wrote it: the column keeps its stored value and form.
            set.revertField(b.column);
            continue;
        }
        QVariant value;
        if (auto* edit = qobject_cast<QLineEdit*>(b.control.data())) {
            if (!edit->text().isEmpty())
                value = edit->text();
        } else if (auto* box = qobject_cast<QCheckBox*>(b.control.data())) {
            value = box->isChecked() ? -1 : 0;
        }
        const QVariant current = set.field(b.column);
        // Typed back to what is stored: nothing to write.
        const bool same =
            db::sameValue(current, value) || (value.typeId() == QMetaType::QString && current.isValid() &&
                                              !current.isNull() && asText(current) == value.toString());
        if (!same)
            set.setField(b.column, value);
    }
}

void DataControl::updateRecord() {
    copyControlsToRecord();
    rs().update();
}

void DataControl::validate(int actionCode) {
    if (!m_recordset)
        return;
    bool save = true;
    if (onValidate)
        onValidate(actionCode, save);
    if (m_recordset->editMode() == db::Recordset::EditMode::None)
        return;
    if (save)
        updateRecord();
    else
        m_recordset->cancelUpdate();
}

void DataControl::unload() {
    try {
        validate(action::Unload);
    } catch (const Error&) {
        // An unload never stops on a save the engine refuses: the pending record is dropped.
        if (m_recordset)
            m_recordset->cancelUpdate();
    }
    close();
}

void DataControl::close() {
    m_recordset.reset();
    m_database.reset();
    m_openPath.clear();
}

} // namespace pell
