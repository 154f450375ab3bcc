#include "widgets/data_grid.h"

#include "core/error.h"
#include "core/platform.h"
#include "db/recordset.h"
#include "widgets/data_control.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QStyledItemDelegate>

#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace pell {

class DataGridModel : public QAbstractTableModel {
public:
    DataGridModel(DataControl& data, Platform& platform, QObject* parent)
        : QAbstractTableModel(parent), m_data(data), m_platform(platform) {}

    struct Column {
        QString caption;
        QString field;
    };
    struct Row {
        db::Recordset::Bookmark bookmark = 0;
        QVector<QVariant> values;
    };

    void addColumn(const QString& caption, const QString& field) {
        beginResetModel();
        m_columns.push_back({caption, field});
        for (Row& row : m_rows)
            row.values.push_back({});
        endResetModel();
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(m_columns.size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
            return {};
        const QVariant& value = m_rows[size_t(index.row())].values[index.column()];
        return value.isNull() ? QString() : value.toString();
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (role != Qt::DisplayRole)
            return {};
        if (orientation == Qt::Horizontal)
            return section >= 0 && size_t(section) < m_columns.size() ? m_columns[size_t(section)].caption
                                                                      : QString();
        // The record selector: a pointer at the current record.
        return section == m_current ? QStringLiteral("\u25B6") : QString();
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid())
            return Qt::NoItemFlags;
        Qt::ItemFlags result = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
        const db::Recordset* rs = m_data.recordset();
        if (rs && rs->updatable() && !m_data.readOnly())
            result |= Qt::ItemIsEditable;
        return result;
    }

    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (!index.isValid() || role != Qt::EditRole)
            return false;
        db::Recordset* rs = m_data.recordset();
        if (!rs)
            return false;
        Row& row = m_rows[size_t(index.row())];
        const QString text = value.toString();
        // An emptied cell stores no value, as an emptied bound text box does.
        const QVariant stored = text.isEmpty() ? QVariant() : QVariant(text);
        if (db::sameValue(row.values[index.column()], stored))
            return true;
        try {
            makeCurrent(index.row());
            rs->edit();
            rs->setField(m_columns[size_t(index.column())].field, stored);
            m_data.validate(action::Update);
        } catch (const Error& error) {
            if (rs->editMode() != db::Recordset::EditMode::None)
                rs->cancelUpdate();
            const bool gone = !rs->hasCurrent();
            rereadCurrent(index.row());
            m_platform.messageBox(error.text());
            // The record went away under the grid; the rows are read again once the editor has let go.
            if (gone && onRecordGone)
                onRecordGone();
            return false;
        }
        rereadCurrent(index.row());
        return true;
    }

    void reload() {
        beginResetModel();
        m_rows.clear();
        m_current = -1;
        db::Recordset* rs = m_data.recordset();
        // Walking the records would drop a record being added or edited, so such a record set is left alone.
        if (rs && rs->editMode() == db::Recordset::EditMode::None) {
            std::optional<db::Recordset::Bookmark> current;
            if (rs->hasCurrent())
                current = rs->bookmark();
            try {
                if (rs->recordCount() > 0) {
                    for (rs->moveFirst(); !rs->eof(); rs->moveNext())
                        m_rows.push_back(readRow(*rs));
                }
                if (current)
                    rs->setBookmark(*current);
            } catch (const Error&) {
                // A record set that cannot be walked shows what was read.
            }
            if (current)
                m_current = rowOf(*current);
        }
        endResetModel();
    }

    // Makes the record of a grid row the current record; false when that record is gone.
    bool makeCurrent(int gridRow) {
        db::Recordset* rs = m_data.recordset();
        if (!rs || gridRow < 0 || size_t(gridRow) >= m_rows.size())
            return false;
        const auto bookmark = m_rows[size_t(gridRow)].bookmark;
        if (!rs->hasCurrent() || rs->bookmark() != bookmark)
            rs->setBookmark(bookmark);
        setCurrent(gridRow);
        return true;
    }

    int current() const { return m_current; }
    std::function<void()> onRecordGone;
    QString text(int row, int column) const { return data(index(row, column), Qt::DisplayRole).toString(); }

