#include "io/winboot.h"

#include "io/log.h"

namespace {

std::string Under(const std::string& root, const char* name) {
    if (!root.empty() && root.back() == '/') return root + name;
    return root + "/" + name;
}

bool HoldsBootLoader(const std::string& root) {
    IPlatform& p = Platform();
    return (p.PathExists(Under(root, "ntldr")) && p.PathExists(Under(root, "boot.ini"))) ||
           (p.PathExists(Under(root, "bootmgr")) && p.PathExists(Under(root, "Boot/BCD")));
}

}  // namespace

std::string CWinBoot::Win_GetOSDrive() {
    std::string system = Platform().GetSystemVolume();
    if (system.empty()) LOG_E("Win_GetOSDrive failed. \n");
    return system;
}

void CWinBoot::DetectBootAndSystem(PartitionList& list) {
    std::string system = Win_GetOSDrive();
    CPartition* active = nullptr;
    for (auto& par : list) {
        if (par->IsActive()) active = par.get();
        if (!system.empty() && par->GetVolumeName() == system) {
            ParInfor infor;
            par->GetInfor(infor);
            par->SetState(infor.State | PARSTATE_SYSTEM);
        }
    }
    if (!active) return;
    std::string root = active->GetDriveRoot();
    if (root.empty()) return;  // not mounted: nothing to look into
    if (HoldsBootLoader(root)) {
        ParInfor infor;
        active->GetInfor(infor);
        active->SetState(infor.State | PARSTATE_BOOT);
    }
}
