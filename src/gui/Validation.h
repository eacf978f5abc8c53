// Which commands may run in the window's current state: one pure function
// over a small state record, applied to every menu item, toolbar button and
// the search field whenever the state changes.
#pragma once

namespace vorn::gui {

enum class Action {
    ChooseDisk,
    BrowseVolume,
    DeletedFilesScan,
    LostFilesScan,
    LostVolumesScan,
    Save,
    SaveReport,
    Search,
    SortByName,
    SortBySize,
    CreateImageFile,
    OpenImageFile,
    Help,
    About,
    ToggleViewer,
};

struct UiState {
    bool diskSelected = false;
    bool diskWhole = false;
    int diskType = 0;  // Disk::getType: 2 CD/DVD, 4 image file
    bool folderSelected = false;
    bool hasResults = false;  // the engine holds a result root
    bool engineBusy = false;  // an engine command runs or waits
};

bool isEnabled(Action action, const UiState& state);

}  // namespace vorn::gui