private:
    Row readRow(const db::Recordset& rs) const {
        Row row;
        row.bookmark = rs.bookmark();
        for (const Column& column : m_columns)
            row.values.push_back(rs.hasField(column.field) ? rs.field(column.field) : QVariant());
        return row;
    }

    int rowOf(db::Recordset::Bookmark bookmark) const {
        for (size_t i = 0; i < m_rows.size(); ++i) {
            if (m_rows[i].bookmark == bookmark)
                return int(i);
        }
        return -1;
    }

    void setCurrent(int gridRow) {
        if (gridRow == m_current)
            return;
        const int previous = m_current;
        m_current = gridRow;
        if (previous >= 0)
            Q_EMIT headerDataChanged(Qt::Vertical, previous, previous);
        if (gridRow >= 0)
            Q_EMIT headerDataChanged(Qt::Vertical, gridRow, gridRow);
    }

    // Shows what the record holds now (after a save, or after a refused one).
    void rereadCurrent(int gridRow) {
        const db::Recordset* rs = m_data.recordset();
        if (!rs || !rs->hasCurrent())
            return;
        try {
            m_rows[size_t(gridRow)] = readRow(*rs);
        } catch (const Error&) {
            return;
        }
        Q_EMIT dataChanged(index(gridRow, 0), index(gridRow, columnCount() - 1));
    }

    DataControl& m_data;
    Platform& m_platform;
    std::vector<Column> m_columns;
    std::vector<Row> m_rows;
    int m_current = -1;
};

namespace {
// A cell editor that shows the stored text whole and writes only when the administrator changed it, so a
// cell opened and left as it was keeps its value in whatever form it is stored.
class CellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* edit = qobject_cast<QLineEdit*>(editor))
            edit->setMaxLength(std::numeric_limits<int>::max());
        return editor;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        QStyledItemDelegate::setEditorData(editor, index);
        if (auto* edit = qobject_cast<QLineEdit*>(editor))
            edit->setProperty(ShownProperty, edit->text());
    }
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        if (auto* edit = qobject_cast<QLineEdit*>(editor);
            edit && edit->text() == edit->property(ShownProperty).toString())
            return;
        QStyledItemDelegate::setModelData(editor, model, index);
    }

private:
    static constexpr const char* ShownProperty = "pellShownText";
};
} // namespace

DataGrid::DataGrid(DataControl& source, Platform& platform, QWidget* parent)
    : QTableView(parent), m_model(new DataGridModel(source, platform, this)) {
    setModel(m_model);
    setItemDelegate(new CellDelegate(this));
    m_model->onRecordGone = [this] {
        QMetaObject::invokeMethod(
            this, [this] { reload(); }, Qt::QueuedConnection);
    };
    setTabKeyNavigation(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked);
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->setVisible(true);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    verticalHeader()->setMinimumWidth(18);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (m_reloading || !current.isValid())
                    return;
                try {
                    m_model->makeCurrent(current.row());
                } catch (const Error&) {
                    // The record went away under the grid: show the records as they are now.
                    m_model->onRecordGone();
                }
            });
}

DataGrid::~DataGrid() = default;

void DataGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    const bool next = hint == QAbstractItemDelegate::EditNextItem;
    if (!next && hint != QAbstractItemDelegate::EditPreviousItem) {
        QTableView::closeEditor(editor, hint);
        return;
    }
    QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
    focusNextPrevChild(next);
}

void DataGrid::addColumn(const QString& caption, const QString& field) {
    m_model->addColumn(caption, field);
}

void DataGrid::reload() {
    if (m_reloading)
        return;
    m_reloading = true;
    commitPendingEdit();
    m_model->reload();
    const int row = m_model->current();
    if (row >= 0)
        setCurrentIndex(m_model->index(row, 0));
    else
        selectionModel()->clearCurrentIndex();
    m_reloading = false;
}

void DataGrid::commitPendingEdit() {
    if (state() != QAbstractItemView::EditingState)
        return;
    if (QWidget* editor = indexWidget(currentIndex())) {
        commitData(editor);
        closeEditor(editor, QAbstractItemDelegate::NoHint);
    }
}

int DataGrid::recordRows() const {
    return m_model->rowCount();
}

QString DataGrid::cellText(int row, int column) const {
    return m_model->text(row, column);
}

int DataGrid::currentRecordRow() const {
    return m_model->current();
}

} // namespace pell
