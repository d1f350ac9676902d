// The scan tests build their disks by hand and never load a partition list.
// These weak definitions let them link while the disk object's own source is
// not in the io library; its real definitions take precedence when it is.
#include "io/disk.h"

__attribute__((weak)) int CDisk::LoadPartition() { return GetPartitionCount(); }
__attribute__((weak)) CPartition* CDisk::GetPartition(int index) {
    return index >= 0 && index < GetPartitionCount() ? m_partitions[static_cast<size_t>(index)].get() : nullptr;
}
__attribute__((weak)) CPartition* CDisk::FindPartition(int number) {
    for (auto& p : m_partitions)
        if (p->GetPartNo() == number) return p.get();
    return nullptr;
}
