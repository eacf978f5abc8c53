#include "gui/TreeAdapter.h"

#include <QMetaObject>

#include "gui/Engine.h"
#include "gui/Icons.h"
#include "gui/StringTable.h"
#include "misc/TreeModelInterface.h"
#include "misc/Utils.h"

namespace vorn::gui {

namespace {

// Names from a disk as plain text, controls and bidi marks escaped.
QString shownText(const std::string& text) {
    const std::string safe = escapeControlChars(text);
    return QString::fromUtf8(safe.data(), qsizetype(safe.size()));
}

TreeAdapter::Row describe(TreeModelInterface* model, Base* object) {
    TreeAdapter::Row row;
    row.object = object;
    row.text = shownText(model->getText(object));
    row.icon = model->getIcon(object, false);
    row.leaf = model->isLeaf(object);
    return row;
}

}  // namespace

TreeAdapter::TreeAdapter(Engine* engine, QObject* parent)
    : QAbstractItemModel(parent), engine(engine), top(std::make_unique<Node>()) {}

TreeAdapter::~TreeAdapter() = default;

void TreeAdapter::dropRecords() {
    ++recordGeneration;
    outstanding = 0;
    top = std::make_unique<Node>();
}

void TreeAdapter::setModel(std::shared_ptr<TreeModelInterface> newModel) {
    beginResetModel();
    dropRecords();
    model = std::move(newModel);
    endResetModel();
    if (model) requestFetch(top.get());
}

void TreeAdapter::reload() { setModel(model); }

TreeAdapter::Node* TreeAdapter::nodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : top.get();
}

QModelIndex TreeAdapter::indexOf(Node* node) const {
    return node == top.get() ? QModelIndex() : createIndex(node->row, 0, node);
}

Base* TreeAdapter::objectAt(const QModelIndex& index) const {
    return index.isValid() ? nodeOf(index)->object : nullptr;
}

QModelIndex TreeAdapter::index(int row, int column, const QModelIndex& parent) const {
    Node* node = nodeOf(parent);
    if (column != 0 || row < 0 || size_t(row) >= node->children.size()) return QModelIndex();
    return createIndex(row, 0, node->children[size_t(row)].get());
}

QModelIndex TreeAdapter::parent(const QModelIndex& index) const {
    if (!index.isValid()) return QModelIndex();
    return indexOf(nodeOf(index)->parent);
}

int TreeAdapter::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return int(nodeOf(parent)->children.size());
}

int TreeAdapter::columnCount(const QModelIndex&) const { return 1; }

bool TreeAdapter::hasChildren(const QModelIndex& parent) const {
    Node* node = nodeOf(parent);
    if (node == top.get()) return !node->children.empty();
    return !node->info.leaf;
}

bool TreeAdapter::canFetchMore(const QModelIndex& parent) const {
    Node* node = nodeOf(parent);
    return model && node != top.get() && !node->info.leaf && !node->fetched && !node->fetching;
}

void TreeAdapter::fetchMore(const QModelIndex& parent) {
    if (canFetchMore(parent)) requestFetch(nodeOf(parent));
}

void TreeAdapter::requestFetch(Node* node) {
    node->fetching = true;
    ++outstanding;
    std::shared_ptr<TreeModelInterface> shared = model;
    Base* object = node->object;
    const bool isTop = node == top.get();
    const u64 records = recordGeneration;
    engine->postFetch(
        [this, shared, object, isTop, node, records] {
            std::vector<Row> rows;
            if (isTop) {
                if (Base* root = shared->getRoot()) rows.push_back(describe(shared.get(), root));
            } else {
                const u32 count = shared->getChildCount(object);
                rows.reserve(count);
                for (u32 i = 0; i < count; ++i) {
                    if (Base* child = shared->getChild(object, i)) rows.push_back(describe(shared.get(), child));
                }
            }
            QMetaObject::invokeMethod(
                this, [this, node, records, rows = std::move(rows)]() mutable { applyRows(node, records, std::move(rows)); },
                Qt::QueuedConnection);
        },
        engine->generation());
}

void TreeAdapter::applyRows(Node* node, u64 records, std::vector<Row> rows) {
    if (records != recordGeneration) return;  // the records were dropped meanwhile
    node->fetching = false;
    node->fetched = true;
    if (!rows.empty()) {
        const QModelIndex parentIndex = indexOf(node);
        beginInsertRows(parentIndex, 0, int(rows.size()) - 1);
        for (size_t i = 0; i < rows.size(); ++i) {
            auto child = std::make_unique<Node>();
            child->object = rows[i].object;
            child->parent = node;
            child->row = int(i);
            child->info = std::move(rows[i]);
            node->children.push_back(std::move(child));
        }
        endInsertRows();
        emit rowsFetched(parentIndex);
    } else if (node != top.get()) {
        // An empty folder loses its expander.
        node->info.leaf = true;
        const QModelIndex index = indexOf(node);
        emit dataChanged(index, index);
    }
    if (--outstanding <= 0) {
        outstanding = 0;
        emit settled();
    }
}

QVariant TreeAdapter::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return QVariant();
    const Node* node = nodeOf(index);
    switch (role) {
        case Qt::DisplayRole: return node->info.text;
        case Qt::DecorationRole: {
            const QIcon icon = iconForNumber(node->info.icon);
            return icon.isNull() ? QVariant() : QVariant(icon);
        }
        default: return QVariant();
    }
}

Qt::ItemFlags TreeAdapter::flags(const QModelIndex& index) const {
    return index.isValid() ? (Qt::ItemIsEnabled | Qt::ItemIsSelectable) : Qt::NoItemFlags;
}

QVariant TreeAdapter::headerData(int, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return uiStrings().text(QStringLiteral("Folders"));
    return QVariant();
}

}  // namespace vorn::gui
