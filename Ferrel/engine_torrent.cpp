// The engine while its torrent runs: progress and status, file errors and
// their retries, resume data, and the shutdown.
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "Ferrel/engine.h"
#include "Ferrel/engine_internal.h"

namespace ferrel {

namespace {

namespace fs = std::filesystem;

constexpr auto kRetryAfterError = std::chrono::seconds(2);
constexpr auto kResumeWait = std::chrono::seconds(5);

// What the tool calls a failed file operation. A file that may not be
// written, or no room on the disk, counts as a failed write whatever the
// operation was: the user has to close or unlock the file or make room.
const char* ErrorKind(lt::operation_t op, const lt::error_code& ec) {
    if (op == lt::operation_t::file_truncate || op == lt::operation_t::file_fallocate)
        return "SetFileSize";
    if (op == lt::operation_t::file_write)
        return "WriteFile";
    if (ec.category() == lt::generic_category() || ec.category() == lt::system_category()) {
        const int e = ec.value();
        if (e == EACCES || e == EPERM || e == EROFS || e == ENOSPC || e == EDQUOT || e == ETXTBSY)
            return "WriteFile";
    }
    return "OpenFile";
}

// part of whole in percent; 100 for nothing of nothing.
double Share(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 100.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

void Engine::StepTorrent() {
    m_webSeeds.Start(*m_session, m_torrent, m_args.downloadLimit, m_args.outInfoLevel > 0);
    const lt::torrent_status st = m_torrent.status();
    const auto now = Clock::now();
    if (m_errorReturn >= 0) {
        if (st.errc) {
            if (now >= m_retryAt) {
                m_retryAt = now + kRetryAfterError;
                m_torrent.clear_error();
                m_torrent.resume();
            }
            return;
        }
        // A retry goes on without an error so far: back to work only once
        // it has lasted, so that the error state stays visible to a tool
        // polling once a second while the file is still held.
        if (now < m_retryAt)
            return;
        SetState(m_errorReturn);
        m_errorReturn = -1;
    }
    UpdateSnapshot(now >= m_nextPeers);
    if (now >= m_nextPeers)
        m_nextPeers = now + std::chrono::seconds(1);
    const bool checking = st.state == lt::torrent_status::checking_files ||
                          st.state == lt::torrent_status::checking_resume_data;
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
    if (m_status.state == DOWNLOADING) {
        const int step = static_cast<int>(m_status.percentage) / m_args.reportPercentInterval;
        if (step != m_lastPercentStep) {
            m_lastPercentStep = step;
            Send(ReplyFraction("Percentage", m_status.percentage));
        }
        if (st.total_wanted_done >= st.total_wanted && !checking) {
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

void Engine::UpdateSnapshot(bool withPeers) {
    const lt::torrent_status st = m_torrent.status();
    const auto wanted = static_cast<std::uint64_t>(std::max<std::int64_t>(st.total_wanted, 0));
    const auto done = static_cast<std::uint64_t>(std::max<std::int64_t>(st.total_wanted_done, 0));
    m_status.totalBytes = wanted;
    m_status.incompleteBytes = wanted > done ? wanted - done : 0;
    m_status.percentage = Share(done, wanted);
    m_status.curUpdatePercentage = m_status.percentage;
    // Of what the check found missing, the part that has come since.
    if (m_checked)
        m_status.percentageDownloaded =
            Share(m_missingAfterCheck - std::min(m_missingAfterCheck, m_status.incompleteBytes),
                  m_missingAfterCheck);
    m_status.downloadRate = st.download_payload_rate / 1000.0;
    m_status.uploadRate = st.upload_payload_rate / 1000.0;
    m_status.connections = st.num_peers;
    if (!withPeers)
        return;
    std::vector<lt::peer_info> peers;
    m_torrent.get_peer_info(peers);
    m_status.uploadUsers = m_status.downloadUsers = 0;
    for (const lt::peer_info& p : peers) {
        m_status.uploadUsers += p.payload_up_speed > 0;
        m_status.downloadUsers += p.payload_down_speed > 0;
    }
}

void Engine::HandleAlerts() {
    std::vector<lt::alert*> alerts;
    m_session->pop_alerts(&alerts);
    for (lt::alert* a : alerts) {
        if (auto* e = lt::alert_cast<lt::file_error_alert>(a)) {
            ReportError(ErrorKind(e->op, e->error), e->error.value(), e->filename());
            if (m_errorReturn < 0 && m_status.state != CREATE_FILE) {
                m_errorReturn =
                    m_status.state == ALL_FILE_CHECK_MD5 ? ALL_FILE_CHECK_MD5 : DOWNLOADING;
                m_retryAt = Clock::now() + kRetryAfterError;
                SetState(CREATE_FILE);
            }
        } else if (auto* r = lt::alert_cast<lt::save_resume_data_alert>(a)) {
            m_resumePending = false;
            WriteResume(lt::write_resume_data_buf(r->params));
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
    WriteAtomically(InfoPath(kResumeFile), data.data(), data.size());
}

void Engine::Shutdown() {
    SetState(TO_QUIT);
    m_cancel = true;
    if (m_fetch.valid())
        m_fetch.wait();
    m_webSeeds.Stop();
    if (m_session) {
        SaveResume(true);
        // The session's end sends the trackers their last announces, within
        // the stop_tracker_timeout.
        lt::session_proxy proxy = m_session->abort();
        m_session.reset();
    }
    SetState(QUIT);
}

}  // namespace ferrel
