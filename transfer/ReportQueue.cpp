#include "transfer/ReportQueue.h"

#include <QObject>

#include <utility>

CReportQueue::CReportQueue(std::function<void()> deliver)
    : m_pMailbox(new QObject)
    , m_deliver(std::move(deliver))
{
}

CReportQueue::~CReportQueue()
{
    Detach();
}

void CReportQueue::Post(Report report)
{
    const auto now = std::chrono::steady_clock::now();
    if (report.kind == Report::Progress && now < m_nextProgress) {
        m_heldProgress = std::move(report);
        return;
    }
    if (m_heldProgress && report.kind != Report::Progress) {
        Enqueue(*m_heldProgress);
    }
    m_heldProgress.reset();
    if (report.kind == Report::Progress) {
        m_nextProgress = now + PROGRESS_INTERVAL;
    }
    Enqueue(std::move(report));
}

void CReportQueue::FlushHeldProgress()
{
    if (m_heldProgress) {
        m_nextProgress = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
        Enqueue(*std::exchange(m_heldProgress, std::nullopt));
    }
}

std::vector<CReportQueue::Report> CReportQueue::Take()
{
    std::vector<Report> reports;
    std::lock_guard lock(m_lock);
    reports.swap(m_reports);
    return reports;
}

void CReportQueue::Detach()
{
    QObject* mailbox = nullptr;
    {
        std::lock_guard lock(m_lock);
        m_reports.clear();
        mailbox = std::exchange(m_pMailbox, nullptr);
    }
    delete mailbox;
}

void CReportQueue::Enqueue(Report report)
{
    std::lock_guard lock(m_lock);
    if (!m_pMailbox) {
        return; // detached: nobody listens any more
    }
    const bool wake = m_reports.empty();
    if (report.kind == Report::Progress && !wake && m_reports.back().kind == Report::Progress) {
        m_reports.back() = std::move(report);
        return;
    }
    m_reports.push_back(std::move(report));
    if (wake) {
        // The mailbox stays while the lock is held: Detach takes it under the same lock.
        QMetaObject::invokeMethod(
            m_pMailbox, [this] { m_deliver(); }, Qt::QueuedConnection);
    }
}
