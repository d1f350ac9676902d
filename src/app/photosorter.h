// The orders of the found photos by name, size and date, made once for the
// photos of the moment and kept, so that a sort shown again is ready at
// once; a large store is sorted in a worker thread while the page stays
// responsive.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/photoview.h"

class CPhotoSorter {
public:
    // Each category's photos, as the store lists them.
    using Items = std::vector<std::vector<PhotoItem*>>;

    // How many photos, in all categories.
    static size_t Count(const Items& items);

    CPhotoSorter() = default;
    CPhotoSorter(const CPhotoSorter&) = delete;
    CPhotoSorter& operator=(const CPhotoSorter&) = delete;
    ~CPhotoSorter();  // stops the worker and waits for it

    // The category's photos in the order of `sort` (PhotoOrder), when made
    // for exactly these `items`; null otherwise.
    const std::vector<int32_t>* Order(size_t category, PhotoView::Sort sort,
                                      const std::vector<PhotoItem*>& items) const;
    // Whether every category's order by `sort` is made for these photos.
    bool Ready(PhotoView::Sort sort, const Items& items) const;
    // Makes every category's order by `sort` here and now.
    void Make(PhotoView::Sort sort, const Items& items);

    // Starts making every category's order by `sort` in a worker thread,
    // which calls `done` (in that thread) as it ends. False when a worker
    // runs already or no thread could be started.
    bool Start(PhotoView::Sort sort, Items items, std::function<void()> done);
    // The sort the worker makes; FoundOrder when none runs.
    PhotoView::Sort Running() const { return m_job ? m_job->sort : PhotoView::FoundOrder; }
    // Asks the worker to end early: its orders are dropped.
    void Stop();
    // Once the worker has called `done`: waits for its end and keeps the
    // orders it made.
    void Collect();

private:
    struct Made {
        std::vector<PhotoItem*> items;  // the photos the orders are for
        std::array<std::vector<int32_t>, 4> orders;
        std::array<bool, 4> made{};
    };
    struct Job {
        PhotoView::Sort sort = PhotoView::FoundOrder;
        Items items;
        std::vector<std::vector<int32_t>> orders;
        std::atomic<bool> stop{false};
    };
    void Keep(size_t category, PhotoView::Sort sort, const std::vector<PhotoItem*>& items,
              std::vector<int32_t> order);

    std::vector<Made> m_made;  // by category
    std::unique_ptr<Job> m_job;
    std::thread m_worker;
};
