// The engine while its torrent runs: progress and status, file errors and
// their retries, resume data, and the shutdown.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <vector>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "Ferrel/engine.h"
#include "Ferrel/engine_internal.h"
#include "Ferrel/local_files.h"
#include "Ferrel/seed_fetch.h"

namespace ferrel {

namespace {

namespace fs = std::filesystem;

constexpr auto kRetryAfterError = std::chrono::seconds(2);
constexpr auto kResumeWait = std::chrono::seconds(5);
// After a full disk the torrent goes on only once this much is free: less
// would fill it again at once and fetch pieces only to drop them.
constexpr std::uint64_t kRoomToGoOn = 1 << 20;

bool Checking(const lt::torrent_status& st) {
    return st.state == lt::torrent_status::checking_files ||
           st.state == lt::torrent_status::checking_resume_data;
}

// Everything is here. The engine wants every piece, but the web seed
// steering may hold back some for a moment (priority 0), and libtorrent then
// calls the torrent finished without all of them.
bool Complete(const lt::torrent_status& st) {
    return st.is_finished && st.is_seeding && !Checking(st);
}

// How far the torrent has come: the check's progress, then the bytes it
// has; the end of the check and completion count as steps forward.
std::int64_t ProgressMark(const lt::torrent_status& st) {
    if (Complete(st))
        return std::numeric_limits<std::int64_t>::max();
    if (Checking(st))
        return st.state == lt::torrent_status::checking_files ? st.progress_ppm : 0;
    return 1000001 + std::max<std::int64_t>(st.total_wanted_done, 0);
}

}  // namespace

double PercentOf(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0)
        return 100.0;
    return 100.0 * static_cast<double>(std::min(part, whole)) / static_cast<double>(whole);
}

// What the tool calls a failed file operation. A file that may not be
// written, or no room on the disk, counts as a failed write whatever the
// operation was: the user has to close or unlock the file or make room.
FileErrorReport ClassifyFileError(lt::operation_t op, const lt::error_code& ec) {
    const bool system =
        ec.category() == lt::generic_category() || ec.category() == lt::system_category();
    if (system && (ec.value() == ENOSPC || ec.value() == EDQUOT))
        return {"WriteFile", true};
    if (op == lt::operation_t::file_truncate || op == lt::operation_t::file_fallocate)
        return {"SetFileSize", false};
    if (op == lt::operation_t::file_write)
        return {"WriteFile", false};
    if (system) {
        const int e = ec.value();
        if (e == EACCES || e == EPERM || e == EROFS || e == ETXTBSY)
            return {"WriteFile", false};
    }
    return {"OpenFile", false};
}

