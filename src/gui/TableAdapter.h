// The item table's Qt model over an engine table model (the children of one
// folder). Cells are read from the engine in pages of rows while the gate is
// free, else on the engine thread, and kept in a bounded cache: a folder of
// 100,000 items costs the pages on show, not 100,000 rows of text.
//
// Ownership: shares the engine model with the page fetches in flight.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QStringList>
#include <memory>

#include "misc/Types.h"

namespace vorn {
class TableModelInterface;
class VolumeItem;
}  // namespace vorn

namespace vorn::gui {

class Engine;

class TableAdapter : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kPageRows = 64;
    static constexpr int kMaxPages = 64;

    explicit TableAdapter(Engine* engine, QObject* parent = nullptr);

    // Replaces the engine model (none allowed). The row count is read now
    // when the gate is free, else fetched.
    void setModel(std::shared_ptr<TableModelInterface> model);
    bool hasModel() const { return model != nullptr; }
    // Drops the cached cells and reads the row count again.
    void reload();
    // The item of a row; only for use under the gate.
    VolumeItem* itemAt(int row) const;
    int cachedPages() const { return int(pages.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Cells {
        QStringList texts;
        int icon = -1;
    };
    using Page = std::vector<Cells>;

    static Page readPage(TableModelInterface* model, int first, int count);
    void storePage(int page, Page cells) const;
    void requestPage(int page) const;
    void readRowCount();

    Engine* engine;
    std::shared_ptr<TableModelInterface> model;
    int rows = 0;
    u64 modelGeneration = 0;
    mutable QHash<int, Page> pages;
    mutable QHash<int, bool> requested;
};

}  // namespace vorn::gui
