#include "gui/Validation.h"

namespace vorn::gui {

bool isEnabled(Action action, const UiState& s) {
    switch (action) {
        case Action::Help:
        case Action::About:
        case Action::ToggleViewer: return true;
        default: break;
    }
    // Engine commands wait until the running one has finished.
    if (s.engineBusy) return false;
    switch (action) {
        case Action::ChooseDisk: return true;
        case Action::BrowseVolume: return s.diskSelected && (!s.diskWhole || s.diskType == 2 || s.diskType == 4);
        case Action::DeletedFilesScan:
        case Action::LostFilesScan:
        case Action::CreateImageFile: return s.diskSelected;
        case Action::LostVolumesScan: return s.diskSelected && s.diskWhole;
        case Action::Save:
        case Action::SaveReport: return s.folderSelected;
        case Action::Search:
        case Action::SortByName:
        case Action::SortBySize: return s.hasResults;
        case Action::OpenImageFile: return !s.hasResults;
        default: return false;
    }
}

}  // namespace vorn::gui