Watchdog::Watchdog(std::chrono::milliseconds limit) {
    m_thread = std::thread([this, limit] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_wake.wait_for(lock, limit, [this] { return m_done; }))
            return;
        std::fprintf(stderr, "Ferrel: libtorrent did not end in time; leaving without it\n");
        std::_Exit(0);
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void Engine::PostUpdates() {
    const auto now = Clock::now();
    if (!m_torrent.is_valid() || now < m_nextUpdate)
        return;
    m_nextUpdate = now + kStatusEvery;
    m_session->post_torrent_updates(lt::torrent_handle::query_accurate_download_counters);
}

void Engine::DropSources() {
    for (const DroppedSource& d : m_relay.TakeDropped()) {
        // Asynchronous: libtorrent's thread takes it off.
        m_torrent.remove_url_seed(d.relayed);
        m_webSeeds.erase(std::remove(m_webSeeds.begin(), m_webSeeds.end(), d.relayed),
                         m_webSeeds.end());
        m_sourceError = d.url + ": " + d.why + "; no longer used";
        if (m_args.outInfoLevel > 0)
            std::fprintf(stderr, "Ferrel: web seed %s\n", m_sourceError.c_str());
    }
}

void Engine::StepTorrent() {
    if (m_args.shareWebSeeds)
        m_webSeedSteering.Start(*m_session, m_torrent, m_args.downloadLimit,
                                m_args.outInfoLevel > 0, &m_relay);
    DropSources();
    const auto now = Clock::now();
    // A torrent stopped by an error may send no update at all.
    if (m_errorReturn >= 0 && !StepFileError(now))
        return;
    if (!m_haveStatus)
        return;
    const lt::torrent_status& st = m_st;
    const bool checking = Checking(st);
    if (m_status.state == ALL_FILE_CHECK_MD5) {
        if (checking) {
            const double fraction =
                st.state == lt::torrent_status::checking_files ? st.progress : 0;
            if (fraction > m_lastVerify) {
                m_lastVerify = fraction;
                Send(ReplyFraction("VerifyPercentage", fraction));
            }
            return;
        }
        Send(ReplyFraction("VerifyPercentage", 1.0));
        m_missingAfterCheck = m_status.incompleteBytes;
        m_checked = true;
        SetState(DOWNLOADING);
    }
    if (m_status.state == DOWNLOADING || m_noSource) {
        WatchSources(now);
        const int step = static_cast<int>(m_status.percentage) / m_args.reportPercentInterval;
        if (step != m_lastPercentStep) {
            m_lastPercentStep = step;
            Send(ReplyFraction("Percentage", m_status.percentage));
        }
        if (Complete(st) && m_errorReturn < 0) {
            SetState(DOWNLOAD_COMPLETED);
            if (m_args.deleteDownloadInfo) {
                std::error_code ec;
                fs::remove_all(m_args.dir + kInfoFolder, ec);
                m_infoDeleted = true;
            } else {
                SaveResume(false);
            }
            return;
        }
        if (now >= m_nextResume) {
            m_nextResume = now + kResumeEvery;
            SaveResume(false);
        }
    }
}

// A file error holds the torrent. It is reported again and again while the
// file still cannot be written; once it can, the torrent is let go on, and
// the engine returns to its state only when the torrent has moved on since.
bool Engine::StepFileError(Clock::time_point now) {
    const lt::torrent_status& st = m_st;
    if (m_haveStatus && !st.errc && m_errorRetried && ProgressMark(st) > m_progressAtError) {
        SetState(m_errorReturn);
        m_errorReturn = -1;
        m_diskFull = false;
        return true;
    }
    if (now < m_retryAt)
        return m_status.state == m_errorReturn;
    m_retryAt = now + kRetryAfterError;
    if ((!m_errorFile.empty() && !FileWritable(m_errorFile)) ||
        (m_diskFull && !HasRoom(m_args.dir, kRoomToGoOn))) {
        ReportError(m_errorKind.c_str(), m_errorCode, m_errorFile);
        return false;
    }
    if (st.errc || !m_errorRetried) {
        m_errorRetried = true;
        // libtorrent answers a full disk with upload mode (no more
        // requests) and leaves it on its own only after many minutes.
        if (m_diskFull)
            m_torrent.unset_flags(lt::torrent_flags::upload_mode);
        m_torrent.clear_error();
        m_torrent.resume();
    }
    return m_status.state == m_errorReturn;
}

// A download that receives nothing for a while although pieces are missing:
// no source can give them (a web seed that only fails, no peer). It is told
// as a failed fetch until data comes again; the torrent keeps trying.
void Engine::WatchSources(Clock::time_point now) {
    const lt::torrent_status& st = m_st;
    if (st.total_payload_download != m_lastReceived || Complete(st)) {
        m_lastReceived = st.total_payload_download;
        m_lastReceivedAt = now;
        if (m_noSource) {
            m_noSource = false;
            SetState(DOWNLOADING);
        }
        return;
    }
    if (m_errorReturn >= 0 || now - m_lastReceivedAt < std::chrono::seconds(m_args.noSourceSeconds))
        return;
    m_lastReceivedAt = now;
    ReportError("DownloadSeed", 0, m_sourceError.empty() ? "no source" : m_sourceError);
    if (!m_noSource) {
        m_noSource = true;
        SetState(GET_SEED_MD5_FAIL);
    }
    // libtorrent gives up on a web seed's file after a failure; each round
    // the web seeds are added afresh, so that a file published meanwhile is
    // found.
    for (const std::string& url : m_webSeeds) {
        m_torrent.remove_url_seed(url);
        m_torrent.add_url_seed(url);
    }
}

void Engine::UpdateSnapshot() {
    const lt::torrent_status& st = m_st;
    // The seed's own size is the whole; libtorrent's counts may run ahead
    // of it (a whole piece for a set smaller than one) or lag behind.
    const std::uint64_t whole = m_seedBytes;
    const auto done = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(std::max<std::int64_t>(st.total_wanted_done, 0)), whole);
    m_status.totalBytes = whole;
    m_status.incompleteBytes = Complete(st) ? 0 : whole - done;
    m_status.percentage = PercentOf(whole - m_status.incompleteBytes, whole);
    m_status.curUpdatePercentage = m_status.percentage;
    // Of what the check found missing, the part that has come since.
    if (m_checked)
        m_status.percentageDownloaded =
            PercentOf(m_missingAfterCheck - std::min(m_missingAfterCheck, m_status.incompleteBytes),
                      m_missingAfterCheck);
    m_status.downloadRate = st.download_payload_rate / 1000.0;
    m_status.uploadRate = st.upload_payload_rate / 1000.0;
    m_status.connections = st.num_peers;
    m_status.uploadUsers = st.num_uploads;
    m_status.downloadUsers = st.num_seeds;
}

