#include "fs/fat/FATVolumeItem.h"

#include <map>

#include "fs/fat/FATDirParser.h"
#include "fs/fat/FATVolume.h"
#include "misc/Log.h"

namespace vorn {

std::string FATVolumeItem::getId() { return std::to_string(m_dataCluster); }

u64 FATVolumeItem::getSize() {
    if (!m_sizeBounded) {
        FATVolume* volume = dynamic_cast<FATVolume*>(m_volume);
        if (!volume) return m_size;
        m_size = volume->boundFileSize(m_dataCluster, m_size, !m_container && !isDeleted(), m_name);
        m_sizeBounded = true;
    }
    return m_size;
}

u32 FATVolumeItem::read(u64 ofs, void* buf, u32 len) {
    FATVolume* volume = dynamic_cast<FATVolume*>(m_volume);
    if (!volume) return 0;
    return volume->readFileAt(m_dataCluster, buf, ofs, len) ? len : 0;
}

bool FATVolumeItem::addChildren() {
    VORN_LOG(LOG_DEBUG,
             "================== FATVolumeItem::addChildren: %s (dataCluster=%lld, dataOfs=%lld) "
             "=========================\n",
             m_name.c_str(), static_cast<long long>(m_dataCluster), static_cast<long long>(m_dataOfs));
    if (!m_container) return false;
    FATVolume* volume = dynamic_cast<FATVolume*>(m_volume);
    if (!volume) return false;

    FATDirParser parser(volume, m_dataCluster, m_dataOfs, false);
    std::map<u32, std::unique_ptr<FATVolumeItem>> records = parser.takeRecords();
    for (auto& [index, owned] : records) {
        FATVolumeItem* child = owned.get();
        if (child->isContainer() && child->getDataCluster() != 0) {
            const u64 cluster = child->getDataCluster();
            bool loops = false;
            for (VolumeItem* up = this; up && !loops; up = up->getParent()) {
                FATVolumeItem* folder = dynamic_cast<FATVolumeItem*>(up);
                loops = folder && folder->getDataCluster() == cluster;
            }
            if (loops) {
                log(LOG_WARNING, "FATVolumeItem::addChildren - folder %s (cluster=%lld) contains itself, skipped\n",
                    child->getName().c_str(), static_cast<long long>(cluster));
                continue;
            }
            if (!volume->claimFolder(cluster, m_dataCluster, index)) {
                log(LOG_WARNING, "FATVolumeItem::addChildren - folder %s (cluster=%lld) is shown elsewhere, skipped\n",
                    child->getName().c_str(), static_cast<long long>(cluster));
                continue;
            }
        }
        VORN_LOG(LOG_DEBUG, "adding child...%s , cluster=%lld\n", child->getName().c_str(),
                 static_cast<long long>(child->getDataCluster()));
        // The folder owns its children.
        addChild(owned.release());
        child->setVolume(m_volume);
        child->setParent(this);
    }
    VORN_LOG(LOG_DEBUG, "================== FATVolumeItem::addChildren done =========================\n");
    return true;
}

}  // namespace vorn
