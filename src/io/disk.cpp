#include "io/disk.h"

#include <cstdio>

#include "io/dpt.h"
#include "io/log.h"
#include "io/winboot.h"

namespace {

// The single entry of a disk whose partitions are not listed.
std::unique_ptr<CPartition> WholeDiskEntry(CDisk* disk) {
    ParInfor infor;
    infor.Off = 0;
    infor.Len = disk->GetTotalSectors();
    infor.Type = PAR_PRIMARY;
    infor.Fs = FS_WHOLE_DISK;
    if (disk->GetState() & DISKSTATE_BAD_DPT) infor.VolLabel = "Bad DPT Disk";
    else if (disk->GetParStyle() == PARSTYLE_MBR_DYNAMIC || disk->GetParStyle() == PARSTYLE_GPT_DYNAMIC)
        infor.VolLabel = "Dynamic Disk";
    else if (disk->GetParStyle() == PARSTYLE_GPT) infor.VolLabel = "GPT Disk";
    else infor.VolLabel = "Unknown Disk";
    auto par = std::make_unique<CPartition>(disk);
    par->SetInfor(infor);
    return par;
}

}  // namespace

int CDisk::LoadPartition() {
    if (!m_partitions.empty()) return static_cast<int>(m_partitions.size());
    if (m_parStyle != PARSTYLE_MBR && m_parStyle != PARSTYLE_GPT) {
        // Dynamic and raw disks are shown as one entry.
        m_partitions.push_back(WholeDiskEntry(this));
        return 1;
    }

    CDpt dpt(this);
    if ((m_parStyle == PARSTYLE_GPT ? dpt.LoadGptPartition() : dpt.LoadPartition()) < 0) {
        LOG_E("%s", "Dpt loadpartition() failed. \n");
        m_state |= DISKSTATE_BAD_DPT;
        m_partitions.push_back(WholeDiskEntry(this));
        return 1;
    }
    for (const auto& par : dpt.GetParList()) m_partitions.push_back(std::make_unique<CPartition>(*par));

    CWinBoot::DetectBootAndSystem(m_partitions);

    for (const auto& par : m_partitions) {
        ParInfor r;
        par->GetInfor(r);
        char text[500];
        std::snprintf(text, sizeof text,
                      "Off: %015lld, Len: %015lld, HiddenSec: %015lld, FreeSec:%015lld, Type: %03d, Fs: %03d, State: %03d",
                      static_cast<long long>(r.Off), static_cast<long long>(r.Len), static_cast<long long>(r.HiddenSec),
                      static_cast<long long>(r.FreeSec), r.Type, r.Fs, r.State);
        LOG_V("Par %s \n", text);
    }
    return static_cast<int>(m_partitions.size());
}

CPartition* CDisk::GetPartition(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_partitions.size()) return nullptr;
    return m_partitions[static_cast<size_t>(index)].get();
}

CPartition* CDisk::FindPartition(int number) {
    for (const auto& par : m_partitions)
        if (par->GetPartNo() == number) return par.get();
    return nullptr;
}
