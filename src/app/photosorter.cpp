#include "app/photosorter.h"

#include <system_error>

#include "io/log.h"

CPhotoSorter::~CPhotoSorter()
{
    Stop();
    if (m_worker.joinable()) m_worker.join();
}

size_t CPhotoSorter::Count(const Items& items)
{
    size_t photos = 0;
    for (const std::vector<PhotoItem*>& category : items) photos += category.size();
    return photos;
}

const std::vector<int32_t>* CPhotoSorter::Order(size_t category, PhotoView::Sort sort,
                                                const std::vector<PhotoItem*>& items) const
{
    const auto s = static_cast<size_t>(sort);
    if (category >= m_made.size() || s >= 4) return nullptr;
    const Made& made = m_made[category];
    if (!made.made[s] || made.items != items) return nullptr;
    return &made.orders[s];
}

bool CPhotoSorter::Ready(PhotoView::Sort sort, const Items& items) const
{
    for (size_t category = 0; category < items.size(); ++category)
        if (!items[category].empty() && !Order(category, sort, items[category])) return false;
    return true;
}

void CPhotoSorter::Keep(size_t category, PhotoView::Sort sort, const std::vector<PhotoItem*>& items,
                        std::vector<int32_t> order)
{
    if (m_made.size() <= category) m_made.resize(category + 1);
    Made& made = m_made[category];
    if (made.items != items) made = Made{items, {}, {}};
    const auto s = static_cast<size_t>(sort);
    made.orders[s] = std::move(order);
    made.made[s] = true;
}

void CPhotoSorter::Make(PhotoView::Sort sort, const Items& items)
{
    for (size_t category = 0; category < items.size(); ++category)
        if (!items[category].empty() && !Order(category, sort, items[category]))
            Keep(category, sort, items[category], PhotoOrder(items[category], sort));
}

bool CPhotoSorter::Start(PhotoView::Sort sort, Items items, std::function<void()> done)
{
    if (m_job) return false;
    auto job = std::make_unique<Job>();
    job->sort = sort;
    job->items = std::move(items);
    Job* work = job.get();
    try {
        m_worker = std::thread([work, done = std::move(done)] {
            for (const std::vector<PhotoItem*>& items : work->items) {
                if (work->stop.load()) break;
                work->orders.push_back(PhotoOrder(items, work->sort, &work->stop));
            }
            done();
        });
    } catch (const std::system_error& e) {
        LOG_W("cannot start the sort thread: %s\n", e.what());
        return false;
    }
    m_job = std::move(job);
    return true;
}

void CPhotoSorter::Stop()
{
    if (m_job) m_job->stop.store(true);
}

void CPhotoSorter::Collect()
{
    if (!m_job) return;
    if (m_worker.joinable()) m_worker.join();
    const std::unique_ptr<Job> job = std::move(m_job);
    if (job->stop.load() || job->orders.size() != job->items.size()) return;
    for (size_t category = 0; category < job->items.size(); ++category)
        if (!job->items[category].empty())
            Keep(category, job->sort, job->items[category], std::move(job->orders[category]));
}
