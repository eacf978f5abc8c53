#include "gui/TableAdapter.h"

#include <QMetaObject>

#include "gui/Engine.h"
#include "gui/Icons.h"
#include "gui/StringTable.h"
#include "misc/TableModelInterface.h"
#include "misc/Utils.h"

namespace vorn::gui {

namespace {
constexpr int kColumns = 5;
const char* const kHeaderKeys[kColumns] = {"Name", "Size", "Type", "Modified", "ID"};
}  // namespace

TableAdapter::TableAdapter(Engine* engine, QObject* parent) : QAbstractTableModel(parent), engine(engine) {}

void TableAdapter::setModel(std::shared_ptr<TableModelInterface> newModel) {
    beginResetModel();
    model = std::move(newModel);
    ++modelGeneration;
    rows = 0;
    pages.clear();
    requested.clear();
    endResetModel();
    readRowCount();
}

void TableAdapter::reload() { setModel(model); }

void TableAdapter::readRowCount() {
    if (!model) return;
    const u64 generation = modelGeneration;
    auto apply = [this, generation](int count) {
        if (generation != modelGeneration || count <= 0) return;
        beginInsertRows(QModelIndex(), 0, count - 1);
        rows = count;
        endInsertRows();
    };
    if (GateAccess access{engine->gate()}) {
        apply(int(model->getRowCount()));
        return;
    }
    std::shared_ptr<TableModelInterface> shared = model;
    engine->postFetch(
        [this, shared, apply] {
            const int count = int(shared->getRowCount());
            QMetaObject::invokeMethod(this, [apply, count] { apply(count); }, Qt::QueuedConnection);
        },
        engine->generation());
}

TableAdapter::Page TableAdapter::readPage(TableModelInterface* model, int first, int count) {
    Page page;
    page.reserve(size_t(count));
    for (int row = first; row < first + count; ++row) {
        Cells cells;
        for (int column = 0; column < kColumns; ++column) {
            const std::string text = escapeControlChars(model->getText(u32(row), u32(column)));
            cells.texts << QString::fromUtf8(text.data(), qsizetype(text.size()));
        }
        cells.icon = model->getIcon(u32(row));
        page.push_back(std::move(cells));
    }
    return page;
}

void TableAdapter::storePage(int page, Page cells) const {
    // Bounded: a full cache starts again with the page on show.
    if (pages.size() >= kMaxPages) {
        pages.clear();
        requested.clear();
    }
    pages.insert(page, std::move(cells));
}

void TableAdapter::requestPage(int page) const {
    if (requested.value(page)) return;
    requested.insert(page, true);
    const int first = page * kPageRows;
    const int count = qMin(kPageRows, rows - first);
    std::shared_ptr<TableModelInterface> shared = model;
    const u64 generation = modelGeneration;
    auto* self = const_cast<TableAdapter*>(this);
    engine->postFetch(
        [self, shared, first, count, page, generation] {
            Page cells = readPage(shared.get(), first, count);
            QMetaObject::invokeMethod(
                self,
                [self, page, generation, first, count, cells = std::move(cells)]() mutable {
                    if (generation != self->modelGeneration) return;
                    self->requested.remove(page);
                    self->storePage(page, std::move(cells));
                    emit self->dataChanged(self->index(first, 0), self->index(first + count - 1, kColumns - 1));
                },
                Qt::QueuedConnection);
        },
        engine->generation());
}

int TableAdapter::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows; }

int TableAdapter::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant TableAdapter::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !model || index.row() >= rows) return QVariant();
    if (role != Qt::DisplayRole && role != Qt::DecorationRole) return QVariant();
    if (role == Qt::DecorationRole && index.column() != 0) return QVariant();
    const int page = index.row() / kPageRows;
    auto it = pages.find(page);
    if (it == pages.end()) {
        GateAccess access{engine->gate()};
        if (!access) {
            requestPage(page);
            return QVariant();
        }
        const int first = page * kPageRows;
        storePage(page, readPage(model.get(), first, qMin(kPageRows, rows - first)));
        it = pages.find(page);
    }
    const Cells& cells = (*it)[size_t(index.row() - page * kPageRows)];
    if (role == Qt::DecorationRole) {
        const QIcon icon = iconForNumber(cells.icon);
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    return cells.texts.value(index.column());
}

QVariant TableAdapter::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return QVariant();
    return uiStrings().text(QString::fromLatin1(kHeaderKeys[section]));
}

VolumeItem* TableAdapter::itemAt(int row) const {
    if (!model || row < 0 || row >= rows || !engine->gate().check("table item")) return nullptr;
    return model->getItem(u32(row));
}

}  // namespace vorn::gui