void Engine::HandleAlerts() {
    std::vector<lt::alert*> alerts;
    m_session->pop_alerts(&alerts);
    for (lt::alert* a : alerts) {
        if (auto* u = lt::alert_cast<lt::state_update_alert>(a)) {
            for (const lt::torrent_status& st : u->status)
                if (st.handle == m_torrent) {
                    m_st = st;
                    m_haveStatus = true;
                    UpdateSnapshot();
                }
        } else if (auto* added = lt::alert_cast<lt::add_torrent_alert>(a)) {
            m_adding = false;
            if (added->error) {
                ReportError("OpenFile", added->error.value(), added->error.message());
                SetState(ANALYSIS_SEED_ERROR);
                continue;
            }
            m_torrent = added->handle;
            m_nextResume = Clock::now() + kResumeEvery;
            m_nextUpdate = Clock::now();
            SetState(ALL_FILE_CHECK_MD5);
        } else if (auto* e = lt::alert_cast<lt::file_error_alert>(a)) {
            const FileErrorReport report = ClassifyFileError(e->op, e->error);
            // On a full disk, reads of the file mappings fail too; those are
            // the same fault and must not hide the disk-space report.
            if (m_diskFull && !report.keepsState && e->filename()[0] == '\0')
                continue;
            m_diskFull = m_diskFull || report.keepsState;
            ReportError(report.kind, e->error.value(), e->filename());
            m_errorKind = report.kind;
            m_errorCode = e->error.value();
            // A full disk is no fault of one file: any may fail next.
            m_errorFile = report.keepsState ? "" : e->filename();
            m_retryAt = Clock::now() + kRetryAfterError;
            m_errorRetried = false;
            // After completion the repair is done; the error is only told.
            if (m_errorReturn < 0 && m_status.state != CREATE_FILE &&
                m_status.state != DOWNLOAD_COMPLETED) {
                m_errorReturn =
                    m_status.state == ALL_FILE_CHECK_MD5 ? ALL_FILE_CHECK_MD5 : DOWNLOADING;
                m_progressAtError = m_haveStatus ? ProgressMark(m_st) : 0;
                if (!report.keepsState)
                    SetState(CREATE_FILE);
            }
        } else if (auto* r = lt::alert_cast<lt::save_resume_data_alert>(a)) {
            m_resumePending = false;
            WriteResume(lt::write_resume_data_buf(r->params));
        } else if (auto* w = lt::alert_cast<lt::url_seed_alert>(a);
                   w && !m_relay.Dropped(w->server_url())) {
            // A dropped source has said its last word.
            m_sourceError = m_relay.Original(w->server_url()) + ": " +
                            (w->error ? w->error.message() : std::string(w->error_message()));
        } else if (lt::alert_cast<lt::save_resume_data_failed_alert>(a)) {
            m_resumePending = false;
        } else if (auto* t = lt::alert_cast<lt::torrent_error_alert>(a);
                   t && m_args.outInfoLevel > 0) {
            std::fprintf(stderr, "Ferrel: %s\n", t->message().c_str());
        }
    }
}

void Engine::SaveResume(bool wait) {
    if (!m_torrent.is_valid() || m_infoDeleted)
        return;
    m_resumePending = true;
    m_torrent.save_resume_data(lt::torrent_handle::flush_disk_cache);
    const auto deadline = Clock::now() + kResumeWait;
    while (wait && m_resumePending && Clock::now() < deadline) {
        m_session->wait_for_alert(kTick);
        HandleAlerts();
    }
}

void Engine::WriteResume(const std::vector<char>& data) {
    if (m_infoDeleted)
        return;
    // The stamps are taken once the data is out: a file that changes after
    // them, by this engine or anyone, has the whole set checked next time.
    const std::string resume(data.begin(), data.end());
    if (WriteAtomically(InfoPath(kResumeFile), resume.data(), resume.size())) {
        const std::string stamps = Md5Hex(resume) + "\n" + FileStamps(m_args.dir, m_layout);
        WriteAtomically(InfoPath(kStampsFile), stamps.data(), stamps.size());
    }
}

void Engine::Shutdown() {
    SetState(TO_QUIT);
    m_cancel = true;
    if (m_fetch.valid())
        m_fetch.wait();
    m_webSeedSteering.Stop();
    if (m_session) {
        // Paused first, so that the last resume data and the files' stamps
        // agree and a restart need not check everything again.
        if (m_torrent.is_valid())
            m_torrent.pause();
        SaveResume(true);
        // The session's end sends the trackers their last announces, within
        // the stop_tracker_timeout.
        lt::session_proxy proxy = m_session->abort();
        m_session.reset();
    }
    m_relay.Stop();
    SetState(QUIT);
}

}  // namespace ferrel
