// The outline's Qt model over an engine tree model.
//
// Rows are occurrence records (object, parent record, row), so one engine
// item under two parents (its folder and "SearchResults") is two rows. The
// records hold what the engine said about each row (text, icon, leaf) when
// it was fetched; the view paints only these. Children are fetched on the
// engine thread (showing a folder's row reads the folder) and inserted when
// the answer arrives, unless the records were reset meanwhile.
//
// Ownership: owns its records; shares the engine model with fetches in
// flight, so the model outlives the last of them. The objects the records
// name belong to the engine and are touched only on the engine thread.
#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <memory>
#include <vector>

#include "misc/Types.h"

namespace vorn {
class Base;
class TreeModelInterface;
}  // namespace vorn

namespace vorn::gui {

class Engine;

class TreeAdapter : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TreeAdapter(Engine* engine, QObject* parent = nullptr);
    ~TreeAdapter() override;

    // Replaces the engine model (none allowed) and drops every record.
    void setModel(std::shared_ptr<TreeModelInterface> model);
    // Drops every record and fetches again (the engine tree changed).
    void reload();
    bool hasModel() const { return model != nullptr; }
    // The engine object of a row; only for use under the gate.
    Base* objectAt(const QModelIndex& index) const;
    // True while fetches are outstanding.
    bool fetching() const { return outstanding > 0; }

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // Rows arrived under parent (an invalid index for the top level).
    void rowsFetched(const QModelIndex& parent);
    // Every fetch asked for so far has been answered.
    void settled();

public:
    struct Row {
        Base* object = nullptr;
        QString text;
        int icon = -1;
        bool leaf = true;
    };
    struct Node {
        Base* object = nullptr;
        Node* parent = nullptr;
        int row = 0;
        Row info;
        bool fetched = false;
        bool fetching = false;
        std::vector<std::unique_ptr<Node>> children;
    };

private:
    Node* nodeOf(const QModelIndex& index) const;
    QModelIndex indexOf(Node* node) const;
    void requestFetch(Node* node);
    void applyRows(Node* node, u64 recordGeneration, std::vector<Row> rows);
    void dropRecords();

    Engine* engine;
    std::shared_ptr<TreeModelInterface> model;
    std::unique_ptr<Node> top;
    u64 recordGeneration = 0;
    int outstanding = 0;
};

}  // namespace vorn::gui
